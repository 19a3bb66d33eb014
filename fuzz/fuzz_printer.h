// A printer of the stand-in spooler whose port is a file in /dev/shm, for the fuzzers that print.
#pragma once

#include "fuzz_check.h"
#include "hostglue.h"

struct FuzzPrinter {
    HANDLE handle;         // OpenPrinterW's handle: the one the hooks get
    std::string portPath;  // the port's file
};

// Adds the printer umpd-fuzz-TAG-PID of `driver`, port /dev/shm/umpd-fuzz-TAG-PID.prn; binds the hooks to winspool.drv.
FuzzPrinter SetUpPrinter(const char* tag, const WString& driver);

// Starts a RAW job named "fuzz.ps"; returns its id.
DWORD StartFuzzJob(const FuzzPrinter& printer);

// Ends the job and returns what reached the port; the port's file is removed.
std::string EndFuzzJob(const FuzzPrinter& printer);
