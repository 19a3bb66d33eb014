// The library's string table, read back from its compiled resources through
// the platform's LoadStringW.
#include "printer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Entry {
    UINT id;
    LPCWSTR text;
};

const Entry STRINGS[] = {
    {1, TEXT("Graphics")}, {2, TEXT("Photographic")}, {3, TEXT("Lightest (1.0)")}, {4, TEXT("Light (1.4)")},
    {5, TEXT("Normal (1.8)")}, {6, TEXT("Dark (2.2)")}, {7, TEXT("Darkest (2.6)")},
    {8, TEXT("More Yellow (D50 Proofing)")}, {9, TEXT("Normal (D65)")}, {10, TEXT("More Blue (9300)")},
    {11, TEXT("SWOP")}, {12, TEXT("Euroscale")}, {13, TEXT("Enhanced")}, {14, TEXT("Custom ")},
    {24, TEXT("Automatic")}, {25, TEXT("QuarkXPress (4 Style)")}, {26, TEXT("QuarkXPress (3 Style)")},
    {27, TEXT("PageMaker Style")}, {28, TEXT("FreeHand Style")}, {29, TEXT("Canvas Style")}, {30, TEXT("None")},
    {31, TEXT("Automatic Single Page")}, {61, TEXT("600")}, {62, TEXT("72")}, {63, TEXT("300")},
    {64, TEXT("Default Catch Tray")}, {65, TEXT("Mailbox Bin 1")}, {66, TEXT("Mailbox Bin 2")},
    {67, TEXT("Mailbox Bin 3")}, {68, TEXT("Mailbox Bin 4")}, {69, TEXT("Mailbox Bin 5")}, {70, TEXT("Mailbox Bin 6")},
    {71, TEXT("Mailbox Bin 7")}, {72, TEXT("Mailbox Bin 8")}, {73, TEXT("Mailbox Bin 9")},
    {74, TEXT("Mailbox Bin 10")}, {75, TEXT("Save Image File")}, {76, TEXT("Delete Image File")},
    {77, TEXT("Delete Job")}, {78, TEXT("No Duplex")}, {79, TEXT("Long Edge Binding")},
    {80, TEXT("Short Edge Binding")}, {81, TEXT("Front Corner")}, {82, TEXT("Rear Corner")},
    {83, TEXT("Both Corners")}, {84, TEXT("None")}, {85, TEXT("One Corner, Portrait")},
    {86, TEXT("One Corner, Landscape")}, {87, TEXT("Dual, Portrait")}, {88, TEXT("Dual, Landscape")},
    {89, TEXT("Tabloid")}, {90, TEXT("A3")}, {91, TEXT("12x18")}, {92, TEXT("SRA3")}, {93, TEXT("Letter")},
    {94, TEXT("A4")}, {95, TEXT("All")}, {96, TEXT("Saddle Stitch")}, {97, TEXT("Perfect Bound")},
    {98, TEXT("Step and Repeat")}, {99, TEXT("2-up")}, {100, TEXT("Presentation")},
    {101, TEXT("Account Number")}, {102, TEXT("Password")}, {103, TEXT("Password\nAccount Number")},
    {104, TEXT("UserID")}, {105, TEXT("UserID\nAccount Number")}, {106, TEXT("Optional")}, {107, TEXT("Required")},
    {108, TEXT("Secure Access")}, {109, TEXT("The Server IP Address is missing or invalid.")},
    {110, TEXT("The server has quit unexpectedly.  Try printing again later.")},
    {111, TEXT("An unexpected error has occurred.  Please try again later.")},
    {112, TEXT("Please enter the Server IP address to enable the Secure Access feature that is required with this "
               "version of the printer driver.")},
    {113, TEXT("The Server IP Address cannot be connected to or is invalid. Please try again.")},
    {114, TEXT("A connection could not be established with the Server to validate the Secure Access information. "
               "Please select the 'Info' tab from the printers properties dialog to verify or change the Server IP "
               "address. Printing has been canceled.")},
    {115, TEXT("** Please select the 'Info' tab from the printers properties dialog to correct the invalid "
               "information. Printing has been canceled.")},
    {116, TEXT("The passwords you have entered\ndo not match. Please reenter the\npasswords.")},
    {117, TEXT("Password Mismatch")}, {118, TEXT("Paper Simulation")}, {119, TEXT("Spot")}, {120, TEXT("Enable...")},
    {121, TEXT("Disable")}};

const WCHAR SENTINEL = 0x2A2A;

class StringTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lib_ = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
        ASSERT_NE(lib_, nullptr) << GetLastError();
    }
    void TearDown() override
    {
        if (lib_) FreeLibrary(lib_);
    }
    // Loads id into a buffer of exactly `size` units followed by a sentinel.
    WString Load(UINT id, int size, int* result)
    {
        std::vector<WCHAR> buf(static_cast<size_t>(size) + 1, SENTINEL);
        *result = LoadStringW(lib_, id, buf.data(), size);
        EXPECT_EQ(buf[static_cast<size_t>(size)], SENTINEL) << "wrote past a buffer of " << size;
        return buf[0] == SENTINEL ? WString(TEXT("(untouched)")) : WString(buf.data());
    }
    HMODULE lib_ = nullptr;
};

TEST_F(StringTableTest, EveryEntryHasItsExactText)
{
    for (const Entry& e : STRINGS) {
        int n = 0;
        WString text = Load(e.id, 512, &n);
        EXPECT_EQ(text, WString(e.text)) << "string " << e.id;
        EXPECT_EQ(static_cast<size_t>(n), text.size()) << "string " << e.id;
    }
}

TEST_F(StringTableTest, LineFeedsAreRealLineFeeds)
{
    int n = 0;
    for (UINT id : {103u, 105u, 116u}) {
        WString text = Load(id, 256, &n);
        EXPECT_NE(text.find(WCHAR('\n')), WString::npos) << id;
        EXPECT_EQ(text.find(TEXT("\\n")), WString::npos) << id;
    }
}

// Ids without an entry: in a block that has other entries the buffer gets an
// empty string; a block without any entry leaves the buffer as it was.
TEST_F(StringTableTest, AbsentIdsHaveNoEntry)
{
    int n = 1;
    for (UINT id : {0u, 15u, 16u, 23u, 48u, 60u, 122u, 127u}) {
        EXPECT_EQ(Load(id, 16, &n), WString()) << id;
        EXPECT_EQ(n, 0) << id;
    }
    for (UINT id : {32u, 40u, 47u, 128u, 1000u}) {
        EXPECT_EQ(Load(id, 16, &n), WString(TEXT("(untouched)"))) << id;
        EXPECT_EQ(n, 0) << id;
    }
}

TEST_F(StringTableTest, CopiesAtMostTheBufferLessOne)
{
    struct Case { int size, copied; };
    for (Case c : {Case{10, 8}, Case{9, 8}, Case{8, 7}, Case{2, 1}}) {
        int n = -1;
        WString text = Load(106, c.size, &n);
        EXPECT_EQ(n, c.copied) << "buffer of " << c.size;
        EXPECT_EQ(text, WString(TEXT("Optional")).substr(0, static_cast<size_t>(c.copied))) << "buffer of " << c.size;
    }
    // No room for a character: the buffer is left alone.
    int n = -1;
    EXPECT_EQ(Load(106, 1, &n), WString(TEXT("(untouched)")));
    EXPECT_EQ(n, 0);
}

}  // namespace
