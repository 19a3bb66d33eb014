// The validation flow at job start, end to end: the hooks with the option
// store and the ticket writer, against reference print servers that a
// fixture runs on loopback (one per behaviour, each on its own address),
// answered by the scripted user.
#include "codepage.h"
#include "english/resource.h"
#include "loopback_server.h"
#include "printer.h"
#include "scripted_user.h"
#include "store_support.h"
#include "tempfile.h"
#include "transcript.h"
#include "umpd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
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
const std::string UNREACHABLE = TestAddress(99), SCRIPTED = TestAddress(41), NONE = "255.255.255.255";

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

// What the server logged since `logged`, once its log has been still for
// 100 ms (it logs a request after the reply); bounded.
std::string SettledLog(const std::string& server, size_t logged)
{
    std::string log = ServerLog(server), before;
    for (int i = 0; i < 30 && log != before; i++) {
        Sleep(100);
        before = log;
        log = ServerLog(server);
    }
    return log.substr(logged);
}

std::string Narrow(const WCHAR* text) { return HostUtf8(text); }

// An address as a transcript names it: its server's name.
std::string Named(const std::string& address)
{
    for (const auto& server : SERVERS)
        if (Address(server.first) == address) return server.first;
    return address == UNREACHABLE ? "unreachable" : address == SCRIPTED ? "scripted" : address;
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
// port ("" when refused).
std::string PrintThroughHooks(const WString& driver, const WCHAR* document)
{
    TestPrinter printer(driver);
    HANDLE h = DrvSplStartDoc(printer.handle(), printer.StartJob(document));
    if (!h) {
        AbortPrinter(printer.handle());
        return "";
    }
    DWORD written = 0;
    DrvSplWritePrinter(h, const_cast<char*>(SMALL_JOB.data()), static_cast<DWORD>(SMALL_JOB.size()), &written);
    DrvSplEndDoc(h);
    DrvSplClose(h);
    return printer.EndJobAndRead();
}

// What the user saw, a line each: every message box with an OK button
// alone, brought to the front, and no icon; the administrator's texts of
// each validation error dialog.
std::string Seen(ScriptedUser& user)
{
    std::ostringstream seen;
    for (const SeenMessage& m : user.Messages()) {
        seen << "message [" << m.caption << "]: \"" << m.text << "\"\n";
        EXPECT_EQ(m.style & MESSAGE_STYLE_SEEN, UINT(MB_OK | MB_SETFOREGROUND) & MESSAGE_STYLE_SEEN) << m.text;
    }
    for (const SeenDialog& d : user.Dialogs()) {
        seen << "dialog: " << d.caption;
        for (const ControlView& c : d.controls)
            if (c.id == IDC_ADMIN_MESSAGE || c.id == IDC_ADMIN_EMAIL) seen << ", \"" << c.text << "\"";
        seen << "\n";
    }
    EXPECT_FALSE(user.GaveUp());
    return seen.str();
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
const Seed FIRST_USE = {1, NONE, "", ""};

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
    // Starts `jobs` jobs at once on printers of this test's driver, answered
    // by `user`, and takes them back: how many would have printed.
    int StartJobs(ScriptedUser& user, HINSTANCE resources, int jobs = 1)
    {
        std::deque<TestPrinter> printers;
        std::vector<DWORD> ids;
        for (int i = 0; i < jobs; i++) {
            printers.emplace_back(driver_.Name());
            ids.push_back(printers.back().StartJob(TEXT("flow.ps")));
        }
        std::vector<HANDLE> handles(jobs);
        InstallUser(&user);
        HINSTANCE saved = hInst;
        hInst = resources;
        std::vector<std::thread> threads;
        for (int i = 0; i < jobs; i++)
            threads.emplace_back([&, i] { handles[i] = DrvSplStartDoc(printers[i].handle(), ids[i]); });
        for (std::thread& t : threads) t.join();
        hInst = saved;
        UninstallUser();
        int printed = 0;
        for (int i = 0; i < jobs; i++) {
            if (handles[i]) DrvSplClose(handles[i]);
            AbortPrinter(printers[i].handle());
            printed += handles[i] != nullptr;
        }
        return printed;
    }
    StoredDriver driver_;
};

std::vector<std::string> Identity(const char* user, const char* password, const std::string& then = "")
{
    std::vector<std::string> lines = {SA + ": 1112=" + user + ", 1113=" + password + ", OK"};
    if (!then.empty()) lines.push_back(then);
    return lines;
}

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Row {
    const char* what;
    Seed seed;
    std::vector<std::string> answers;
    std::string server = "";           // whose log counts the probes and requests ("": none)
    bool bare = false;                 // resources without the library's: no dialog can be shown, no message has a text
    int jobs = 1;                      // started at once
    std::vector<ServerScript> script = {};  // the connections of a server at SCRIPTED
};

// Each row's outcome in tests/golden/flow_runs.txt, its lines named by the
// row: the jobs that printed, what the user saw, the stored fields, the
// server's probes and requests.
TEST_F(FlowTest, EveryWayARunEnds)
{
    HMODULE bare = LoadLibraryW((ExecutableDirectory() + Wide(ENTRY_FIXTURE_NAME)).c_str());
    ASSERT_NE(bare, nullptr);
    // A settings reply whose policy requires user and password, with the administrator's texts.
    const std::string message = "Ask the front desk.", email = "desk@example.org";
    const ServerScript probe = {}, rejected = {"3011 0 0 "},
                       policy = {"200" + std::string("\0\x01\x01\0\0\0\0\0\0", 9) + message +
                                 std::string(256 - message.size(), '\0') + email + std::string(256 - email.size(), '\0')};
    const Row rows[] = {
        {"nothing required", At("open"), {}, "open"},
        {"\"200\" alone", At("codeonly"), {}, "codeonly"},
        {"first use: unreachable, then reachable", FIRST_USE,
         {IP + ": 1108=" + UNREACHABLE + ", OK", IP + ": 1108=" + Address("open") + ", OK"}, "open"},
        {"first use: cancelled", FIRST_USE, {IP + ": Cancel"}},
        {"stored address unreachable", {0, UNREACHABLE, "", ""}, {}},
        // The second rejection differs from the accepted password in case alone.
        {"rejected twice, then accepted", At("identity"),
         Identity("alice", "guess", VE + ": OK") + Identity("alice", "S3CRET", VE + ": OK") + Identity("alice", "s3cret"),
         "identity"},
        {"cancel", At("identity", "carol", "pw"), {SA + ": Cancel"}, "identity"},
        {"typed fields kept when validation fails", At("identity", "carol", "pw"),
         Identity("alice", "wrong", VE + ": OK") + std::vector<std::string>{SA + ": Cancel"}, "identity"},
        {"closed without a reply", At("closes"), {}, "closes"},
        {"reply 500", At("r500"), {}, "r500"},
        {"reply 400", At("r400"), {}, "r400"},
        {"reply 100 for ever", At("r100"), {}, "r100"},
        {"reply 404 for ever", At("r404"), {}, "r404"},
        {"reply 403", At("r403"), {SA + ": Esc"}, "r403"},
        {"policy and verdict in one-byte segments", At("segments"), Identity("alice", ""), "segments"},
        // The silent server logs its request only when its delay is over.
        {"silent server", At("silent"), {}},
        // The validate-info reply is the next step: 400 ends the run as the
        // open connection left it (printing), 403 is the locked dialog, 404
        // starts over at the probe, a code without a step is unexpected.
        {"validation answered 400", At("v400"), Identity("alice", "s3cret"), "v400"},
        {"validation answered 403", At("v403"), Identity("alice", "s3cret", SA + ": Esc"), "v403"},
        // Each OK starts the count of requests again: more than the cap in all.
        {"validation answered 404, confirmed 16 times", At("v404"),
         std::vector<std::string>(16, Identity("alice", "s3cret")[0]) + std::vector<std::string>{SA + ": Cancel"}, "v404"},
        {"validation answered 500", At("v500"), Identity("alice", "s3cret"), "v500"},
        // Each would otherwise ask again for ever.
        {"bare: the first-use address dialog", FIRST_USE, {}, "", true},
        {"bare: the secure access dialog", At("identity"), {}, "identity", true},
        {"bare: the locked dialog after 403", At("r403"), {}, "r403", true},
        // One asks for the address, the other waits for its turn and finds it stored.
        {"two first jobs at once", FIRST_USE,
         std::vector<std::string>{IP + ": 1108=" + Address("identity") + ", OK"} + Identity("alice", "s3cret") +
             Identity("alice", "s3cret"),
         "identity", false, 2},
        // The administrator's texts come with one run's policy: none in a
        // later run whose server asks for the identity without a policy.
        {"administrator's texts", {0, SCRIPTED, "", ""}, {SA + ": OK", VE + ": OK", SA + ": Cancel"}, "", false, 1,
         {probe, policy, rejected}},
        {"a later run without a policy", {0, SCRIPTED, "", ""}, {SA + ": OK", VE + ": OK", SA + ": Cancel"}, "", false, 1,
         {probe, {"405"}, rejected}},
    };
    std::ostringstream transcript;
    for (const Row& row : rows) {
        Store(row.seed);
        size_t logged = row.server.empty() ? 0 : ServerLog(row.server).size();
        std::unique_ptr<LoopbackServer> scripted;
        if (!row.script.empty()) scripted.reset(new LoopbackServer(row.script, SCRIPTED.c_str(), 8163));
        ScriptedUser user(row.answers, nullptr);
        std::ostringstream outcome;
        outcome << "printed " << StartJobs(user, row.bare ? bare : Library(), row.jobs) << " of " << row.jobs << "\n"
                << Seen(user);
        _OEM_PRIVDEVMODE s = Stored();
        outcome << "stored: first use " << s.bInitialConnection << ", address " << Named(Narrow(s.ipAddress))
                << ", user \"" << Narrow(s.docOwner) << "\", password \"" << Narrow(s.password) << "\"\n";
        if (!row.server.empty()) {
            std::string log = SettledLog(row.server, logged);
            outcome << "server: " << Count(log, "(a reachability probe)") << " probes, " << Count(log, " request 10")
                    << " requests\n";
            EXPECT_EQ(log.find("s3cret"), std::string::npos) << row.what << ": a password in the server's log: " << log;
        }
        std::istringstream lines(outcome.str());
        for (std::string line; std::getline(lines, line);) transcript << row.what << " | " << line << "\n";
    }
    FreeLibrary(bare);
    ExpectGolden("flow_runs.txt", transcript.str());
}

// While one job start waits in its secure access dialog, a Test Page job of
// the same process prints with its ticket; the held run goes on once the
// dialog is answered.
TEST_F(FlowTest, TestPagesPrintWhileADialogIsHeld)
{
    Store(At("identity"));
    ScriptedUser user({SA + ": hold, 1112=alice, 1113=s3cret, OK"}, nullptr);
    int heldPrinted = -1;
    std::thread held([&] { heldPrinted = StartJobs(user, Library()); });
    for (int i = 0; i < 1000 && !user.Holding(); i++) Sleep(10);
    std::atomic<bool> printed{false};
    std::string page;
    std::thread pages([&] {
        page = PrintThroughHooks(driver_.Name(), TEXT("Test Page"));
        printed = true;
    });
    for (int i = 0; i < 2000 && !printed; i++) Sleep(10);
    EXPECT_TRUE(printed && user.Holding()) << "the Test Page job waited for the dialog";
    user.Release();
    held.join();
    pages.join();
    EXPECT_EQ(heldPrinted, 1);
    EXPECT_NE(page.find("%%PRALIX: Spool Delete\r\n"), std::string::npos) << page;
    EXPECT_EQ(Narrow(Stored().docOwner), "alice");
}

// A stored value that is not a record (another version of the driver's, say)
// is not written over by a job start whose user cancelled the address dialog,
// nor by a Test Page's ticket writer; a confirmed address replaces it. Each
// job that finds it says so once.
TEST_F(FlowTest, ValueThatIsNotARecordIsNotWipedUnattended)
{
    _OEM_PRIVDEVMODE o = {};
    SetDefaultPralixOptions(&o);
    const BYTE* record = reinterpret_cast<BYTE*>(&o);
    std::vector<BYTE> wrongMark(record, record + sizeof o), longer(wrongMark), shorter(record, record + sizeof o - 1);
    wrongMark[1] ^= 0x40;
    longer.push_back(0);
    const std::vector<std::pair<std::vector<BYTE>, std::string>> cases = {
        {{}, "Cancel"}, {shorter, "Cancel"}, {longer, "Cancel"}, {wrongMark, "Cancel"},
        {wrongMark, "1108=" + Address("open") + ", OK"}};
    for (const auto& c : cases) {
        const bool confirmed = c.second != "Cancel";
        SCOPED_TRACE(std::to_string(c.first.size()) + " bytes, " + c.second);
        driver_.WriteRaw(c.first);
        ScriptedUser user({IP + ": " + c.second}, nullptr);
        InstallUser(&user);
        testing::internal::CaptureStdout();
        std::string job = PrintThroughHooks(driver_.Name(), TEXT("flow.ps"));
        std::string page = PrintThroughHooks(driver_.Name(), TEXT("Test Page"));
        std::string trace = testing::internal::GetCapturedStdout();
        UninstallUser();
        EXPECT_EQ(user.Dialogs().size(), 1u);
        EXPECT_EQ(job.find("%%PRALIX: Spool Delete\r\n") != std::string::npos, confirmed) << job;
        EXPECT_NE(page.find("%%PRALIX: Spool Delete\r\n"), std::string::npos) << page;
        const std::string told = "stored options not valid (" + std::to_string(c.first.size()) + " bytes): defaults used";
        EXPECT_EQ(Count(trace, told), confirmed ? 1u : 2u) << trace;
        // The store and the ticket writer say nothing more: every other line is one of the hooks' own.
        std::istringstream lines(trace);
        for (std::string line; std::getline(lines, line);) {
            bool hook = false;
            for (const char* own : {"DrvSplStartDoc called ", "DrvSplWritePrinter call #", "DrvSplEndDoc called ", "DrvSplClose called "})
                hook = hook || line.rfind(own, 0) == 0;
            EXPECT_TRUE(hook || line == told) << "a line no hook writes: " << line;
        }
        if (!confirmed) {
            EXPECT_EQ(driver_.ReadRaw(), c.first);
            continue;
        }
        _OEM_PRIVDEVMODE stored = Stored();
        EXPECT_EQ(driver_.ReadRaw().size(), sizeof o);
        EXPECT_EQ(stored.initialized, OPTIONS_VALID);
        EXPECT_EQ(stored.bInitialConnection, 0);
        EXPECT_EQ(Narrow(stored.ipAddress), Address("open"));
    }
}

// Text without a form in the ANSI code page is kept through a job start (a
// run writes only its own fields); a secure-print password without one would
// reach the print server as a password nobody can type: the job is refused.
TEST_F(FlowTest, TextWithoutANarrowForm)
{
    if (!SelectAnsiCodePage(1252)) GTEST_SKIP() << "code page 1252 is not the platform's (" << GetACP() << ")";
    const std::u16string comment = u"\u03A9\u03BC\u03AD\u03B3\u03B1 \u6771\u4EAC proofs", password = u"\u03A9\u6771";
    for (bool prints : {true, false}) {
        SCOPED_TRACE(prints);
        Store(At("identity"), comment, prints ? u"" : password);
        ScriptedUser user(prints ? Identity("alice", "s3cret") : std::vector<std::string>{}, nullptr);
        testing::internal::CaptureStdout();
        int printed = StartJobs(user, Library());
        std::string trace = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, prints ? 1 : 0);
        EXPECT_EQ(Seen(user), prints ? "dialog: Secure Access\n"
                                     : "message [Secure Access]: \"An unexpected error has occurred.  Please try again later.\"\n");
        EXPECT_EQ(Count(trace, "secure-print password has characters outside ANSI code page 1252: job refused\n"), !prints)
            << trace;
        _OEM_PRIVDEVMODE stored = Stored();
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(stored.docComment)), comment);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(stored.securePassword)), prints ? u"" : password);
    }
    RestoreAnsiCodePage();
}

}  // namespace
