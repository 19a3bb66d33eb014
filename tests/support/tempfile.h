// Temporary files that the spooler can use as a port, and host files as this build opens them.
#pragma once

#include "hostglue.h"

// out: the name to give the spooler as the port, and the path to read it by.
void TempOutputPath(const WString& fileName, WString* portName, WString* readPath);
void RemoveTempFile(const WString& readPath);
WString HostFilePath(const std::string& hostPath);
