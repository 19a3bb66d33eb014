// The job-ticket block as the print server reads it, written from the
// stored options of the printer's driver; and the password encoding.
#include "codepage.h"
#include "printer.h"
#include "store_support.h"
#include "umpd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <vector>

namespace {

// As the loader would: the locks the ticket writer takes.
const BOOL gAttached = DllEntryPoint(nullptr, DLL_PROCESS_ATTACH, nullptr);

const std::string GUARD = "statusdict /Pralix_feat_dict known not { currentfile flushfile }if ";

const std::vector<std::string> DEFAULT_LINES = {
    "%%PRALIX: Spool Delete", "%%PRALIX: RasterHandling DeleteRaster", "%%PRALIX: ColorModel CMYK",
    "%%PRALIX: Screening off", "%%PRALIX: CorrectRGB 2", "%%PRALIX: Gamma 4", "%%PRALIX: WhitePoint 3",
    "%%PRALIX: RGBProfile Apple RGB", "%%PRALIX: RenderingStyle 2", "%%PRALIX: CorrectCMYK on",
    "%%PRALIX: PressProfile 1", "%%PRALIX: PreserveGCR off", "%%PRALIX: CompositeSpot on",
    "%%PRALIX: PressSimulation off", "%%PRALIX: Seps Auto", "%%PRALIX: Progressives off",
    "%%PRALIX: AutoBlackDetect on", "%%PRALIX: ControlStrip off", "%%PRALIX: OutputSlug off",
    "%%PRALIX: ProductionPrinting off", "%%PRALIX: SaveAsTIFF off", "%%PRALIX: EdgeSmoothing off",
    "%%PRALIX: BlackOverprint on", "%%PRALIX: UseKForRGBBlack on", "%%PRALIX: PralixProof off",
    "%%PRALIX: TrailingEdgeDeletion off", "%%PRALIX: InvertImage off", "%%PRALIX: MirrorImage off",
    "%%PRALIX: ImageEnhancement on", "%%PRALIX: Bypass 9", "%%PRALIX: OutputBin 0", "%%PRALIX: Duplex off",
    "%%PRALIX: OutputFaceUp off", "%%PRALIX: Collate off", "%%PRALIX: PageOrder Forward",
    "%%PRALIX: StaplePosition StapleOff", "%%PRALIX: RotatePages off", "%%PRALIX: PBImposition off",
    "%%PRALIX: SS_SectionSize 16", "%%PRALIX: ImposePageSize Imp_Tabloid", "%%PRALIX: ImpCropMarks on",
    "%%PRALIX: ImpScaleToFit off", "%%PRALIX: DocOwner ", "%%PRALIX: Password ", "%%PRALIX: AccountNumber ",
    "%%PRALIX: DocComment "};

void SetText(WCHAR* field, const std::u16string& text)
{
    std::char_traits<WCHAR>::copy(field, reinterpret_cast<const WCHAR*>(text.c_str()), text.size() + 1);
}

std::u16string U(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Writes the ticket for a record stored under a driver of its own and
// returns its lines (CR LF taken off; each must have one).
class TicketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&options_, 0, sizeof options_);
        SetDefaultPralixOptions(&options_);
    }

    std::vector<std::string> Ticket()
    {
        EXPECT_EQ(SetUserInfo(&options_, nullptr, driver_.Name().c_str()), 0u);
        printer_.StartJob(TEXT("ticket.ps"));
        EXPECT_TRUE(AddPralixOptions(printer_.handle()));
        std::string block = printer_.EndJobAndRead();
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < block.size()) {
            size_t end = block.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "a line without CR LF: " << block.substr(at);
            if (end == std::string::npos) break;
            EXPECT_LE(end + 2 - at, 255u) << "a line longer than 255 bytes";
            lines.push_back(block.substr(at, end - at));
            at = end + 2;
        }
        return lines;
    }

    // The lines of the ticket that begin with prefix.
    std::vector<std::string> LinesOf(const std::string& prefix)
    {
        std::vector<std::string> found;
        for (const auto& line : Ticket())
            if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
        return found;
    }

    _OEM_PRIVDEVMODE Stored()
    {
        _OEM_PRIVDEVMODE r;
        GetUserInfo(&r, nullptr, driver_.Name().c_str());
        return r;
    }

    StoredDriver driver_;
    TestPrinter printer_{driver_.Name()};
    _OEM_PRIVDEVMODE options_;
};

