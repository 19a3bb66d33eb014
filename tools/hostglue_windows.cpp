#include "hostglue.h"

#include <shellapi.h>

#include <cstring>

// The command line and file names in full Unicode.
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

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<WString> args;
    for (int i = 0; argv && i < argc; i++) args.push_back(argv[i]);
    LocalFree(argv);
    return HostMain(args);
}
