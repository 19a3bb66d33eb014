// The services behind the hooks as shipped: defaults, registry store, ticket block, password encoding.
#include "fakes.h"
#include "printer.h"
#include "store_support.h"
#include "transcript.h"
#include "umpd.h"

#ifndef _WIN32
#include <standin.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

namespace {

// As the loader would: the locks the ticket writer takes.
const BOOL gAttached = DllEntryPoint(nullptr, DLL_PROCESS_ATTACH, nullptr);

typedef std::vector<std::string> Lines;

#define F(name) {#name, offsetof(_OEM_PRIVDEVMODE, name), sizeof(_OEM_PRIVDEVMODE::name)}
const struct { const char* name; size_t offset, size; } FIELDS[] = {
    F(spoolOptions), F(rasterOption), F(colorModel), F(printerMode), F(enableRGB), F(bRGBStandard), F(RGBGamma),
    F(RGBWhitepoint), F(RGBProfile), F(RGBRendering), F(enableCMYK), F(pressProfile), F(bPreserveGCR), F(spotColor),
    F(pressSimulation), F(separations), F(progressives), F(autoGray), F(controlStrip), F(bPrintOutputSlug),
    F(productionPrinting), F(saveAsTIFF), F(tiff_dpi), F(edgeSmoothing), F(blackOverPrints), F(alternateBlack),
    F(pralixProof), F(autoTED), F(invertImage), F(mirrorImage), F(imageEnhancement), F(bypassOption), F(outputBin),
    F(duplex), F(faceup), F(collate), F(reversePrint), F(staplePosition), F(rotatePages), F(bImposition),
    F(sImpositionType), F(sSectionSize), F(sOutputPaperSize), F(bCropMarks), F(bScaleToFit)};

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

// A volatile key holding the record byte for byte; a buffer too small for it gets its size only.
TEST_F(StoreTest, ARecordStoredWhole)
{
    _OEM_PRIVDEVMODE in = Patterned(3);
    DWORD type = 0, size = 4;
    ASSERT_EQ(Store(in, driver_.Name()), 0u);
    std::vector<BYTE> raw = driver_.ReadRaw(&type);
    EXPECT_EQ(raw, std::vector<BYTE>(reinterpret_cast<BYTE*>(&in), reinterpret_cast<BYTE*>(&in + 1)));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(driver_.CreateLastingSubKey(), static_cast<LONG>(ERROR_CHILD_MUST_BE_VOLATILE));
    HKEY key = OpenKey(KEY_QUERY_VALUE);
    EXPECT_EQ(RegQueryValueExW(key, TEXT("User Info"), nullptr, nullptr, raw.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof in);
    RegCloseKey(key);
}

// No value, or not a whole record with its mark: the defaults, and the value's size.
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

// The key is the driver's name before its last comma; a name that gives no key leaves the store alone.
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

// Every load sees one whole record or the other.
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
// A failing registry (made so by the stand-in): a load gives the defaults, a store is reported.
TEST_F(StoreTest, RegistryFailures)
{
    const _OEM_PRIVDEVMODE first = Patterned(31), second = Patterned(32);
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

class TicketTest : public ::testing::Test {
protected:
    void SetUp() override { options_ = Defaults(); }

    // The block for options_ (stored first), as lines without their CR LF: each has one, in 255 bytes.
    Lines Ticket(bool store = true)
    {
        if (store) {
            EXPECT_EQ(SetUserInfo(&options_, nullptr, driver_.Name().c_str()), 0u);
        }
        printer_.StartJob(TEXT("ticket.ps"));
        EXPECT_TRUE(AddPralixOptions(printer_.handle()));
        std::istringstream block(printer_.EndJobAndRead());
        Lines lines;
        for (std::string line; std::getline(block, line);) {
            EXPECT_TRUE(!line.empty() && line.back() == '\r' && line.size() < 255) << "not a line: " << line;
            lines.push_back(line.substr(0, line.size() - 1));
        }
        return lines;
    }

    StoredDriver driver_;
    TestPrinter printer_{driver_.Name()};
    _OEM_PRIVDEVMODE options_;
};

TEST_F(TicketTest, FirstUseGivesTheDefaultsBlockAndStoresThem)
{
    EXPECT_EQ(Ticket(false), GoldenLines("ticket-defaults.txt"));
    EXPECT_EQ(driver_.ReadRaw(),
              std::vector<BYTE>(reinterpret_cast<BYTE*>(&options_), reinterpret_cast<BYTE*>(&options_ + 1)));
}

TEST_F(TicketTest, EachOptionValueGivesItsLine)
{
    const Lines defaults = GoldenLines("ticket-defaults.txt");
    for (const std::string& row : GoldenLines("ticket-values.txt")) {
        SCOPED_TRACE(row);
        Lines columns;
        for (size_t at = 0, end; at != std::string::npos; at = end == std::string::npos ? end : end + 3) {
            end = row.find(" | ", at);
            columns.push_back(row.substr(at, end - at));
        }
        ASSERT_GE(columns.size(), 2u);
        SetUp();
        std::istringstream sets(columns[0]);
        for (std::string set; sets >> set;) {
            std::string name = set.substr(0, set.find('='));
            int32_t value = std::stoi(set.substr(set.find('=') + 1));
            auto field = std::find_if(std::begin(FIELDS), std::end(FIELDS), [&](const auto& f) { return name == f.name; });
            ASSERT_NE(field, std::end(FIELDS)) << name;
            memcpy(reinterpret_cast<BYTE*>(&options_) + field->offset, &value, field->size);  // little-endian
        }
        Lines want;
        for (const std::string& line : defaults) {
            if (line.compare(0, 11 + columns[1].size(), "%%PRALIX: " + columns[1] + " ") != 0)
                want.push_back(line);
            else
                want.insert(want.end(), columns.begin() + 2, columns.end());
        }
        EXPECT_EQ(Ticket(), want);
    }
}

// Line breaks become spaces (in the stored comment too), a long comment is cut; passwords serve one job.
TEST_F(TicketTest, IdentityLinesAndPasswordsForOneJob)
{
    const std::string tail(230, 'c');
    SetText(options_.docOwner, "own\rer\n");
    SetText(options_.password, "pw");
    SetText(options_.accountNo, "12\r\n34");
    SetText(options_.docComment, "one\r\ntwo\rthree\nfour" + tail);
    SetText(options_.securePassword, "abc");
    options_.sorter = 7;
    EXPECT_EQ(Ticket(), GoldenLines("ticket-identity.txt"));
    _OEM_PRIVDEVMODE after = options_, stored;
    after.password[0] = 0;
    after.securePassword[0] = 0;
    SetText(after.docComment, "one  two three four" + tail);
    GetUserInfo(&stored, nullptr, driver_.Name().c_str());
    EXPECT_EQ(memcmp(&after, &stored, sizeof after), 0);
    EXPECT_EQ(Ticket(false).size(), 46u) << "the guard and the secure-print password served one job only";
}

#ifndef _WIN32
// A short count continues its line; a failure or a zero count ends the block; the passwords go anyway.
TEST_F(TicketTest, SpoolerThatWritesLessOrFails)
{
    struct Row { const char* what; DWORD shortAt, shortBytes, failAt; } rows[] = {  // the block's writes, 1 its first
        {"a short write is continued", 3, 5, 0},
        {"one byte of the first line", 1, 1, 0},
        {"a zero count ends the block", 5, 0, 0},
        {"a failure ends the block", 0, 0, 5},
        {"a failure while a line is continued", 3, 5, 4},
    };
    SetText(options_.password, "p");
    std::string transcript;
    for (const Row& row : rows) {
        ASSERT_EQ(SetUserInfo(&options_, nullptr, driver_.Name().c_str()), 0u);
        printer_.StartJob(TEXT("ticket.ps"));
        StandinShortWritePrinterCall(row.shortAt, row.shortBytes);
        StandinFailWritePrinterCall(row.failAt);
        BOOL ok = AddPralixOptions(printer_.handle());
        StandinShortWritePrinterCall(0, 0);
        StandinFailWritePrinterCall(0);
        _OEM_PRIVDEVMODE after;
        GetUserInfo(&after, nullptr, driver_.Name().c_str());
        std::string port = printer_.EndJobAndRead();
        Replace(port, "\r", "\\r");
        transcript += "== " + std::string(row.what) + "\nresult " + std::to_string(ok) + ", password kept " +
                      std::to_string(after.password[0] != 0) + "\n" + port + "\n";
    }
    ExpectGolden("ticket-spooler-faults.txt", transcript);
}
#endif

// The encoding fits the buffer and the work buffer's 127 characters.
TEST(PasswordEncoding, KnownPasswords)
{
    struct Case { const char* what; std::string in; size_t size; };
    std::string transcript;
    for (const Case& c : {Case{"empty", "", 64}, Case{"a", "a", 64}, Case{"abc", "abc", 64}, Case{"aaaaaa", "aaaaaa", 64},
                          Case{"12345678", "12345678", 64}, Case{"0x80", "\x80", 64}, Case{"0xE9", "\xE9", 64},
                          Case{"0xFF", "\xFF", 64}, Case{"abcd in 5 bytes", "abcd", 5},
                          Case{"399 x in 400 bytes", std::string(399, 'x'), 400}}) {
        std::vector<char> buf(c.size);
        memcpy(buf.data(), c.in.c_str(), c.in.size() + 1);
        EncryptUserPassword(buf.data(), buf.size());
        transcript += std::string(c.what) + ": " + buf.data() + "\n";
    }
    EncryptUserPassword(nullptr, 10);
    ExpectGolden("password-encoding.txt", transcript);
}

}  // namespace
