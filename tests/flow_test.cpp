// The validation flow at job start, end to end: the hooks with the shipped store and ticket writer, against the
// fixture's print servers on loopback, answered by the scripted user; outcomes as golden transcripts.
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

#include <deque>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Short enough that the silent server costs 1.5 s, long enough for Wine.
const bool gShortWait = SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "1500") != FALSE;

// The fixture's servers, each on its host of the test network.
const std::map<std::string, int> SERVERS = {
    {"open", 20}, {"codeonly", 21}, {"identity", 22}, {"closes", 23}, {"r500", 24}, {"r400", 25}, {"r100", 26},
    {"r404", 27}, {"r403", 28}, {"segments", 29}, {"silent", 30}, {"v400", 32}, {"v403", 33}, {"v404", 34},
    {"v500", 35}};
std::string Address(const std::string& server) { return TestAddress(SERVERS.at(server)); }
const std::string UNREACHABLE = TestAddress(99), SCRIPTED = TestAddress(41), NONE = "255.255.255.255";

const std::string SA = "Secure Access", VE = "Validation Error", IP = "IP Address";

WString LogPath(const std::string& server)
{
    return HostFilePath(std::string(PRINTSERVERS_DIR) + "/" + server + "/printserver.log");
}

// An address as a transcript names it.
std::string Named(const std::string& address)
{
    for (const auto& server : SERVERS)
        if (Address(server.first) == address) return server.first;
    return address == UNREACHABLE ? "unreachable" : address == SCRIPTED ? "scripted" : address;
}

// The library's module where the loader would put it: its resources are the flow's dialogs and strings.
HMODULE Library()
{
    static HMODULE lib = [] {
        HMODULE m = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
        DllEntryPoint(m, DLL_PROCESS_ATTACH, nullptr);
        return m;
    }();
    return lib;
}

// The stored fields a run may write.
struct Seed {
    std::string address, user = "", password = "";  // first use at NONE
};
Seed At(const std::string& server, const std::string& user = "", const std::string& password = "")
{
    return {Address(server), user, password};
}
const Seed FIRST_USE = {NONE};

struct Row {
    std::string what;
    Seed seed;
    std::vector<std::string> answers;
    bool bare = false;                       // resources without the library's: no dialog, no message text
    int jobs = 1;                            // started at once
    std::vector<ServerScript> script = {};   // the connections of a server at SCRIPTED
    const std::vector<BYTE>* raw = nullptr;  // stored instead of a record
    bool testPage = false;                   // a Test Page job while the run holds its first dialog
    std::u16string comment = u"", securePassword = u"";
};

// The defaults with a seed's fields.
_OEM_PRIVDEVMODE Seeded(const Seed& seed)
{
    _OEM_PRIVDEVMODE o = {};
    SetDefaultPralixOptions(&o);
    o.bInitialConnection = seed.address == NONE;
    swprintf(o.ipAddress, 16, TEXT("%hs"), seed.address.c_str());
    swprintf(o.docOwner, 25, TEXT("%hs"), seed.user.c_str());
    swprintf(o.password, 9, TEXT("%hs"), seed.password.c_str());
    return o;
}

