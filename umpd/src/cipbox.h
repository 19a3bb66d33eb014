// The server address dialog (template 118).
#pragma once

#include <windows.h>

struct CIPBoxDataMembers {
    char mstrIPAddress[16];  // at most 15 characters
    DLGPROC mlpfnCIPBoxProc;
    HINSTANCE mInstance;
};

void CIPBoxConstructor(CIPBoxDataMembers* pCIPBoxData);
// A longer address is cut to the field, which stays terminated.
void CIPBoxSetMembers(CIPBoxDataMembers* pCIPBoxData, const char* inIPAddress, HINSTANCE inInstance);
// The platform's result: 1 OK, 2 Cancel, 0 or -1 when the dialog cannot be shown.
int CIPBoxDoModal(CIPBoxDataMembers* pCIPBoxData, HWND hwnd);
void CIPBoxDestructor(CIPBoxDataMembers* pCIPBoxData);

extern "C" INT_PTR CALLBACK CIPBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
