// The per-driver option store in the registry.
#include "umpd.h"

// Until the registry store is built, every load gives the defaults and
// nothing is stored. A null driver name gives the same, so a driver whose
// name the spooler cannot tell never shares another driver's options.
DWORD GetUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE, LPCWSTR)
{
    SetDefaultPralixOptions(pUserOptions);
    return ERROR_FILE_NOT_FOUND;
}

DWORD SetUserInfo(_OEM_PRIVDEVMODE*, HANDLE, LPCWSTR)
{
    return ERROR_SUCCESS;
}