// A row's outcome, each line named by the row: jobs printed, what the user saw (message boxes: OK alone, in front, no
// icon), trace lines but the hooks', the Test Page, what is stored, the requests of the server stored.
std::string Outcome(const Row& row, HINSTANCE resources)
{
    StoredDriver driver;
    _OEM_PRIVDEVMODE o = Seeded(row.seed);
    row.comment.copy(reinterpret_cast<char16_t*>(o.docComment), row.comment.size());
    row.securePassword.copy(reinterpret_cast<char16_t*>(o.securePassword), row.securePassword.size());
    SetUserInfo(&o, nullptr, driver.Name().c_str());
    if (row.raw) driver.WriteRaw(*row.raw);
    std::map<std::string, size_t> logged;
    for (const auto& server : SERVERS) logged[server.first] = FileSize(LogPath(server.first));
    std::unique_ptr<LoopbackServer> scripted;
    if (!row.script.empty()) scripted.reset(new LoopbackServer(row.script, SCRIPTED.c_str(), 8163));
    ScriptedUser user(row.answers, nullptr);
    InstallUser(&user);
    HINSTANCE saved = std::exchange(hInst, resources);
    testing::internal::CaptureStdout();
    std::deque<TestPrinter> printers;
    std::vector<std::future<HANDLE>> jobs;
    for (int i = 0; i < row.jobs; i++) {
        printers.emplace_back(driver.Name());
        jobs.push_back(std::async(std::launch::async, DrvSplStartDoc, printers.back().handle(),
                                  printers.back().StartJob(TEXT("flow.ps"))));
    }
    bool held = false;
    std::string page;
    if (row.testPage) {
        for (int i = 0; i < 1000 && !user.Holding(); i++) Sleep(10);
        auto pages = std::async(std::launch::async, [&] {  // a small job through every hook
            const std::string job = "%!PS\n%%Title: small\n%%EndComments\nshowpage\n";
            TestPrinter printer(driver.Name());
            DWORD written = 0;
            if (HANDLE h = DrvSplStartDoc(printer.handle(), printer.StartJob(TEXT("Test Page")))) {
                DrvSplWritePrinter(h, const_cast<char*>(job.data()), static_cast<DWORD>(job.size()), &written);
                DrvSplEndDoc(h);
                DrvSplClose(h);
                return printer.EndJobAndRead();
            }
            AbortPrinter(printer.handle());
            return std::string();
        });
        held = pages.wait_for(std::chrono::seconds(20)) == std::future_status::ready && user.Holding();
        user.Release();
        page = pages.get();
    }
    int printed = 0;
    for (int i = 0; i < row.jobs; i++) {
        HANDLE h = jobs[i].get();
        if (h) DrvSplClose(h);
        AbortPrinter(printers[i].handle());
        printed += h != nullptr;
    }
    hInst = saved;
    std::istringstream trace(testing::internal::GetCapturedStdout());
    UninstallUser();
    std::ostringstream out;
    auto line = [&]() -> std::ostream& { return out << row.what << " | "; };
    line() << "printed " << printed << " of " << row.jobs << "\n";
    for (const SeenMessage& m : user.Messages()) {
        line() << "message [" << m.caption << "]: \"" << m.text << "\"\n";
        EXPECT_EQ(m.style & MESSAGE_STYLE_SEEN, UINT(MB_OK | MB_SETFOREGROUND) & MESSAGE_STYLE_SEEN) << m.text;
    }
    for (const SeenDialog& d : user.Dialogs()) {
        line() << "dialog: " << d.caption;
        for (const ControlView& c : d.controls)
            if (c.id == IDC_ADMIN_MESSAGE || c.id == IDC_ADMIN_EMAIL) out << ", \"" << c.text << "\"";
        out << "\n";
    }
    EXPECT_FALSE(user.GaveUp());
    for (std::string traced; std::getline(trace, traced);)
        if (traced.rfind("DrvSpl", 0) != 0) line() << "trace: " << traced << "\n";
    if (row.testPage)
        line() << "test page: " << (held ? "printed while the dialog was held" : "waited for the dialog") << ", "
            << (page.find("%%PRALIX: Spool Delete\r\n") != std::string::npos ? "with" : "without") << " its ticket\n";
    GetUserInfo(&o, nullptr, driver.Name().c_str());
    const std::string at = Named(HostUtf8(o.ipAddress));
    line() << "stored: first use " << o.bInitialConnection << ", address " << at << ", user \""
        << HostUtf8(o.docOwner) << "\", password \"" << HostUtf8(o.password) << "\"";
    if (o.docComment[0] || o.securePassword[0])
        out << ", comment \"" << HostUtf8(o.docComment) << "\", secure password \"" << HostUtf8(o.securePassword) << "\"";
    out << "\n";
    if (row.raw && driver.ReadRaw() == *row.raw) line() << "value: as written\n";
    else if (row.raw) line() << "value: " << driver.ReadRaw().size() << " bytes\n";
    // The stored server's probes and requests, once its log is still for 100 ms (it logs a request after replying),
    // without a password; the silent server logs its request only when its delay is over.
    if (!logged.count(at) || at == "silent") return out.str();
    const long from = static_cast<long>(logged[at]);
    std::string log = ReadWholeFile(LogPath(at), from), before;
    for (int i = 0; i < 30 && log != before; i++) {
        Sleep(100);
        before = log;
        log = ReadWholeFile(LogPath(at), from);
    }
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << at << ": a password in the log: " << log;
    std::istringstream lines(log);
    int probes = 0, requests = 0;
    for (std::string request; std::getline(lines, request);) {
        probes += request.find("(a reachability probe)") != std::string::npos;
        requests += request.find(" request 10") != std::string::npos;
    }
    line() << "server: " << probes << " probes, " << requests << " requests\n";
    return out.str();
}

