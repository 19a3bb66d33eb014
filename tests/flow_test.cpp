// The validation flow at job start, end to end: the hooks with the option
// store and the ticket writer, against reference print servers that a
// fixture runs on loopback (one per behaviour, each on its own address),
// answered by the scripted user.
#include "codepage.h"
#include "english/resource.h"
#include "job_runner.h"
#include "loopback_server.h"
#include "printer.h"
#include "scripted_user.h"
#include "store_support.h"
#include "tempfile.h"
#include "umpd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Short enough that the silent server costs 1.5 s, long enough for Wine.
const bool gShortWait = SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "1500") != FALSE;

// The fixture's servers, each on its host of the test network.
const std::map<std::string, int> SERVERS = {
    {"open", 20}, {"codeonly", 21}, {"identity", 22}, {"closes", 23}, {"r500", 24}, {"r400", 25}, {"r100", 26},
    {"r404", 27}, {"r403", 28}, {"segments", 29}, {"silent", 30}, {"v400", 32}, {"v403", 33}, {"v404", 34},
    {"v500", 35},
};
std::string Address(const std::string& server) { return TestAddress(SERVERS.at(server)); }
const std::string UNREACHABLE = TestAddress(99), NONE = "255.255.255.255";

// The flow's messages as a person reads them.
const std::string M109 = "The Server IP Address is missing or invalid.";
const std::string M110 = "The server has quit unexpectedly.  Try printing again later.";
const std::string M111 = "An unexpected error has occurred.  Please try again later.";
const std::string M112 = "Please enter the Server IP address to enable the Secure Access feature that is required with "
                         "this version of the printer driver.";
const std::string M113 = "The Server IP Address cannot be connected to or is invalid. Please try again.";
const std::string M114 = "A connection could not be established with the Server to validate the Secure Access "
                         "information. Please select the 'Info' tab from the printers properties dialog to verify or "
                         "change the Server IP address. Printing has been canceled.";

const char PROBE[] = "(a reachability probe)", REQUEST[] = " request 10";
const std::string SA = "Secure Access", VE = "Validation Error", IP = "IP Address";
const std::string SMALL_JOB = "%!PS\n%%Title: small\n%%EndComments\nshowpage\n";

