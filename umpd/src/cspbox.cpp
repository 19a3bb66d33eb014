// The secure access dialog. The procedure works on the record mDocInfoBox of
// its run's application object (RunningApp).
#include "capp.h"
#include "charconversions.h"
#include "english/resource.h"

#include <initializer_list>

namespace {

// A field of the dialog, its limit, and where its text lives in the record.
struct IdentityField {
    int id;
    int limit;  // characters
    char* (*text)(CSPBoxDataMembers*);
    size_t size;
};

const IdentityField FIELDS[] = {
    {IDC_USER_ID, 24, [](CSPBoxDataMembers* b) { return b->mstrUserID; }, sizeof(CSPBoxDataMembers::mstrUserID)},
    {IDC_PASSWORD, 8, [](CSPBoxDataMembers* b) { return b->mstrPassword; }, sizeof(CSPBoxDataMembers::mstrPassword)},
    {IDC_ACCOUNT_NUMBER, 32, [](CSPBoxDataMembers* b) { return b->mstrAccountNumber; },
     sizeof(CSPBoxDataMembers::mstrAccountNumber)},
};

const int LABELS[] = {IDC_USER_ID_LABEL, IDC_PASSWORD_LABEL, IDC_ACCOUNT_NUMBER_LABEL};
const int NOT_CONNECTED[] = {IDC_NOT_CONNECTED_2, IDC_NOT_CONNECTED_1};

// Shows or hides each control that exists.
void ShowEach(HWND hDlg, std::initializer_list<int> ids, int show)
{
    for (int id : ids)
        if (HWND control = GetDlgItem(hDlg, id)) ShowWindow(control, show);
}

// Reads the three fields into the record, each within its field.
void ReadFields(CSPBoxDataMembers* box, HWND hwnd)
{
    for (const IdentityField& f : FIELDS) {
        WCHAR text[256];
        GetDlgItemTextW(hwnd, f.id, text, f.limit + 1);
        tchar2char(f.text(box), f.size, text, 256);
    }
}

}  // namespace

void CSPBoxConstructor(CSPBoxDataMembers* pCSPBoxData)
{
    pCSPBoxData->mstrAccountNumber[0] = pCSPBoxData->mstrPassword[0] = pCSPBoxData->mstrUserID[0] = 0;
    pCSPBoxData->mAllowEditFields = pCSPBoxData->mUserID = pCSPBoxData->mPassword = pCSPBoxData->mAccountNo = 0;
    pCSPBoxData->mInstance = nullptr;
}

void CSPBoxSetMembers(CSPBoxDataMembers* pCSPBoxData, const IdentOptions* inOptions, HINSTANCE inInstance)
{
    if (inOptions) {
        CopyNarrow(pCSPBoxData->mstrAccountNumber, inOptions->accountNo, sizeof inOptions->accountNo);
        CopyNarrow(pCSPBoxData->mstrPassword, inOptions->password, sizeof inOptions->password);
        CopyNarrow(pCSPBoxData->mstrUserID, inOptions->docOwner, sizeof inOptions->docOwner);
    }
    pCSPBoxData->mInstance = inInstance;
    pCSPBoxData->mlpfnCSPBoxProc = CSPBoxProc;
}

void CSPBoxSetDialogBoxOptionsText(CSPBoxDataMembers* pCSPBoxData, SSecurePrintOptions inSecureOptions)
{
    pCSPBoxData->mUserID = inSecureOptions.bUserID;
    pCSPBoxData->mPassword = inSecureOptions.bPassword;
    pCSPBoxData->mAccountNo = inSecureOptions.bAcctNumber;
    pCSPBoxData->mAllowEditFields = 1;
}

void CSPBoxResetDialogBox(CSPBoxDataMembers* pCSPBoxData) { pCSPBoxData->mAllowEditFields = 0; }

int CSPBoxDoModal(CSPBoxDataMembers* pCSPBoxData, HWND hwnd)
{
    return static_cast<int>(DialogBoxParamW(pCSPBoxData->mInstance, MAKEINTRESOURCEW(IDD_SECURE_ACCESS), hwnd,
                                            pCSPBoxData->mlpfnCSPBoxProc, 0));
}

