// A printer on the stand-in's null port, for the benchmarks.
#pragma once

#include "hostglue.h"
#include "printersetup.h"

#include <winspool.h>

// A printer on the stand-in's null port.
struct NullPrinter {
    HANDLE added = nullptr, printer = nullptr;
    explicit NullPrinter(const WString& driver = TEXT("Pralix PS bench"))
    {
        SetEnvironmentVariableA("UMPD_SPOOLER_DLL", "winspool.drv");  // the handles are winspool.drv's
        WString name = TEXT("bench ") + driver;
        added = AddPrinterForDriver(name, driver, TEXT("NUL"));
        OpenPrinterW(&name[0], &printer, nullptr);
    }
    ~NullPrinter()
    {
        ClosePrinter(printer);
        DeletePrinter(added);
        ClosePrinter(added);
    }
    DWORD Start(const WString& document = TEXT("bench.ps"))
    {
        WString doc = document, type = TEXT("RAW");
        DOC_INFO_1W info = {&doc[0], nullptr, &type[0]};
        return StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&info));
    }
};
