// Spooler write failures at each position of a splice, made by the stand-in
// (a real spooler cannot be told which write to fail).
#include "fakes.h"
#include "printer.h"

#include <standin.h>

#include <gtest/gtest.h>

namespace {

struct FaultCase {
    const char* what;
    std::vector<std::string> buffers;  // all but the last succeed
    DWORD failingWrite;                // counted from the last buffer's first write
    bool spoolerCount;                 // after the ticket the spooler's own count is reported
    const char* name;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.what; }

class SpliceFaultTest : public ::testing::TestWithParam<FaultCase> {
protected:
    void SetUp() override { gFakes.Reset(); }
    void TearDown() override { StandinFailWritePrinterCall(0); }
    TestPrinter printer_;
};

TEST_P(SpliceFaultTest, AnyFailedWriteFailsTheCall)
{
    const FaultCase& c = GetParam();
    HANDLE h = DrvSplStartDoc(printer_.handle(), printer_.StartJob(TEXT("job.ps")));
    ASSERT_NE(h, nullptr);
    DWORD written = 0;
    for (size_t i = 0; i + 1 < c.buffers.size(); i++)
        ASSERT_TRUE(DrvSplWritePrinter(h, &const_cast<std::string&>(c.buffers[i])[0],
                                       static_cast<DWORD>(c.buffers[i].size()), &written));
    StandinFailWritePrinterCall(c.failingWrite);
    std::string last = c.buffers.back();
    EXPECT_FALSE(DrvSplWritePrinter(h, &last[0], static_cast<DWORD>(last.size()), &written)) << c.what;
    EXPECT_EQ(written, c.spoolerCount ? 0u : last.size());
    DrvSplClose(h);
    printer_.EndJobAndRead();
}

INSTANTIATE_TEST_SUITE_P(Positions, SpliceFaultTest,
                         ::testing::Values(FaultCase{"bytes before the tag", {"%!PS\n%%EndComments\nrest"}, 1, false, "BeforeTag"},
                                           FaultCase{"ticket line", {"%!PS\n%%EndComments\nrest"}, 2, false, "Ticket"},
                                           FaultCase{"tag and the rest", {"%!PS\n%%EndComments\nrest"}, 3, false, "Rest"},
                                           FaultCase{"ticket after held bytes", {"abc%%End", "Comments\n"}, 1, false, "TicketAfterHeld"},
                                           FaultCase{"held bytes", {"abc%%End", "Comments\n"}, 2, false, "Held"},
                                           FaultCase{"rest after held bytes", {"abc%%End", "Comments\n"}, 3, false, "RestAfterHeld"},
                                           FaultCase{"plain buffer", {"no tag yet"}, 1, false, "Plain"},
                                           FaultCase{"after the ticket", {"%%EndComments\n", "more"}, 1, true, "AfterTicket"}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(SpliceFault, WritesAfterAFailureStillGoOut)
{
    gFakes.Reset();
    TestPrinter printer;
    HANDLE h = DrvSplStartDoc(printer.handle(), printer.StartJob(TEXT("job.ps")));
    ASSERT_NE(h, nullptr);
    std::string data = "head\n%%EndComments\ntail";
    DWORD written = 0;
    StandinFailWritePrinterCall(1);
    EXPECT_FALSE(DrvSplWritePrinter(h, &data[0], static_cast<DWORD>(data.size()), &written));
    StandinFailWritePrinterCall(0);
    DrvSplEndDoc(h);
    DrvSplClose(h);
    EXPECT_EQ(printer.EndJobAndRead(), gFakes.ticket + "%%EndComments\ntail");
}

}  // namespace
