// The options record's defaults and its store in the platform's registry
// (Wine's real one on the Windows build, the stand-in's on Linux).
#include "store_support.h"
#include "umpd.h"

#ifndef _WIN32
#include <standin.h>
#endif

#include <gtest/gtest.h>

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
    for (size_t i = 0; i < sizeof r; i++) reinterpret_cast<BYTE*>(&r)[i] = static_cast<BYTE>(seed + i * 7);
    r.initialized = OPTIONS_VALID;
    return r;
}

bool SameBytes(const _OEM_PRIVDEVMODE& a, const _OEM_PRIVDEVMODE& b) { return memcmp(&a, &b, sizeof a) == 0; }

// The defaults that no ticket line shows; the reserved bytes are left alone.
TEST(OptionsRecord, DefaultsOfTheFieldsNoTicketLineShows)
{
    _OEM_PRIVDEVMODE o;
    memset(&o, 0xA5, sizeof o);
    SetDefaultPralixOptions(&o);
    EXPECT_EQ(HostUtf8(o.ipAddress), "255.255.255.255");
    EXPECT_EQ(o.printerName[0], 0);
    const struct { const char* name; int32_t value, want; } fields[] = {
        {"rasterOptionUI", o.rasterOptionUI, 2}, {"bSecurePrintInvalid", o.bSecurePrintInvalid, 1},
        {"bInitialConnection", o.bInitialConnection, 1}, {"bRenderingStyle", o.bRenderingStyle, 0}, {"sorter", o.sorter, 0},
        {"staple", o.staple, 0}, {"productionMode", o.productionMode, 0}, {"bUseSecurePassword", o.bUseSecurePassword, 0},
        {"bUseSecureAccessPassword", o.bUseSecureAccessPassword, 0}, {"wReserved1", o.wReserved1, int16_t(0xA5A5)},
        {"wReserved2", o.wReserved2, int16_t(0xA5A5)}};
    for (const auto& f : fields) EXPECT_EQ(f.value, f.want) << f.name;
}

class StoreTest : public ::testing::Test {
protected:
    DWORD Store(_OEM_PRIVDEVMODE r, const WString& name) { return SetUserInfo(&r, nullptr, name.c_str()); }

    HKEY OpenKey(REGSAM access)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (TEXT("SYSTEM\\Printers\\") + driver_.Name()).c_str(), 0, access, &key),
                  ERROR_SUCCESS);
        return key;
    }

    StoredDriver driver_;
};

