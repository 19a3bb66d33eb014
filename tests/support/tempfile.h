// Temporary files that the spooler can use as a port. One source per platform.
#pragma once

#include "hostglue.h"

// out: the name to give the spooler as the port, and the path to read it by.
void TempOutputPath(const WString& fileName, WString* portName, WString* readPath);
void RemoveTempFile(const WString& readPath);

// A file of the host system by its host path, as this build opens it.
WString HostFilePath(const std::string& hostPath);
