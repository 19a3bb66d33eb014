// The spooler hooks driven as the spooler drives them, with the option store,
// the validation flow and the ticket writer replaced by the fakes.
#include "fakes.h"
#include "printer.h"
#include "scripted_user.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <vector>

namespace {

const std::string TAG = "%%EndComments";

std::string WithTicket(const std::string& data)
{
    size_t p = data.find(TAG);
    return p == std::string::npos ? data : data.substr(0, p) + gFakes.ticket + data.substr(p);
}

std::string Hex(const void* p)
{
    std::ostringstream s;
    s << std::hex << reinterpret_cast<uintptr_t>(p);
    return s.str();
}

std::vector<size_t> ChunkCuts(size_t size, size_t chunk)
{
    std::vector<size_t> cuts;
    for (size_t c = chunk; c < size; c += chunk) cuts.push_back(c);
    return cuts;
}

class HookTest : public ::testing::Test {
protected:
    void SetUp() override { gFakes.Reset(); }

    HANDLE Start(const WCHAR* document = TEXT("job.ps"))
    {
        jobId_ = printer_.StartJob(document);
        return DrvSplStartDoc(printer_.handle(), jobId_);
    }

    // Writes data cut at the given positions; every call must report the
    // caller's own byte count.
    void Write(HANDLE h, const std::string& data, const std::vector<size_t>& cuts)
    {
        size_t from = 0;
        std::vector<size_t> ends = cuts;
        ends.push_back(data.size());
        for (size_t to : ends) {
            DWORD written = 0xDEADBEEF;
            EXPECT_TRUE(DrvSplWritePrinter(h, const_cast<char*>(data.data()) + from, static_cast<DWORD>(to - from), &written));
            EXPECT_EQ(written, to - from);
            from = to;
        }
    }

    std::string Print(const std::string& data, const std::vector<size_t>& cuts)
    {
        gFakes.tickets = 0;
        HANDLE h = Start();
        EXPECT_NE(h, nullptr);
        if (!h) return std::string();
        Write(h, data, cuts);
        DrvSplEndDoc(h);
        DrvSplClose(h);
        return printer_.EndJobAndRead();
    }