// The fields editable, each labelled "Required" or "Optional".
void CSPBoxEnableMembers(CSPBoxDataMembers* pCSPBoxData, HWND hDlg)
{
    WCHAR optional[9], required[9];
    LoadStringW(pCSPBoxData->mInstance, IDS_OPTIONAL, optional, 9);
    LoadStringW(pCSPBoxData->mInstance, IDS_REQUIRED, required, 9);
    const int flags[] = {pCSPBoxData->mUserID, pCSPBoxData->mPassword, pCSPBoxData->mAccountNo};
    for (int i = 0; i < 3; i++)
        if (GetDlgItem(hDlg, LABELS[i])) SetDlgItemTextW(hDlg, LABELS[i], flags[i] ? required : optional);
    ShowEach(hDlg, {NOT_CONNECTED[0], NOT_CONNECTED[1]}, SW_HIDE);
    ShowEach(hDlg, {IDC_USER_ID, IDC_PASSWORD, IDC_ACCOUNT_NUMBER}, SW_SHOWNORMAL);
    if (HWND ok = GetDlgItem(hDlg, IDOK)) EnableWindow(ok, TRUE);
    ShowEach(hDlg, {LABELS[0], LABELS[1], LABELS[2]}, SW_SHOWNORMAL);
    ShowEach(hDlg, {IDC_IP_ADDRESS}, SW_HIDE);
}

// The fields hidden and OK disabled: the dialog can only be cancelled.
void CSPBoxDisableMembers(CSPBoxDataMembers*, HWND hDlg)
{
    ShowEach(hDlg, {IDC_USER_ID, IDC_PASSWORD, IDC_ACCOUNT_NUMBER}, SW_HIDE);
    if (HWND ok = GetDlgItem(hDlg, IDOK)) EnableWindow(ok, FALSE);
    ShowEach(hDlg, {LABELS[0], LABELS[1], LABELS[2]}, SW_HIDE);
    ShowEach(hDlg, {NOT_CONNECTED[0], NOT_CONNECTED[1]}, SW_SHOWNORMAL);
    ShowEach(hDlg, {IDC_IP_ADDRESS}, SW_HIDE);
}

void CSPBoxDestructor(CSPBoxDataMembers*) {}

extern "C" INT_PTR CALLBACK CSPBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM)
{
    CAppDataMembers* app = RunningApp();
    CSPBoxDataMembers* box = &app->mDocInfoBox;
    if (message == WM_INITDIALOG) {
        for (const IdentityField& f : FIELDS) {
            if (HWND field = GetDlgItem(hwnd, f.id)) SendMessageW(field, EM_LIMITTEXT, static_cast<WPARAM>(f.limit), 0);
            WCHAR text[256];
            char2tchar(text, 256, f.text(box), f.size);
            SetDlgItemTextW(hwnd, f.id, text);
        }
        if (box->mAllowEditFields)
            CSPBoxEnableMembers(box, hwnd);
        else
            CSPBoxDisableMembers(box, hwnd);
        SetForegroundWindow(hwnd);
        return 1;
    }
    if (message != WM_COMMAND) return 0;
    // The whole wParam is compared: a button click has notification code 0.
    if (wParam == IDOK) {
        ReadFields(box, hwnd);
        if (IdentOptions* ident = app->mIdentOptions) {
            CopyNarrow(ident->docOwner, box->mstrUserID);
            CopyNarrow(ident->password, box->mstrPassword);
            CopyNarrow(ident->accountNo, box->mstrAccountNumber);
            ident->written |= IDENT_WROTE_IDENTITY;
        }
        EndDialog(hwnd, 1);
        return 1;
    }
    if (wParam == IDCANCEL) {
        EndDialog(hwnd, 2);
        return 2;
    }
    if (wParam == IDC_IP_ADDRESS) {
        ReadFields(box, hwnd);
        EndDialog(hwnd, CIPBoxDoModal(&app->mIPAddressBox, hwnd));
        return 1;
    }
    return 0;
}