std::string Identity(const char* user, const char* password)
{
    return SA + ": 1112=" + user + ", 1113=" + password + ", OK";
}
const std::string ALICE = Identity("alice", "s3cret");

TEST(FlowTest, EveryWayARunEnds)
{
    ASSERT_NE(Library(), nullptr);
    HMODULE bare = LoadLibraryW((ExecutableDirectory() + Wide(ENTRY_FIXTURE_NAME)).c_str());
    ASSERT_NE(bare, nullptr);
    // A settings reply whose policy requires user and password, with the administrator's texts.
    const std::string message = "Ask the front desk.", email = "desk@example.org";
    const ServerScript probe = {}, rejected = {"3011 0 0 "},
                       policy = {"200" + std::string("\0\x01\x01\0\0\0\0\0\0", 9) + message +
                                 std::string(256 - message.size(), '\0') + email + std::string(256 - email.size(), '\0')};
    std::vector<std::string> confirmed16(16, ALICE);
    confirmed16.push_back(SA + ": Cancel");
    const std::vector<std::string> again = {SA + ": OK", VE + ": OK", SA + ": Cancel"};  // rejected, then cancelled
    std::vector<Row> rows = {
        {"nothing required", At("open"), {}},
        {"\"200\" alone", At("codeonly"), {}},
        {"first use: unreachable, then reachable", FIRST_USE,
         {IP + ": 1108=" + UNREACHABLE + ", OK", IP + ": 1108=" + Address("open") + ", OK"}},
        {"first use: cancelled", FIRST_USE, {IP + ": Cancel"}},
        {"stored address unreachable", {UNREACHABLE}, {}},
        // The second rejection differs from the accepted password in case alone.
        {"rejected twice, then accepted", At("identity"),
         {Identity("alice", "guess"), VE + ": OK", Identity("alice", "S3CRET"), VE + ": OK", ALICE}},
        {"cancel", At("identity", "carol", "pw"), {SA + ": Cancel"}},
        {"typed fields kept when validation fails", At("identity", "carol", "pw"),
         {Identity("alice", "wrong"), VE + ": OK", SA + ": Cancel"}},
        {"closed without a reply", At("closes"), {}},
        {"reply 500", At("r500"), {}},
        {"reply 400", At("r400"), {}},
        {"reply 100 for ever", At("r100"), {}},
        {"reply 404 for ever", At("r404"), {}},
        {"reply 403", At("r403"), {SA + ": Esc"}},
        {"policy and verdict in one-byte segments", At("segments"), {Identity("alice", "")}},
        {"silent server", At("silent"), {}},
        // The validate-info reply is the next step: 400 ends the run as the open connection left it (printing),
        // 403 is the locked dialog, 404 starts over at the probe, a code without a step is unexpected.
        {"validation answered 400", At("v400"), {ALICE}},
        {"validation answered 403", At("v403"), {ALICE, SA + ": Esc"}},
        // Each OK starts the count of requests again: more than the cap in all.
        {"validation answered 404, confirmed 16 times", At("v404"), confirmed16},
        {"validation answered 500", At("v500"), {ALICE}},
        // Each would otherwise ask again for ever.
        {"bare: the first-use address dialog", FIRST_USE, {}, true},
        {"bare: the secure access dialog", At("identity"), {}, true},
        {"bare: the locked dialog after 403", At("r403"), {}, true},
        // One asks for the address, the other waits for its turn and finds it stored.
        {"two first jobs at once", FIRST_USE, {IP + ": 1108=" + Address("identity") + ", OK", ALICE, ALICE}, false, 2},
        // The administrator's texts come with one run's policy, not with a later run's that has none.
        {"administrator's texts", {SCRIPTED}, again, false, 1, {probe, policy, rejected}},
        {"a later run without a policy", {SCRIPTED}, again, false, 1, {probe, {"405"}, rejected}},
    };
    // A Test Page job prints with its ticket while a job start of the process waits in a dialog.
    rows.push_back(
        {"a Test Page while a dialog is held", At("identity"), {SA + ": hold, 1112=alice, 1113=s3cret, OK"}});
    rows.back().testPage = true;
    // A stored value that is not a record (another version's, say) is replaced by a confirmed address only, not
    // by a job start whose user cancelled, nor by a Test Page's ticket writer.
    _OEM_PRIVDEVMODE o = {};
    SetDefaultPralixOptions(&o);
    const BYTE* record = reinterpret_cast<BYTE*>(&o);
    std::vector<BYTE> wrongMark(record, record + sizeof o), longer(wrongMark), shorter(record, record + sizeof o - 1);
    wrongMark[1] ^= 0x40;
    longer.push_back(0);
    const std::vector<BYTE> none;
    const std::pair<const std::vector<BYTE>*, std::string> values[] = {
        {&none, "cancelled"}, {&shorter, "cancelled"}, {&longer, "cancelled"}, {&wrongMark, "cancelled"},
        {&wrongMark, "confirmed"}};
    for (const auto& v : values) {
        const std::string answer = v.second == "confirmed" ? "1108=" + Address("open") + ", OK" : "Cancel";
        rows.push_back({"not a record, " + std::to_string(v.first->size()) + " bytes, " + v.second, FIRST_USE,
                        {IP + ": hold, " + answer}});
        rows.back().raw = v.first;
        rows.back().testPage = true;
    }
    std::string transcript;
    for (const Row& row : rows) transcript += Outcome(row, row.bare ? bare : Library());
    FreeLibrary(bare);
    ExpectGolden("flow_runs.txt", transcript);
}

