// The option store in the platform's registry (Wine's real one on the
// Windows build, the stand-in's on Linux).
#include "printer.h"
#include "store_support.h"
#include "umpd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

_OEM_PRIVDEVMODE Defaults()
{
    _OEM_PRIVDEVMODE d;
    memset(&d, 0, sizeof d);
    SetDefaultPralixOptions(&d);
    return d;
}

// A record in which every byte differs from the defaults' (but the mark).
_OEM_PRIVDEVMODE Patterned(BYTE seed)
{
    _OEM_PRIVDEVMODE r;
    auto* b = reinterpret_cast<BYTE*>(&r);
    for (size_t i = 0; i < sizeof r; i++) b[i] = static_cast<BYTE>(seed + i * 7);
    r.initialized = OPTIONS_VALID;
    return r;
}

bool SameBytes(const _OEM_PRIVDEVMODE& a, const _OEM_PRIVDEVMODE& b) { return memcmp(&a, &b, sizeof a) == 0; }

class StoreTest : public ::testing::Test {
protected:
    StoredDriver driver_;
};

TEST_F(StoreTest, FirstUseGivesDefaultsAndTheStoreCreatesAVolatileKey)
{
    _OEM_PRIVDEVMODE r = Patterned(1);
    DWORD size = 1;
    EXPECT_EQ(LoadUserInfo(&r, nullptr, driver_.Name().c_str(), &size), STORED_MISSING);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(SameBytes(r, Defaults()));
    EXPECT_EQ(SetUserInfo(&r, nullptr, driver_.Name().c_str()), 0u);
    DWORD type = 0;
    std::vector<BYTE> raw = driver_.ReadRaw(&type);
    EXPECT_EQ(raw.size(), sizeof r);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    // Only a volatile key refuses a lasting sub-key.
    EXPECT_EQ(driver_.CreateLastingSubKey(), static_cast<LONG>(ERROR_CHILD_MUST_BE_VOLATILE));
}

TEST_F(StoreTest, StoredRecordRoundTripsByteForByte)
{
    _OEM_PRIVDEVMODE in = Patterned(3), out;
    ASSERT_EQ(SetUserInfo(&in, nullptr, driver_.Name().c_str()), 0u);
    EXPECT_EQ(GetUserInfo(&out, nullptr, driver_.Name().c_str()), 0u);
    EXPECT_TRUE(SameBytes(in, out));
    ASSERT_EQ(SetUserInfo(&out, nullptr, driver_.Name().c_str()), 0u);
    std::vector<BYTE> raw = driver_.ReadRaw();
    ASSERT_EQ(raw.size(), sizeof in);
    EXPECT_EQ(memcmp(raw.data(), &in, sizeof in), 0);
}

TEST_F(StoreTest, BadStoredValuesLoadTheDefaults)
{
    _OEM_PRIVDEVMODE good = Patterned(5);
    std::vector<BYTE> valid(reinterpret_cast<BYTE*>(&good), reinterpret_cast<BYTE*>(&good) + sizeof good);
    std::vector<BYTE> wrongMark = valid;
    wrongMark[0] = 0x3A;  // 12346
    std::vector<BYTE> shortValue(valid.begin(), valid.end() - 1);
    std::vector<BYTE> longValue = valid;
    longValue.push_back(0);
    std::vector<BYTE> large(4096, 0x39);
    struct Case { const char* what; std::vector<BYTE> value; };
    for (const Case& c : {Case{"wrong mark", wrongMark}, Case{"1427 bytes", shortValue}, Case{"1429 bytes", longValue},
                          Case{"4096 bytes", large}, Case{"empty", {}}}) {
        SCOPED_TRACE(c.what);
        driver_.WriteRaw(c.value);
        _OEM_PRIVDEVMODE r = Patterned(9);
        DWORD size = 0;
        EXPECT_EQ(LoadUserInfo(&r, nullptr, driver_.Name().c_str(), &size), STORED_NOT_VALID);
        EXPECT_EQ(size, c.value.size());
        EXPECT_TRUE(SameBytes(r, Defaults()));
    }
}

TEST_F(StoreTest, NameIsCutAtItsLastComma)
{
    WString withCommas = driver_.Name() + TEXT(",B,C");
    _OEM_PRIVDEVMODE r = Patterned(11), out;
    ASSERT_EQ(SetUserInfo(&r, nullptr, withCommas.c_str()), 0u);
    StoredDriver cut(driver_.Name() + TEXT(",B"), false);
    EXPECT_EQ(cut.ReadRaw().size(), sizeof r);
    EXPECT_EQ(GetUserInfo(&out, nullptr, (driver_.Name() + TEXT(",B,X")).c_str()), 0u);
    EXPECT_TRUE(SameBytes(r, out));
}

TEST_F(StoreTest, UnusableNamesLeaveTheStoreAlone)
{
    WString tooLong(300, 'x');
    for (const WCHAR* name : {static_cast<const WCHAR*>(nullptr), TEXT(""), TEXT(",only after a comma"), tooLong.c_str()}) {
        _OEM_PRIVDEVMODE r = Patterned(13);
        DWORD size = 0;
        EXPECT_EQ(LoadUserInfo(&r, nullptr, name, &size), STORED_MISSING);
        EXPECT_TRUE(SameBytes(r, Defaults()));
        EXPECT_EQ(SetUserInfo(&r, nullptr, name), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
}

TEST_F(StoreTest, PrinterHandleFindsItsDriversRecord)
{
    TestPrinter printer(driver_.Name());
    _OEM_PRIVDEVMODE r = Patterned(17), out;
    ASSERT_EQ(SetUserInfo(&r, printer.handle(), nullptr), 0u);
    EXPECT_EQ(GetUserInfo(&out, nullptr, driver_.Name().c_str()), 0u);
    EXPECT_TRUE(SameBytes(r, out));
}

// Two jobs storing at once: every load sees one whole record or the other.
TEST_F(StoreTest, ConcurrentStoresNeverTearTheValue)
{
    const _OEM_PRIVDEVMODE a = Patterned(21), b = Patterned(99);
    ASSERT_EQ(SetUserInfo(const_cast<_OEM_PRIVDEVMODE*>(&a), nullptr, driver_.Name().c_str()), 0u);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (const _OEM_PRIVDEVMODE* rec : {&a, &b}) {
        writers.emplace_back([&, rec] {
            _OEM_PRIVDEVMODE copy = *rec;
            for (int i = 0; i < 200 && !stop; i++) SetUserInfo(&copy, nullptr, driver_.Name().c_str());
        });
    }
    int torn = 0;
    for (int i = 0; i < 400; i++) {
        _OEM_PRIVDEVMODE r;
        GetUserInfo(&r, nullptr, driver_.Name().c_str());
        if (!SameBytes(r, a) && !SameBytes(r, b)) torn++;
    }
    stop = true;
    for (auto& t : writers) t.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
