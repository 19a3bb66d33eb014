// The job options record: its stored layout, its defaults, and the narrow
// copy of its identity fields.
#include "codepage.h"
#include "umpd.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

typedef std::basic_string<WCHAR> WStr;

#define FIELD(name, offset, width) {#name, offsetof(_OEM_PRIVDEVMODE, name), sizeof(_OEM_PRIVDEVMODE::name), offset, width}

struct LayoutRow {
    const char* name;
    size_t offset, width, wantOffset, wantWidth;
};

TEST(OptionsRecord, StoredLayoutIsFixed)
{
    const LayoutRow rows[] = {
        FIELD(initialized, 0, 2), FIELD(spoolOptions, 4, 4), FIELD(rasterOption, 8, 4), FIELD(rasterOptionUI, 12, 4),
        FIELD(colorModel, 16, 4), FIELD(printerMode, 20, 4), FIELD(enableRGB, 24, 4), FIELD(bRenderingStyle, 28, 4),
        FIELD(bRGBStandard, 32, 4), FIELD(RGBRendering, 36, 4), FIELD(RGBGamma, 40, 4), FIELD(RGBWhitepoint, 44, 4),
        FIELD(pressSimulation, 48, 4), FIELD(enableCMYK, 52, 4), FIELD(pressProfile, 56, 4), FIELD(spotColor, 60, 4),
        FIELD(bPreserveGCR, 64, 4), FIELD(RGBProfile, 68, 4), FIELD(separations, 72, 4), FIELD(progressives, 76, 4),
        FIELD(autoGray, 80, 4), FIELD(controlStrip, 84, 4), FIELD(saveAsTIFF, 88, 4), FIELD(tiff_dpi, 92, 4),
        FIELD(edgeSmoothing, 96, 4), FIELD(blackOverPrints, 100, 4), FIELD(alternateBlack, 104, 4),
        FIELD(autoTED, 108, 4), FIELD(pralixProof, 112, 4), FIELD(invertImage, 116, 4), FIELD(imageEnhancement, 120, 4),
        FIELD(mirrorImage, 124, 4), FIELD(bPrintOutputSlug, 128, 4), FIELD(productionPrinting, 132, 4),
        FIELD(outputBin, 136, 2), FIELD(bypassOption, 140, 4), FIELD(duplex, 144, 4), FIELD(rotatePages, 148, 4),
        FIELD(sorter, 152, 4), FIELD(staplePosition, 156, 4), FIELD(staple, 160, 4), FIELD(faceup, 164, 4),
        FIELD(collate, 168, 4), FIELD(reversePrint, 172, 4), FIELD(productionMode, 176, 4), FIELD(bImposition, 180, 4),
        FIELD(sImpositionType, 184, 4), FIELD(sSectionSize, 188, 4), FIELD(sOutputPaperSize, 192, 4),
        FIELD(bCropMarks, 196, 4), FIELD(bScaleToFit, 200, 4), FIELD(bSecurePrintInvalid, 204, 4),
        FIELD(bInitialConnection, 208, 4), FIELD(ipAddress, 212, 32), FIELD(docOwner, 244, 50), FIELD(password, 294, 18),
        FIELD(docComment, 312, 512), FIELD(accountNo, 824, 66), FIELD(securePassword, 890, 18),
        FIELD(bUseSecurePassword, 908, 4), FIELD(bUseSecureAccessPassword, 912, 4), FIELD(printerName, 916, 512)};
    for (const LayoutRow& r : rows) {
        EXPECT_EQ(r.offset, r.wantOffset) << r.name;
        EXPECT_EQ(r.width, r.wantWidth) << r.name;
    }
    EXPECT_EQ(sizeof(_OEM_PRIVDEVMODE), 1428u);
}

int32_t Int32At(const _OEM_PRIVDEVMODE& o, size_t offset)
{
    int32_t v;
    memcpy(&v, reinterpret_cast<const unsigned char*>(&o) + offset, sizeof v);
    return v;
}

TEST(OptionsRecord, DefaultsSetEveryFieldAndLeaveTheRestAlone)
{
    _OEM_PRIVDEVMODE o;
    memset(&o, 0xA5, sizeof o);
    SetDefaultPralixOptions(&o);
    const int32_t want[] = {0, 2, 2, 0, 0, 1, 0, 1, 1, 3, 2, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0};
    for (size_t i = 0; i < sizeof want / sizeof want[0]; i++) EXPECT_EQ(Int32At(o, 4 + 4 * i), want[i]) << "int32 at " << 4 + 4 * i;
    const int32_t wantTail[] = {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 1, 0, 1, 1};
    for (size_t i = 0; i < sizeof wantTail / sizeof wantTail[0]; i++)
        EXPECT_EQ(Int32At(o, 140 + 4 * i), wantTail[i]) << "int32 at " << 140 + 4 * i;
    EXPECT_EQ(o.initialized, 12345);
    EXPECT_EQ(o.outputBin, 0);
    EXPECT_EQ(o.bUseSecurePassword, 0);
    EXPECT_EQ(o.bUseSecureAccessPassword, 0);
    EXPECT_EQ(WStr(o.ipAddress), WStr(TEXT("255.255.255.255")));
    for (const WCHAR* text : {o.docOwner, o.password, o.docComment, o.accountNo, o.securePassword, o.printerName})
        EXPECT_EQ(text[0], 0);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&o);
    for (size_t reserved : {2, 3, 138, 139, 248, 249}) EXPECT_EQ(bytes[reserved], 0xA5) << "byte " << reserved;
}

