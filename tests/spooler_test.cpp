// What the library and the hosts rely on in the spooler's calls, run on
// both builds: the real spooler decides, the stand-in must agree.
#include "printer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const BYTE SENTINEL = 0xA5;

class SpoolerTest : public ::testing::Test {
protected:
    TestPrinter printer_;
};

// Probes a level-1 query at the reported size minus one, the size, and one more.
template <typename Query>
void CheckSizeProtocol(Query query, const char* what)
{
    DWORD needed = 0;
    EXPECT_FALSE(query(nullptr, 0, &needed)) << what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << what;
    ASSERT_GT(needed, 0u) << what;
    for (DWORD size : {needed - 1, needed, needed + 1}) {
        std::vector<BYTE> buf(size + 1, SENTINEL);
        DWORD reported = 0;
        BOOL ok = query(buf.data(), size, &reported);
        EXPECT_EQ(ok, size >= needed) << what << " at " << size << " of " << needed;
        if (!ok) { EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << what; }
        EXPECT_EQ(reported, needed) << what << " at " << size;
        EXPECT_EQ(buf[size], SENTINEL) << what << " wrote past " << size;
    }
}

TEST_F(SpoolerTest, JobAndDriverQueriesFollowTheSizeProtocol)
{
    DWORD id = printer_.StartJob(TEXT("Report.ps"));
    HANDLE h = printer_.handle();
    CheckSizeProtocol([&](BYTE* b, DWORD cb, DWORD* n) { return GetJobW(h, id, 1, b, cb, n); }, "GetJobW");
    CheckSizeProtocol([&](BYTE* b, DWORD cb, DWORD* n) { return GetPrinterDriverW(h, nullptr, 1, b, cb, n); },
                      "GetPrinterDriverW");

    std::vector<BYTE> buf(4096);
    DWORD needed = 0;
    ASSERT_TRUE(GetJobW(h, id, 1, buf.data(), 4096, &needed));
    auto* job = reinterpret_cast<JOB_INFO_1W*>(buf.data());
    EXPECT_EQ(job->JobId, id);
    ASSERT_NE(job->pDocument, nullptr);
    EXPECT_EQ(WString(job->pDocument), WString(TEXT("Report.ps")));
    ASSERT_TRUE(GetPrinterDriverW(h, nullptr, 1, buf.data(), 4096, &needed));
    EXPECT_EQ(WString(reinterpret_cast<DRIVER_INFO_1W*>(buf.data())->pName), WString(TEXT("Pralix PS")));
    printer_.EndJobAndRead();
}

TEST_F(SpoolerTest, UnknownJobAndMissingDocumentAreRefused)
{
    DWORD needed = 0;
    std::vector<BYTE> buf(4096);
    EXPECT_FALSE(GetJobW(printer_.handle(), 4711, 1, buf.data(), 4096, &needed));
    DWORD written = 0;
    EXPECT_FALSE(WritePrinter(printer_.handle(), buf.data(), 4, &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SPL_NO_STARTDOC));
}

TEST_F(SpoolerTest, JobReachesThePortWhenItEnds)
{
    printer_.StartJob(TEXT("first"));
    DWORD written = 0;
    char data[] = "first job";
    ASSERT_TRUE(WritePrinter(printer_.handle(), data, 9, &written));
    EXPECT_EQ(written, 9u);
    EXPECT_EQ(printer_.EndJobAndRead(), "first job");

    printer_.StartJob(TEXT("second"));
    char more[] = "2nd";
    ASSERT_TRUE(WritePrinter(printer_.handle(), more, 3, &written));
    EXPECT_EQ(printer_.EndJobAndRead(), "2nd");
}

// Checked before the handle closes: Wine's AbortPrinter keeps the job and
// delivers it at ClosePrinter, where Windows (and the stand-in) delete it.
TEST_F(SpoolerTest, AbortedJobNeverReachesThePort)
{
    printer_.StartJob(TEXT("aborted"));
    DWORD written = 0;
    char data[] = "never";
    ASSERT_TRUE(WritePrinter(printer_.handle(), data, 5, &written));
    EXPECT_TRUE(AbortPrinter(printer_.handle()));
    EXPECT_FALSE(printer_.OutputExists());
}

TEST_F(SpoolerTest, JobStillOpenWhenItsHandleClosesIsDelivered)
{
    HANDLE second = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<WCHAR*>(printer_.name().c_str()), &second, nullptr));
    WString doc = TEXT("closed"), type = TEXT("RAW");
    DOC_INFO_1W info = {&doc[0], nullptr, &type[0]};
    ASSERT_NE(StartDocPrinterW(second, 1, reinterpret_cast<LPBYTE>(&info)), 0u);
    DWORD written = 0;
    char data[] = "closed early";
    ASSERT_TRUE(WritePrinter(second, data, 12, &written));
    EXPECT_TRUE(ClosePrinter(second));
    EXPECT_EQ(printer_.Output(), "closed early");
}

}  // namespace

namespace {

// The library binds these three by name at run time, from the spooler
// router by default or from winspool.drv; both DLLs must be loadable by
// their bare names (in any case) and export them.
TEST(SpoolerModules, ExportWhatTheHooksBind)
{
    for (const WCHAR* dll : {TEXT("spoolss.dll"), TEXT("winspool.drv"), TEXT("SPOOLSS.DLL")}) {
        HMODULE module = LoadLibraryW(dll);
        ASSERT_NE(module, nullptr) << HostUtf8(dll);
        for (const char* name : {"GetPrinterDriverW", "GetJobW", "WritePrinter"})
            EXPECT_NE(GetProcAddress(module, name), nullptr) << HostUtf8(dll) << " " << name;
        EXPECT_EQ(GetProcAddress(module, "DrvSplStartDoc"), nullptr) << HostUtf8(dll);
        EXPECT_TRUE(FreeLibrary(module));
    }
}

}  // namespace
