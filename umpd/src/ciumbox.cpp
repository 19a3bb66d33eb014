// The validation error dialog: which fields the server rejected, and the
// administrator's message and e-mail text. Only OK closes it.
#include "capp.h"
#include "charconversions.h"
#include "english/resource.h"

namespace {

// Rows tried in order; each flag must equal exactly 0 or 1 as given.
struct RejectedRow {
    int user, password, account;
    UINT stringId;
};

const RejectedRow REJECTED_ROWS[] = {
    {1, 1, 0, IDS_REJECTED_ACCOUNT},  {1, 0, 1, IDS_REJECTED_PASSWORD}, {1, 0, 0, IDS_REJECTED_PASSWORD_ACCOUNT},
    {0, 1, 1, IDS_REJECTED_USER},     {0, 1, 0, IDS_REJECTED_USER_ACCOUNT}, {0, 0, 1, IDS_REJECTED_USER},
};

UINT RejectedFieldsString(const CIUMBoxDataMembers* box)
{
    for (const RejectedRow& r : REJECTED_ROWS)
        if (box->mUserID == r.user && box->mPassword == r.password && box->mAcctNumber == r.account) return r.stringId;
    return IDS_REJECTED_USER_ACCOUNT;
}

}  // namespace

void CIUMBoxConstructor(CIUMBoxDataMembers* pCIUMBoxData)
{
    pCIUMBoxData->mUserID = pCIUMBoxData->mPassword = pCIUMBoxData->mAcctNumber = 0;
    pCIUMBoxData->mClientErrorMsg[0] = pCIUMBoxData->mEmailAddress[0] = 0;
    pCIUMBoxData->mInstance = nullptr;
    pCIUMBoxData->mlpfnCIUMBoxProc = nullptr;
}

void CIUMBoxSetMembers(CIUMBoxDataMembers* pCIUMBoxData, int inUser, int inPassword, int inAcctNo,
                       const SSecurePrintOptions* inOptions, HINSTANCE inInstance)
{
    pCIUMBoxData->mUserID = inUser;
    pCIUMBoxData->mPassword = inPassword;
    pCIUMBoxData->mAcctNumber = inAcctNo;
    if (inOptions) {
        CopyNarrow(pCIUMBoxData->mClientErrorMsg, inOptions->strClientErrorMsg, sizeof inOptions->strClientErrorMsg);
        CopyNarrow(pCIUMBoxData->mEmailAddress, inOptions->strEmailAddress, sizeof inOptions->strEmailAddress);
    }
    pCIUMBoxData->mInstance = inInstance;
    pCIUMBoxData->mlpfnCIUMBoxProc = CIUMBoxProc;
}

int CIUMBoxDoModal(CIUMBoxDataMembers* pCIUMBoxData, HWND hwnd)
{
    return static_cast<int>(DialogBoxParamW(pCIUMBoxData->mInstance, MAKEINTRESOURCEW(IDD_VALIDATION_ERROR), hwnd,
                                            pCIUMBoxData->mlpfnCIUMBoxProc, 0));
}

void CIUMBoxDestructor(CIUMBoxDataMembers*) {}

extern "C" INT_PTR CALLBACK CIUMBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM)
{
    CIUMBoxDataMembers* box = &RunningApp()->mInvalidUserMsgBox;
    if (message == WM_INITDIALOG) {
        WCHAR fields[256], text[256];
        LoadStringW(box->mInstance, RejectedFieldsString(box), fields, 256);
        SetDlgItemTextW(hwnd, IDC_INVALID_FIELDS, fields);
        char2tchar(text, 256, box->mClientErrorMsg, sizeof box->mClientErrorMsg);
        SetDlgItemTextW(hwnd, IDC_ADMIN_MESSAGE, text);
        char2tchar(text, 256, box->mEmailAddress, sizeof box->mEmailAddress);
        SetDlgItemTextW(hwnd, IDC_ADMIN_EMAIL, text);
        SetForegroundWindow(hwnd);
        return 1;
    }
    // Esc (IDCANCEL) is ignored: only OK closes the dialog.
    if (message == WM_COMMAND && wParam == IDOK) {
        EndDialog(hwnd, 1);
        return 1;
    }
    return 0;
}
