#include "codepage.h"

#include <standin.h>

bool SelectAnsiCodePage(UINT codePage)
{
    StandinSetAnsiCodePage(codePage);
    return GetACP() == codePage;
}

void RestoreAnsiCodePage() { StandinSetAnsiCodePage(1252); }
