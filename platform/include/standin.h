// Controls of the Linux stand-in that have no Win32 counterpart: what a person
// or a fault would do on a real machine. Only hosts and tests include this.
#pragma once

#include <windows.h>

extern "C" {

// The "ANSI code page" of the process: 1252 (the default) or 65001 (UTF-8), or
// any code page iconv knows as "CPnnn".
void StandinSetAnsiCodePage(UINT codePage);

// Whoever plays the user answers every message box. Without one the box
// cannot be shown and MessageBoxW returns 0, as without a desktop.
typedef int (*StandinMessageBoxFn)(void* context, HWND hWnd, LPCWSTR text, LPCWSTR caption, UINT type);
void StandinSetMessageBoxUser(StandinMessageBoxFn answer, void* context);

// A printer whose port is "NUL" keeps nothing of its jobs and counts their
// bytes: all NUL ports' bytes so far.
unsigned long long StandinNullPortBytes(void);

// Whoever plays the user for dialogs: called once a dialog is up (after
// WM_INITDIALOG), acts on it with the calls below until it has ended, then
// returns. A dialog still open when it returns fails as one never shown
// (-1). Without a user DialogBoxParamW returns -1, as without a desktop.
typedef void (*StandinDialogFn)(void* context, HWND dialog);
void StandinSetDialogUser(StandinDialogFn answer, void* context);

// What a person can do in an open dialog; FALSE where a person could not (no
// such control, hidden, disabled, not an edit field or a button).
// Typing selects the field's text and types over it, keystroke by keystroke
// within the field's limit.
BOOL StandinType(HWND dialog, int id, LPCWSTR text);
BOOL StandinClick(HWND dialog, int id);
// VK_ESCAPE or VK_RETURN, as the dialog manager handles them.
void StandinKey(HWND dialog, UINT key);
BOOL StandinDialogOpen(HWND dialog);

// Where a person sees a window of an open dialog, in dialog units, as the
// dialog's template placed it: a control's rectangle within the dialog's
// client area; for the dialog itself, x and y as the template gives them and
// the size of its client area. FALSE for no such window.
typedef struct {
    short x, y, cx, cy;
} StandinRect;
BOOL StandinWindowRect(HWND window, StandinRect* rect);

// How jobs on TCP ports ("HOST:PORT") wait for their printer, for jobs
// started from now on. By default reaching the printer and each send wait at
// most 20 s. boundMs: how long a send may wait for a printer that does not
// read (0: as long as the connection is up); a printer that has the whole
// job may then stay silent as long before it closes (0: 90 s). While a send
// or that last wait goes on, `observer` (if set) is told at least once a
// second, and at once when a signal interrupts the wait; it returns FALSE to
// give the job up (its connection is reset). It is also told when a waiting
// send moves again, and of an error after the whole job was sent (the job
// has printed). A job given up, or whose connection failed, ends with a
// reset so the printer discards it; a printer that could not be reached
// fails the writes with ERROR_CONNECTION_REFUSED (nothing was sent).
enum StandinPortEvent {
    STANDIN_PORT_WAITING,      // value: ms a send has waited
    STANDIN_PORT_RESUMED,      // value: ms it waited
    STANDIN_PORT_DRAINING,     // value: ms the printer, with the whole job, has been silent
    STANDIN_PORT_DRAIN_ERROR,  // value: the system's error number
};
typedef BOOL (*StandinPortFn)(void* context, StandinPortEvent event, DWORD value);
void StandinSetPortWait(DWORD boundMs, StandinPortFn observer, void* context);

// Makes the n-th WritePrinter call from now on fail (1 is the next call);
// 0 clears the fault.
void StandinFailWritePrinterCall(DWORD n);
// Makes the n-th WritePrinter call from now on write only its first `bytes`
// bytes (none for 0) and succeed with that count, as a spooler may; 0 clears
// it.
void StandinShortWritePrinterCall(DWORD n, DWORD bytes);

// Makes the next GlobalAlloc (or LocalAlloc) of exactly `bytes` bytes fail,
// as when memory runs out; 0 clears it.
void StandinFailNextAlloc(SIZE_T bytes);

// Makes DisableThreadLibraryCalls fail as it does for a module with static
// thread-local storage.
void StandinFailDisableThreadLibraryCalls(BOOL fail);

// The registry lives in files under this directory (default: the environment
// variable UMPD_STANDIN_REGISTRY, else a directory in the temporary
// directory); volatile keys under the runtime directory, which a restart clears.
void StandinSetRegistryRoot(const char* directory);

// Keeps the registry in this process's memory from now on: nothing on disk,
// nothing shared with another process, gone when the process ends. Called
// before any registry call.
void StandinUseMemoryRegistry(void);

// Makes every registry call of one kind fail with the given error until it is
// cleared with ERROR_SUCCESS (a full disk, a locked-down key: CI runs as
// root, so file permissions cannot make them fail).
enum StandinRegistryCall { STANDIN_REG_OPEN, STANDIN_REG_CREATE, STANDIN_REG_QUERY, STANDIN_REG_SET };
void StandinFailRegistryCall(StandinRegistryCall call, LONG error);

}  // extern "C"
