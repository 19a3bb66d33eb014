// The spooler hooks driven as the spooler drives them; the store, flow and ticket writer are the fakes.
#include "fakes.h"
#include "marks.h"
#include "printer.h"
#include "scripted_user.h"
#include "transcript.h"

#ifndef _WIN32
#include <standin.h>
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <vector>

namespace {

const std::string TAG = "%%EndComments";
const std::string JOB = "%!PS\n%%EndComments\n";

std::string Hex(const void* p)
{
    std::ostringstream s;
    s << std::hex << reinterpret_cast<uintptr_t>(p);
    return s.str();
}

std::string Escaped(std::string s)
{
    Replace(s, "\r", "\\r");
    Replace(s, "\n", "\\n");
    return s;
}

class HookTest : public ::testing::Test {
protected:
    void SetUp() override { gFakes.Reset(); }

    HANDLE Start(const WCHAR* document = TEXT("job.ps"))
    {
        jobId_ = printer_.StartJob(document);
        return handle_ = DrvSplStartDoc(printer_.handle(), jobId_);
    }

    // Data in buffers that end at the cuts; each call must report the caller's own count.
    void Write(HANDLE h, const std::string& data, std::vector<size_t> cuts = {})
    {
        size_t from = 0;
        cuts.push_back(data.size());
        for (size_t to : cuts) {
            written_ = 0xDEADBEEF;
            EXPECT_TRUE(DrvSplWritePrinter(h, const_cast<char*>(data.data()) + from, static_cast<DWORD>(to - from), &written_));
            EXPECT_EQ(written_, to - from);
            from = to;
        }
    }

    // A whole job through the hooks (none if refused at its start): what reached the port.
    std::string Print(const std::string& data, const std::vector<size_t>& cuts = {}, const WCHAR* document = TEXT("job.ps"))
    {
        if (HANDLE h = Start(document)) {
            Write(h, data, cuts);
            DrvSplEndDoc(h);
            DrvSplClose(h);
        }
        return printer_.EndJobAndRead();
    }

