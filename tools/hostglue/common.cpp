#include "hostglue.h"

WString ExecutableDirectory()
{
    WCHAR self[4096];
    DWORD n = GetModuleFileNameW(nullptr, self, 4096);
    WString path(self, n < 4096 ? n : 0);
    size_t slash = path.find_last_of(TEXT("/\\"));
    return slash == WString::npos ? WString() : path.substr(0, slash + 1);
}

bool LoadSpoolerHooks(HMODULE lib, SpoolerHooks* h)
{
    h->startDoc = GetProc<decltype(h->startDoc)>(lib, "DrvSplStartDoc");
    h->writePrinter = GetProc<decltype(h->writePrinter)>(lib, "DrvSplWritePrinter");
    h->endDoc = GetProc<decltype(h->endDoc)>(lib, "DrvSplEndDoc");
    h->close = GetProc<decltype(h->close)>(lib, "DrvSplClose");
    h->abort = GetProc<decltype(h->abort)>(lib, "DrvSplAbort");
    return h->startDoc && h->writePrinter && h->endDoc && h->close && h->abort;
}
