// The secure-access validation run at job start: makes sure the print server
// can be reached, takes its policy, and asks for and validates the identity
// fields the policy requires. A loop over step codes; the server's reply
// codes are steps as they stand.
#include "spdll.h"

#include "capp.h"
#include "english/resource.h"
#include "spdll_framing.h"

#include <cstring>

namespace {

const int16_t STEP_SERVER_QUIT = 300, STEP_UNEXPECTED = 406;
const int16_t REPLY_POLICY = 200, REPLY_ACCEPTED = 201, REPLY_REJECTED = 301;
const int16_t CODE_SIZE = 3, POLICY_REPLY_SIZE = CODE_SIZE + sizeof(SSecurePrintOptions), REJECTED_BLOCK_SIZE = 6;
const int BUFFER_SIZE = 1024;
const int MESSAGE_SIZE = 256;

// Requests the server's replies may drive without the user: a server that
// answers every request with 100 or 404 must not hold the spooler's thread.
const int REQUEST_CAP = 32;

static_assert(POLICY_REPLY_SIZE == 524, "the settings reply: code and policy record");
static_assert(FRAME_BUFFER_SIZE == BUFFER_SIZE, "frames are built in the flow's frame buffer");

// The state of one run.
struct FlowRun {
    CAppDataMembers* app;        // the run's application object
    IdentOptions* pOptions;      // in/out: the job's identity fields
    HINSTANCE hInstance;         // in: where the dialogs and strings live
    int bReturnValue;            // 1: the job may print
    int requests;                // sent since the user last confirmed a dialog with OK
    char buffer[BUFFER_SIZE];    // a request's field data out, the reply in
    unsigned char pralixConBuffer[BUFFER_SIZE];  // the request frame
};

// Opens the request's connection; false (the run's result 0) when it cannot.
bool OpenRequest(FlowRun* run)
{
    CAppDataMembers* app = run->app;
    run->bReturnValue = CSocketConnectSocket(&app->mSocket, app->mIPAddressBox.mstrIPAddress, SECURE_ACCESS_PORT);
    if (run->bReturnValue == 1) run->requests++;
    return run->bReturnValue == 1;
}

// Sends the request frame built in the run; one that could not be built
// (-1) is never sent and ends the run as unexpected.
int16_t SendFrame(FlowRun* run, int16_t msgLength)
{
    return msgLength > 0 ? CAppSend(run->app, run->pralixConBuffer, msgLength) : STEP_UNEXPECTED;
}

// Step 404: the server reached, or the run ends.
int16_t StepConnect(FlowRun* run)
{
    int16_t code = ConnectToServer(run->app, run->pOptions, run->hInstance);
    if (code == CODE_END) run->bReturnValue = 0;
    return code;
}

// After a request's send (its result in `code`): the reply's three-digit
// code, read into the zeroed buffer; else the send's or the read's failure.
int16_t ReplyCode(FlowRun* run, int16_t code)
{
    if (code != CODE_SENT) return code;
    memset(run->buffer, 0, sizeof run->buffer);
    code = CAppRead(run->app, run->buffer, CODE_SIZE);
    return code == CODE_RECEIVED ? CAppConvertCodeAtoShort(run->app, run->buffer, CODE_SIZE) : code;
}

// After "200": the policy record, then what it asks for. A record cut short
// reads as zeros, so "200" and a close means nothing is required; silence is
// a failed receive.
int16_t TakePolicy(FlowRun* run)
{
    const char* pBuffer = run->buffer;
    int16_t code = CAppRead(run->app, run->buffer + CODE_SIZE, POLICY_REPLY_SIZE - CODE_SIZE);
    if (code != CODE_RECEIVED && !CSocketPeerClosed(&run->app->mSocket)) return code;
    CAppSetSecurePrintingOptions(run->app, pBuffer + CODE_SIZE);
    code = CAppEvaluateSecureOptions(run->app);
    if (code == CODE_END) run->bReturnValue = 1;
    return code;
}

// Step 100: the settings exchange; the policy decides whether identity is needed.
int16_t StepSettings(FlowRun* run)
{
    if (run->requests >= REQUEST_CAP) return STEP_UNEXPECTED;
    int16_t code = STEP_SERVER_QUIT;
    if (OpenRequest(run)) {
        memcpy(run->buffer, strSP_REQUEST_SETTINGS, sizeof strSP_REQUEST_SETTINGS);
        int16_t msgLength = WritePralixConField(run->buffer, run->pralixConBuffer, CODE_SIZE, 1);
        code = SendFrame(run, msgLength);
    }
    code = ReplyCode(run, code);
    if (code == REPLY_POLICY) code = TakePolicy(run);
    CSocketCloseSocket(&run->app->mSocket);
    return code;
}

// Step 405: the secure access dialog; an OK lets the server be asked again.
int16_t StepIdentity(FlowRun* run)
{
    int16_t code = CAppGetUserInfo(run->app);
    if (code == CODE_IDENTITY_CONFIRMED || code == CODE_CONNECT) run->requests = 0;
    if (code == CODE_END) run->bReturnValue = 0;
    return code;
}

// After a rejection: the validation error dialog, then the secure access
// dialog again. A block cut short by the peer reads as zero.
int16_t ShowRejectedFields(FlowRun* run)
{
    memset(run->buffer, 0, sizeof run->buffer);
    int16_t code = CAppRead(run->app, run->buffer, REJECTED_BLOCK_SIZE);
    if (code != CODE_RECEIVED) return code;
    CAppDisplayInvalidInfoMessage(run->app, run->buffer);
    run->bReturnValue = 0;
    return CODE_IDENTITY_REQUIRED;
}

// Step 101: the validate-info exchange of the identity line.
int16_t StepValidate(FlowRun* run)
{
    if (run->requests >= REQUEST_CAP) return STEP_UNEXPECTED;
    memset(run->pralixConBuffer, 0, sizeof run->pralixConBuffer);
    int16_t code = STEP_SERVER_QUIT;
    if (OpenRequest(run)) {
        memset(run->buffer, 0, sizeof run->buffer);
        memcpy(run->buffer, strSP_REQUEST_VALIDATEINFO, sizeof strSP_REQUEST_VALIDATEINFO);
        WritePralixConField(run->buffer, run->pralixConBuffer, CODE_SIZE, 0);
        memset(run->buffer, 0, sizeof run->buffer);
        CAppAppendUserInfoOntoString(run->app, run->buffer, BUFFER_SIZE);
        int16_t lineLength = static_cast<int16_t>(strlen(run->buffer));
        int16_t msgLength = WritePralixConField(run->buffer, run->pralixConBuffer, lineLength, 1);
        code = SendFrame(run, msgLength);
    }
    code = ReplyCode(run, code);
    if (code == REPLY_ACCEPTED) {
        run->bReturnValue = 1;
        code = CODE_END;
    } else if (code == REPLY_REJECTED) {
        code = ShowRejectedFields(run);
    }
    CSocketCloseSocket(&run->app->mSocket);
    return code;
}

// Step 403: the server says the address is wrong; the locked dialog.
int16_t StepAddressInvalid(FlowRun* run)
{
    ShowSecureAccessMessage(run->hInstance, IDS_ADDRESS_INVALID, MESSAGE_SIZE, nullptr);
    int16_t code = CAppGetIPAddressFromUser(run->app);
    if (code == CODE_CONNECT) run->requests = 0;
    if (code == CODE_END) run->bReturnValue = 0;
    return code;
}

// Steps 300 and 401: the connection failed or the server went away.
int16_t StepServerQuit(FlowRun* run)
{
    ShowSecureAccessMessage(run->hInstance, IDS_SERVER_QUIT, MESSAGE_SIZE, nullptr);
    run->bReturnValue = 0;
    return CODE_END;
}

// Step 406 and every code the flow does not know.
int16_t StepUnexpected(FlowRun* run)
{
    ShowSecureAccessMessage(run->hInstance, IDS_UNEXPECTED_ERROR, MESSAGE_SIZE, nullptr);
    run->bReturnValue = 0;
    return CODE_END;
}

struct Step {
    int16_t code;
    int16_t (*run)(FlowRun*);
};

const Step STEPS[] = {
    {CODE_CONNECT, StepConnect},
    {CODE_REACHABLE, StepSettings},
    {CODE_IDENTITY_REQUIRED, StepIdentity},
    {CODE_IDENTITY_CONFIRMED, StepValidate},
    {CODE_UNREACHABLE, StepAddressInvalid},
    {STEP_SERVER_QUIT, StepServerQuit},
    {CODE_IO_FAILED, StepServerQuit},
};

int16_t RunStep(FlowRun* run, int16_t code)
{
    for (const Step& step : STEPS)
        if (step.code == code) return step.run(run);
    return StepUnexpected(run);
}

// Where there is no topmost window (a service's desktop) the box has no owner.
HWND TopWindow() { return GetTopWindow(nullptr); }

// The first-use loop: the server address dialog until an address answers.
int16_t AskForFirstAddress(CAppDataMembers* theApp, IdentOptions* pOptions, HINSTANCE hInstance)
{
    const int limit = MESSAGE_SIZE - 1;
    ShowSecureAccessMessage(hInstance, IDS_ENTER_ADDRESS, limit, TopWindow());
    for (;;) {
        int r = CIPBoxDoModal(&theApp->mIPAddressBox, nullptr);
        // A dialog that cannot be shown ends the run as a cancel: nobody
        // could ever leave the loop otherwise.
        if (r != IDOK) return CODE_END;
        if (CAppEstablishConnection(theApp) == CODE_REACHABLE) {
            pOptions->bInitialConnection = 0;
            pOptions->written |= IDENT_WROTE_FIRST_USE;
            return CODE_REACHABLE;
        }
        ShowSecureAccessMessage(hInstance, IDS_ADDRESS_UNREACHABLE, limit, TopWindow());
    }
}

}  // namespace

