// The spooler functions the hooks call, bound once at run time. The spooler
// calls a user-mode driver's hooks with handles of its router, spoolss.dll,
// which winspool.drv's functions do not accept; a host that plays the
// spooler with winspool.drv's handles says so in UMPD_SPOOLER_DLL.
#pragma once

#include <windows.h>

// Each fails (FALSE) when the chosen DLL or the function cannot be found.
BOOL SplGetPrinterDriverW(HANDLE hPrinter, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                          LPDWORD pcbNeeded);
BOOL SplGetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD cbBuf, LPDWORD pcbNeeded);
BOOL SplWritePrinter(HANDLE hPrinter, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten);
// All n bytes through SplWritePrinter, a short count continued; FALSE when
// the spooler failed or took nothing.
BOOL SplWriteAll(HANDLE hPrinter, const void* p, DWORD n);
