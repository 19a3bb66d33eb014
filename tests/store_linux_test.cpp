// Each failure of the store, made by the stand-in (CI runs as root, so file
// permissions cannot make the registry fail).
#include "printer.h"
#include "store_support.h"
#include "umpd.h"

#include <standin.h>

#include <gtest/gtest.h>

#include <cstring>

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

// A line the spooler refuses is reported; the other lines still go out and
// the passwords are still emptied.
TEST_F(StoreFaultTest, FailedTicketLineIsReported)
{
    _OEM_PRIVDEVMODE r;
    memset(&r, 0, sizeof r);
    SetDefaultPralixOptions(&r);
    r.password[0] = 'p';
    r.password[1] = 0;
    ASSERT_EQ(SetUserInfo(&r, nullptr, driver_.Name().c_str()), 0u);
    TestPrinter printer(driver_.Name());
    printer.StartJob(TEXT("ticket.ps"));
    StandinFailWritePrinterCall(5);
    EXPECT_FALSE(AddPralixOptions(printer.handle()));
    StandinFailWritePrinterCall(0);
    std::string block = printer.EndJobAndRead();
    EXPECT_EQ(block.find("%%PRALIX: CorrectRGB"), std::string::npos);  // the fifth line
    EXPECT_NE(block.find("%%PRALIX: Screening off\r\n%%PRALIX: Gamma 4"), std::string::npos);
    EXPECT_NE(block.find("%%PRALIX: DocComment \r\n"), std::string::npos);
    _OEM_PRIVDEVMODE after;
    GetUserInfo(&after, nullptr, driver_.Name().c_str());
    EXPECT_EQ(after.password[0], 0);
}

}  // namespace
