#include "printer.h"
#include "printersetup.h"
#include "tempfile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

static int gPrinterCount = 0;

std::string TestAddress(int host) { return UMPD_TEST_NET + std::to_string(host); }

WString Wide(const std::string& ascii) { return WString(ascii.begin(), ascii.end()); }

std::string ReadWholeFile(const WString& path, long from)
{
    std::string data;
    FILE* f = HostOpenFile(path, "rb");
    if (!f || fseek(f, from, SEEK_SET) != 0) {
        if (f) fclose(f);
        return data;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    fclose(f);
    return data;
}

size_t FileSize(const WString& path)
{
    FILE* f = HostOpenFile(path, "rb");
    long size = f && fseek(f, 0, SEEK_END) == 0 ? ftell(f) : 0;
    if (f) fclose(f);
    return size > 0 ? static_cast<size_t>(size) : 0;
}

TestPrinter::TestPrinter(const WString& driver, const WString& port)
{
    // The hooks must bind winspool.drv's functions, whose handles they get, not the router's (read at the first call).
    SetEnvironmentVariableA("UMPD_SPOOLER_DLL", "winspool.drv");
    std::string id = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++gPrinterCount);
    name_ = Wide("umpd-test " + id);
    portPath_ = port;
    if (port.empty()) {
        TempOutputPath(Wide("umpd-test-" + id + ".prn"), &portPath_, &readPath_);
        RemoveOutput();
    }
    added_ = AddPrinterForDriver(name_, driver, portPath_);
    EXPECT_NE(added_, nullptr) << "AddPrinterW failed: " << GetLastError();
    EXPECT_TRUE(OpenPrinterW(&name_[0], &printer_, nullptr)) << GetLastError();
}

TestPrinter::~TestPrinter()
{
    if (printer_) ClosePrinter(printer_);
    if (added_) {
        DeletePrinter(added_);
        ClosePrinter(added_);
    }
    RemoveOutput();
}

DWORD TestPrinter::StartJob(const WCHAR* document, HANDLE on)
{
    WString doc = document ? WString(document) : WString(), datatype = TEXT("RAW");
    DOC_INFO_1W info = {document ? &doc[0] : nullptr, nullptr, &datatype[0]};
    DWORD id = StartDocPrinterW(on ? on : printer_, 1, reinterpret_cast<LPBYTE>(&info));
    EXPECT_NE(id, 0u) << "StartDocPrinterW failed: " << GetLastError();
    return id;
}

std::string TestPrinter::EndJobAndRead()
{
    EXPECT_TRUE(EndDocPrinter(printer_)) << GetLastError();
    return Output();
}

std::string TestPrinter::Output() const { return readPath_.empty() ? std::string() : ReadWholeFile(readPath_); }

bool TestPrinter::OutputExists() const
{
    FILE* f = readPath_.empty() ? nullptr : HostOpenFile(readPath_, "rb");
    if (f) fclose(f);
    return f != nullptr;
}

void TestPrinter::RemoveOutput() const
{
    if (!readPath_.empty()) RemoveTempFile(readPath_);
}
