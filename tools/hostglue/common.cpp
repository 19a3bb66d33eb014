#include "hostglue.h"

WString ExecutableDirectory()
{
    WCHAR self[4096];
    DWORD n = GetModuleFileNameW(nullptr, self, 4096);
    WString path(self, n < 4096 ? n : 0);
    size_t slash = path.find_last_of(TEXT("/\\"));
    return slash == WString::npos ? WString() : path.substr(0, slash + 1);
}
