// The library's dialog templates, read back from its compiled resources.
#include "dialog_template.h"
#include "printer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const WORD NO_ID = 65535;

struct ItemRow {
    WORD id;
    const char* className;
    const char* text;
    DWORD style;
    short x, y, cx, cy;
};

struct DialogRow {
    WORD id;
    const char* caption;
    short cx, cy;
    std::vector<ItemRow> items;
};

const DialogRow DIALOGS[] = {
    {106, "Validation Error", 231, 225,
     {{NO_ID, "BUTTON", "Invalid Information", 0x50000007, 7, 8, 216, 50},
      {NO_ID, "BUTTON", "Administrator's Message", 0x50000007, 7, 63, 216, 57},
      {NO_ID, "BUTTON", "Administrator's Email", 0x50000007, 7, 125, 216, 57},
      {1103, "STATIC", "", 0x50020000, 15, 21, 201, 26},
      {1104, "STATIC", "", 0x50020000, 15, 76, 201, 37},
      {1105, "STATIC", "", 0x50020000, 15, 138, 201, 37},
      {1, "BUTTON", "OK", 0x50010000, 91, 193, 50, 14}}},
    {118, "IP Address", 145, 74,
     {{NO_ID, "BUTTON", "IP Address", 0x50000007, 8, 7, 128, 34},
      {1108, "EDIT", "", 0x50810080, 12, 19, 120, 14},
      {1, "BUTTON", "OK", 0x50010000, 13, 49, 50, 14},
      {2, "BUTTON", "Cancel", 0x50010000, 80, 49, 50, 14}}},
    {119, "Secure Access", 259, 133,
     {{NO_ID, "BUTTON", "Secure Access", 0x50000007, 7, 10, 245, 81},
      {1111, "STATIC", "", 0x48020000, 244, 97, 8, 8},
      {NO_ID, "STATIC", "UserID", 0x50020200, 11, 29, 63, 14},
      {NO_ID, "STATIC", "Password", 0x50020200, 11, 49, 63, 14},
      {NO_ID, "STATIC", "Account Number", 0x50020200, 11, 69, 63, 14},
      {1112, "EDIT", "", 0x50810080, 80, 29, 89, 14},
      {1113, "EDIT", "", 0x508100A0, 80, 49, 89, 14},
      {1114, "EDIT", "", 0x50810080, 80, 69, 89, 14},
      {1115, "STATIC", "", 0x50020200, 183, 29, 57, 14},
      {1116, "STATIC", "", 0x50020200, 183, 49, 57, 14},
      {1117, "STATIC", "", 0x50020200, 183, 69, 57, 14},
      {1108, "BUTTON", "IP Address...", 0x50010000, 20, 103, 50, 14},
      {1, "BUTTON", "OK", 0x50010000, 123, 103, 50, 14},
      {2, "BUTTON", "Cancel", 0x50010000, 188, 103, 50, 14},
      {1121, "STATIC", "", 0x48020000, 244, 115, 8, 8}}},
};

TEST(DialogTemplates, MatchTheirTables)
{
    HMODULE lib = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
    ASSERT_NE(lib, nullptr) << GetLastError();
    for (const DialogRow& d : DIALOGS) {
        DialogTemplate t;
        ASSERT_TRUE(LoadDialogTemplate(lib, d.id, &t)) << "template " << d.id;
        EXPECT_EQ(t.caption, Wide(d.caption)) << d.id;
        EXPECT_EQ(t.style, 0x00C00840u) << d.id;
        EXPECT_EQ(t.exStyle, 0u) << d.id;
        EXPECT_EQ(t.x, 0);
        EXPECT_EQ(t.y, 0);
        EXPECT_EQ(t.cx, d.cx) << d.id;
        EXPECT_EQ(t.cy, d.cy) << d.id;
        EXPECT_EQ(t.pointSize, 8) << d.id;
        EXPECT_EQ(t.font, Wide("MS Shell Dlg")) << d.id;
        ASSERT_EQ(t.items.size(), d.items.size()) << d.id;
        for (size_t i = 0; i < d.items.size(); i++) {
            const ItemRow& want = d.items[i];
            const DialogItem& got = t.items[i];
            EXPECT_EQ(got.id, want.id) << d.id << " item " << i + 1;
            EXPECT_EQ(got.className, Wide(want.className)) << d.id << " item " << i + 1;
            EXPECT_EQ(got.text, Wide(want.text)) << d.id << " item " << i + 1;
            EXPECT_EQ(got.style, want.style) << d.id << " item " << i + 1;
            EXPECT_EQ(got.exStyle, 0u) << d.id << " item " << i + 1;
            EXPECT_EQ(got.x, want.x) << d.id << " item " << i + 1;
            EXPECT_EQ(got.y, want.y) << d.id << " item " << i + 1;
            EXPECT_EQ(got.cx, want.cx) << d.id << " item " << i + 1;
            EXPECT_EQ(got.cy, want.cy) << d.id << " item " << i + 1;
        }
    }
    FreeLibrary(lib);
}

}  // namespace