std::string ServerLog(const std::string& server)
{
    return ReadWholeFile(HostFilePath(std::string(PRINTSERVERS_DIR) + "/" + server + "/printserver.log"));
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// What the server logged since `logged` once it shows the counts expected
// (-1: any), for it may still be writing the last line; bounded.
std::string LogSince(const std::string& server, size_t logged, int probes, int requests)
{
    std::string log;
    for (int i = 0; i < 40; i++) {
        log = ServerLog(server).substr(logged);
        if ((probes < 0 || Count(log, PROBE) == size_t(probes)) && (requests < 0 || Count(log, REQUEST) == size_t(requests)))
            break;
        Sleep(50);
    }
    return log;
}

std::string Narrow(const WCHAR* text) { return HostUtf8(text); }

// Standard output since CaptureStdout, line ends as printed (CR LF under Wine).
std::string CapturedTrace()
{
    std::string text = testing::internal::GetCapturedStdout();
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// The library's module stands where the loader would put it: its resources
// are the flow's dialogs and strings.
HMODULE Library()
{
    static HMODULE lib = [] {
        HMODULE m = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
        DllEntryPoint(m, DLL_PROCESS_ATTACH, nullptr);
        return m;
    }();
    return lib;
}

// Prints a job through the hooks on a printer of the driver: what reached the
// port ("" when refused). trace: the job's whole trace, from the transcripts
// of tests/golden with this job's values and `told`, the line that says the
// stored value is not a record (a Test Page job's ticket writer says it).
std::string PrintThroughHooks(const WString& driver, const WCHAR* document, std::string* trace = nullptr,
                              const std::string& told = "")
{
    TestPrinter printer(driver);
    DWORD id = printer.StartJob(document), written = 0;
    HANDLE h = DrvSplStartDoc(printer.handle(), id);
    std::string out;
    if (h) {
        DrvSplWritePrinter(h, const_cast<char*>(SMALL_JOB.data()), static_cast<DWORD>(SMALL_JOB.size()), &written);
        DrvSplEndDoc(h);
        DrvSplClose(h);
        out = printer.EndJobAndRead();
    } else {
        AbortPrinter(printer.handle());
    }
    if (!trace) return out;
    *trace = ReadWholeFile(HostFilePath(std::string(GOLDEN_DIR) + (h ? "/flow_trace_printed.txt" : "/flow_trace_refused.txt")));
    bool testPage = WString(document) == TEXT("Test Page");
    std::map<std::string, const void*> handles = {{"{printer}", printer.handle()}, {"{handle}", h},
                                                  {"{data}", SMALL_JOB.data()}, {"{written}", &written}};
    std::map<std::string, std::string> values = {{"{told at start}\n", testPage ? "" : told},
                                                 {"{told at write}\n", testPage ? told : ""},
                                                 {"{job}", std::to_string(id)}, {"{size}", std::to_string(SMALL_JOB.size())}};
    for (const auto& p : handles) {
        std::ostringstream hex;
        hex << std::hex << reinterpret_cast<uintptr_t>(p.second);
        values[p.first] = hex.str();
    }
    for (const auto& v : values)
        for (size_t at; (at = trace->find(v.first)) != std::string::npos;) trace->replace(at, v.first.size(), v.second);
    return out;
}

// What the stored options hold of a run's fields.
struct Seed {
    int32_t firstUse;
    std::string address, user, password;
};
Seed At(const std::string& server, const std::string& user = "", const std::string& password = "")
{
    return {0, Address(server), user, password};
}

// What one job start did.
struct Outcome {
    bool printed = false;
    std::vector<std::string> messages, dialogs;
    std::vector<SeenDialog> seen;
    _OEM_PRIVDEVMODE stored = {};
};

// What the user saw; every message box captioned as the resources caption
// it, with an OK button alone, brought to the front, and no icon.
void TakeSeen(ScriptedUser& user, const std::string& caption, Outcome* out)
{
    for (const SeenMessage& m : user.Messages()) {
        out->messages.push_back(m.text);
        EXPECT_EQ(m.caption, caption) << m.text;
        EXPECT_EQ(m.style & MESSAGE_STYLE_SEEN, UINT(MB_OK | MB_SETFOREGROUND) & MESSAGE_STYLE_SEEN) << m.text;
    }
    out->seen = user.Dialogs();
    for (const SeenDialog& d : out->seen) out->dialogs.push_back(d.caption);
    EXPECT_FALSE(user.GaveUp());
}

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Library(), nullptr); }

    void Store(const Seed& seed, const std::u16string& comment = u"", const std::u16string& securePassword = u"")
    {
        _OEM_PRIVDEVMODE o = {};
        SetDefaultPralixOptions(&o);
        o.bInitialConnection = seed.firstUse;
        swprintf(o.ipAddress, 16, TEXT("%hs"), seed.address.c_str());
        swprintf(o.docOwner, 25, TEXT("%hs"), seed.user.c_str());
        swprintf(o.password, 9, TEXT("%hs"), seed.password.c_str());
        std::char_traits<char16_t>::copy(reinterpret_cast<char16_t*>(o.docComment), comment.c_str(), comment.size() + 1);
        std::char_traits<char16_t>::copy(reinterpret_cast<char16_t*>(o.securePassword), securePassword.c_str(),
                                         securePassword.size() + 1);
        SetUserInfo(&o, nullptr, driver_.Name().c_str());
    }
    _OEM_PRIVDEVMODE Stored()
    {
        _OEM_PRIVDEVMODE o = {};
        GetUserInfo(&o, nullptr, driver_.Name().c_str());
        return o;
    }
    // Starts a job on a printer of this test's driver and takes it back.
    Outcome StartJob(const std::vector<std::string>& answers, HINSTANCE resources)
    {
        TestPrinter printer(driver_.Name());
        ScriptedUser user(answers, nullptr);
        InstallUser(&user);
        HINSTANCE saved = hInst;
        hInst = resources;
        HANDLE h = DrvSplStartDoc(printer.handle(), printer.StartJob(TEXT("flow.ps")));
        hInst = saved;
        UninstallUser();
        if (h) DrvSplClose(h);
        AbortPrinter(printer.handle());
        Outcome out;
        out.printed = h != nullptr;
        TakeSeen(user, resources == Library() ? SA : "", &out);
        out.stored = Stored();
        return out;
    }
    StoredDriver driver_;
};

