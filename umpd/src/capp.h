// The application object: the secure-access state of one validation run,
// with the records of the three dialogs.
#pragma once

#include "cipbox.h"
#include "ciumbox.h"
#include "csocket.h"
#include "cspbox.h"
#include "umpd.h"

#include <cstdint>

// The server's secure-printing policy: byte for byte the 521-byte record of
// the settings reply.
struct SSecurePrintOptions {
    uint8_t eSecurePrintingSetting;
    int8_t bEnableSecurePrint;
    int8_t bUserID;
    int8_t bUserIDVerify;
    int8_t bPassword;
    int8_t bAcctNumber;
    int8_t bAccountNumberVerify;
    int8_t bExemptPM;
    int8_t bExemptDFJobs;
    char strClientErrorMsg[256];
    char strEmailAddress[256];
};
static_assert(sizeof(SSecurePrintOptions) == 521, "the policy record of the settings reply");

struct CAppDataMembers {
    int mIpAddressChanged;
    int mbIPAddressCancel;
    CSPBoxDataMembers mDocInfoBox;
    CIPBoxDataMembers mIPAddressBox;
    CIUMBoxDataMembers mInvalidUserMsgBox;
    CSocketDataMembers mSocket;
    SSecurePrintOptions mSecureOptions;
    IdentOptions* mIdentOptions;  // the job's, borrowed for one run
    HINSTANCE mInstance;
};

// The process's application object; all zero at load.
extern CAppDataMembers gTheApp;

// The application object of the run on the calling thread: gTheApp, unless
// the thread's run has one of its own (a host's choice of turns per print
// server, umpd.cpp). The dialog procedures reach their run's state here: a
// modal dialog's procedure runs on the thread that showed it.
CAppDataMembers* RunningApp();
// Gives the calling thread's runs `app`; null: the process's again.
void SetRunningApp(CAppDataMembers* app);

// Step and reply codes shared by the server's replies and the flow's steps.
const int16_t CODE_REACHABLE = 100, CODE_IDENTITY_CONFIRMED = 101, CODE_END = 400, CODE_IO_FAILED = 401,
              CODE_UNREACHABLE = 403, CODE_CONNECT = 404, CODE_IDENTITY_REQUIRED = 405, CODE_RECEIVED = 407,
              CODE_SENT = 408;

void CAppConstructor(CAppDataMembers* pCappData);
void CAppSetMembers(CAppDataMembers* pCappData, IdentOptions* inOptions, HINSTANCE inInstance);
// Reachability probe of the stored address: 100 reachable, 403 not.
int16_t CAppEstablishConnection(CAppDataMembers* pCappData);
// The secure access dialog, locked: 404 connect again after OK, else 400
// (cancelled, or the dialog could not be shown).
int16_t CAppGetIPAddressFromUser(CAppDataMembers* pCappData);
int16_t CAppSend(CAppDataMembers* pCappData, const void* inBuffer, int16_t inLen);  // 408 sent, 401 failed
int16_t CAppRead(CAppDataMembers* pCappData, void* outBuffer, int16_t inLen);       // 407 received, 401 failed
// Takes over the 521-byte policy record; each text ends within its field.
void CAppSetSecurePrintingOptions(CAppDataMembers* pCappData, const void* inBuffer);
// 400 nothing required, 405 identity fields required.
int16_t CAppEvaluateSecureOptions(CAppDataMembers* pCappData);
// The secure access dialog, editable: 101, 400, 404 or 405; 400 also when
// the dialog could not be shown.
int16_t CAppGetUserInfo(CAppDataMembers* pCappData);
// Appends "user TAB password TAB account CR" to the text in outBuffer (of
// inMaxSize bytes) when 70 bytes are left for it; TAB, CR and LF inside a
// field become spaces.
void CAppAppendUserInfoOntoString(CAppDataMembers* pCappData, char* outBuffer, int16_t inMaxSize);
// The validation error dialog for a six-byte rejected-fields block.
void CAppDisplayInvalidInfoMessage(CAppDataMembers* pCappData, const void* inBuffer);

// A message box of the secure-access feature: caption 108, text `id` (each
// at most `limit` characters), OK only, no icon; its result does not matter.
void ShowSecureAccessMessage(HINSTANCE hInstance, UINT id, int limit = 256, HWND owner = nullptr);

// The value of a reply code: its leading decimal digits, at most inLen of
// them ("20x" is 20, a leading non-digit 0). The record is not used.
int16_t CAppConvertCodeAtoShort(CAppDataMembers* pCappData, const char* inCode, int16_t inLen);
