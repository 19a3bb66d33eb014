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

#include <atomic>
#include <cinttypes>
#include <map>
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
const std::string UNREACHABLE = TestAddress(99);  // nobody listens there

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

std::string Narrow(const WCHAR* text) { return HostUtf8(text); }

std::string Hex(const void* p)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return text;
}

// Standard output since CaptureStdout, its line ends as written.
std::string CapturedTrace()
{
    std::string text = testing::internal::GetCapturedStdout(), lines;
    for (char c : text)
        if (c != '\r') lines += c;
    return lines;
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
std::string PrintThroughHooks(const WString& driver, const WCHAR* document, const std::string& job,
                              std::string* trace = nullptr, const std::string& told = "")
{
    TestPrinter printer(driver);
    DWORD id = printer.StartJob(document), written = 0;
    HANDLE h = DrvSplStartDoc(printer.handle(), id);
    std::string out;
    if (h) {
        DrvSplWritePrinter(h, const_cast<char*>(job.data()), static_cast<DWORD>(job.size()), &written);
        DrvSplEndDoc(h);
        DrvSplClose(h);
        out = printer.EndJobAndRead();
    } else {
        AbortPrinter(printer.handle());
    }
    if (!trace) return out;
    *trace = ReadWholeFile(HostFilePath(std::string(GOLDEN_DIR) + (h ? "/flow_trace_printed.txt" : "/flow_trace_refused.txt")));
    bool testPage = WString(document) == TEXT("Test Page");
    const std::map<std::string, std::string> values = {{"{told at start}\n", testPage ? "" : told},
                                                       {"{told at write}\n", testPage ? told : ""},
                                                       {"{printer}", Hex(printer.handle())}, {"{job}", std::to_string(id)},
                                                       {"{handle}", Hex(h)}, {"{data}", Hex(job.data())},
                                                       {"{size}", std::to_string(job.size())}, {"{written}", Hex(&written)}};
    for (const auto& v : values)
        for (size_t at; (at = trace->find(v.first)) != std::string::npos;) trace->replace(at, v.first.size(), v.second);
    return out;
}

// What the stored options were seeded with.
struct Seed {
    int32_t firstUse;
    std::string address, user, password;
};

// What one job start did.
struct Outcome {
    bool printed = false;
    std::vector<std::string> messages, dialogs;
    std::vector<SeenDialog> seen;
    bool gaveUp = false;
    _OEM_PRIVDEVMODE stored = {};
    size_t logged = 0;  // the size of the server's log before the start
};

// What the user saw; every message box captioned as the resources caption
// it, with an OK button alone, brought to the front, no icon.
void TakeSeen(ScriptedUser& user, const std::string& caption, Outcome* out)
{
    for (const SeenMessage& m : user.Messages()) {
        out->messages.push_back(m.text);
        EXPECT_EQ(m.caption, caption) << m.text;
        EXPECT_EQ(m.style & MESSAGE_STYLE_SEEN, UINT(MB_OK | MB_SETFOREGROUND) & MESSAGE_STYLE_SEEN) << m.text;
    }
    out->seen = user.Dialogs();
    for (const SeenDialog& d : out->seen) out->dialogs.push_back(d.caption);
    out->gaveUp = user.GaveUp();
}

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Library(), nullptr); }

    void Store(const Seed& seed, const char* securePassword = "")
    {
        _OEM_PRIVDEVMODE o = {};
        SetDefaultPralixOptions(&o);
        o.bInitialConnection = seed.firstUse;
        swprintf(o.ipAddress, 16, TEXT("%hs"), seed.address.c_str());
        swprintf(o.docOwner, 25, TEXT("%hs"), seed.user.c_str());
        swprintf(o.password, 9, TEXT("%hs"), seed.password.c_str());
        swprintf(o.securePassword, 9, TEXT("%hs"), securePassword);
        SetUserInfo(&o, nullptr, driver_.Name().c_str());
    }
    _OEM_PRIVDEVMODE Stored()
    {
        _OEM_PRIVDEVMODE o = {};
        GetUserInfo(&o, nullptr, driver_.Name().c_str());
        return o;
    }
    // Starts a job on a printer of this test's driver and takes it back.
    Outcome StartJob(const std::vector<std::string>& answers, const std::string& server, HINSTANCE resources)
    {
        size_t logged = server.empty() ? 0 : ServerLog(server).size();
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
        out.logged = logged;
        return out;
    }
    // What the server logged since the start, once it shows the counts
    // expected (the server may still be writing the last line); bounded.
    static std::string LogSince(const std::string& server, size_t logged, int probes, int requests)
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
    StoredDriver driver_;
};