TEST_F(TicketTest, DefaultsGiveTheFortySixLines)
{
    EXPECT_EQ(Ticket(), DEFAULT_LINES);
}

struct RowCase {
    const char* key;  // the line's start, "%%PRALIX: Key "
    std::function<void(_OEM_PRIVDEVMODE&)> set;
    const char* line;  // null: no line for this option
};

TEST_F(TicketTest, EachOptionValueGivesItsLine)
{
    typedef _OEM_PRIVDEVMODE R;
    const RowCase cases[] = {
        {"%%PRALIX: Spool ", [](R& o) { o.spoolOptions = 4; }, "%%PRALIX: Spool RipOnly"},
        {"%%PRALIX: Spool ", [](R& o) { o.spoolOptions = 5; }, nullptr},
        {"%%PRALIX: RasterHandling ", [](R& o) { o.rasterOption = 0; }, "%%PRALIX: RasterHandling SaveRaster"},
        {"%%PRALIX: RasterHandling ", [](R& o) { o.rasterOption = 1; }, "%%PRALIX: RasterHandling DeleteRaster"},
        {"%%PRALIX: RasterHandling ", [](R& o) { o.rasterOption = 3; }, nullptr},
        {"%%PRALIX: ColorModel ", [](R& o) { o.colorModel = 1; }, "%%PRALIX: ColorModel Gray"},
        {"%%PRALIX: ColorModel ", [](R& o) { o.colorModel = -1; }, nullptr},
        {"%%PRALIX: Screening ", [](R& o) { o.printerMode = 2; }, "%%PRALIX: Screening on"},
        {"%%PRALIX: CorrectRGB ", [](R& o) { o.enableRGB = 0; }, "%%PRALIX: CorrectRGB 1"},
        {"%%PRALIX: CorrectRGB ", [](R& o) { o.enableRGB = 7, o.bRGBStandard = 0; }, "%%PRALIX: CorrectRGB 3"},
        {"%%PRALIX: Gamma ", [](R& o) { o.RGBGamma = 0; }, "%%PRALIX: Gamma 1"},
        {"%%PRALIX: Gamma ", [](R& o) { o.RGBGamma = 5; }, nullptr},
        {"%%PRALIX: WhitePoint ", [](R& o) { o.RGBWhitepoint = 0; }, "%%PRALIX: WhitePoint 1"},
        {"%%PRALIX: WhitePoint ", [](R& o) { o.RGBWhitepoint = 3; }, nullptr},
        {"%%PRALIX: RGBProfile ", [](R& o) { o.RGBProfile = 5; }, "%%PRALIX: RGBProfile sRGB"},
        {"%%PRALIX: RGBProfile ", [](R& o) { o.RGBProfile = 6; }, nullptr},
        {"%%PRALIX: RenderingStyle ", [](R& o) { o.RGBRendering = 9; }, "%%PRALIX: RenderingStyle 5"},
        {"%%PRALIX: PressProfile ", [](R& o) { o.pressProfile = 3; }, "%%PRALIX: PressProfile 1001"},
        {"%%PRALIX: PressProfile ", [](R& o) { o.pressProfile = 12; }, "%%PRALIX: PressProfile 1010"},
        {"%%PRALIX: PressProfile ", [](R& o) { o.pressProfile = 13; }, nullptr},
        {"%%PRALIX: Seps ", [](R& o) { o.separations = 7; }, "%%PRALIX: Seps None"},
        {"%%PRALIX: Seps ", [](R& o) { o.separations = 8; }, nullptr},
        {"%%PRALIX: CorrectCMYK ", [](R& o) { o.enableCMYK = 2; }, "%%PRALIX: CorrectCMYK off"},
        {"%%PRALIX: Progressives ", [](R& o) { o.progressives = 1; }, "%%PRALIX: Progressives on"},
        {"%%PRALIX: Progressives ", [](R& o) { o.progressives = -1; }, "%%PRALIX: Progressives off"},
        {"%%PRALIX: OutputBin ", [](R& o) { o.outputBin = -1; }, "%%PRALIX: OutputBin -1"},
        {"%%PRALIX: OutputBin ", [](R& o) { o.outputBin = 32767; }, "%%PRALIX: OutputBin 32767"},
        {"%%PRALIX: Duplex ", [](R& o) { o.duplex = 2; }, "%%PRALIX: Duplex ShortEdgeBinding"},
        {"%%PRALIX: Duplex ", [](R& o) { o.duplex = 3; }, nullptr},
        {"%%PRALIX: PageOrder ", [](R& o) { o.reversePrint = 1; }, "%%PRALIX: PageOrder Reverse"},
        {"%%PRALIX: PageOrder ", [](R& o) { o.reversePrint = 2; }, "%%PRALIX: PageOrder Forward"},
        {"%%PRALIX: StaplePosition ", [](R& o) { o.staplePosition = 4; }, "%%PRALIX: StaplePosition StapleDualLandscape"},
        {"%%PRALIX: StaplePosition ", [](R& o) { o.staplePosition = 7; }, "%%PRALIX: StaplePosition StapleOff"},
        {"%%PRALIX: PBImposition ", [](R& o) { o.bImposition = 1, o.sImpositionType = 4; }, "%%PRALIX: PBImposition 2-up"},
        {"%%PRALIX: PBImposition ", [](R& o) { o.bImposition = 0, o.sImpositionType = 3; }, "%%PRALIX: PBImposition off"},
        {"%%PRALIX: PBImposition ", [](R& o) { o.bImposition = 2, o.sImpositionType = 5; }, "%%PRALIX: PBImposition off"},
        {"%%PRALIX: SS_SectionSize ", [](R& o) { o.sSectionSize = 5; }, "%%PRALIX: SS_SectionSize 64"},
        {"%%PRALIX: SS_SectionSize ", [](R& o) { o.sSectionSize = 6; }, nullptr},
        {"%%PRALIX: ImposePageSize ", [](R& o) { o.sOutputPaperSize = 5; }, "%%PRALIX: ImposePageSize Imp_A4"},
        {"%%PRALIX: ImposePageSize ", [](R& o) { o.sOutputPaperSize = -2; }, nullptr},
    };
    for (const RowCase& c : cases) {
        SetUp();
        c.set(options_);
        std::vector<std::string> want;
        if (c.line) want.push_back(c.line);
        EXPECT_EQ(LinesOf(c.key), want) << c.key << "-> " << (c.line ? c.line : "(no line)");
    }
}