    TestPrinter printer_;
    DWORD jobId_ = 0;
};

TEST_F(HookTest, TicketGoesBeforeTagSplitAtAnyPosition)
{
    const std::string data = "%!PS-Adobe-3.0\n%%Title: t\n%%EndComments\nshowpage\n%%EOF\n";
    const size_t tag = data.find(TAG);
    for (size_t cut = 0; cut <= data.size(); cut++) {
        EXPECT_EQ(Print(data, {cut}), WithTicket(data)) << "cut at " << cut;
        EXPECT_EQ(gFakes.tickets, 1) << "cut at " << cut;
    }
    for (size_t a = tag; a <= tag + TAG.size(); a++) {
        for (size_t b = a; b <= tag + TAG.size(); b++) {
            EXPECT_EQ(Print(data, {a, b}), WithTicket(data)) << "cuts at " << a << ", " << b;
            EXPECT_EQ(gFakes.tickets, 1);
        }
    }
}

TEST_F(HookTest, EveryChunkSizePlacesOneTicketBeforeTheFirstTag)
{
    // A false start ("%%%EndComments" holds the tag one byte in), near
    // misses, and a second tag in an embedded document that passes through.
    const std::string data =
        "%!PS-Adobe-3.0\n%%Creator: %%End %%EndComment\n%%%EndComments\n"
        "%%BeginDocument: inner.eps\n%!PS-Adobe-3.0 EPSF-3.0\n%%EndComments\n%%EndDocument\nshowpage\n";
    std::vector<size_t> chunks;
    for (size_t c = 1; c <= 40; c++) chunks.push_back(c);
    for (size_t c : {64, 100, 4096}) chunks.push_back(c);
    for (size_t chunk : chunks) {
        EXPECT_EQ(Print(data, ChunkCuts(data.size(), chunk)), WithTicket(data)) << "chunk " << chunk;
        EXPECT_EQ(gFakes.tickets, 1) << "chunk " << chunk;
    }
}

TEST_F(HookTest, JobWithoutTagPassesThroughUnchanged)
{
    for (const std::string& data : {std::string("%!PS\n%%EndComment\nshowpage\n%%EndComm"), std::string("%%EndComment"),
                                   std::string("%%%%%%%%%%%%%%%%%%%%"), std::string()}) {
        for (size_t chunk = 1; chunk <= 14; chunk++) {
            EXPECT_EQ(Print(data, ChunkCuts(data.size(), chunk)), data) << "chunk " << chunk;
            EXPECT_EQ(gFakes.tickets, 0);
        }
    }
}

TEST_F(HookTest, BufferThatIsExactlyTheTag)
{
    EXPECT_EQ(Print(TAG, {}), gFakes.ticket + TAG);
    EXPECT_EQ(Print(TAG + "\nrest", {}), gFakes.ticket + TAG + "\nrest");
    EXPECT_EQ(Print(TAG.substr(0, 12), {}), TAG.substr(0, 12));
}

TEST_F(HookTest, HeldBytesAreDroppedWhenTheJobClosesWithoutEnd)
{
    HANDLE h = Start();
    ASSERT_NE(h, nullptr);
    Write(h, "abc%%End", {});
    DrvSplClose(h);
    EXPECT_EQ(printer_.EndJobAndRead(), "abc");
}

TEST_F(HookTest, AbortTellsTheUserAndDropsHeldBytes)
{
    ScriptedUser user({}, nullptr);
    InstallUser(&user);
    HANDLE h = Start();
    ASSERT_NE(h, nullptr);
    Write(h, "abc%%End", {});
    DrvSplAbort(h);
    UninstallUser();
    DrvSplClose(h);
    EXPECT_EQ(printer_.EndJobAndRead(), "abc");
    auto seen = user.Messages();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "Printing Aborted...");
    EXPECT_EQ(seen[0].caption, "Abort");
    EXPECT_TRUE(seen[0].okOnly);
}

TEST_F(HookTest, TraceLinesOfOneJob)
{
    testing::internal::CaptureStdout();
    HANDLE h = Start();
    ASSERT_NE(h, nullptr);
    std::string data = "%!PS\n%%EndComments\nshowpage\n";
    DWORD written = 0;
    std::vector<std::string> expected = {"DrvSplStartDoc called hPrinter " + Hex(printer_.handle()) + " JobId " +
                                         std::to_string(jobId_) + " returning handle " + Hex(h)};
    for (int call = 0; call < 3; call++) {
        char* p = &data[0] + call * 5;
        DrvSplWritePrinter(h, p, 5, &written);
        expected.push_back("DrvSplWritePrinter call #" + std::to_string(call) + " hDriver " + Hex(h) + " pBuf " + Hex(p) +
                           " cbBuf 5 pcWritten " + Hex(&written));
    }
    DrvSplEndDoc(h);
    DrvSplClose(h);
    expected.push_back("DrvSplEndDoc called hDriver " + Hex(h) + " Status 1 cWritePrinter 3 cStartPage 0 cEndpage 0");
    expected.push_back("DrvSplClose called hDriver " + Hex(h) + " Status 3");
    std::string out = testing::internal::GetCapturedStdout();
    std::string want;
    for (const auto& line : expected) want += line + "\n";
    EXPECT_EQ(out, want);
    printer_.EndJobAndRead();
}

TEST_F(HookTest, TestPageSkipsStoreAndValidationButGetsTicket)
{
    HANDLE h = Start(TEXT("Test Page"));
    ASSERT_NE(h, nullptr);
    Write(h, "%!PS\n%%EndComments\n", {});
    DrvSplEndDoc(h);
    DrvSplClose(h);
    EXPECT_EQ(printer_.EndJobAndRead(), WithTicket("%!PS\n%%EndComments\n"));
    EXPECT_EQ(gFakes.loads, 0);
    EXPECT_EQ(gFakes.validations, 0);
    EXPECT_EQ(gFakes.stores, 0);
    EXPECT_EQ(gFakes.tickets, 1);
    EXPECT_TRUE(gFakes.ticketTraceAsked) << "a Test Page job's trace of a bad value comes from its ticket writer";
}