std::string Address(const std::string& server) { return TestAddress(SERVERS.at(server)); }

std::vector<std::string> Identity(const char* user, const char* password)
{
    return {SA + ": 1112=" + user + ", 1113=" + password + ", OK"};
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
    const std::string id = Address("identity"), none = "255.255.255.255";
    HMODULE bare = LoadLibraryW((ExecutableDirectory() + Wide(ENTRY_FIXTURE_NAME)).c_str());
    ASSERT_NE(bare, nullptr);
    const Row rows[] = {
        {"nothing required", "open", {0, Address("open"), "", ""}, {}, true, {}, {}, {0, Address("open"), "", ""}, 1, 1},
        {"\"200\" alone", "codeonly", {0, Address("codeonly"), "", ""}, {}, true, {}, {}, {0, Address("codeonly"), "", ""}, 1, 1},
        {"first use: unreachable, then reachable", "open", {1, none, "", ""},
         {IP + ": 1108=" + UNREACHABLE + ", OK", IP + ": 1108=" + Address("open") + ", OK"}, true, {M112, M113},
         {IP, IP}, {0, Address("open"), "", ""}, 1, 1},
        {"first use: cancelled", "", {1, none, "", ""}, {IP + ": Cancel"}, false, {M112}, {IP}, {1, none, "", ""}, -1, -1},
        {"stored address unreachable", "", {0, UNREACHABLE, "", ""}, {}, false, {M114}, {}, {0, UNREACHABLE, "", ""}, -1, -1},
        // The second rejection differs from the accepted password in case alone.
        {"rejected twice, then accepted", "identity", {0, id, "", ""},
         Identity("alice", "guess") + std::vector<std::string>{VE + ": OK"} + Identity("alice", "S3CRET") +
             std::vector<std::string>{VE + ": OK"} + Identity("alice", "s3cret"),
         true, {}, {SA, VE, SA, VE, SA}, {0, id, "alice", "s3cret"}, 1, 4},
        {"cancel", "identity", {0, id, "carol", "pw"}, {SA + ": Cancel"}, false, {}, {SA}, {0, id, "carol", "pw"}, 1, 1},
        {"typed fields kept when validation fails", "identity", {0, id, "carol", "pw"},
         Identity("alice", "wrong") + std::vector<std::string>{VE + ": OK", SA + ": Cancel"}, false, {}, {SA, VE, SA},
         {0, id, "alice", "wrong"}, 1, 2},
        {"closed without a reply", "closes", {0, Address("closes"), "", ""}, {}, false, {M110}, {},
         {0, Address("closes"), "", ""}, 1, 1},
        {"reply 500", "r500", {0, Address("r500"), "", ""}, {}, false, {M111}, {}, {0, Address("r500"), "", ""}, 1, 1},
        {"reply 400", "r400", {0, Address("r400"), "", ""}, {}, true, {}, {}, {0, Address("r400"), "", ""}, 1, 1},
        {"reply 100 for ever", "r100", {0, Address("r100"), "", ""}, {}, false, {M111}, {},
         {0, Address("r100"), "", ""}, 1, 32},
        {"reply 404 for ever", "r404", {0, Address("r404"), "", ""}, {}, false, {M111}, {},
         {0, Address("r404"), "", ""}, 33, 32},
        {"reply 403", "r403", {0, Address("r403"), "", ""}, {SA + ": Esc"}, false, {M109}, {SA},
         {0, Address("r403"), "", ""}, 1, 1},
        {"policy and verdict in one-byte segments", "segments", {0, Address("segments"), "", ""},
         Identity("alice", ""), true, {}, {SA}, {0, Address("segments"), "alice", ""}, 1, 2},
        // The silent server logs its request only when its delay is over.
        {"silent server", "silent", {0, Address("silent"), "", ""}, {}, false, {M110}, {},
         {0, Address("silent"), "", ""}, 1, -1},
        // The validate-info reply is the next step: 400 ends the run as the
        // open connection left it (printing), 403 is the locked dialog, 404
        // starts over at the probe, any code without a step is unexpected.
        {"validation answered 400", "v400", {0, Address("v400"), "", ""}, Identity("alice", "s3cret"), true, {}, {SA},
         {0, Address("v400"), "alice", "s3cret"}, 1, 2},
        {"validation answered 403", "v403", {0, Address("v403"), "", ""},
         Identity("alice", "s3cret") + std::vector<std::string>{SA + ": Esc"}, false, {M109}, {SA, SA},
         {0, Address("v403"), "alice", "s3cret"}, 1, 2},
        {"validation answered 404", "v404", {0, Address("v404"), "", ""},
         Identity("alice", "s3cret") + std::vector<std::string>{SA + ": Cancel"}, false, {}, {SA, SA},
         {0, Address("v404"), "alice", "s3cret"}, 2, 3},
        {"validation answered 500", "v500", {0, Address("v500"), "", ""}, Identity("alice", "s3cret"), false, {M111},
         {SA}, {0, Address("v500"), "alice", "s3cret"}, 1, 2},
        // Each case would otherwise ask again for ever.
        {"bare: the first-use address dialog", "", {1, none, "", ""}, {}, false, {""}, {}, {1, none, "", ""}, -1, -1, true},
        {"bare: the secure access dialog", "identity", {0, id, "", ""}, {}, false, {}, {}, {0, id, "", ""}, 1, 1, true},
        {"bare: the locked dialog after 403", "r403", {0, Address("r403"), "", ""}, {}, false, {""}, {},
         {0, Address("r403"), "", ""}, 1, 1, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Store(row.seed);
        Outcome out = StartJob(row.answers, row.server, row.bare ? bare : Library());
        EXPECT_EQ(out.printed, row.prints);
        EXPECT_EQ(out.messages, row.messages);
        EXPECT_EQ(out.dialogs, row.dialogs);
        EXPECT_FALSE(out.gaveUp);
        EXPECT_EQ(out.stored.bInitialConnection, row.stored.firstUse);
        EXPECT_EQ(Narrow(out.stored.ipAddress), row.stored.address);
        EXPECT_EQ(Narrow(out.stored.docOwner), row.stored.user);
        EXPECT_EQ(Narrow(out.stored.password), row.stored.password);
        if (row.server.empty()) continue;
        std::string log = LogSince(row.server, out.logged, row.probes, row.requests);
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

// Two first jobs start at once: one asks for the address and the other
// finds it stored; the secure-print password set for the first job reaches
// that job only.
TEST_F(FlowTest, TwoJobsStartingAtOnce)
{
    Store({1, "255.255.255.255", "", ""}, "4711");
    TestPrinter first(driver_.Name()), second(driver_.Name());
    DWORD firstId = first.StartJob(TEXT("first.ps")), secondId = second.StartJob(TEXT("second.ps"));
    ScriptedUser user(std::vector<std::string>{IP + ": 1108=" + Address("identity") + ", OK"} +
                          Identity("alice", "s3cret") + Identity("alice", "s3cret"),
                      nullptr);
    InstallUser(&user);
    HANDLE firstJob = nullptr, secondJob = nullptr;
    DWORD written = 0;
    std::thread a([&] {
        firstJob = DrvSplStartDoc(first.handle(), firstId);
        DWORD n = 0;
        if (firstJob) DrvSplWritePrinter(firstJob, const_cast<char*>(SMALL_JOB.data()), DWORD(SMALL_JOB.size()), &n);
    });
    std::thread b([&] { secondJob = DrvSplStartDoc(second.handle(), secondId); });
    a.join();
    b.join();
    UninstallUser();
    ASSERT_NE(firstJob, nullptr);
    ASSERT_NE(secondJob, nullptr);
    DrvSplWritePrinter(secondJob, const_cast<char*>(SMALL_JOB.data()), DWORD(SMALL_JOB.size()), &written);
    for (HANDLE h : {firstJob, secondJob}) {
        DrvSplEndDoc(h);
        DrvSplClose(h);
    }
    std::string firstOut = first.EndJobAndRead(), secondOut = second.EndJobAndRead();
    Outcome out;
    TakeSeen(user, SA, &out);
    EXPECT_EQ(out.messages, std::vector<std::string>{M112});
    EXPECT_EQ(out.dialogs, (std::vector<std::string>{IP, SA, SA}));
    EXPECT_NE(firstOut.find("%%PRALIX: SecurePassword "), std::string::npos) << firstOut;
    EXPECT_NE(firstOut.find("statusdict /Pralix_feat_dict"), std::string::npos) << firstOut;
    EXPECT_EQ(secondOut.find("SecurePassword"), std::string::npos) << secondOut;
    EXPECT_EQ(secondOut.find("statusdict"), std::string::npos) << secondOut;
    _OEM_PRIVDEVMODE stored = Stored();
    EXPECT_EQ(Narrow(stored.ipAddress), Address("identity"));
    EXPECT_EQ(stored.bInitialConnection, 0);
    EXPECT_EQ(Narrow(stored.securePassword), "");
    EXPECT_EQ(Narrow(stored.password), "");
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
    for (const std::string& shownText : {message + "|" + email, std::string("|")}) {
        SCOPED_TRACE(shownText);
        Store({0, address, "", ""});
        Outcome out = StartJob({SA + ": OK", VE + ": OK", SA + ": Cancel"}, "", Library());
        EXPECT_FALSE(out.printed);
        ASSERT_EQ(out.dialogs, (std::vector<std::string>{SA, VE, SA}));
        std::map<int, std::string> shown;
        for (const ControlView& c : out.seen[1].controls) shown[c.id] = c.text;
        EXPECT_EQ(shown[IDC_ADMIN_MESSAGE] + "|" + shown[IDC_ADMIN_EMAIL], shownText);
    }
    server.Received();
}

// Another writer (umpd-options, another process) replaces the stored value
// while a job start shows its dialog: the job start stores only what its run
// wrote over the value as it is then, so the other change is kept.
TEST_F(FlowTest, StoredValueReplacedDuringTheJobStart)
{
    Store({0, Address("identity"), "carol", ""});
    HeldJobStart held(driver_.Name(), SA + ": hold, 1112=alice, 1113=s3cret, OK");
    _OEM_PRIVDEVMODE other = Stored();
    swprintf(other.docComment, 256, TEXT("written elsewhere"));
    swprintf(other.docOwner, 25, TEXT("dave"));
    SetUserInfo(&other, nullptr, driver_.Name().c_str());
    EXPECT_NE(held.Release(), nullptr);
    ASSERT_EQ(held.user().Dialogs().size(), 1u);
    _OEM_PRIVDEVMODE stored = Stored();
    EXPECT_EQ(stored.initialized, OPTIONS_VALID);
    EXPECT_EQ(Narrow(stored.docOwner), "alice");
    EXPECT_EQ(Narrow(stored.docComment), "written elsewhere");
}

// While one job start waits in its secure access dialog, Test Page jobs of
// the same process print with their tickets and finish; the held run goes on
// once the dialog is answered.
TEST_F(FlowTest, TestPagesPrintWhileADialogIsHeld)
{
    Store({0, Address("identity"), "", ""});
    HeldJobStart held(driver_.Name(), SA + ": hold, 1112=alice, 1113=s3cret, OK");
    bool heldBefore = held.Holding();
    std::atomic<int> finished{0};
    std::vector<std::string> outs(3);
    std::thread pages([&] {
        for (std::string& out : outs) {
            out = PrintThroughHooks(driver_.Name(), TEXT("Test Page"), SMALL_JOB);
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
// is never written over unattended: not by a Test Page job's ticket writer,
// not by a job start whose user cancelled the address dialog. Each job says
// so once; the trace has nothing but that and the hooks' own lines, for
// these jobs and for a job and a Test Page on the record that replaces it.
TEST_F(FlowTest, ValueThatIsNotARecordIsNotWipedUnattended)
{
    _OEM_PRIVDEVMODE o = {};
    SetDefaultPralixOptions(&o);
    const BYTE* record = reinterpret_cast<BYTE*>(&o);
    std::vector<BYTE> wrongMark(record, record + sizeof o), longer(wrongMark), shorter(record, record + sizeof o - 1);
    wrongMark[1] ^= 0x40;
    longer.push_back(0);
    struct Value { const char* what; std::vector<BYTE> bytes; };
    const Value values[] = {{"0 bytes", {}}, {"a record but its last byte", shorter}, {"a record and a byte", longer},
                            {"wrong mark", wrongMark}};
    std::string hooks, job;
    for (const Value& v : values) {
        SCOPED_TRACE(v.what);
        const std::string told = "stored options not valid (" + std::to_string(v.bytes.size()) + " bytes): defaults used\n";
        driver_.WriteRaw(v.bytes);
        testing::internal::CaptureStdout();
        std::string page = PrintThroughHooks(driver_.Name(), TEXT("Test Page"), SMALL_JOB, &hooks, told);
        EXPECT_EQ(CapturedTrace(), hooks);
        EXPECT_NE(page.find("%%PRALIX: Spool Delete\r\n"), std::string::npos);
        EXPECT_EQ(driver_.ReadRaw(), v.bytes);

        ScriptedUser user({IP + ": Cancel"}, nullptr);
        InstallUser(&user);
        testing::internal::CaptureStdout();
        EXPECT_EQ(PrintThroughHooks(driver_.Name(), TEXT("flow.ps"), SMALL_JOB, &hooks, told), "");
        EXPECT_EQ(CapturedTrace(), hooks);
        UninstallUser();
        EXPECT_EQ(user.Dialogs().size(), 1u);
        EXPECT_EQ(driver_.ReadRaw(), v.bytes);
    }
    // An address the user confirms replaces the value: the run's fields over the defaults.
    ScriptedUser user({IP + ": 1108=" + Address("open") + ", OK"}, nullptr);
    InstallUser(&user);
    size_t logged = ServerLog("open").size();
    testing::internal::CaptureStdout();
    std::string out = PrintThroughHooks(driver_.Name(), TEXT("flow.ps"), SMALL_JOB, &job,
                                        "stored options not valid (" + std::to_string(sizeof o) + " bytes): defaults used\n");
    std::string page = PrintThroughHooks(driver_.Name(), TEXT("Test Page"), SMALL_JOB, &hooks);
    EXPECT_EQ(CapturedTrace(), job + hooks);
    UninstallUser();
    EXPECT_NE(out.find("%%PRALIX: Spool Delete\r\n"), std::string::npos) << out;
    EXPECT_NE(page.find("%%PRALIX: Spool Delete\r\n"), std::string::npos) << page;
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

std::string Narrowed(const std::u16string& text)
{
    char out[1024] = {};
    WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const WCHAR*>(text.c_str()), static_cast<int>(text.size()), out,
                        sizeof out - 1, nullptr, nullptr);
    return out;
}

// Text without a narrow form is kept through any number of job starts (a
// run writes only its own fields); the ticket carries the code page's
// replacement characters. A secure-print password that cannot reach the
// print server intact refuses the job.
TEST_F(FlowCodePageTest, TextKeptThroughJobStarts)
{
    struct Case {
        UINT codePage;
        std::u16string comment, securePassword;
        bool prints;
    };
    const Case cases[] = {
        {1252, u"\u03A9\u03BC\u03AD\u03B3\u03B1 \u6771\u4EAC proofs", u"", true},
        {1252, u"proofs", u"\u03A9\u6771", false},
        {932, std::u16string(200, u'\u6771') + u" proofs", u"\u6771\u4EAC", true},
        {CP_UTF8, std::u16string(120, u'\u00E9') + u"\U0001F5A8 \u03A9", u"\u03A9\u00E9", true},
    };
    int ran = 0;
    for (const Case& c : cases) {
        if (!SelectAnsiCodePage(c.codePage)) continue;
        SCOPED_TRACE(c.codePage);
        ran++;
        Store({0, Address("identity"), "", ""});
        _OEM_PRIVDEVMODE seeded = Stored();
        std::char_traits<char16_t>::copy(reinterpret_cast<char16_t*>(seeded.docComment), c.comment.c_str(), c.comment.size() + 1);
        std::char_traits<char16_t>::copy(reinterpret_cast<char16_t*>(seeded.securePassword), c.securePassword.c_str(),
                                         c.securePassword.size() + 1);
        SetUserInfo(&seeded, nullptr, driver_.Name().c_str());
        for (int start = 0; start < 3; start++) {
            testing::internal::CaptureStdout();
            Outcome out = StartJob(c.prints ? Identity("alice", "s3cret") : std::vector<std::string>{}, "identity", Library());
            std::string trace = CapturedTrace();
            EXPECT_EQ(out.printed, c.prints);
            EXPECT_EQ(out.messages, c.prints ? std::vector<std::string>{} : std::vector<std::string>{M111});
            EXPECT_EQ(trace.find("secure-print password") != std::string::npos, !c.prints) << trace;
            EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out.stored.docComment)), c.comment);
            EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out.stored.securePassword)), c.securePassword);
            LogSince("identity", out.logged, c.prints ? 1 : 0, c.prints ? 2 : 0);
        }
        if (!c.prints) continue;
        std::string ticket = PrintThroughHooks(driver_.Name(), TEXT("Test Page"), SMALL_JOB);
        std::string comment = Narrowed(c.comment).substr(0, 255 - 2 - 21);
        EXPECT_NE(ticket.find("%%PRALIX: DocComment " + comment.substr(0, 100)), std::string::npos) << ticket;
        EXPECT_EQ(ticket.find("%%PRALIX: SecurePassword ") != std::string::npos, !c.securePassword.empty());
    }
    if (ran == 0) GTEST_SKIP() << "none of the code pages is the platform's (" << GetACP() << ")";
}

}  // namespace
