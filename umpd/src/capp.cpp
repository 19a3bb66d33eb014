// The application object: the secure-access state of one validation run.
#include "capp.h"

#include "english/resource.h"

#include <cstring>

CAppDataMembers gTheApp;

namespace {

thread_local CAppDataMembers* tRunningApp = nullptr;

const int IDENTITY_LINE_RESERVE = 70;  // the longest line (67 bytes) and its terminator, with room

// Appends a field, each TAB, CR or LF a space so no field can shift another.
char* AppendField(char* out, const char* field)
{
    for (; *field; field++) *out++ = (*field == '\t' || *field == '\r' || *field == '\n') ? ' ' : *field;
    return out;
}

}  // namespace

CAppDataMembers* RunningApp() { return tRunningApp ? tRunningApp : &gTheApp; }

void SetRunningApp(CAppDataMembers* app) { tRunningApp = app; }

void CAppConstructor(CAppDataMembers* pCappData)
{
    CSPBoxConstructor(&pCappData->mDocInfoBox);
    CIPBoxConstructor(&pCappData->mIPAddressBox);
    CIUMBoxConstructor(&pCappData->mInvalidUserMsgBox);
    CSocketConstructor(&pCappData->mSocket);
    CSocketInitialize(&pCappData->mSocket);  // a failure shows as every connect failing
    pCappData->mIdentOptions = nullptr;
    // No policy yet: nothing required, and no administrator's texts of an
    // earlier run for a server that never sends its own.
    memset(&pCappData->mSecureOptions, 0, sizeof pCappData->mSecureOptions);
    pCappData->mIpAddressChanged = 1;
    pCappData->mbIPAddressCancel = 0;
}

void CAppSetMembers(CAppDataMembers* pCappData, IdentOptions* inOptions, HINSTANCE inInstance)
{
    pCappData->mInstance = inInstance;
    pCappData->mIdentOptions = inOptions;
    CSPBoxSetMembers(&pCappData->mDocInfoBox, inOptions, inInstance);
    CIPBoxSetMembers(&pCappData->mIPAddressBox, inOptions ? inOptions->ipAddress : nullptr, inInstance);
}

int16_t CAppEstablishConnection(CAppDataMembers* pCappData)
{
    CSocketCloseSocket(&pCappData->mSocket);
    if (!CSocketConnectSocket(&pCappData->mSocket, pCappData->mIPAddressBox.mstrIPAddress, SECURE_ACCESS_PORT))
        return CODE_UNREACHABLE;
    pCappData->mIpAddressChanged = 0;
    CSocketCloseSocket(&pCappData->mSocket);
    return CODE_REACHABLE;
}

int16_t CAppGetIPAddressFromUser(CAppDataMembers* pCappData)
{
    pCappData->mDocInfoBox.mAllowEditFields = 0;
    // A dialog that cannot be shown (0 or -1) counts as a cancel: the run
    // would otherwise ask for it again for ever, with nobody able to stop it.
    return CSPBoxDoModal(&pCappData->mDocInfoBox, nullptr) == IDOK ? CODE_CONNECT : CODE_END;
}

int16_t CAppSend(CAppDataMembers* pCappData, const void* inBuffer, int16_t inLen)
{
    return CSocketSend(&pCappData->mSocket, inBuffer, inLen) > 0 ? CODE_SENT : CODE_IO_FAILED;
}

int16_t CAppRead(CAppDataMembers* pCappData, void* outBuffer, int16_t inLen)
{
    return CSocketRead(&pCappData->mSocket, outBuffer, inLen) > 0 ? CODE_RECEIVED : CODE_IO_FAILED;
}

void CAppSetSecurePrintingOptions(CAppDataMembers* pCappData, const void* inBuffer)
{
    SSecurePrintOptions& o = pCappData->mSecureOptions;
    memcpy(&o, inBuffer, sizeof o);
    o.strClientErrorMsg[sizeof o.strClientErrorMsg - 1] = 0;
    o.strEmailAddress[sizeof o.strEmailAddress - 1] = 0;
}

int16_t CAppEvaluateSecureOptions(CAppDataMembers* pCappData)
{
    const SSecurePrintOptions& o = pCappData->mSecureOptions;
    bool required = o.bEnableSecurePrint && (o.bUserID || o.bPassword || o.bAcctNumber);
    return required ? CODE_IDENTITY_REQUIRED : CODE_END;
}

int16_t CAppGetUserInfo(CAppDataMembers* pCappData)
{
    CSPBoxSetDialogBoxOptionsText(&pCappData->mDocInfoBox, pCappData->mSecureOptions);
    int r = CSPBoxDoModal(&pCappData->mDocInfoBox, nullptr);
    if (r != IDOK && r != IDCANCEL) return CODE_END;  // not shown: a cancel
    if (r == IDOK && pCappData->mIpAddressChanged == 1) {
        CSPBoxResetDialogBox(&pCappData->mDocInfoBox);
        return CODE_CONNECT;
    }
    if (r == IDCANCEL) {
        if (pCappData->mbIPAddressCancel != 1) return CODE_END;
        pCappData->mbIPAddressCancel = 0;
        return CODE_IDENTITY_REQUIRED;
    }
    return CODE_IDENTITY_CONFIRMED;
}

void CAppAppendUserInfoOntoString(CAppDataMembers* pCappData, char* outBuffer, int16_t inMaxSize)
{
    size_t len = strlen(outBuffer);
    if (inMaxSize <= 0 || len + IDENTITY_LINE_RESERVE > static_cast<size_t>(inMaxSize) - 1) return;
    const CSPBoxDataMembers& box = pCappData->mDocInfoBox;
    char* out = AppendField(outBuffer + len, box.mstrUserID);
    *out++ = '\t';
    out = AppendField(out, box.mstrPassword);
    *out++ = '\t';
    out = AppendField(out, box.mstrAccountNumber);
    *out++ = '\r';
    *out = 0;
}

void CAppDisplayInvalidInfoMessage(CAppDataMembers* pCappData, const void* inBuffer)
{
    const char* block = static_cast<const char*>(inBuffer);
    CIUMBoxSetMembers(&pCappData->mInvalidUserMsgBox, block[0] == '1' ? 0 : 1, block[2] == '1' ? 0 : 1,
                      block[4] == '1' ? 0 : 1, &pCappData->mSecureOptions, pCappData->mInstance);
    CIUMBoxDoModal(&pCappData->mInvalidUserMsgBox, nullptr);
}

int16_t CAppConvertCodeAtoShort(CAppDataMembers*, const char* inCode, int16_t inLen)
{
    unsigned value = 0;  // wraps, never overflows, on absurdly long codes
    for (int16_t i = 0; i < inLen && inCode[i] >= '0' && inCode[i] <= '9'; i++)
        value = value * 10 + static_cast<unsigned>(inCode[i] - '0');
    return static_cast<int16_t>(value);
}

void ShowSecureAccessMessage(HINSTANCE hInstance, UINT id, int limit, HWND owner)
{
    const int MESSAGE_SIZE = 256;
    WCHAR strAppName[MESSAGE_SIZE] = {}, strMsg[MESSAGE_SIZE] = {};
    if (limit > MESSAGE_SIZE) limit = MESSAGE_SIZE;
    LoadStringW(hInstance, IDS_SECURE_ACCESS, strAppName, limit);
    LoadStringW(hInstance, id, strMsg, limit);
    MessageBoxW(owner, strMsg, strAppName, MB_SETFOREGROUND);
}
