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

// A printer whose port is "NUL" keeps nothing of its jobs and counts their
// bytes: all NUL ports' bytes so far.
unsigned long long StandinNullPortBytes(void);

// Makes the n-th WritePrinter call from now on fail (1 is the next call);
// 0 clears the fault.
void StandinFailWritePrinterCall(DWORD n);

// Makes DisableThreadLibraryCalls fail as it does for a module with static
// thread-local storage.
void StandinFailDisableThreadLibraryCalls(BOOL fail);

// The registry lives in files under this directory (default: the environment
// variable UMPD_STANDIN_REGISTRY, else a directory in the temporary
// directory); volatile keys under the runtime directory, which a restart clears.
void StandinSetRegistryRoot(const char* directory);

// Makes every registry call of one kind fail with the given error until it is
// cleared with ERROR_SUCCESS (a full disk, a locked-down key: CI runs as
// root, so file permissions cannot make them fail).
enum StandinRegistryCall { STANDIN_REG_OPEN, STANDIN_REG_CREATE, STANDIN_REG_QUERY, STANDIN_REG_SET };
void StandinFailRegistryCall(StandinRegistryCall call, LONG error);

}  // extern "C"
