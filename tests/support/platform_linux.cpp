// The stand-in's side of tempfile.h and codepage.h.
#include "codepage.h"
#include "tempfile.h"

#include <standin.h>

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

bool SelectAnsiCodePage(UINT codePage)
{
    StandinSetAnsiCodePage(codePage);
    return GetACP() == codePage;
}

void RestoreAnsiCodePage() { StandinSetAnsiCodePage(1252); }
