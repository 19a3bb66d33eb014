// Each failure of the store, made by the stand-in (CI runs as root, so file
// permissions cannot make the registry fail).
#include "printer.h"
#include "store_support.h"
#include "umpd.h"

#include <standin.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class StoreFaultTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (auto call : {STANDIN_REG_OPEN, STANDIN_REG_CREATE, STANDIN_REG_QUERY, STANDIN_REG_SET})
            StandinFailRegistryCall(call, ERROR_SUCCESS);
    }
    _OEM_PRIVDEVMODE Stored()
    {
        _OEM_PRIVDEVMODE r;
        memset(&r, 0x42, sizeof r);
        r.initialized = OPTIONS_VALID;
        return r;
    }
    StoredDriver driver_;
};

TEST_F(StoreFaultTest, LoadFailuresGiveTheDefaults)
{
    _OEM_PRIVDEVMODE r = Stored();
    ASSERT_EQ(SetUserInfo(&r, nullptr, driver_.Name().c_str()), 0u);
    for (StandinRegistryCall call : {STANDIN_REG_OPEN, STANDIN_REG_QUERY}) {
        StandinFailRegistryCall(call, ERROR_ACCESS_DENIED);
        _OEM_PRIVDEVMODE out = Stored();
        DWORD size = 0;
        EXPECT_EQ(LoadUserInfo(&out, nullptr, driver_.Name().c_str(), &size), STORED_NOT_VALID);
        EXPECT_EQ(out.initialized, OPTIONS_VALID);
        EXPECT_EQ(out.bypassOption, 5);  // a default, not the stored 0x42424242
        StandinFailRegistryCall(call, ERROR_SUCCESS);
    }
}

TEST_F(StoreFaultTest, StoreFailuresAreReportedAndLeaveTheValue)
{
    _OEM_PRIVDEVMODE first = Stored();
    ASSERT_EQ(SetUserInfo(&first, nullptr, driver_.Name().c_str()), 0u);
    _OEM_PRIVDEVMODE second = first;
    second.duplex = 2;
    StandinFailRegistryCall(STANDIN_REG_CREATE, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetUserInfo(&second, nullptr, driver_.Name().c_str()), static_cast<DWORD>(ERROR_INVALID_DATA));
    StandinFailRegistryCall(STANDIN_REG_CREATE, ERROR_SUCCESS);
    StandinFailRegistryCall(STANDIN_REG_SET, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetUserInfo(&second, nullptr, driver_.Name().c_str()), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    StandinFailRegistryCall(STANDIN_REG_SET, ERROR_SUCCESS);
    std::vector<BYTE> raw = driver_.ReadRaw();
    ASSERT_EQ(raw.size(), sizeof first);
    EXPECT_EQ(memcmp(raw.data(), &first, sizeof first), 0);
}

// The first `lines` lines of a ticket block, then `bytes` bytes of the next.
std::string Prefix(const std::string& block, size_t lines, size_t bytes)
{
    size_t at = 0;
    for (size_t i = 0, end; i < lines && (end = block.find("\r\n", at)) != std::string::npos; i++) at = end + 2;
    return block.substr(0, at + bytes);
}

// A short count continues its line; a failure or a zero count ends the
// block and is reported. The passwords are emptied whatever reached the port.
TEST_F(StoreFaultTest, TicketLinesOnASpoolerThatWritesLessOrFails)
{
    struct Row {
        const char* what;
        DWORD shortAt, shortBytes, failAt;  // the block's WritePrinter calls, 1 its first
        bool ok;
        size_t lines, bytes;  // what reaches the port: whole lines, then part of the next
    };
    const Row rows[] = {
        {"a short write is continued", 3, 5, 0, true, 46, 0},
        {"one byte of the first line", 1, 1, 0, true, 46, 0},
        {"a zero count ends the block", 5, 0, 0, false, 4, 0},
        {"a failure ends the block", 0, 0, 5, false, 4, 0},
        {"a failure while a line is continued", 3, 5, 4, false, 2, 5},
    };
    _OEM_PRIVDEVMODE r;
    memset(&r, 0, sizeof r);
    SetDefaultPralixOptions(&r);
    r.password[0] = 'p';
    TestPrinter printer(driver_.Name());
    ASSERT_EQ(SetUserInfo(&r, nullptr, driver_.Name().c_str()), 0u);
    printer.StartJob(TEXT("ticket.ps"));
    ASSERT_TRUE(AddPralixOptions(printer.handle()));
    const std::string whole = printer.EndJobAndRead();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(SetUserInfo(&r, nullptr, driver_.Name().c_str()), 0u);
        printer.StartJob(TEXT("ticket.ps"));
        StandinShortWritePrinterCall(row.shortAt, row.shortBytes);
        StandinFailWritePrinterCall(row.failAt);
        EXPECT_EQ(AddPralixOptions(printer.handle()) != FALSE, row.ok);
        StandinShortWritePrinterCall(0, 0);
        StandinFailWritePrinterCall(0);
        EXPECT_EQ(printer.EndJobAndRead(), Prefix(whole, row.lines, row.bytes));
        _OEM_PRIVDEVMODE after;
        GetUserInfo(&after, nullptr, driver_.Name().c_str());
        EXPECT_EQ(after.password[0], 0);
    }
}

}  // namespace
