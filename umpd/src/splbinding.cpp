// The spooler functions, from spoolss.dll unless UMPD_SPOOLER_DLL names
// winspool.drv (read once; any other value is ignored). The DLL is loaded on
// the first hook call that needs it, never under the loader lock of
// DllEntryPoint, and stays loaded for the life of the process.
#include "splbinding.h"

namespace {

struct SpoolerDll {
    const char* name;
    LPCWSTR file;
};
const SpoolerDll SPOOLER_DLLS[] = {{"spoolss.dll", TEXT("spoolss.dll")}, {"winspool.drv", TEXT("winspool.drv")}};

typedef BOOL(WINAPI* GetPrinterDriverFn)(HANDLE, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD);
typedef BOOL(WINAPI* GetJobFn)(HANDLE, DWORD, DWORD, LPBYTE, DWORD, LPDWORD);
typedef BOOL(WINAPI* WritePrinterFn)(HANDLE, LPVOID, DWORD, LPDWORD);

struct SpoolerBinding {
    GetPrinterDriverFn getPrinterDriver;
    GetJobFn getJob;
    WritePrinterFn writePrinter;
};

bool SameAsciiName(const char* a, const char* b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (; *a && lower(*a) == lower(*b); a++, b++) {}
    return *a == *b;
}

// The DLL that UMPD_SPOOLER_DLL names (in any case); the first by default.
LPCWSTR ChosenDll()
{
    char value[32];
    DWORD n = GetEnvironmentVariableA("UMPD_SPOOLER_DLL", value, sizeof value);
    if (n > 0 && n < sizeof value)
        for (const SpoolerDll& dll : SPOOLER_DLLS)
            if (SameAsciiName(value, dll.name)) return dll.file;
    return SPOOLER_DLLS[0].file;
}

template <typename Fn>
Fn Proc(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : nullptr;
}

SpoolerBinding Bind()
{
    HMODULE module = LoadLibraryW(ChosenDll());
    return {Proc<GetPrinterDriverFn>(module, "GetPrinterDriverW"), Proc<GetJobFn>(module, "GetJobW"),
            Proc<WritePrinterFn>(module, "WritePrinter")};
}

// Resolved once, by whichever hook call comes first (a thread-safe static).
const SpoolerBinding& Spooler()
{
    static const SpoolerBinding binding = Bind();
    return binding;
}

}  // namespace

BOOL SplGetPrinterDriverW(HANDLE hPrinter, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                          LPDWORD pcbNeeded)
{
    GetPrinterDriverFn fn = Spooler().getPrinterDriver;
    return fn ? fn(hPrinter, pEnvironment, Level, pDriverInfo, cbBuf, pcbNeeded) : FALSE;
}

BOOL SplGetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD cbBuf, LPDWORD pcbNeeded)
{
    GetJobFn fn = Spooler().getJob;
    return fn ? fn(hPrinter, JobId, Level, pJob, cbBuf, pcbNeeded) : FALSE;
}

BOOL SplWritePrinter(HANDLE hPrinter, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten)
{
    WritePrinterFn fn = Spooler().writePrinter;
    return fn ? fn(hPrinter, pBuf, cbBuf, pcWritten) : FALSE;
}

BOOL SplWriteAll(HANDLE hPrinter, const void* p, DWORD n)
{
    const BYTE* at = static_cast<const BYTE*>(p);
    while (n > 0) {
        DWORD bufWritten = 0;
        if (!SplWritePrinter(hPrinter, const_cast<BYTE*>(at), n, &bufWritten) || bufWritten == 0) return FALSE;
        bufWritten = bufWritten < n ? bufWritten : n;
        at += bufWritten;
        n -= bufWritten;
    }
    return TRUE;
}