// The host's choice of turns (null: none) for a scope.
struct TurnsChoice {
    explicit TurnsChoice(const char* turns) { SetEnvironmentVariableA("UMPD_TURNS", turns); }
    ~TurnsChoice() { SetEnvironmentVariableA("UMPD_TURNS", nullptr); }
};

struct TurnsRow {
    std::string what;
    const char* turns;   // UMPD_TURNS, or null
    Seed first;          // the first job's record; the second job's names the open server
    std::string answer;  // the first job's dialog, held until released
    bool releaseAtOnce;  // as the second job starts, its run going on to its server; else once the second job ends
};

// Two jobs of two drivers, the second started while the first one's run holds its turn: whether the second ended
// while the first one's run went on, each one's result, what the user saw, the first one's stored fields.
std::string TurnsOutcome(const TurnsRow& row)
{
    TurnsChoice choice(row.turns);
    // The silent server's wait long beside a healthy job's exchange, however
    // loaded the machine: whether the second job ended during it is the point.
    SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "8000");
    StoredDriver first, second;
    _OEM_PRIVDEVMODE o = Seeded(row.first), other = Seeded(At("open"));
    SetUserInfo(&o, nullptr, first.Name().c_str());
    SetUserInfo(&other, nullptr, second.Name().c_str());
    ScriptedUser user({row.answer}, nullptr);
    InstallUser(&user);
    HINSTANCE saved = std::exchange(hInst, Library());
    testing::internal::CaptureStdout();
    TestPrinter printers[2] = {TestPrinter(first.Name()), TestPrinter(second.Name())};
    auto Start = [](TestPrinter& p) {
        return std::async(std::launch::async, DrvSplStartDoc, p.handle(), p.StartJob(TEXT("flow.ps")));
    };
    std::future<HANDLE> jobs[2] = {Start(printers[0])};
    for (int i = 0; i < 1000 && !user.Holding(); i++) Sleep(10);
    const bool held = user.Holding();
    if (row.releaseAtOnce) user.Release();
    jobs[1] = Start(printers[1]);
    const bool ended = jobs[1].wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const bool running = jobs[0].wait_for(std::chrono::seconds(0)) != std::future_status::ready;
    user.Release();
    std::string out = row.what + " | the first run held its dialog: " + (held ? "yes" : "no") +
                      ", the second job ended while it went on: " + (ended && running ? "yes" : "no") + "\n";
    for (int i = 0; i < 2; i++) {
        HANDLE h = jobs[i].get();
        if (h) DrvSplClose(h);
        AbortPrinter(printers[i].handle());
        out += row.what + " | " + (i ? "second" : "first") + (h ? " printed" : " refused") + "\n";
    }
    hInst = saved;
    SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "1500");
    testing::internal::GetCapturedStdout();
    UninstallUser();
    for (const SeenMessage& m : user.Messages())
        out += row.what + " | message [" + m.caption + "]: \"" + m.text + "\"\n";
    EXPECT_FALSE(user.GaveUp());
    GetUserInfo(&o, nullptr, first.Name().c_str());
    return out + row.what + " | first stored: address " + Named(HostUtf8(o.ipAddress)) + ", user \"" +
           HostUtf8(o.docOwner) + "\"\n";
}

