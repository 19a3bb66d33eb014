// A printer whose port is a temporary file, set up through the Win32 spooler calls only.
#pragma once

#include "hostglue.h"

#include <winspool.h>

#include <string>

class TestPrinter {
public:
    // An empty port gives a temporary file that EndJobAndRead reads back.
    explicit TestPrinter(const WString& driver = TEXT("Pralix PS"), const WString& port = WString());
    ~TestPrinter();
    TestPrinter(const TestPrinter&) = delete;
    TestPrinter& operator=(const TestPrinter&) = delete;

    HANDLE handle() const { return printer_; }
    const WString& name() const { return name_; }
    DWORD StartJob(const WCHAR* document, HANDLE on = nullptr);  // a null document: no name; `on`: another handle
    std::string EndJobAndRead();                                 // what reached the port
    std::string Output() const;                                  // what reached the port's file so far
    bool OutputExists() const;
    void RemoveOutput() const;

private:
    WString name_, portPath_, readPath_;
    HANDLE added_ = nullptr, printer_ = nullptr;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadWholeFile(const WString& path, long from = 0);  // from byte `from` on
size_t FileSize(const WString& path);  // 0 when it cannot be read

WString Wide(const std::string& ascii);

// An address of this build's loopback test network: "127.0.N.host".
std::string TestAddress(int host);
