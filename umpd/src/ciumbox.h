// The validation error dialog (template 106).
#pragma once

#include <windows.h>

struct SSecurePrintOptions;

struct CIUMBoxDataMembers {
    int mUserID;      // 1: the server accepted the user ID
    int mPassword;    // 1: it accepted the password
    int mAcctNumber;  // 1: it accepted the account number
    char mClientErrorMsg[256];
    char mEmailAddress[256];
    HINSTANCE mInstance;
    DLGPROC mlpfnCIUMBoxProc;
};

void CIUMBoxConstructor(CIUMBoxDataMembers* pCIUMBoxData);
void CIUMBoxSetMembers(CIUMBoxDataMembers* pCIUMBoxData, int inUser, int inPassword, int inAcctNo,
                       const SSecurePrintOptions* inOptions, HINSTANCE inInstance);
int CIUMBoxDoModal(CIUMBoxDataMembers* pCIUMBoxData, HWND hwnd);
void CIUMBoxDestructor(CIUMBoxDataMembers* pCIUMBoxData);

extern "C" INT_PTR CALLBACK CIUMBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