    TestPrinter printer_;
    DWORD jobId_ = 0, written_ = 0;
    HANDLE handle_ = nullptr;
};

// One ticket, left as written, before the first tag at a line's start and every ticket line of the document inert,
// however cut: near misses, "%%%EndComments", a tag in a title, after a run of '%' or a partial ticket line, a second
// tag, a partial one at the end; ticket lines after LF, CR, at the start, in a job without the tag, after the tag,
// not at a line's start, a partial one before a tag.
TEST_F(HookTest, TicketGoesOnceBeforeTheFirstTagHoweverTheDataIsCut)
{
    gFakes.ticket = "%%PRALIX: Spool Delete\r\n";
    for (const std::string& data :
         {std::string("%!PS\n%%Creator: %%End %%EndComment\n%%%EndComments\n%%BeginDocument\n%%EndComments\nshowpage\n"), TAG,
          std::string(40, '%') + TAG + std::string(9, '%'), std::string("%!PS\n%%EndComment\nshowpage\n%%EndComm"),
          std::string(20, '%'), std::string(),
          std::string("%!PS\n%%PRALIX: DocOwner boss\r%%PRALIX: AccountNumber 9\r\n%%EndComments\n%%PRALIX: Spool Save\n"),
          std::string("%%PRALIX: Spool Hold\n x%%PRALIX: a\n%%%PRALIX: b\n%%PRALIX c\n%%PRALIX:"),
          std::string("\n%%PRALIX%%EndComments\n%%PRALIX\r%%EndComments\n%%PRALI"),
          std::string("%!PS\n%%Title: a %%EndComments b\r\n%%PRALIX: DocOwner boss\n%%EndComments\r%%PRALIX: Spool Save\r\n"
                      "%%EndComments\n%%PRALIX: x")}) {
        const std::string want = Spliced(data, gFakes.ticket);
        std::vector<std::vector<size_t>> cutsList;
        for (size_t cut = 0; cut <= data.size(); cut++) cutsList.push_back({cut});
        for (size_t chunk = 1; chunk <= 16; chunk++) {
            std::vector<size_t> cuts;
            for (size_t c = chunk; c < data.size(); c += chunk) cuts.push_back(c);
            cutsList.push_back(cuts);
        }
        for (const auto& cuts : cutsList) {
            SCOPED_TRACE(data + " cut at " + ::testing::PrintToString(cuts));
            EXPECT_EQ(Print(data, cuts), want);
        }
    }
}

// Bytes held back are dropped when the job closes without its end or is aborted; an abort tells the user.
TEST_F(HookTest, AbortTellsTheUserAndDropsHeldBytes)
{
    for (bool abort : {false, true}) {
        ScriptedUser user({}, nullptr);
        InstallUser(&user);
        HANDLE h = Start();
        ASSERT_NE(h, nullptr);
        Write(h, "abc\n%%End");
        if (abort) DrvSplAbort(h);
        UninstallUser();
        DrvSplClose(h);
        EXPECT_EQ(printer_.EndJobAndRead(), "abc\n");
        std::vector<std::string> seen;
        for (const SeenMessage& m : user.Messages()) seen.push_back(m.caption + ": " + m.text + ((m.style & 0xF) == MB_OK ? " [OK]" : ""));
        EXPECT_EQ(seen, abort ? std::vector<std::string>{"Abort: Printing Aborted... [OK]"} : std::vector<std::string>());
    }
}

// Only "Test Page" skips the load, the flow and the store; only the fields a run wrote go over the
// record as stored when it ends; a value that is not a record is told once; only a run's 1 gives a handle.
TEST_F(HookTest, EveryWayAJobStarts)
{
    struct Case { const char* what; const WCHAR* document; bool notARecord; uint32_t written; int result; } cases[] = {
        {"test page", TEXT("Test Page"), false, IDENT_WROTE_IDENTITY, 1},
        {"lower-case test page", TEXT("test page"), false, 0, 1},
        {"test page and a space", TEXT("Test Page "), false, 0, 1},
        {"no document name", nullptr, false, 0, 1},
        {"identity", TEXT("job.ps"), false, IDENT_WROTE_IDENTITY, 1},
        {"address", TEXT("job.ps"), false, IDENT_WROTE_ADDRESS, 1},
        {"first use", TEXT("job.ps"), false, IDENT_WROTE_FIRST_USE, 1},
        {"refused", TEXT("job.ps"), false, IDENT_WROTE_IDENTITY, 0},
        {"cancelled", TEXT("job.ps"), false, IDENT_WROTE_ADDRESS | IDENT_WROTE_FIRST_USE, 2},
        {"failed", TEXT("job.ps"), false, IDENT_WROTE_IDENTITY, -1},
        {"not a record, nothing written", TEXT("job.ps"), true, 0, 1},
        {"not a record, address written", TEXT("job.ps"), true, IDENT_WROTE_ADDRESS, 1},
    };
    std::string transcript;
    for (const Case& c : cases) {
        gFakes.Reset();
        SetText(gFakes.toLoad.docOwner, "owner");
        SetText(gFakes.toLoad.accountNo, "4711");
        SetText(gFakes.toLoad.ipAddress, "10.1.2.3");
        SetText(gFakes.toLoad.securePassword, "sp");
        gFakes.toLoad.bUseSecurePassword = 7;
        gFakes.toLoad.bUseSecureAccessPassword = 3;
        gFakes.loadState = c.notARecord ? STORED_NOT_VALID : STORED_VALID;
        gFakes.loadSize = 4096;
        gFakes.validate = [&c](IdentOptions* o) {
            *o = IdentOptions{"typed", "secret", "new sp", "changed by the run", "42", "10.9.9.9", 0, 8, 9, c.written};
            SetText(gFakes.toLoad.docComment, "stored meanwhile");
            return c.result;
        };
        testing::internal::CaptureStdout();
        std::string port = Print(JOB, {}, c.document);
        std::string trace = testing::internal::GetCapturedStdout();
        // By field name: under Wine a handle and the job id can be the same small number.
        Replace(trace, "JobId " + std::to_string(jobId_), "JobId ID");
        Replace(trace, "hPrinter " + Hex(printer_.handle()), "hPrinter PRINTER");
        for (const char* field : {"handle ", "hDriver "})
            if (handle_) Replace(trace, field + Hex(handle_), field + std::string("JOB"));
        Replace(trace, "pBuf " + Hex(JOB.data()), "pBuf DATA");
        Replace(trace, "pcWritten " + Hex(&written_), "pcWritten COUNT");
        transcript += "== " + std::string(c.what) + "\n" + gFakes.log + trace + "port: " + Escaped(port) + "\n";
    }
    ExpectGolden("hooks-job-starts.txt", transcript);
}

#ifndef _WIN32
// A failed write fails the call, a short one is continued, the rest goes out, after the ticket as before it.
TEST_F(HookTest, SpoolerThatWritesLessOrFails)
{
    // The fault at the last buffer's first, second or third spooler write.
    const std::vector<std::vector<std::string>> jobs = {
        {"%!PS\n%%EndComments\nrest"}, {"abc\n%%End", "Comments\n"}, {"no tag yet"}, {"%%EndComments\n", "%%PRALIX: more"}};
    std::string transcript;
    for (const auto& buffers : jobs) {
        for (DWORD at = 1; at <= 3; at++) {
            for (bool fail : {true, false}) {
                HANDLE h = Start();
                ASSERT_NE(h, nullptr);
                std::string last = buffers.back(), what = fail ? "fail " : "short ";
                for (size_t i = 0; i + 1 < buffers.size(); i++) {
                    Write(h, buffers[i]);
                    what += Escaped(buffers[i]) + " | ";
                }
                StandinFailWritePrinterCall(fail ? at : 0);
                StandinShortWritePrinterCall(fail ? 0 : at, 1);
                DWORD written = 0;
                BOOL ok = DrvSplWritePrinter(h, &last[0], static_cast<DWORD>(last.size()), &written);
                StandinFailWritePrinterCall(0);
                StandinShortWritePrinterCall(0, 0);
                Write(h, "\ntail");
                DrvSplEndDoc(h);
                DrvSplClose(h);
                transcript += "== " + what + Escaped(last) + " at " + std::to_string(at) + "\ncall " +
                              std::to_string(ok) + ", count " + std::to_string(written) + " of " +
                              std::to_string(last.size()) + "\nport: " + Escaped(printer_.EndJobAndRead()) + "\n";
            }
        }
    }
    ExpectGolden("hooks-spooler-faults.txt", transcript);
}

// A job record that cannot be allocated: no handle, nothing loaded, validated or stored.
TEST_F(HookTest, JobRecordThatCannotBeAllocated)
{
    StandinFailNextAlloc(sizeof(_INIDRIVER));
    EXPECT_EQ(Start(), nullptr);
    StandinFailNextAlloc(0);
    printer_.EndJobAndRead();
    EXPECT_EQ(gFakes.log, "");
}
#endif

// Every path the processor has against the definition on random buffers of marks, near misses and their letters:
// the whole and the two parts at every split, each at its own alignment and ending where its memory does.
TEST(TagSearch, EveryPathAgreesWithTheDefinition)
{
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(BestPSSearchPath() == SEARCH_AVX2, __builtin_cpu_supports("avx2") != 0);
#endif
    std::mt19937 rng(20261206);
    const std::string pieces[] = {"%", "%%%%", "m", ":", "\n", "\r", " x", "%%EndComment", "%%PRALIX", "%%EndComments"};
    for (int round = 0; round < 200; round++) {
        std::string buf;
        for (size_t size = rng() % 300; buf.size() < size;) buf += pieces[rng() % (round % 3 ? 9 : 10)];
        if (round % 3 == 1) buf.insert(rng() % (buf.size() + 1), rng() % 2 ? "\n%%PRALIX:" : "\r" + TAG);
        for (size_t cut = 0; cut <= buf.size(); cut++)
            for (PSSearchPath p = SEARCH_PORTABLE; p <= BestPSSearchPath(); p = PSSearchPath(p + 1)) {
                const bool startsLine = cut && (buf[cut - 1] == '\n' || buf[cut - 1] == '\r');
                ASSERT_TRUE(SearchAgrees(p, buf.substr(0, cut), round % 2, cut % 64) &&
                            SearchAgrees(p, buf.substr(cut), startsLine, (cut + round) % 64))
                    << "path " << p << ": '" << Escaped(buf) << "' cut at " << cut;
            }
    }
}

}  // namespace
