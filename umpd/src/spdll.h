// Secure-access validation run at job start.
#pragma once

#include "umpd.h"

#include <cstdint>

struct CAppDataMembers;

// Returns exactly 1 when the job may print; may edit *pOptions. Runs on the
// calling thread's application object (RunningApp).
int DoSPDlg(IdentOptions* pOptions, HINSTANCE hInstance);

// Makes sure the server can be reached: on first use by asking for its
// address until one answers, later by probing the stored one. 100 reached,
// 400 the run must end.
int16_t ConnectToServer(CAppDataMembers* theApp, IdentOptions* pOptions, HINSTANCE hInstance);
