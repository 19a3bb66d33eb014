// Windows' side of tempfile.h and codepage.h; under Wine, host paths through Wine's own conversions.
#include "codepage.h"
#include "tempfile.h"

#include <cstdio>

template <class Fn>
static Fn WineFunction(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// Wine's spooler takes a host path as a file port; on Windows the port is the file's own name.
void TempOutputPath(const WString& fileName, WString* portName, WString* readPath)
{
    WCHAR dir[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, dir);
    *portName = *readPath = WString(dir, n < MAX_PATH ? n : 0) + fileName;
    auto unixName = WineFunction<char*(CDECL*)(LPCWSTR)>("wine_get_unix_file_name");
    if (char* name = unixName ? unixName(readPath->c_str()) : nullptr) {
        std::string s(name);
        *portName = WString(s.begin(), s.end());
        HeapFree(GetProcessHeap(), 0, name);
    }
}

void RemoveTempFile(const WString& readPath) { _wremove(readPath.c_str()); }

WString HostFilePath(const std::string& hostPath)
{
    WString path = HostWiden(hostPath.c_str());
    auto dosName = WineFunction<WCHAR*(CDECL*)(LPCSTR)>("wine_get_dos_file_name");
    if (WCHAR* name = dosName ? dosName(hostPath.c_str()) : nullptr) {
        path = name;
        HeapFree(GetProcessHeap(), 0, name);
    }
    return path;
}

bool SelectAnsiCodePage(UINT codePage) { return GetACP() == codePage; }

void RestoreAnsiCodePage() {}
