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

// The one application object of the process; all zero at load.
extern CAppDataMembers gTheApp;

// The value of a reply code: its leading decimal digits, at most inLen of
// them ("20x" is 20, a leading non-digit 0). The record is not used.
int16_t CAppConvertCodeAtoShort(CAppDataMembers* pCappData, const char* inCode, int16_t inLen);
