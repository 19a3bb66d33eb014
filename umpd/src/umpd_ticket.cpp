// The job-ticket block written just before the first "%%EndComments".
#include "umpd.h"

// The ticket's lines are not written yet: the block is empty.
BOOL AddPralixOptions(HANDLE)
{
    return TRUE;
}