TEST_F(TicketTest, BypassTraysMapToTheServersNumbers)
{
    const char* trays[] = {"0", "5", "1", "3", "16", "9", "7", "6", "4", "14", "15", "6", "30"};
    for (int32_t v = 0; v <= 13; v++) {
        SetUp();
        options_.bypassOption = v;
        std::vector<std::string> want;
        if (v <= 12) want.push_back(std::string("%%PRALIX: Bypass ") + trays[v]);
        EXPECT_EQ(LinesOf("%%PRALIX: Bypass "), want) << "bypassOption " << v;
    }
}

TEST_F(TicketTest, ResolutionFollowsOnlySaveAsTiffOn)
{
    struct Case { int32_t save, dpi; std::vector<std::string> lines; };
    for (const Case& c : {Case{1, 1, {"%%PRALIX: SaveAsTIFF on", "%%PRALIX: SaveAsDPI 300"}},
                          Case{1, 2, {"%%PRALIX: SaveAsTIFF on", "%%PRALIX: SaveAsDPI 72"}},
                          Case{1, 3, {"%%PRALIX: SaveAsTIFF on"}}, Case{2, 1, {"%%PRALIX: SaveAsTIFF off"}}}) {
        SetUp();
        options_.saveAsTIFF = c.save;
        options_.tiff_dpi = c.dpi;
        EXPECT_EQ(LinesOf("%%PRALIX: SaveAs"), c.lines) << "saveAsTIFF " << c.save << " tiff_dpi " << c.dpi;
    }
}

