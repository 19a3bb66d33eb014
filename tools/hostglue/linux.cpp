#include "hostglue.h"

#include <standin.h>

#include <cstring>

// File names are UTF-8 on Linux.
WString HostWiden(const char* s)
{
    std::vector<WCHAR> buf(strlen(s) + 1);
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, buf.data(), static_cast<int>(buf.size()));
    return n > 0 ? WString(buf.data()) : WString();
}

std::string HostUtf8(const WString& text)
{
    std::vector<char> buf(text.size() * 3 + 1);
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr);
    return n > 0 ? std::string(buf.data()) : std::string();
}

FILE* HostOpenFile(const WString& path, const char* mode)
{
    return fopen(HostUtf8(path).c_str(), mode);
}

bool HostUseRegistryDirectory(const WString& directory)
{
    StandinSetRegistryRoot(HostUtf8(directory).c_str());
    return true;
}