std::vector<std::string> Identity(const char* user, const char* password, const std::string& then = "")
{
    std::vector<std::string> lines = {SA + ": 1112=" + user + ", 1113=" + password + ", OK"};
    if (!then.empty()) lines.push_back(then);
    return lines;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Row {
    const char* what;
    std::string server;  // whose log counts the probes and requests
    Seed seed;
    std::vector<std::string> answers;
    bool prints;
    std::vector<std::string> messages, dialogs;
    Seed stored;           // what the store holds afterwards
    int probes, requests;  // -1: not counted
    bool bare = false;     // resources without the library's: no dialog can be shown, no message has a text
};

TEST_F(FlowTest, EveryWayARunEnds)
{
    HMODULE bare = LoadLibraryW((ExecutableDirectory() + Wide(ENTRY_FIXTURE_NAME)).c_str());
    ASSERT_NE(bare, nullptr);
    const Row rows[] = {
        {"nothing required", "open", At("open"), {}, true, {}, {}, At("open"), 1, 1},
        {"\"200\" alone", "codeonly", At("codeonly"), {}, true, {}, {}, At("codeonly"), 1, 1},
        {"first use: unreachable, then reachable", "open", {1, NONE, "", ""},
         {IP + ": 1108=" + UNREACHABLE + ", OK", IP + ": 1108=" + Address("open") + ", OK"}, true, {M112, M113},
         {IP, IP}, At("open"), 1, 1},
        {"first use: cancelled", "", {1, NONE, "", ""}, {IP + ": Cancel"}, false, {M112}, {IP}, {1, NONE, "", ""}, -1, -1},
        {"stored address unreachable", "", {0, UNREACHABLE, "", ""}, {}, false, {M114}, {}, {0, UNREACHABLE, "", ""}, -1, -1},
        // The second rejection differs from the accepted password in case alone.
        {"rejected twice, then accepted", "identity", At("identity"),
         Identity("alice", "guess", VE + ": OK") + Identity("alice", "S3CRET", VE + ": OK") + Identity("alice", "s3cret"),
         true, {}, {SA, VE, SA, VE, SA}, At("identity", "alice", "s3cret"), 1, 4},
        {"cancel", "identity", At("identity", "carol", "pw"), {SA + ": Cancel"}, false, {}, {SA},
         At("identity", "carol", "pw"), 1, 1},
        {"typed fields kept when validation fails", "identity", At("identity", "carol", "pw"),
         Identity("alice", "wrong", VE + ": OK") + std::vector<std::string>{SA + ": Cancel"}, false, {}, {SA, VE, SA},
         At("identity", "alice", "wrong"), 1, 2},
        {"closed without a reply", "closes", At("closes"), {}, false, {M110}, {}, At("closes"), 1, 1},
        {"reply 500", "r500", At("r500"), {}, false, {M111}, {}, At("r500"), 1, 1},
        {"reply 400", "r400", At("r400"), {}, true, {}, {}, At("r400"), 1, 1},
        {"reply 100 for ever", "r100", At("r100"), {}, false, {M111}, {}, At("r100"), 1, 32},
        {"reply 404 for ever", "r404", At("r404"), {}, false, {M111}, {}, At("r404"), 33, 32},
        {"reply 403", "r403", At("r403"), {SA + ": Esc"}, false, {M109}, {SA}, At("r403"), 1, 1},
        {"policy and verdict in one-byte segments", "segments", At("segments"), Identity("alice", ""), true, {}, {SA},
         At("segments", "alice"), 1, 2},
        // The silent server logs its request only when its delay is over.
        {"silent server", "silent", At("silent"), {}, false, {M110}, {}, At("silent"), 1, -1},
        // The validate-info reply is the next step: 400 ends the run as the
        // open connection left it (printing), 403 is the locked dialog, 404
        // starts over at the probe, a code without a step is unexpected.
        {"validation answered 400", "v400", At("v400"), Identity("alice", "s3cret"), true, {}, {SA},
         At("v400", "alice", "s3cret"), 1, 2},
        {"validation answered 403", "v403", At("v403"), Identity("alice", "s3cret", SA + ": Esc"), false, {M109},
         {SA, SA}, At("v403", "alice", "s3cret"), 1, 2},
        {"validation answered 404", "v404", At("v404"), Identity("alice", "s3cret", SA + ": Cancel"), false, {},
         {SA, SA}, At("v404", "alice", "s3cret"), 2, 3},
        {"validation answered 500", "v500", At("v500"), Identity("alice", "s3cret"), false, {M111}, {SA},
         At("v500", "alice", "s3cret"), 1, 2},
        // Each would otherwise ask again for ever.
        {"bare: the first-use address dialog", "", {1, NONE, "", ""}, {}, false, {""}, {}, {1, NONE, "", ""}, -1, -1, true},
        {"bare: the secure access dialog", "identity", At("identity"), {}, false, {}, {}, At("identity"), 1, 1, true},
        {"bare: the locked dialog after 403", "r403", At("r403"), {}, false, {""}, {}, At("r403"), 1, 1, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Store(row.seed);
        size_t logged = row.server.empty() ? 0 : ServerLog(row.server).size();
        Outcome out = StartJob(row.answers, row.bare ? bare : Library());
        EXPECT_EQ(out.printed, row.prints);
        EXPECT_EQ(out.messages, row.messages);
        EXPECT_EQ(out.dialogs, row.dialogs);
        EXPECT_EQ(out.stored.bInitialConnection, row.stored.firstUse);
        EXPECT_EQ(Narrow(out.stored.ipAddress), row.stored.address);
        EXPECT_EQ(Narrow(out.stored.docOwner), row.stored.user);
        EXPECT_EQ(Narrow(out.stored.password), row.stored.password);
        if (row.server.empty()) continue;
        std::string log = LogSince(row.server, logged, row.probes, row.requests);
        if (row.probes >= 0) {
            EXPECT_EQ(Count(log, PROBE), size_t(row.probes)) << log;
        }
        if (row.requests >= 0) {
            EXPECT_EQ(Count(log, REQUEST), size_t(row.requests)) << log;
        }
        EXPECT_EQ(log.find("s3cret"), std::string::npos) << "a password in the server's log: " << log;
    }
    FreeLibrary(bare);
}

// Two first jobs start at once: one asks for the address, the other waits
// for its turn and finds the address stored.
TEST_F(FlowTest, TwoFirstJobsStartingAtOnce)
{
    Store({1, NONE, "", ""});
    TestPrinter first(driver_.Name()), second(driver_.Name());
    DWORD ids[] = {first.StartJob(TEXT("first.ps")), second.StartJob(TEXT("second.ps"))};
    ScriptedUser user(std::vector<std::string>{IP + ": 1108=" + Address("identity") + ", OK"} +
                          Identity("alice", "s3cret") + Identity("alice", "s3cret"),
                      nullptr);
    InstallUser(&user);
    HANDLE jobs[2] = {};
    std::thread other([&] { jobs[0] = DrvSplStartDoc(first.handle(), ids[0]); });
    jobs[1] = DrvSplStartDoc(second.handle(), ids[1]);
    other.join();
    UninstallUser();
    for (HANDLE h : jobs) {
        EXPECT_NE(h, nullptr);
        if (h) DrvSplClose(h);
    }
    AbortPrinter(first.handle());
    AbortPrinter(second.handle());
    Outcome out;
    TakeSeen(user, SA, &out);
    EXPECT_EQ(out.messages, std::vector<std::string>{M112});
    EXPECT_EQ(out.dialogs, (std::vector<std::string>{IP, SA, SA}));
    EXPECT_EQ(Narrow(Stored().ipAddress), Address("identity"));
    EXPECT_EQ(Stored().bInitialConnection, 0);
}

// The administrator's texts come with one run's policy: a later run whose
// server answers the settings request without a policy record shows none.
TEST_F(FlowTest, AdministratorTextsServeOneRun)
{
    std::string message = "Ask the front desk.", email = "desk@example.org";
    ServerScript probe, policy, noPolicy, rejected;
    policy.reply = "200" + std::string("\0\x01\x01\0\0\0\0\0\0", 9) + message + std::string(256 - message.size(), '\0') +
                   email + std::string(256 - email.size(), '\0');
    noPolicy.reply = "405";
    rejected.reply = "3011 0 0 ";
    const std::string address = TestAddress(41);
    LoopbackServer server({probe, policy, rejected, probe, noPolicy, rejected}, address.c_str(), 8163);
    for (const std::string& shown : {message + "|" + email, std::string("|")}) {
        SCOPED_TRACE(shown);
        Store({0, address, "", ""});
        Outcome out = StartJob({SA + ": OK", VE + ": OK", SA + ": Cancel"}, Library());
        EXPECT_FALSE(out.printed);
        ASSERT_EQ(out.dialogs, (std::vector<std::string>{SA, VE, SA}));
        std::map<int, std::string> texts;
        for (const ControlView& c : out.seen[1].controls) texts[c.id] = c.text;
        EXPECT_EQ(texts[IDC_ADMIN_MESSAGE] + "|" + texts[IDC_ADMIN_EMAIL], shown);
    }
    server.Received();
}

// While one job start waits in its secure access dialog, Test Page jobs of
// the same process print with their tickets and finish; the held run goes on
// once the dialog is answered.
TEST_F(FlowTest, TestPagesPrintWhileADialogIsHeld)
{
    Store(At("identity"));
    HeldJobStart held(driver_.Name(), SA + ": hold, 1112=alice, 1113=s3cret, OK");
    bool heldBefore = held.Holding();
    std::atomic<int> finished{0};
    std::vector<std::string> outs(3);
    std::thread pages([&] {
        for (std::string& out : outs) {
            out = PrintThroughHooks(driver_.Name(), TEXT("Test Page"));
            finished++;
        }
    });
    for (int i = 0; i < 2000 && finished < 3; i++) Sleep(10);
    bool pagesDone = finished == 3, heldAfter = held.Holding();
    EXPECT_NE(held.Release(), nullptr);
    pages.join();
    EXPECT_TRUE(heldBefore);
    EXPECT_TRUE(pagesDone && heldAfter) << "the Test Page jobs waited for the dialog";
    for (const std::string& out : outs) EXPECT_NE(out.find("%%PRALIX: Spool Delete\r\n"), std::string::npos) << out;
    EXPECT_EQ(Narrow(Stored().docOwner), "alice");
}

// A stored value that is not a record (another version of the driver's, say)
// is not written over by a job start whose user cancelled the address dialog,
// nor by a Test Page's ticket writer; a confirmed address replaces it. Each
// job says so once: the trace holds that and the hooks' own lines, no more.
TEST_F(FlowTest, ValueThatIsNotARecordIsNotWipedUnattended)
{
    _OEM_PRIVDEVMODE o = {};
    SetDefaultPralixOptions(&o);
    const BYTE* record = reinterpret_cast<BYTE*>(&o);
    std::vector<BYTE> wrongMark(record, record + sizeof o), longer(wrongMark), shorter(record, record + sizeof o - 1);
    wrongMark[1] ^= 0x40;
    longer.push_back(0);
    std::string trace, page, job;
    for (const std::vector<BYTE>& value : {std::vector<BYTE>(), shorter, longer, wrongMark}) {
        SCOPED_TRACE(value.size());
        const std::string told = "stored options not valid (" + std::to_string(value.size()) + " bytes): defaults used\n";
        driver_.WriteRaw(value);
        ScriptedUser user({IP + ": Cancel"}, nullptr);
        InstallUser(&user);
        testing::internal::CaptureStdout();
        EXPECT_EQ(PrintThroughHooks(driver_.Name(), TEXT("flow.ps"), &job, told), "");
        EXPECT_NE(PrintThroughHooks(driver_.Name(), TEXT("Test Page"), &page, told).find("%%PRALIX: Spool Delete"),
                  std::string::npos);
        EXPECT_EQ(CapturedTrace(), job + page);
        UninstallUser();
        EXPECT_EQ(user.Dialogs().size(), 1u);
        EXPECT_EQ(driver_.ReadRaw(), value);
    }
    ScriptedUser user({IP + ": 1108=" + Address("open") + ", OK"}, nullptr);
    InstallUser(&user);
    size_t logged = ServerLog("open").size();
    testing::internal::CaptureStdout();
    std::string out = PrintThroughHooks(driver_.Name(), TEXT("flow.ps"), &job,
                                        "stored options not valid (" + std::to_string(sizeof o) + " bytes): defaults used\n");
    EXPECT_NE(PrintThroughHooks(driver_.Name(), TEXT("Test Page"), &page).find("%%PRALIX: Spool Delete"), std::string::npos);
    EXPECT_EQ(CapturedTrace(), job + page);
    UninstallUser();
    EXPECT_NE(out.find("%%PRALIX: Spool Delete\r\n"), std::string::npos) << out;
    _OEM_PRIVDEVMODE stored = Stored();
    EXPECT_EQ(driver_.ReadRaw().size(), sizeof o);
    EXPECT_EQ(stored.initialized, OPTIONS_VALID);
    EXPECT_EQ(stored.bInitialConnection, 0);
    EXPECT_EQ(Narrow(stored.ipAddress), Address("open"));
    LogSince("open", logged, 1, 1);
}

class FlowCodePageTest : public FlowTest {
protected:
    void TearDown() override { RestoreAnsiCodePage(); }
};

// Text without a form in the ANSI code page is kept through a job start (a
// run writes only its own fields); a secure-print password without one would
// reach the print server as a password nobody can type: the job is refused.
TEST_F(FlowCodePageTest, TextWithoutANarrowForm)
{
    if (!SelectAnsiCodePage(1252)) GTEST_SKIP() << "code page 1252 is not the platform's (" << GetACP() << ")";
    const std::u16string comment = u"\u03A9\u03BC\u03AD\u03B3\u03B1 \u6771\u4EAC proofs", password = u"\u03A9\u6771";
    for (bool prints : {true, false}) {
        SCOPED_TRACE(prints);
        Store(At("identity"), comment, prints ? u"" : password);
        size_t logged = ServerLog("identity").size();
        testing::internal::CaptureStdout();
        Outcome out = StartJob(prints ? Identity("alice", "s3cret") : std::vector<std::string>{}, Library());
        std::string trace = CapturedTrace();
        EXPECT_EQ(out.printed, prints);
        EXPECT_EQ(out.messages, prints ? std::vector<std::string>{} : std::vector<std::string>{M111});
        EXPECT_EQ(trace.find("secure-print password has characters outside ANSI code page 1252: job refused\n") !=
                      std::string::npos, !prints) << trace;
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out.stored.docComment)), comment);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out.stored.securePassword)), prints ? u"" : password);
        LogSince("identity", logged, prints ? 1 : 0, prints ? 2 : 0);
    }
}

}  // namespace
