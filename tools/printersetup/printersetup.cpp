#include "printersetup.h"

HANDLE AddPrinterForDriver(const WString& name, const WString& driver, const WString& port)
{
    // The driver files are Wine's own PostScript driver: the hooks under test
    // are loaded by the host, not by the spooler.
    WString printer = name, drv = driver, out = port, file = TEXT("C:\\windows\\system32\\wineps.drv");
    WString processor = TEXT("WinPrint"), datatype = TEXT("RAW");
    DRIVER_INFO_3W di = {};
    di.cVersion = 3;
    di.pName = &drv[0];
    di.pDriverPath = di.pDataFile = di.pConfigFile = &file[0];
    if (!AddPrinterDriverW(nullptr, 3, reinterpret_cast<LPBYTE>(&di)) &&
        GetLastError() != ERROR_PRINTER_DRIVER_ALREADY_INSTALLED)
        return nullptr;
    PRINTER_INFO_2W pi = {};
    pi.pPrinterName = &printer[0];
    pi.pPortName = &out[0];
    pi.pDriverName = &drv[0];
    pi.pPrintProcessor = &processor[0];
    pi.pDatatype = &datatype[0];
    pi.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&pi));
}
