// Narrow/wide conversions in the ANSI code page, at their bounds.
#include "charconversions.h"
#include "codepage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::basic_string<WCHAR> WStr;

const char SENTINEL = 'Z';

// Converts into a destination of exactly `size` units followed by a sentinel.
std::string ToNarrow(const WStr& src, size_t size)
{
    std::vector<char> out(size + 1, SENTINEL);
    tchar2char(out.data(), size, src.c_str());
    EXPECT_EQ(out[size], SENTINEL) << "wrote past a destination of " << size;
    return size ? std::string(out.data()) : std::string();
}

WStr ToWide(const std::string& src, size_t size)
{
    std::vector<WCHAR> out(size + 1, SENTINEL);
    char2tchar(out.data(), size, src.c_str());
    EXPECT_EQ(out[size], SENTINEL) << "wrote past a destination of " << size;
    return size ? WStr(out.data()) : WStr();
}

WStr W(const std::string& ascii) { return WStr(ascii.begin(), ascii.end()); }

class CodePageTest : public ::testing::Test {
protected:
    void TearDown() override { RestoreAnsiCodePage(); }
};

TEST(Conversions, PrintableAsciiRoundTrips)
{
    std::string ascii;
    for (char c = 0x20; c <= 0x7E; c++) ascii += c;
    EXPECT_EQ(ToWide(ascii, 256), W(ascii));
    EXPECT_EQ(ToNarrow(W(ascii), 256), ascii);
}

TEST(Conversions, CutToTheDestinationAndAlwaysTerminated)
{
    struct Case { size_t length, size, kept; };
    for (Case c : {Case{7, 9, 7}, Case{8, 9, 8}, Case{9, 9, 8}, Case{300, 9, 8}, Case{0, 1, 0}, Case{5, 1, 0},
                   Case{255, 256, 255}, Case{256, 256, 255}, Case{1000, 256, 255}}) {
        std::string text(c.length, 'a');
        EXPECT_EQ(ToNarrow(W(text), c.size), std::string(c.kept, 'a')) << c.length << " into " << c.size;
        EXPECT_EQ(ToWide(text, c.size), W(std::string(c.kept, 'a'))) << c.length << " into " << c.size;
    }
}

TEST(Conversions, NullPointerOrNoRoomLeavesTheDestination)
{
    WCHAR wide[4] = {'x', 'x', 'x', 0};
    char narrow[4] = "xxx";
    char2tchar(wide, 4, nullptr);
    char2tchar(nullptr, 4, "abc");
    char2tchar(wide, 0, "abc");
    tchar2char(narrow, 4, nullptr);
    tchar2char(nullptr, 4, wide);
    tchar2char(narrow, 0, wide);
    EXPECT_EQ(WStr(wide), W("xxx"));
    EXPECT_STREQ(narrow, "xxx");
    EXPECT_EQ(ToWide("", 4), WStr());
    EXPECT_EQ(ToNarrow(WStr(), 4), "");
}

TEST(Conversions, SourceFieldWithoutTerminatorIsReadToItsEndOnly)
{
    struct {
        WCHAR field[5];
        WCHAR next[4];
    } wideRecord = {{'a', 'b', 'c', 'd', 'e'}, {'X', 'Y', 'Z', 0}};
    char narrow[16];
    tchar2char(narrow, wideRecord.field);
    EXPECT_STREQ(narrow, "abcde");

    struct {
        char field[3];
        char next[4];
    } narrowRecord = {{'a', 'b', 'c'}, "XYZ"};
    WCHAR wide[16];
    char2tchar(wide, narrowRecord.field);
    EXPECT_EQ(WStr(wide), W("abc"));
}

TEST_F(CodePageTest, Windows1252IsOneBytePerCharacter)
{
    if (!SelectAnsiCodePage(1252)) GTEST_SKIP() << "ANSI code page is " << GetACP();
    const WStr mueller = {'M', 0xFC, 'l', 'l', 'e', 'r'};
    EXPECT_EQ(ToNarrow(mueller, 7), "M\xFCller");
    EXPECT_EQ(ToWide("M\xFCller", 7), mueller);
    EXPECT_EQ(ToWide("\x80\x81", 3), (WStr{0x20AC, 0x81}));  // euro sign; an unassigned byte keeps its value
    EXPECT_EQ(ToNarrow(WStr{0x20AC, 0x4E2D}, 3), "\x80?");   // no such character: the default character
}

struct Cut {
    size_t size, kept;  // destination size, and how many units of the whole text fit it
};

struct MultiByteCase {
    UINT codePage;
    WStr wide;
    std::string narrow;
    std::vector<Cut> narrowCuts, wideCuts;
};

// UTF-8: a, e-acute, euro, an emoji (a surrogate pair); 932 (Shift-JIS, double-byte):
// a, hiragana A (two bytes), half-width katakana A (one byte), b.
const MultiByteCase MULTI_BYTE_CASES[] = {
    {CP_UTF8, {'a', 0xE9, 0x20AC, 0xD83D, 0xDE00}, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
     {{1, 0}, {2, 1}, {3, 1}, {4, 3}, {6, 3}, {7, 6}, {10, 6}, {11, 10}},
     {{1, 0}, {2, 1}, {4, 3}, {5, 3}, {6, 5}}},
    {932, {'a', 0x3042, 0xFF71, 'b'}, "a\x82\xA0\xB1" "b",
     {{1, 0}, {2, 1}, {3, 1}, {4, 3}, {5, 4}, {6, 5}},
     {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}}},
};

TEST_F(CodePageTest, MultiByteCharactersAreNeverSplit)
{
    int ran = 0;
    for (const MultiByteCase& c : MULTI_BYTE_CASES) {
        if (!SelectAnsiCodePage(c.codePage)) continue;
        ran++;
        for (Cut cut : c.narrowCuts)
            EXPECT_EQ(ToNarrow(c.wide, cut.size), c.narrow.substr(0, cut.kept)) << "CP " << c.codePage << " into " << cut.size << " bytes";
        for (Cut cut : c.wideCuts)
            EXPECT_EQ(ToWide(c.narrow, cut.size), c.wide.substr(0, cut.kept)) << "CP " << c.codePage << " into " << cut.size << " units";
    }
    if (ran == 0) GTEST_SKIP() << "no multi-byte case for ANSI code page " << GetACP();
}

}  // namespace
