#include "tempfile.h"

#include <cstdio>

// Wine's spooler takes a host path as a file port; on Windows the port is
// the file's own name.
void TempOutputPath(const WString& fileName, WString* portName, WString* readPath)
{
    WCHAR dir[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, dir);
    *readPath = WString(dir, n < MAX_PATH ? n : 0) + fileName;
    *portName = *readPath;
    typedef char*(CDECL * UnixNameFn)(LPCWSTR);
    auto unixName = reinterpret_cast<UnixNameFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return;
    if (char* name = unixName(readPath->c_str())) {
        std::string s(name);
        *portName = WString(s.begin(), s.end());
        HeapFree(GetProcessHeap(), 0, name);
    }
}

void RemoveTempFile(const WString& readPath) { _wremove(readPath.c_str()); }

// Under Wine a host path is reached through the drive that maps it.
WString HostFilePath(const std::string& hostPath)
{
    typedef WCHAR*(CDECL * DosNameFn)(LPCSTR);
    auto dosName = reinterpret_cast<DosNameFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    WString path = HostWiden(hostPath.c_str());
    if (!dosName) return path;
    if (WCHAR* name = dosName(hostPath.c_str())) {
        path = name;
        HeapFree(GetProcessHeap(), 0, name);
    }
    return path;
}