// Runs of one process take turns; under the host's choice of turns per print server, only runs of one server do: a
// server that never answers, or a dialog nobody answers, holds up no job of another server, and each run keeps its
// own state; only the first of two first jobs asks for the address.
TEST(FlowTest, TurnsOfTheProcessOrOfEachPrintServer)
{
    ASSERT_NE(Library(), nullptr);
    const std::string silent = IP + ": hold, 1108=" + Address("silent") + ", OK";
    const TurnsRow rows[] = {
        {"process: a silent server", nullptr, FIRST_USE, silent, true},
        {"server: a silent server", "server", FIRST_USE, silent, true},
        {"server: a dialog", "server", At("identity"), SA + ": hold, 1112=alice, 1113=s3cret, OK", false},
    };
    std::string transcript;
    for (const TurnsRow& row : rows) transcript += TurnsOutcome(row);
    TurnsChoice choice("server");
    const Row firstJobs = {"server: two first jobs at once", FIRST_USE,
                           {IP + ": 1108=" + Address("identity") + ", OK", ALICE, ALICE}, false, 2};
    ExpectGolden("flow_turns.txt", transcript + Outcome(firstJobs, Library()));
}

// Text without a form in the ANSI code page: a comment is kept through a job start (a run writes only its own
// fields); a secure-print password would reach the print server as one nobody can type, and the job is refused.
TEST(FlowTest, TextWithoutANarrowForm)
{
    ASSERT_NE(Library(), nullptr);
    if (!SelectAnsiCodePage(1252)) GTEST_SKIP() << "code page 1252 is not the platform's (" << GetACP() << ")";
    Row comment = {"comment", At("identity"), {ALICE}}, password = {"password", At("identity"), {}};
    comment.comment = password.comment = u"\u03A9\u03BC\u03AD\u03B3\u03B1 \u6771\u4EAC proofs";
    password.securePassword = u"\u03A9\u6771";
    ExpectGolden("flow_narrow.txt", Outcome(comment, Library()) + Outcome(password, Library()));
    RestoreAnsiCodePage();
}

}  // namespace
