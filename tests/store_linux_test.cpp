// Each failure of the store, made by the stand-in (CI runs as root, so file
// permissions cannot make the registry fail).
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
    struct Case { StandinRegistryCall call; DWORD result; };
    for (Case c : {Case{STANDIN_REG_OPEN, ERROR_INVALID_DATA}, Case{STANDIN_REG_QUERY, ERROR_ACCESS_DENIED}}) {
        StandinFailRegistryCall(c.call, ERROR_ACCESS_DENIED);
        _OEM_PRIVDEVMODE out = Stored();
        EXPECT_EQ(GetUserInfo(&out, nullptr, driver_.Name().c_str()), c.result);
        EXPECT_EQ(out.initialized, OPTIONS_VALID);
        EXPECT_EQ(out.bypassOption, 5);  // a default, not the stored 0x42424242
        StandinFailRegistryCall(c.call, ERROR_SUCCESS);
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

}  // namespace
