// What the host programs need beyond the Win32 API: wide command-line
// arguments and files opened by wide names. One source file per platform.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

typedef std::basic_string<WCHAR> WString;

// The program's own entry, called with the arguments as wide text.
int HostMain(const std::vector<WString>& args);

// Opens a file named in wide text with an fopen mode.
FILE* HostOpenFile(const WString& path, const char* mode);

// UTF-8 text as wide text.
WString HostWiden(const char* utf8);

// Wide text as UTF-8, for messages.
std::string HostUtf8(const WString& text);

// An export of a loaded module as a function of the given type.
template <typename Fn>
Fn GetProc(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The library's spooler hooks, looked up in a loaded module.
struct SpoolerHooks {
    HANDLE(WINAPI* startDoc)(HANDLE, DWORD);
    BOOL(WINAPI* writePrinter)(HANDLE, LPVOID, DWORD, LPDWORD);
    void(WINAPI* endDoc)(HANDLE);
    void(WINAPI* close)(HANDLE);
    void(WINAPI* abort)(HANDLE);
};

// False when the module lacks one of them.
bool LoadSpoolerHooks(HMODULE lib, SpoolerHooks* hooks);

// The directory of the running program, with its trailing separator.
WString ExecutableDirectory();

// Points the registry at a directory of files (the Linux stand-in's);
// false where the platform has its own registry.
bool HostUseRegistryDirectory(const WString& directory);