int16_t ConnectToServer(CAppDataMembers* theApp, IdentOptions* pOptions, HINSTANCE hInstance)
{
    if (pOptions->bInitialConnection) return AskForFirstAddress(theApp, pOptions, hInstance);
    if (CAppEstablishConnection(theApp) != CODE_UNREACHABLE) return CODE_REACHABLE;
    // No address dialog here: the printer's properties are where it changes.
    ShowSecureAccessMessage(hInstance, IDS_NO_CONNECTION, MESSAGE_SIZE - 1, nullptr);
    return CODE_END;
}

int DoSPDlg(IdentOptions* pOptions, HINSTANCE hInstance)
{
    FlowRun run = {};
    run.pOptions = pOptions;
    run.hInstance = hInstance;
    run.app = RunningApp();
    CAppConstructor(run.app);
    CAppSetMembers(run.app, pOptions, hInstance);
    for (int16_t code = CODE_CONNECT; code != CODE_END;) code = RunStep(&run, code);
    CSocketDestructor(&run.app->mSocket);
    CSPBoxDestructor(&run.app->mDocInfoBox);
    CIPBoxDestructor(&run.app->mIPAddressBox);
    CIUMBoxDestructor(&run.app->mInvalidUserMsgBox);
    return run.bReturnValue;
}
