// Narrow/wide conversions in the ANSI code page, at their bounds.
#include "charconversions.h"
#include "codepage.h"
#include "printer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char SENTINEL = 'Z';

void Convert(char* out, size_t size, const WCHAR* in) { tchar2char(out, size, in); }
void Convert(WCHAR* out, size_t size, const char* in) { char2tchar(out, size, in); }

// Into exactly `size` units followed by a sentinel.
template <typename To, typename From>
std::basic_string<To> Into(const std::basic_string<From>& src, size_t size)
{
    std::vector<To> out(size + 1, SENTINEL);
    Convert(out.data(), size, src.c_str());
    EXPECT_EQ(out[size], To(SENTINEL)) << "wrote past a destination of " << size;
    return size ? std::basic_string<To>(out.data()) : std::basic_string<To>();
}
std::string ToNarrow(const WString& src, size_t size) { return Into<char>(src, size); }
WString ToWide(const std::string& src, size_t size) { return Into<WCHAR>(src, size); }

TEST(Conversions, CutToTheDestinationTerminatedAndSourceFieldsReadToTheirEndOnly)
{
    struct Case { size_t length, size, kept; };
    for (Case c : {Case{7, 9, 7}, Case{8, 9, 8}, Case{9, 9, 8}, Case{300, 9, 8}, Case{0, 1, 0}, Case{5, 1, 0},
                   Case{255, 256, 255}, Case{256, 256, 255}, Case{1000, 256, 255}}) {
        std::string text(c.length, 'a');
        EXPECT_EQ(ToNarrow(Wide(text), c.size), std::string(c.kept, 'a')) << c.length << " into " << c.size;
        EXPECT_EQ(ToWide(text, c.size), Wide(std::string(c.kept, 'a'))) << c.length << " into " << c.size;
    }
    // A field filled to its end without a terminator, then the next.
    const WCHAR wideFields[2][5] = {{'a', 'b', 'c', 'd', 'e'}, {'X', 'Y', 'Z', 0}};
    char narrow[16];
    tchar2char(narrow, wideFields[0]);
    EXPECT_STREQ(narrow, "abcde");
    const char narrowFields[2][3] = {{'a', 'b', 'c'}, {'X', 'Y', 0}};
    WCHAR wide[16];
    char2tchar(wide, narrowFields[0]);
    EXPECT_EQ(WString(wide), Wide("abc"));
}

TEST(CodePage, Windows1252IsOneBytePerCharacter)
{
    if (!SelectAnsiCodePage(1252)) GTEST_SKIP() << "ANSI code page is " << GetACP();
    const WString mueller = {'M', 0xFC, 'l', 'l', 'e', 'r'};
    EXPECT_EQ(ToNarrow(mueller, 7), "M\xFCller");
    EXPECT_EQ(ToWide("M\xFCller", 7), mueller);
    EXPECT_EQ(ToWide("\x80\x81", 3), (WString{0x20AC, 0x81}));  // euro sign; an unassigned byte keeps its value
    EXPECT_EQ(ToNarrow(WString{0x20AC, 0x4E2D}, 3), "\x80?");   // no such character: the default character
    RestoreAnsiCodePage();
}

struct Cut { size_t size, kept; };  // destination size, and how many units of the whole text fit it

struct MultiByteCase { UINT codePage; WString wide; std::string narrow; std::vector<Cut> narrowCuts, wideCuts; };

// UTF-8: a, e-acute, euro, an emoji (a surrogate pair); 932: a, hiragana A (two bytes), half-width katakana A, b.
const MultiByteCase MULTI_BYTE_CASES[] = {
    {CP_UTF8, {'a', 0xE9, 0x20AC, 0xD83D, 0xDE00}, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
     {{1, 0}, {2, 1}, {3, 1}, {4, 3}, {6, 3}, {7, 6}, {10, 6}, {11, 10}},
     {{1, 0}, {2, 1}, {4, 3}, {5, 3}, {6, 5}}},
    {932, {'a', 0x3042, 0xFF71, 'b'}, "a\x82\xA0\xB1" "b",
     {{1, 0}, {2, 1}, {3, 1}, {4, 3}, {5, 4}, {6, 5}},
     {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}}},
};

TEST(CodePage, MultiByteCharactersAreNeverSplit)
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
    RestoreAnsiCodePage();
    if (ran == 0) GTEST_SKIP() << "no multi-byte case for ANSI code page " << GetACP();
}

}  // namespace
