#include "fuzz_printer.h"
#include "printersetup.h"

#include <winspool.h>

#include <fstream>
#include <iterator>

FuzzPrinter SetUpPrinter(const char* tag, const WString& driver)
{
    SetEnvironmentVariableA("UMPD_SPOOLER_DLL", "winspool.drv");
    std::string name = std::string("umpd-fuzz-") + tag + "-" + ProcessTag();
    FuzzPrinter printer = {nullptr, "/dev/shm/" + name + ".prn"};
    WString wideName = HostWiden(name.c_str());
    HANDLE added = AddPrinterForDriver(wideName, driver, HostWiden(printer.portPath.c_str()));
    if (!added) Fail("AddPrinterW failed: %u", static_cast<unsigned>(GetLastError()));
    ClosePrinter(added);
    if (!OpenPrinterW(&wideName[0], &printer.handle, nullptr))
        Fail("OpenPrinterW failed: %u", static_cast<unsigned>(GetLastError()));
    return printer;
}

DWORD StartFuzzJob(const FuzzPrinter& printer)
{
    WString document = TEXT("fuzz.ps"), datatype = TEXT("RAW");
    DOC_INFO_1W info = {&document[0], nullptr, &datatype[0]};
    DWORD id = StartDocPrinterW(printer.handle, 1, reinterpret_cast<LPBYTE>(&info));
    if (id == 0) Fail("StartDocPrinterW failed: %u", static_cast<unsigned>(GetLastError()));
    return id;
}

std::string EndFuzzJob(const FuzzPrinter& printer)
{
    if (!EndDocPrinter(printer.handle)) Fail("EndDocPrinter failed: %u", static_cast<unsigned>(GetLastError()));
    std::ifstream port(printer.portPath, std::ios::binary);
    if (!port) Fail("the port's file %s cannot be read", printer.portPath.c_str());
    std::string data((std::istreambuf_iterator<char>(port)), std::istreambuf_iterator<char>());
    remove(printer.portPath.c_str());
    return data;
}