TEST_F(HookTest, OrdinaryJobsLoadAndValidateAndStoreOnlyWhatTheRunWrote)
{
    for (const WCHAR* document : {TEXT("test page"), TEXT("Test Page "), static_cast<const WCHAR*>(nullptr)}) {
        gFakes.Reset();
        HANDLE h = Start(document);
        ASSERT_NE(h, nullptr);
        DrvSplClose(h);
        printer_.EndJobAndRead();
        EXPECT_EQ(gFakes.loads, 1);
        EXPECT_EQ(gFakes.validations, 1);
        EXPECT_EQ(gFakes.stores, 0) << "a run that wrote nothing stores nothing";
        EXPECT_EQ(gFakes.loadName, WString(TEXT("Pralix PS")));
    }
}

void SetText(WCHAR* field, const char* text)
{
    while ((*field++ = static_cast<WCHAR>(*text++))) {}
}

// The run's fields go over the record as it is stored when the run ends:
// what another writer stored meanwhile is kept, and so is every field the
// run did not write, whatever it did to its copy.
TEST_F(HookTest, TheRunsFieldsGoOverTheRecordAsStoredThen)
{
    struct Case {
        const char* what;
        uint32_t written;
        const char *owner, *password, *address;
        int32_t firstUse;
    } cases[] = {
        {"identity", IDENT_WROTE_IDENTITY, "typed by user", "secret", "10.1.2.3", 1},
        {"address", IDENT_WROTE_ADDRESS, "owner", "", "10.9.9.9", 1},
        {"first use", IDENT_WROTE_FIRST_USE, "owner", "", "10.1.2.3", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        gFakes.Reset();
        SetText(gFakes.toLoad.docOwner, "owner");
        SetText(gFakes.toLoad.accountNo, "4711");
        SetText(gFakes.toLoad.ipAddress, "10.1.2.3");
        gFakes.toLoad.bUseSecurePassword = 7;
        gFakes.validate = [&c](IdentOptions* o) {
            snprintf(o->docOwner, sizeof o->docOwner, "typed by user");
            snprintf(o->password, sizeof o->password, "secret");
            snprintf(o->accountNo, sizeof o->accountNo, "42");
            snprintf(o->ipAddress, sizeof o->ipAddress, "10.9.9.9");
            snprintf(o->docComment, sizeof o->docComment, "changed by the run");
            o->bInitialConnection = 0;
            o->written = c.written;
            SetText(gFakes.toLoad.docComment, "stored meanwhile");
            return 1;
        };
        HANDLE h = Start();
        ASSERT_NE(h, nullptr);
        DrvSplClose(h);
        printer_.EndJobAndRead();
        EXPECT_STREQ(gFakes.validated.docOwner, "owner");
        EXPECT_STREQ(gFakes.validated.accountNo, "4711");
        EXPECT_STREQ(gFakes.validated.ipAddress, "10.1.2.3");
        EXPECT_EQ(gFakes.validated.bUseSecurePassword, 7);
        EXPECT_EQ(gFakes.validated.written, 0u);
        ASSERT_EQ(gFakes.stores, 1);
        EXPECT_EQ(gFakes.loads, 2);
        EXPECT_EQ(HostUtf8(gFakes.stored.docOwner), c.owner);
        EXPECT_EQ(HostUtf8(gFakes.stored.password), c.password);
        EXPECT_EQ(HostUtf8(gFakes.stored.accountNo), c.written == IDENT_WROTE_IDENTITY ? "42" : "4711");
        EXPECT_EQ(HostUtf8(gFakes.stored.ipAddress), c.address);
        EXPECT_EQ(gFakes.stored.bInitialConnection, c.firstUse);
        EXPECT_EQ(HostUtf8(gFakes.stored.docComment), "stored meanwhile");
        EXPECT_EQ(gFakes.stored.bUseSecurePassword, 7);
    }
}

// A value that is not a record: the job runs with the defaults (first use),
// the trace says so once, and only a run that wrote something replaces it.
TEST_F(HookTest, ValueThatIsNotARecordIsTracedAndReplacedOnlyByWhatTheRunWrote)
{
    for (uint32_t written : {0u, uint32_t(IDENT_WROTE_ADDRESS)}) {
        SCOPED_TRACE(written);
        gFakes.Reset();
        gFakes.loadState = STORED_NOT_VALID;
        gFakes.loadSize = 4096;
        gFakes.validate = [written](IdentOptions* o) {
            snprintf(o->ipAddress, sizeof o->ipAddress, "10.9.9.9");
            o->written = written;
            return 1;
        };
        testing::internal::CaptureStdout();
        HANDLE h = Start();
        ASSERT_NE(h, nullptr);
        Write(h, "%!PS\n%%EndComments\n", {});
        DrvSplClose(h);
        std::string out = testing::internal::GetCapturedStdout();
        printer_.EndJobAndRead();
        EXPECT_STREQ(gFakes.validated.ipAddress, "255.255.255.255");
        EXPECT_EQ(gFakes.validated.bInitialConnection, 1);
        size_t first = out.find("stored options not valid (4096 bytes): defaults used\n");
        EXPECT_NE(first, std::string::npos) << out;
        EXPECT_EQ(out.find("stored options not valid", first + 1), std::string::npos) << "told twice:\n" << out;
        EXPECT_EQ(gFakes.tickets, 1);
        EXPECT_FALSE(gFakes.ticketTraceAsked) << "the ticket writer would tell it again";
        EXPECT_EQ(gFakes.stores, written ? 1 : 0);
        if (written) {
            EXPECT_EQ(gFakes.stored.initialized, 12345);
            EXPECT_EQ(HostUtf8(gFakes.stored.ipAddress), "10.9.9.9");
        }
    }
}

TEST_F(HookTest, RefusedJobReturnsNullAndStillStoresWhatTheUserTyped)
{
    for (int result : {0, 2, -1}) {
        gFakes.Reset();
        gFakes.validate = [result](IdentOptions* o) {
            snprintf(o->accountNo, sizeof o->accountNo, "typed");
            o->written = IDENT_WROTE_IDENTITY;
            return result;
        };
        EXPECT_EQ(Start(), nullptr) << "flow result " << result;
        EXPECT_EQ(gFakes.stores, 1);
        EXPECT_EQ(WString(gFakes.stored.accountNo), WString(TEXT("typed")));
        printer_.EndJobAndRead();
    }
}

// A spooler handle that has gone away makes every write fail, and the hook
// says so whether or not the buffer holds the tag.
TEST_F(HookTest, FailedSpoolerWriteIsReported)
{
    for (const std::string& data : {std::string("no tag here"), std::string("%!PS\n%%EndComments\n")}) {
        HANDLE second = nullptr;
        ASSERT_TRUE(OpenPrinterW(const_cast<WCHAR*>(printer_.name().c_str()), &second, nullptr));
        WString doc = TEXT("job.ps"), type = TEXT("RAW");
        DOC_INFO_1W info = {&doc[0], nullptr, &type[0]};
        DWORD id = StartDocPrinterW(second, 1, reinterpret_cast<LPBYTE>(&info));
        HANDLE h = DrvSplStartDoc(second, id);
        ASSERT_NE(h, nullptr);
        ClosePrinter(second);
        DWORD written = 0;
        EXPECT_FALSE(DrvSplWritePrinter(h, const_cast<char*>(data.data()), static_cast<DWORD>(data.size()), &written));
        EXPECT_EQ(written, data.size());
        DrvSplClose(h);
    }
}

}  // namespace