void SetWide(WCHAR* field, const std::string& ascii)
{
    for (char c : ascii) *field++ = static_cast<WCHAR>(c);
    *field = 0;
}

TEST(OptionsRecord, IdentityFieldsAtFullLengthRoundTrip)
{
    _OEM_PRIVDEVMODE o = {};
    SetDefaultPralixOptions(&o);
    SetWide(o.docOwner, std::string(24, 'o'));
    SetWide(o.password, "12345678");
    SetWide(o.docComment, std::string(255, 'c'));
    SetWide(o.accountNo, std::string(32, '9'));
    SetWide(o.ipAddress, "192.168.100.200");
    SetWide(o.securePassword, "abcdefgh");
    o.bInitialConnection = 0;
    o.bUseSecurePassword = 1;
    o.bUseSecureAccessPassword = 2;
    IdentOptions id;
    memset(&id, 0x5A, sizeof id);
    CopyIdentityToNarrow(&id, &o);
    EXPECT_EQ(std::string(id.docOwner), std::string(24, 'o'));
    EXPECT_STREQ(id.password, "12345678");
    EXPECT_EQ(std::string(id.docComment), std::string(255, 'c'));
    EXPECT_EQ(std::string(id.accountNo), std::string(32, '9'));
    EXPECT_STREQ(id.ipAddress, "192.168.100.200");
    EXPECT_STREQ(id.norvikSecurePassword, "abcdefgh");
    EXPECT_EQ(id.bInitialConnection, 0);
    EXPECT_EQ(id.bUseSecurePassword, 1);
    EXPECT_EQ(id.bUseSecureAccessPassword, 2);

    EXPECT_EQ(id.written, 0u);

    // Back over a record: the fields of each written group and nothing else
    // (every text above fills its field, terminator included).
    struct { uint32_t written; size_t offset, size; } groups[] = {
        {IDENT_WROTE_ADDRESS, offsetof(_OEM_PRIVDEVMODE, ipAddress), sizeof o.ipAddress},
        {IDENT_WROTE_FIRST_USE, offsetof(_OEM_PRIVDEVMODE, bInitialConnection), sizeof o.bInitialConnection},
        {IDENT_WROTE_IDENTITY, offsetof(_OEM_PRIVDEVMODE, docOwner), sizeof o.docOwner + sizeof o.password},
        {IDENT_WROTE_IDENTITY, offsetof(_OEM_PRIVDEVMODE, accountNo), sizeof o.accountNo},
    };
    _OEM_PRIVDEVMODE other;
    memset(&other, 0x77, sizeof other);
    for (const auto& g : groups) {
        SCOPED_TRACE(g.written);
        _OEM_PRIVDEVMODE back = other;
        id.written = g.written;
        ApplyWrittenIdentity(&back, &id);
        const BYTE *b = reinterpret_cast<const BYTE*>(&back), *src = reinterpret_cast<const BYTE*>(&o);
        for (const auto& h : groups) {
            bool mine = h.written == g.written;
            const BYTE* want = (mine ? src : reinterpret_cast<const BYTE*>(&other)) + h.offset;
            EXPECT_EQ(memcmp(b + h.offset, want, h.size), 0) << "offset " << h.offset;
        }
        EXPECT_EQ(memcmp(b + offsetof(_OEM_PRIVDEVMODE, docComment), reinterpret_cast<const BYTE*>(&other) +
                         offsetof(_OEM_PRIVDEVMODE, docComment), sizeof o.docComment), 0);
    }
}

class IdentityCodePageTest : public ::testing::Test {
protected:
    void TearDown() override { RestoreAnsiCodePage(); }
};

TEST_F(IdentityCodePageTest, WideTextThatNeedsMoreBytesIsCutAtACharacter)
{
    // A character of two bytes in each code page.
    struct { UINT codePage; WCHAR wide; const char* narrow; } cases[] = {{CP_UTF8, 0xE9, "\xC3\xA9"}, {932, 0x3042, "\x82\xA0"}};
    int ran = 0;
    for (const auto& c : cases) {
        if (!SelectAnsiCodePage(c.codePage)) continue;
        ran++;
        _OEM_PRIVDEVMODE o = {};
        SetDefaultPralixOptions(&o);
        for (int i = 0; i < 24; i++) o.docOwner[i] = c.wide;  // 24 characters, 48 bytes
        o.docOwner[24] = 0;
        IdentOptions id = {};
        CopyIdentityToNarrow(&id, &o);
        std::string owner(id.docOwner);
        EXPECT_EQ(owner.size(), 24u) << "CP " << c.codePage;  // 12 whole characters and the terminator fill 25 bytes
        for (size_t i = 0; i < owner.size(); i += 2) EXPECT_EQ(owner.substr(i, 2), c.narrow) << "CP " << c.codePage;
    }
    if (ran == 0) GTEST_SKIP() << "no double-byte case for ANSI code page " << GetACP();
}

}  // namespace
