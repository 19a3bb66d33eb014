// fuzz_replies: runs DoSPDlg against a loopback server that answers each request with the input's next reply, the
// user confirming every dialog (OK, or Esc where OK is disabled) and message box. Checks that the run returns 0 or 1,
// ends in time (libFuzzer's -timeout), probes the server before its first request, sends at most 32 requests without
// the user's confirmation, and lets the job print only after a reply whose code gives consent (200, 201 or 400).
// Input: each reply as 4 bytes (ending: 1 silent, 2 reset, else close; bytes per send, 0: all at once; length, 16-bit
// big-endian) and its bytes.
#include "fuzz_check.h"
#include "hostglue.h"
#include "reply_server.h"
#include "spdll.h"
#include "umpd.h"

#include <standin.h>

namespace {

const std::string ADDRESS = std::string(UMPD_TEST_NET) + "50";
const int PORT = 8163;
const size_t RECORD_HEADER = 4, REPLY_MAX = 1024;
const size_t REPLIES_MAX = 96;  // each costs about a millisecond
const int SILENT_MAX = 2;       // each costs the network wait (100 ms)
const int REQUESTS_WITHOUT_CONFIRM = 32;

HMODULE gModule = nullptr;

std::vector<Reply> ReadReplies(const uint8_t* data, size_t size)
{
    std::vector<Reply> replies;
    int silent = 0;
    for (size_t at = 0; size - at >= RECORD_HEADER && replies.size() < REPLIES_MAX;) {
        const uint8_t* h = data + at;
        at += RECORD_HEADER;
        size_t len = std::min({size_t(h[2]) << 8 | h[3], REPLY_MAX, size - at});
        ReplyEnd end = h[0] == 1 && ++silent <= SILENT_MAX ? END_SILENT : h[0] == 2 ? END_RESET : END_CLOSE;
        replies.push_back(Reply{AsText(data + at, len), h[1], end});
        at += len;
    }
    return replies;
}

void AnswerDialog(void*, HWND dialog)
{
    WCHAR caption[64] = {};
    GetWindowTextW(dialog, caption, 64);
    if (!StandinClick(dialog, IDOK) || StandinDialogOpen(dialog))
        StandinKey(dialog, VK_ESCAPE);
    else if (WString(caption) == TEXT("Secure Access"))
        UserConfirmed();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "100");  // read once, at the run's first connection
    // The library's module: its resources are the flow's dialogs and strings.
    gModule = LoadLibraryW((ExecutableDirectory() + HostWiden(UMPD_LIBRARY_NAME)).c_str());
    if (!gModule) Fail("the library %s cannot be loaded", UMPD_LIBRARY_NAME);
    DllEntryPoint(gModule, DLL_PROCESS_ATTACH, nullptr);
    StandinSetDialogUser(AnswerDialog, nullptr);
    StandinSetMessageBoxUser([](void*, HWND, LPCWSTR, LPCWSTR, UINT) { return IDOK; }, nullptr);
    if (!StartReplyServer(ADDRESS.c_str(), PORT)) Fail("cannot listen on %s:%d", ADDRESS.c_str(), PORT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BeginRun(ReadReplies(data, size));
    IdentOptions ident = {};
    strcpy(ident.docOwner, "alice");
    strcpy(ident.password, "s3cret");
    strcpy(ident.accountNo, "42");
    strcpy(ident.ipAddress, ADDRESS.c_str());
    int result = DoSPDlg(&ident, gModule);
    ServedRun served;
    if (!EndRun(&served)) Fail("the server did not finish the run's connections in time");
    if (result != 0 && result != 1) Fail("DoSPDlg returned %d", result);
    if (served.requests > 0 && served.probes == 0) Fail("%d requests without a probe first", served.requests);
    if (served.mostWithoutConfirm > REQUESTS_WITHOUT_CONFIRM)
        Fail("%d requests in a row without the user's confirmation", served.mostWithoutConfirm);
    bool consent = std::any_of(served.codes.begin(), served.codes.end(),
                               [](const std::string& code) { return code == "200" || code == "201" || code == "400"; });
    if (result == 1 && !consent) Fail("the job may print, but no reply gave consent");
    return 0;
}
