// Secure-access validation run at job start.
#pragma once

#include "umpd.h"

// Returns exactly 1 when the job may print; may edit *pOptions.
int DoSPDlg(IdentOptions* pOptions, HINSTANCE hInstance);
