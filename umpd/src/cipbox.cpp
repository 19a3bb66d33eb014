// The server address dialog: one edit field for the print server's address.
// The procedure works on its run's application object (RunningApp), not on
// a record of its own.
#include "capp.h"
#include "charconversions.h"
#include "english/resource.h"

void CIPBoxConstructor(CIPBoxDataMembers* pCIPBoxData)
{
    pCIPBoxData->mstrIPAddress[0] = 0;
    pCIPBoxData->mInstance = nullptr;
}

void CIPBoxSetMembers(CIPBoxDataMembers* pCIPBoxData, const char* inIPAddress, HINSTANCE inInstance)
{
    if (inIPAddress) CopyNarrow(pCIPBoxData->mstrIPAddress, inIPAddress);
    pCIPBoxData->mlpfnCIPBoxProc = CIPBoxProc;
    pCIPBoxData->mInstance = inInstance;
}

int CIPBoxDoModal(CIPBoxDataMembers* pCIPBoxData, HWND hwnd)
{
    return static_cast<int>(DialogBoxParamW(pCIPBoxData->mInstance, MAKEINTRESOURCEW(IDD_IP_ADDRESS), hwnd,
                                            pCIPBoxData->mlpfnCIPBoxProc, 0));
}

void CIPBoxDestructor(CIPBoxDataMembers*) {}

extern "C" INT_PTR CALLBACK CIPBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM)
{
    CAppDataMembers* app = RunningApp();
    CIPBoxDataMembers* box = &app->mIPAddressBox;
    WCHAR text[256];
    if (message == WM_INITDIALOG) {
        char2tchar(text, 256, box->mstrIPAddress, sizeof box->mstrIPAddress);
        SetDlgItemTextW(hwnd, IDC_IP_ADDRESS, text);
        SetForegroundWindow(hwnd);
        return 1;
    }
    // The whole wParam is compared: a button click has notification code 0.
    if (message == WM_COMMAND && wParam == IDOK) {
        app->mIpAddressChanged = 1;
        app->mbIPAddressCancel = 0;
        GetDlgItemTextW(hwnd, IDC_IP_ADDRESS, text, 16);
        tchar2char(box->mstrIPAddress, sizeof box->mstrIPAddress, text, 256);
        if (IdentOptions* ident = app->mIdentOptions) {
            CopyNarrow(ident->ipAddress, box->mstrIPAddress);
            ident->written |= IDENT_WROTE_ADDRESS;
        }
        EndDialog(hwnd, 1);
        return 1;
    }
    if (message == WM_COMMAND && wParam == IDCANCEL) {
        app->mbIPAddressCancel = 1;
        EndDialog(hwnd, 2);
        return 2;
    }
    return 0;
}
