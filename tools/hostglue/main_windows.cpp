#include "hostglue.h"

#include <shellapi.h>

// The command line in full Unicode.
int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<WString> args;
    for (int i = 0; argv && i < argc; i++) args.push_back(argv[i]);
    LocalFree(argv);
    return HostMain(args);
}
