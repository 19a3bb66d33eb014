// fuzz_replies: reads the print server's replies to one job start's
// validation run, each as 4 bytes (its ending: 1 silent, 2 reset, any other
// value close; the bytes per send, 0 for all at once; its length, 16-bit
// big-endian) and its bytes, and runs DoSPDlg against a server on loopback
// that sends them, one per request, with a user who confirms every dialog
// (OK, or Esc where OK is disabled) and every message box. Checks that the run
// returns 0 or 1, ends in time (libFuzzer's -timeout), probes the server
// before its first request, sends at most 32 requests without the user's
// confirmation, and lets the job print only after a reply whose code gives
// consent (200, 201 or 400).
#include "fuzz_check.h"
#include "hostglue.h"
#include "reply_server.h"
#include "spdll.h"
#include "umpd.h"

#include <standin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
        size_t len = std::min<size_t>(size_t(h[2]) << 8 | h[3], REPLY_MAX);
        at += RECORD_HEADER;
        len = std::min(len, size - at);
        ReplyEnd end = h[0] == 1 ? END_SILENT : h[0] == 2 ? END_RESET : END_CLOSE;
        if (end == END_SILENT && ++silent > SILENT_MAX) end = END_CLOSE;
        replies.push_back(Reply{std::string(reinterpret_cast<const char*>(data + at), len), h[1], end});
        at += len;
    }
    return replies;
}

// A reply's first 3 bytes give consent when they are one of these codes.
bool AnyConsent(const std::vector<std::string>& codes)
{
    for (const char* consent : {"200", "201", "400"})
        if (std::find(codes.begin(), codes.end(), consent) != codes.end()) return true;
    return false;
}

void AnswerDialog(void*, HWND dialog)
{
    WCHAR caption[64] = {};
    GetWindowTextW(dialog, caption, 64);
    if (StandinClick(dialog, IDOK) && !StandinDialogOpen(dialog)) {
        if (WString(caption) == TEXT("Secure Access")) UserConfirmed();
        return;
    }
    StandinKey(dialog, VK_ESCAPE);
}

int AnswerMessage(void*, HWND, LPCWSTR, LPCWSTR, UINT) { return IDOK; }

IdentOptions Identity()
{
    IdentOptions ident = {};
    snprintf(ident.docOwner, sizeof ident.docOwner, "%s", "alice");
    snprintf(ident.password, sizeof ident.password, "%s", "s3cret");
    snprintf(ident.accountNo, sizeof ident.accountNo, "%s", "42");
    snprintf(ident.ipAddress, sizeof ident.ipAddress, "%s", ADDRESS.c_str());
    ident.bInitialConnection = 0;
    return ident;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Read once, at the run's first connection.
    SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "100");
    // The library's module: its resources are the flow's dialogs and strings.
    gModule = LoadLibraryW((ExecutableDirectory() + HostWiden(UMPD_LIBRARY_NAME)).c_str());
    if (!gModule) Fail("the library %s cannot be loaded", UMPD_LIBRARY_NAME);
    DllEntryPoint(gModule, DLL_PROCESS_ATTACH, nullptr);
    StandinSetDialogUser(AnswerDialog, nullptr);
    StandinSetMessageBoxUser(AnswerMessage, nullptr);
    if (!StartReplyServer(ADDRESS.c_str(), PORT)) Fail("cannot listen on %s:%d", ADDRESS.c_str(), PORT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BeginRun(ReadReplies(data, size));
    IdentOptions ident = Identity();
    int result = DoSPDlg(&ident, gModule);
    ServedRun served;
    if (!EndRun(&served)) Fail("the server did not finish the run's connections in time");
    if (result != 0 && result != 1) Fail("DoSPDlg returned %d", result);
    if (served.requests > 0 && served.probes == 0) Fail("%d requests without a probe first", served.requests);
    if (served.mostWithoutConfirm > REQUESTS_WITHOUT_CONFIRM)
        Fail("%d requests in a row without the user's confirmation", served.mostWithoutConfirm);
    if (result == 1 && !AnyConsent(served.codes)) Fail("the job may print, but no reply gave consent");
    return 0;
}
