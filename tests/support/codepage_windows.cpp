#include "codepage.h"

bool SelectAnsiCodePage(UINT codePage) { return GetACP() == codePage; }

void RestoreAnsiCodePage() {}
