// The per-driver option store: the whole options record as the binary value
// "User Info" of HKEY_LOCAL_MACHINE\SYSTEM\Printers\<driver name>, shared by
// every printer that uses the driver and every user of the machine.
#include "logmsg.h"
#include "umpd.h"

#include <winspool.h>

#include <cstring>

namespace {

const WCHAR gszUserInfo[] = TEXT("User Info");
const WCHAR KEY_PREFIX[] = TEXT("SYSTEM\\Printers\\");
const size_t NAME_MAX_UNITS = 256;  // a registry key name has at most 255 characters

// The driver's name behind a printer handle.
bool DriverNameOf(HANDLE hPrinter, WCHAR (&outName)[NAME_MAX_UNITS])
{
    BYTE* info = QueryDriverInfo1(hPrinter);
    LPCWSTR name = info ? reinterpret_cast<DRIVER_INFO_1W*>(info)->pName : nullptr;
    bool ok = name && wcslen(name) < NAME_MAX_UNITS;
    if (ok) wcscpy(outName, name);
    if (info) GlobalFree(info);
    return ok;
}

// in: a printer handle, or null and the driver's name; out: the sub-key.
// False when no usable name can be had (unknown, empty, or too long for a
// key name): the store is then left alone, so no two drivers ever share a key.
bool SubKeyFor(HANDLE hPrinter, LPCWSTR pszPrinterName, WCHAR (&szSubKeyLocation)[NAME_MAX_UNITS + 16])
{
    WCHAR tempPrinterName[NAME_MAX_UNITS];
    if (hPrinter) {
        if (!DriverNameOf(hPrinter, tempPrinterName)) return false;
    } else {
        if (!pszPrinterName || wcslen(pszPrinterName) >= NAME_MAX_UNITS) return false;
        wcscpy(tempPrinterName, pszPrinterName);
    }
    // A driver name such as "Model,Version" is stored under its part before
    // the last comma.
    if (WCHAR* comma = wcsrchr(tempPrinterName, ',')) *comma = 0;
    if (!tempPrinterName[0]) return false;
    return swprintf(szSubKeyLocation, NAME_MAX_UNITS + 16, TEXT("%ls%ls"), KEY_PREFIX, tempPrinterName) > 0;
}

void LoadDefaults(_OEM_PRIVDEVMODE* pUserOptions)
{
    LogMessage("Defaults being set from GetUserInfo");
    memset(pUserOptions, 0, sizeof *pUserOptions);
    SetDefaultPralixOptions(pUserOptions);
}

}  // namespace

StoredState LoadUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE hPrinter, LPCWSTR pszPrinterName, DWORD* pcbValue)
{
    LogMessage("Entering GetUserInfo()...");
    *pcbValue = 0;
    WCHAR szSubKeyLocation[NAME_MAX_UNITS + 16];
    HKEY hKey = nullptr;
    LONG status = ERROR_FILE_NOT_FOUND;
    _OEM_PRIVDEVMODE stored;
    DWORD dwDataType = 0, dwBufferSize = 0;
    if (SubKeyFor(hPrinter, pszPrinterName, szSubKeyLocation))
        status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, szSubKeyLocation, 0, KEY_QUERY_VALUE, &hKey);
    if (status == ERROR_SUCCESS) {
        dwBufferSize = sizeof stored;
        status = RegQueryValueExW(hKey, gszUserInfo, nullptr, &dwDataType, reinterpret_cast<LPBYTE>(&stored),
                                  &dwBufferSize);
        RegCloseKey(hKey);
    }
    // No name to store under counts as no value: nothing is ever stored there either.
    StoredState state = STORED_NOT_VALID;
    if (status == ERROR_FILE_NOT_FOUND)
        state = STORED_MISSING;
    else if (status == ERROR_SUCCESS && dwBufferSize == sizeof stored && stored.initialized == OPTIONS_VALID)
        state = STORED_VALID;
    if (state == STORED_VALID)
        *pUserOptions = stored;
    else
        LoadDefaults(pUserOptions);
    if (state == STORED_NOT_VALID) *pcbValue = dwBufferSize;
    LogMessage("GetUserInfo(%d)...", pUserOptions->initialized);
    return state;
}

// The load with the platform's status as its result.
DWORD GetUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE hPrinter, LPCWSTR pszPrinterName)
{
    DWORD size = 0;
    StoredState state = LoadUserInfo(pUserOptions, hPrinter, pszPrinterName, &size);
    return state == STORED_VALID ? ERROR_SUCCESS : static_cast<DWORD>(state == STORED_MISSING ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_DATA);
}

// Stores the record whole. A key it creates is volatile (it lasts until the
// system restarts) and open to every account (null DACL): the driver's
// property pages, running as the user, write the same value.
DWORD SetUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE hPrinter, LPCWSTR pszPrinterName)
{
    // The descriptor's size is the platform's own (40 bytes on x64, 20 on x86).
    PSECURITY_DESCRIPTOR pSD = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    DWORD result = ERROR_INVALID_DATA;
    WCHAR szSubKeyLocation[NAME_MAX_UNITS + 16];
    HKEY hKey = nullptr;
    DWORD dwStatus = 0;
    SECURITY_ATTRIBUTES sa = {sizeof sa, pSD, TRUE};
    if (pSD && InitializeSecurityDescriptor(pSD, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(pSD, TRUE, nullptr, FALSE) &&
        SubKeyFor(hPrinter, pszPrinterName, szSubKeyLocation) &&
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, szSubKeyLocation, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &sa,
                        &hKey, &dwStatus) == ERROR_SUCCESS) {
        result = static_cast<DWORD>(RegSetValueExW(hKey, gszUserInfo, 0, REG_BINARY,
                                                   reinterpret_cast<const BYTE*>(pUserOptions), sizeof *pUserOptions));
        // A platform that ignores the security given at creation (Wine) gets it here.
        if (dwStatus == REG_CREATED_NEW_KEY) RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, pSD);
        RegCloseKey(hKey);
    }
    if (pSD) LocalFree(pSD);
    return result;
}
