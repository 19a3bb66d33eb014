#include "hostglue.h"

#include <cstring>

// File names in full Unicode.
WString HostWiden(const char* utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::vector<WCHAR> buf(n > 0 ? n : 1);
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, buf.data(), n);
    return WString(buf.data());
}

std::string HostUtf8(const WString& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> buf(n > 0 ? n : 1);
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buf.data(), n, nullptr, nullptr);
    return std::string(buf.data());
}

FILE* HostOpenFile(const WString& path, const char* mode)
{
    WString wmode(mode, mode + strlen(mode));
    return _wfopen(path.c_str(), wmode.c_str());
}

bool HostUseRegistryDirectory(const WString&) { return false; }
