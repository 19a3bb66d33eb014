#include "fakes.h"
#include "spdll.h"

#include <winspool.h>

FakeSeams gFakes;

// What the loader does before any hook runs.
const bool gSectionReady = (InitializeCriticalSection(&UmpdSection), InitializeCriticalSection(&UmpdStoreSection),
                            InitializeCriticalSection(&UmpdTurnsSection), true);

void FakeSeams::Reset()
{
    *this = FakeSeams();
    toLoad = Defaults();
    validate = [](IdentOptions*) { return 1; };
    ticket = "<TICKET>\r\n";
}

StoredState LoadUserInfo(_OEM_PRIVDEVMODE* pUserOptions, HANDLE, LPCWSTR name, DWORD* pcbValue)
{
    gFakes.log += "load " + (name ? HostUtf8(name) : "(no name)") + "\n";
    *pUserOptions = gFakes.loadState == STORED_VALID ? gFakes.toLoad : Defaults();
    *pcbValue = gFakes.loadSize;
    return gFakes.loadState;
}

// Owner, password, account, address, first use, comment, secure-password use.
DWORD SetUserInfo(_OEM_PRIVDEVMODE* r, HANDLE, LPCWSTR)
{
    gFakes.log += "store " + HostUtf8(r->docOwner) + "|" + HostUtf8(r->password) + "|" + HostUtf8(r->accountNo) + "|" +
                  HostUtf8(r->ipAddress) + "|" + std::to_string(r->bInitialConnection) + "|" + HostUtf8(r->docComment) +
                  "|" + std::to_string(r->bUseSecurePassword) + "\n";
    return ERROR_SUCCESS;
}

// The same, then the secure-print password, the secure access use and the fields written.
int DoSPDlg(IdentOptions* o, HINSTANCE)
{
    gFakes.log += "validate " + std::string(o->docOwner) + "|" + o->password + "|" + o->accountNo + "|" + o->ipAddress +
                  "|" + std::to_string(o->bInitialConnection) + "|" + o->docComment + "|" +
                  std::to_string(o->bUseSecurePassword) + "|" + o->norvikSecurePassword + "|" +
                  std::to_string(o->bUseSecureAccessPassword) + "|" + std::to_string(o->written) + "\n";
    return gFakes.validate(o);
}

BOOL AddPralixOptions(HANDLE hPrinter, bool traceNotValid)
{
    gFakes.log += "ticket, to tell a bad value: " + std::to_string(traceNotValid) + "\n";
    DWORD written = 0;
    return WritePrinter(hPrinter, &gFakes.ticket[0], static_cast<DWORD>(gFakes.ticket.size()), &written);
}
