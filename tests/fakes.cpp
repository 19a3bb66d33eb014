#include "fakes.h"
#include "spdll.h"

#include <winspool.h>

#include <cstring>

FakeSeams gFakes;

// What the loader does before any hook runs.
const bool gSectionReady =
    (InitializeCriticalSection(&UmpdSection), InitializeCriticalSection(&UmpdStoreSection), true);

void FakeSeams::Reset()
{
    *this = FakeSeams();
    memset(&toLoad, 0, sizeof toLoad);
    SetDefaultPralixOptions(&toLoad);
    memset(&stored, 0, sizeof stored);
    memset(&validated, 0, sizeof validated);
    validate = [](IdentOptions*) { return 1; };
    ticket = "<TICKET>\r\n";
}

StoredState LoadUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE, LPCWSTR name, DWORD* pcbValue)
{
    gFakes.loads++;
    gFakes.loadName = name ? WString(name) : WString();
    *pUserOptions = gFakes.toLoad;
    if (gFakes.loadState != STORED_VALID) {
        memset(pUserOptions, 0, sizeof *pUserOptions);
        SetDefaultPralixOptions(pUserOptions);
    }
    *pcbValue = gFakes.loadSize;
    return gFakes.loadState;
}

DWORD SetUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE, LPCWSTR)
{
    gFakes.stores++;
    gFakes.stored = *pUserOptions;
    return ERROR_SUCCESS;
}

int DoSPDlg(IdentOptions* pOptions, HINSTANCE)
{
    gFakes.validations++;
    gFakes.validated = *pOptions;
    return gFakes.validate(pOptions);
}

BOOL AddPralixOptions(HANDLE hPrinter, bool traceNotValid)
{
    gFakes.tickets++;
    gFakes.ticketTraceAsked = traceNotValid;
    DWORD written = 0;
    return WritePrinter(hPrinter, &gFakes.ticket[0], static_cast<DWORD>(gFakes.ticket.size()), &written);
}
