// Controls of the Linux stand-in that have no Win32 counterpart: what a person
// or a fault would do on a real machine. Only hosts and tests include this.
#pragma once

#include <windows.h>

extern "C" {

// The "ANSI code page" of the process: 1252 (the default) or 65001 (UTF-8), or
// any code page iconv knows as "CPnnn".
void StandinSetAnsiCodePage(UINT codePage);

// Whoever plays the user answers every message box. Without one, the box is
// printed to standard error and answered with IDOK.
typedef int (*StandinMessageBoxFn)(void* context, HWND hWnd, LPCWSTR text, LPCWSTR caption, UINT type);
void StandinSetMessageBoxUser(StandinMessageBoxFn answer, void* context);

// Makes the n-th WritePrinter call from now on fail (1 is the next call);
// 0 clears the fault.
void StandinFailWritePrinterCall(DWORD n);

// Makes DisableThreadLibraryCalls fail as it does for a module with static
// thread-local storage.
void StandinFailDisableThreadLibraryCalls(BOOL fail);

}  // extern "C"