TEST_F(TicketTest, SecurePasswordServesOneJob)
{
    SetText(options_.securePassword, u"abc");
    SetText(options_.password, u"pw");
    options_.saveAsTIFF = 1;
    std::vector<std::string> lines = Ticket();
    ASSERT_EQ(lines.size(), 49u);
    EXPECT_EQ(lines.front(), GUARD);
    EXPECT_EQ(lines[45], "%%PRALIX: Password 839D");
    EXPECT_EQ(lines.back(), "%%PRALIX: SecurePassword 7B8F91");
    _OEM_PRIVDEVMODE after = Stored();
    EXPECT_EQ(after.password[0], 0);
    EXPECT_EQ(after.securePassword[0], 0);
    EXPECT_EQ(after.saveAsTIFF, 1);

    options_ = after;
    lines = Ticket();
    EXPECT_EQ(lines.size(), 47u);
    EXPECT_NE(lines.front(), GUARD);
}

TEST_F(TicketTest, LineBreaksInFreeTextBecomeSpaces)
{
    SetText(options_.docOwner, u"own\rer\n");
    SetText(options_.accountNo, u"12\r\n34");
    SetText(options_.docComment, u"line one\r\nline two\rthree\nfour");
    std::vector<std::string> lines = Ticket();
    EXPECT_EQ(lines[42], "%%PRALIX: DocOwner own er ");
    EXPECT_EQ(lines[44], "%%PRALIX: AccountNumber 12  34");
    EXPECT_EQ(lines[45], "%%PRALIX: DocComment line one  line two three four");
    _OEM_PRIVDEVMODE after = Stored();
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(after.docComment)), u"line one  line two three four");
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(after.docOwner)), u"own\rer\n");
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(after.accountNo)), u"12\r\n34");
}

TEST_F(TicketTest, LongCommentIsCutToFitItsLineButStoredWhole)
{
    for (size_t length : {232u, 233u, 255u}) {
        SetUp();
        std::string comment;
        for (size_t i = 0; i < length; i++) comment += static_cast<char>('a' + i % 26);
        SetText(options_.docComment, U(comment));
        std::vector<std::string> lines = LinesOf("%%PRALIX: DocComment ");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], "%%PRALIX: DocComment " + comment.substr(0, 232)) << length;
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(Stored().docComment)), U(comment)) << length;
    }
}

// A value that is not a record gives the defaults' ticket and is left as it
// is (another version of the driver may have written it); a missing one is
// first use and gets the defaults stored.
TEST_F(TicketTest, ValueThatIsNotARecordIsLeftAlone)
{
    std::vector<BYTE> valid(reinterpret_cast<BYTE*>(&options_), reinterpret_cast<BYTE*>(&options_) + sizeof options_);
    std::vector<BYTE> wrongMark = valid;
    wrongMark[0]++;
    struct Case { const char* what; std::vector<BYTE> value; };
    for (const Case& c : {Case{"0 bytes", {}}, Case{"1427 bytes", std::vector<BYTE>(valid.begin(), valid.end() - 1)},
                          Case{"1429 bytes", std::vector<BYTE>(1429, 7)}, Case{"4096 bytes", std::vector<BYTE>(4096, 0x39)},
                          Case{"wrong mark", wrongMark}}) {
        SCOPED_TRACE(c.what);
        driver_.WriteRaw(c.value);
        printer_.StartJob(TEXT("ticket.ps"));
        testing::internal::CaptureStdout();
        EXPECT_TRUE(AddPralixOptions(printer_.handle(), true));
        std::string trace = testing::internal::GetCapturedStdout();
        std::string block = printer_.EndJobAndRead();
        EXPECT_EQ(block.substr(0, 24), "%%PRALIX: Spool Delete\r\n");
        EXPECT_EQ(trace, "stored options not valid (" + std::to_string(c.value.size()) + " bytes): defaults used\n");
        EXPECT_EQ(driver_.ReadRaw(), c.value);
    }
    StoredDriver missing;
    TestPrinter printer(missing.Name());
    printer.StartJob(TEXT("ticket.ps"));
    EXPECT_TRUE(AddPralixOptions(printer.handle(), true));
    printer.EndJobAndRead();
    std::vector<BYTE> stored = missing.ReadRaw();
    ASSERT_EQ(stored.size(), sizeof options_);
    EXPECT_EQ(memcmp(stored.data(), &options_, sizeof options_), 0) << "first use stores the defaults";
}

