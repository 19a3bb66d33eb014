#include "tempfile.h"

#include <cstdio>
#include <cstdlib>

void TempOutputPath(const WString& fileName, WString* portName, WString* readPath)
{
    const char* dir = getenv("TMPDIR");
    std::string base = std::string(dir && *dir ? dir : "/tmp") + "/";
    *portName = *readPath = WString(base.begin(), base.end()) + fileName;
}

void RemoveTempFile(const WString& readPath) { remove(HostUtf8(readPath).c_str()); }

WString HostFilePath(const std::string& hostPath) { return HostWiden(hostPath.c_str()); }
