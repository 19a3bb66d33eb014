// Chooses the process's ANSI code page where the platform lets a test do so
// (the stand-in); on Windows only the code page the system has can be used.
#pragma once

#include <windows.h>

// True when the ANSI code page is now codePage.
bool SelectAnsiCodePage(UINT codePage);
// Back to the platform's own.
void RestoreAnsiCodePage();