class TicketCodePageTest : public TicketTest {
protected:
    void TearDown() override { RestoreAnsiCodePage(); }
};

TEST_F(TicketCodePageTest, NonAsciiTextInTheAnsiCodePage)
{
    if (SelectAnsiCodePage(1252)) {
        SetText(options_.docOwner, u"M\u00FCller");
        EXPECT_EQ(LinesOf("%%PRALIX: DocOwner "), std::vector<std::string>{"%%PRALIX: DocOwner M\xFCller"});
    }
    if (SelectAnsiCodePage(CP_UTF8)) {
        // 240 characters of two bytes: cut at a character so the line fits 255 bytes.
        SetUp();
        SetText(options_.docComment, std::u16string(240, u'\u00E9'));
        std::vector<std::string> lines = LinesOf("%%PRALIX: DocComment ");
        ASSERT_EQ(lines.size(), 1u);
        std::string want = "%%PRALIX: DocComment ";
        for (int i = 0; i < 116; i++) want += "\xC3\xA9";
        EXPECT_EQ(lines[0], want);
    }
}

TEST(PasswordEncoding, KnownPasswords)
{
    struct Case { std::string in, out; };
    for (const Case& c : {Case{"", ""}, Case{"a", "7B"}, Case{"abc", "7B8F91"}, Case{"aaaaaa", "7B8E8M8L8A7B"},
                          Case{"12345678", "596D6M6M6C5E6I74"}, Case{"\x80", "8J"}, Case{"\xE9", "26"},
                          Case{"\xFF", "35"}}) {
        char buf[64] = {};
        memcpy(buf, c.in.c_str(), c.in.size() + 1);
        EncryptUserPassword(buf, sizeof buf);
        EXPECT_EQ(std::string(buf), c.out) << "password '" << c.in << "'";
    }
}

TEST(PasswordEncoding, PairsDependOnlyOnTheirCharacterAndKeyLetter)
{
    char a[32] = "secret!!x", b[32] = "secreT!!x";
    EncryptUserPassword(a, sizeof a);
    EncryptUserPassword(b, sizeof b);
    for (size_t pair = 0; pair < 9; pair++)
        EXPECT_EQ(strncmp(a + 2 * pair, b + 2 * pair, 2) == 0, pair != 5) << "pair " << pair;
    char repeat[32] = "xabcdxzzz";
    EncryptUserPassword(repeat, sizeof repeat);
    EXPECT_EQ(std::string(repeat, 2), std::string(repeat + 10, 2));  // the same character five apart
}

TEST(PasswordEncoding, NeverWritesPastTheBuffer)
{
    std::vector<char> exact = {'a', 'b', 'c', 'd', 0};  // room for two characters and the terminator
    EncryptUserPassword(exact.data(), exact.size());
    EXPECT_STREQ(exact.data(), "7B8F");
    std::vector<char> big(400, 'x');
    big.back() = 0;
    EncryptUserPassword(big.data(), big.size());
    EXPECT_EQ(strlen(big.data()), 254u);  // 127 characters: the work buffer's limit
    EncryptUserPassword(nullptr, 10);
}

}  // namespace
