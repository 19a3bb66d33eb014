#include "hostglue.h"

#include <cstring>

// Arguments are UTF-8 on Linux.
int main(int argc, char** argv)
{
    std::vector<WString> args;
    for (int i = 0; i < argc; i++) args.push_back(HostWiden(argv[i]));
    return HostMain(args);
}