// A store creates a volatile key holding the record byte for byte, and a load
// gives it back; a buffer too small for the value gets its size and no success.
TEST_F(StoreTest, ARecordStoredWhole)
{
    _OEM_PRIVDEVMODE r, in = Patterned(3);
    DWORD type = 0, size = 4;
    ASSERT_EQ(Store(in, driver_.Name()), 0u);
    std::vector<BYTE> raw = driver_.ReadRaw(&type);
    EXPECT_EQ(raw, std::vector<BYTE>(reinterpret_cast<BYTE*>(&in), reinterpret_cast<BYTE*>(&in + 1)));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(GetUserInfo(&r, nullptr, driver_.Name().c_str()), 0u);
    EXPECT_TRUE(SameBytes(r, in));
    // Only a volatile key refuses a lasting sub-key.
    EXPECT_EQ(driver_.CreateLastingSubKey(), static_cast<LONG>(ERROR_CHILD_MUST_BE_VOLATILE));
    HKEY key = OpenKey(KEY_QUERY_VALUE);
    EXPECT_EQ(RegQueryValueExW(key, TEXT("User Info"), nullptr, nullptr, raw.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof in);
    RegCloseKey(key);
}

// No value, or one that is not a whole record with its mark, loads the
// defaults and tells the value's size.
TEST_F(StoreTest, MissingOrBadValuesLoadTheDefaults)
{
    _OEM_PRIVDEVMODE good = Patterned(5);
    std::vector<BYTE> valid(reinterpret_cast<BYTE*>(&good), reinterpret_cast<BYTE*>(&good + 1));
    std::vector<BYTE> wrongMark = valid, shortValue(valid.begin(), valid.end() - 1), longValue = valid;
    wrongMark[0] = 0x3A;  // 12346
    longValue.push_back(0);
    const std::vector<std::vector<BYTE>> values = {{}, wrongMark, shortValue, longValue, std::vector<BYTE>(4096, 0x39), {}};
    for (size_t i = 0; i < values.size(); i++) {
        SCOPED_TRACE(values[i].size());
        if (i > 0) driver_.WriteRaw(values[i]);  // the first row loads before any value is written
        _OEM_PRIVDEVMODE r = Patterned(9);
        DWORD size = 1;
        EXPECT_EQ(LoadUserInfo(&r, nullptr, driver_.Name().c_str(), &size), i == 0 ? STORED_MISSING : STORED_NOT_VALID);
        EXPECT_EQ(size, values[i].size());
        EXPECT_TRUE(SameBytes(r, Defaults()));
    }
}

// The key is the driver's name before its last comma; a name that gives no
// key (none, empty, nothing before the comma, too long) leaves the store alone.
TEST_F(StoreTest, NamesAndTheirKeys)
{
    _OEM_PRIVDEVMODE out;
    ASSERT_EQ(Store(Patterned(11), driver_.Name() + TEXT(",B,C")), 0u);
    EXPECT_EQ(StoredDriver(driver_.Name() + TEXT(",B"), false).ReadRaw().size(), sizeof out);
    EXPECT_EQ(GetUserInfo(&out, nullptr, (driver_.Name() + TEXT(",B,X")).c_str()), 0u);
    EXPECT_TRUE(SameBytes(out, Patterned(11)));
    WString tooLong(300, 'x');
    for (const WCHAR* name : {static_cast<const WCHAR*>(nullptr), TEXT(""), TEXT(",only after a comma"), tooLong.c_str()}) {
        DWORD size = 0;
        EXPECT_EQ(LoadUserInfo(&out, nullptr, name, &size), STORED_MISSING);
        EXPECT_TRUE(SameBytes(out, Defaults()));
        EXPECT_EQ(SetUserInfo(&out, nullptr, name), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
}

// Two jobs storing at once: every load sees one whole record or the other.
TEST_F(StoreTest, ConcurrentStoresNeverTearTheValue)
{
    const _OEM_PRIVDEVMODE a = Patterned(21), b = Patterned(99);
    ASSERT_EQ(Store(a, driver_.Name()), 0u);
    std::vector<std::thread> writers;
    for (const _OEM_PRIVDEVMODE* rec : {&a, &b})
        writers.emplace_back([&, rec] {
            for (int i = 0; i < 200; i++) Store(*rec, driver_.Name());
        });
    int torn = 0;
    for (int i = 0; i < 400; i++) {
        _OEM_PRIVDEVMODE r;
        GetUserInfo(&r, nullptr, driver_.Name().c_str());
        torn += !SameBytes(r, a) && !SameBytes(r, b);
    }
    for (auto& t : writers) t.join();
    EXPECT_EQ(torn, 0);
}

#ifdef _WIN32
// The key is open to every account: its security holds a null access list.
TEST_F(StoreTest, KeyHasANullAccessList)
{
    ASSERT_EQ(Store(Defaults(), driver_.Name()), 0u);
    HKEY key = OpenKey(READ_CONTROL);
    std::vector<BYTE> sd(4096);
    DWORD size = static_cast<DWORD>(sd.size());
    EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &size), ERROR_SUCCESS);
    RegCloseKey(key);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(sd.data());
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
}
#else
// A registry that fails (made by the stand-in: CI runs as root): a load gives the
// defaults, a store is reported and leaves the value as it was.
TEST_F(StoreTest, RegistryFailures)
{
    const _OEM_PRIVDEVMODE first = Patterned(31), second = Patterned(32);
    // The loads fail with the first two, the stores with the last two.
    struct Case { StandinRegistryCall call; DWORD stored; } cases[] = {
        {STANDIN_REG_OPEN, 0}, {STANDIN_REG_QUERY, 0},
        {STANDIN_REG_CREATE, ERROR_INVALID_DATA}, {STANDIN_REG_SET, ERROR_ACCESS_DENIED}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_EQ(Store(first, driver_.Name()), 0u);
        StandinFailRegistryCall(c.call, ERROR_ACCESS_DENIED);
        _OEM_PRIVDEVMODE out;
        DWORD size = 0;
        StoredState loaded = LoadUserInfo(&out, nullptr, driver_.Name().c_str(), &size);
        DWORD stored = Store(second, driver_.Name());
        StandinFailRegistryCall(c.call, ERROR_SUCCESS);
        EXPECT_EQ(loaded, c.stored ? STORED_VALID : STORED_NOT_VALID);
        EXPECT_TRUE(SameBytes(out, c.stored ? first : Defaults()));
        EXPECT_EQ(stored, c.stored);
        ASSERT_EQ(GetUserInfo(&out, nullptr, driver_.Name().c_str()), 0u);
        EXPECT_TRUE(SameBytes(out, c.stored ? first : second));
    }
}
#endif

}  // namespace
