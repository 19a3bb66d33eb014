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

TEST_F(CodePageTest, MultiByteCharactersAreNeverSplit)
{
    if (!SelectAnsiCodePage(CP_UTF8)) GTEST_SKIP() << "ANSI code page is " << GetACP();
    const WStr text = {'a', 0xE9, 0x20AC, 0xD83D, 0xDE00};  // a, e-acute, euro, an emoji (surrogate pair)
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    struct Case { size_t size, bytesKept, unitsKept; };
    for (Case c : {Case{1, 0, 0}, Case{2, 1, 1}, Case{3, 1, 1}, Case{4, 3, 2}, Case{6, 3, 2}, Case{7, 6, 3},
                   Case{10, 6, 3}, Case{11, 10, 5}}) {
        EXPECT_EQ(ToNarrow(text, c.size), utf8.substr(0, c.bytesKept)) << "into " << c.size << " bytes";
    }
    for (Case c : {Case{1, 0, 0}, Case{2, 0, 1}, Case{4, 0, 3}, Case{5, 0, 3}, Case{6, 0, 5}}) {
        EXPECT_EQ(ToWide(utf8, c.size), text.substr(0, c.unitsKept)) << "into " << c.size << " units";
    }
}

}  // namespace
