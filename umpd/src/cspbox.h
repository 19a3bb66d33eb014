// The secure access dialog (template 119): user ID, password and account
// number, in an editable layout (labels say which the server requires) or a
// locked one (fields hidden, OK disabled).
#pragma once

#include <windows.h>

struct IdentOptions;
struct SSecurePrintOptions;

struct CSPBoxDataMembers {
    int mAllowEditFields;  // non-zero: editable layout
    int mUserID;           // non-zero: the policy requires a user ID
    int mPassword;         // ... a password
    int mAccountNo;        // ... an account number
    HINSTANCE mInstance;
    DLGPROC mlpfnCSPBoxProc;
    char mstrAccountNumber[33];
    char mstrPassword[9];
    char mstrUserID[25];
};

void CSPBoxConstructor(CSPBoxDataMembers* pCSPBoxData);
void CSPBoxSetMembers(CSPBoxDataMembers* pCSPBoxData, const IdentOptions* inOptions, HINSTANCE inInstance);
void CSPBoxSetDialogBoxOptionsText(CSPBoxDataMembers* pCSPBoxData, SSecurePrintOptions inSecureOptions);
void CSPBoxResetDialogBox(CSPBoxDataMembers* pCSPBoxData);
int CSPBoxDoModal(CSPBoxDataMembers* pCSPBoxData, HWND hwnd);
void CSPBoxEnableMembers(CSPBoxDataMembers* pCSPBoxData, HWND hDlg);
void CSPBoxDisableMembers(CSPBoxDataMembers* pCSPBoxData, HWND hDlg);
void CSPBoxDestructor(CSPBoxDataMembers* pCSPBoxData);

extern "C" INT_PTR CALLBACK CSPBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
