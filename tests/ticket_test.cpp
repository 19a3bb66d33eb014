// The job-ticket block as the print server reads it, written from the
// stored options of the printer's driver; and the password encoding.
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

void SetText(WCHAR* field, const std::u16string& text)
{
    std::char_traits<WCHAR>::copy(field, reinterpret_cast<const WCHAR*>(text.c_str()), text.size() + 1);
}

class TicketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&options_, 0, sizeof options_);
        SetDefaultPralixOptions(&options_);
    }

    // The block for options_ (stored first unless told not to), as lines without
    // their CR LF: each must have one and fit 255 bytes.
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

// First use: the defaults' block, and the defaults stored.
TEST_F(TicketTest, FirstUseGivesTheDefaultsBlockAndStoresThem)
{
    EXPECT_EQ(Ticket(false), GoldenLines("ticket-defaults.txt"));
    std::vector<BYTE> stored = driver_.ReadRaw();
    ASSERT_EQ(stored.size(), sizeof options_);
    EXPECT_EQ(memcmp(stored.data(), &options_, sizeof options_), 0);
}

// Each value of each option gives its line in place of the defaults' one,
// and changes nothing else.
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

// Line breaks in the free texts become spaces (in the stored comment too), a long
// comment is cut to fit its line, a secure-print password brings the guard line
// first and its own line last; both passwords serve one job only.
TEST_F(TicketTest, IdentityLinesAndPasswordsForOneJob)
{
    const std::string tail(230, 'c');
    SetText(options_.docOwner, u"own\rer\n");
    SetText(options_.password, u"pw");
    SetText(options_.accountNo, u"12\r\n34");
    SetText(options_.docComment, u"one\r\ntwo\rthree\nfour" + std::u16string(tail.begin(), tail.end()));
    SetText(options_.securePassword, u"abc");
    options_.sorter = 7;
    EXPECT_EQ(Ticket(), GoldenLines("ticket-identity.txt"));
    _OEM_PRIVDEVMODE after = options_, stored;
    after.password[0] = 0;
    after.securePassword[0] = 0;
    SetText(after.docComment, u"one  two three four" + std::u16string(tail.begin(), tail.end()));
    GetUserInfo(&stored, nullptr, driver_.Name().c_str());
    EXPECT_EQ(memcmp(&after, &stored, sizeof after), 0);
    EXPECT_EQ(Ticket(false).size(), 46u) << "the guard and the secure-print password served one job only";
}

#ifndef _WIN32
// A short count continues its line; a failure or a zero count ends the block and
// is reported; the passwords are emptied anyway (the stand-in makes the spooler fail).
TEST_F(TicketTest, SpoolerThatWritesLessOrFails)
{
    struct Row { const char* what; DWORD shortAt, shortBytes, failAt; } rows[] = {  // the block's writes, 1 its first
        {"a short write is continued", 3, 5, 0},
        {"one byte of the first line", 1, 1, 0},
        {"a zero count ends the block", 5, 0, 0},
        {"a failure ends the block", 0, 0, 5},
        {"a failure while a line is continued", 3, 5, 4},
    };
    SetText(options_.password, u"p");
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
        for (size_t at = port.find('\r'); at != std::string::npos; at = port.find('\r', at)) port.replace(at, 1, "\\r");
        transcript += "== " + std::string(row.what) + "\nresult " + std::to_string(ok) + ", password kept " +
                      std::to_string(after.password[0] != 0) + "\n" + port + "\n";
    }
    ExpectGolden("ticket-spooler-faults.txt", transcript);
}
#endif

// The key wraps after its fifth letter; bytes of 128 and above count unsigned;
// the output fits the buffer and the work buffer's 127 characters.
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
