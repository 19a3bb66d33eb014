// The terminal user's drawing: dialogs laid out from their templates' dialog
// units, static texts wrapped as a static control wraps them, edit fields,
// buttons and their states, and dialogs taller than the terminal.
#include "terminal_draw.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const uint32_t VISIBLE_CHILD = 0x50000000;
const uint32_t GROUPBOX = 0x7;

TermControl Control(ControlKind kind, int id, uint32_t style, const std::u32string& text, short x, short y, short cx,
                    short cy)
{
    return {kind, id, VISIBLE_CHILD | style, text, x, y, cx, cy, true, true};
}

// The secure access dialog as its template lays it out.
TermDialog SecureAccess()
{
    TermDialog d{U"Secure Access", 259, 133, {}};
    d.controls = {
        Control(KIND_GROUP, -1, GROUPBOX, U"Secure Access", 7, 10, 245, 81),
        Control(KIND_STATIC, -1, 0x20200, U"UserID", 11, 29, 63, 14),
        Control(KIND_STATIC, -1, 0x20200, U"Password", 11, 49, 63, 14),
        Control(KIND_EDIT, 1112, 0x810080, U"alice", 80, 29, 89, 14),
        Control(KIND_EDIT, 1113, 0x8100A0, U"s3cret", 80, 49, 89, 14),
        Control(KIND_STATIC, 1115, 0x20200, U"Required", 183, 29, 57, 14),
        Control(KIND_BUTTON, 1108, STYLE_TABSTOP, U"IP Address...", 20, 103, 50, 14),
        Control(KIND_BUTTON, 1, STYLE_TABSTOP, U"OK", 123, 103, 50, 14),
        Control(KIND_BUTTON, 2, STYLE_TABSTOP, U"Cancel", 188, 103, 50, 14),
    };
    d.controls[6].visible = false;
    return d;
}

// The validation error dialog with an administrator's message.
TermDialog ValidationError(const std::u32string& message)
{
    TermDialog d{U"Validation Error", 231, 225, {}};
    d.controls = {
        Control(KIND_GROUP, -1, GROUPBOX, U"Invalid Information", 7, 8, 216, 50),
        Control(KIND_GROUP, -1, GROUPBOX, U"Administrator's Message", 7, 63, 216, 57),
        Control(KIND_GROUP, -1, GROUPBOX, U"Administrator's Email", 7, 125, 216, 57),
        Control(KIND_STATIC, 1103, 0x20000, U"Password\nAccount Number", 15, 21, 201, 26),
        Control(KIND_STATIC, 1104, 0x20000, message, 15, 76, 201, 37),
        Control(KIND_STATIC, 1105, 0x20000, U"admin@example.com", 15, 138, 201, 37),
        Control(KIND_BUTTON, 1, STYLE_TABSTOP, U"OK", 91, 193, 50, 14),
    };
    return d;
}

std::vector<std::string> Rows(const Picture& p)
{
    std::vector<std::string> rows;
    for (int r = 0; r < p.rows; r++) rows.push_back(PictureRow(p, r));
    return rows;
}

std::string Screen(const Picture& p)
{
    std::string s;
    for (const std::string& row : Rows(p)) s += row + "\n";
    return s;
}

int RowWith(const Picture& p, const std::string& text)
{
    std::vector<std::string> rows = Rows(p);
    for (size_t i = 0; i < rows.size(); i++)
        if (rows[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
}

TEST(TerminalDraw, WrapsAtWordsLineFeedsAndTheWidth)
{
    EXPECT_EQ(WrapText(U"one two three four", 9), (std::vector<std::u32string>{U"one two", U"three", U"four"}));
    EXPECT_EQ(WrapText(U"exactly nine", 7), (std::vector<std::u32string>{U"exactly", U"nine"}));
    EXPECT_EQ(WrapText(U"first\r\nsecond\n\nfourth", 20),
              (std::vector<std::u32string>{U"first", U"second", U"", U"fourth"}));
    EXPECT_EQ(WrapText(U"abcdefghijkl mn", 5), (std::vector<std::u32string>{U"abcde", U"fghij", U"kl mn"}));
    EXPECT_EQ(WrapText(U"a    b", 3), (std::vector<std::u32string>{U"a", U"b"}));
    EXPECT_EQ(WrapText(U"x", 0), std::vector<std::u32string>());
}

TEST(TerminalDraw, ALongStaticTextWrapsWithinItsControl)
{
    std::u32string message = U"Please ask the print room for a new password; passwords change every month and the old "
                             U"one stops working on the first day of the month.";
    Picture p = DrawDialog(ValidationError(message), 6, 100, 40);
    std::string screen = Screen(p);
    int first = RowWith(p, "Please ask"), frame = RowWith(p, "+= Validation Error");
    ASSERT_GE(first, 0) << screen;
    // The control spans columns 4 to 53 of the dialog's client area, one in
    // from the frame's left edge.
    size_t left = PictureRow(p, frame).find('+') + 1 + 4;
    std::string words;
    for (int r = first; r < first + 4; r++) {
        std::string row = PictureRow(p, r);
        std::string inside = row.substr(left, 50);
        EXPECT_EQ(row.substr(left - 2, 2), "| ") << "row " << r << " starts outside the control:\n" << screen;
        EXPECT_EQ(row.substr(left + 50, 2), " |") << "row " << r << " passes the control's width:\n" << screen;
        inside.erase(inside.find_last_not_of(' ') + 1);
        if (!inside.empty()) words += (words.empty() ? "" : " ") + inside;
    }
    EXPECT_EQ(words, ToUtf8(message)) << screen;
    // Each line feed starts a line; the control's rows are those of its template.
    int rejected = RowWith(p, "| Password");
    EXPECT_EQ(PictureRow(p, rejected + 1).find("| Account Number"), PictureRow(p, rejected).find("| Password")) << screen;
    EXPECT_GT(RowWith(p, "Administrator's Message"), RowWith(p, "Account Number")) << screen;
}

TEST(TerminalDraw, FieldsButtonsAndTheirStates)
{
    TermDialog d = SecureAccess();
    d.controls[7].enabled = false;  // OK, as in the locked layout
    Picture p = DrawDialog(d, 4, 100, 40);  // the password field has the focus
    std::string screen = Screen(p);
    EXPECT_EQ(screen.find("s3cret"), std::string::npos) << screen;
    EXPECT_NE(screen.find(">******              <"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[alice               ]"), std::string::npos) << screen;
    EXPECT_NE(screen.find("(    OK    )"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[  Cancel   ]"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("IP Address..."), std::string::npos) << screen;
    EXPECT_NE(screen.find("+- Secure Access -"), std::string::npos) << screen;
    // The caret follows the focused field's text.
    int row = RowWith(p, ">******");
    EXPECT_EQ(p.caretRow, row);
    EXPECT_EQ(p.caretCol, static_cast<int>(PictureRow(p, row).find(">******")) + 7);
    // Labels, fields and the Required label on the template's rows and columns.
    EXPECT_EQ(RowWith(p, "UserID"), RowWith(p, "[alice"));
    EXPECT_EQ(RowWith(p, "UserID"), RowWith(p, "Required"));
    EXPECT_EQ(PictureRow(p, RowWith(p, "UserID")).find("UserID") + 17, PictureRow(p, RowWith(p, "UserID")).find("[alice"));
}

TEST(TerminalDraw, TabVisitsVisibleEnabledTabStopsInTemplateOrder)
{
    TermDialog d = SecureAccess();
    d.controls[3].style |= STYLE_TABSTOP;
    d.controls[4].style |= STYLE_TABSTOP;
    EXPECT_EQ(TabOrder(d), (std::vector<int>{3, 4, 7, 8}));
    d.controls[3].visible = false;
    d.controls[7].enabled = false;
    EXPECT_EQ(TabOrder(d), (std::vector<int>{4, 8}));
}

TEST(TerminalDraw, ATallDialogLosesBlankRowsNotItsControls)
{
    TermDialog d = ValidationError(U"Call the print room.");
    Picture tall = DrawDialog(d, 6, 80, 40), short24 = DrawDialog(d, 6, 80, 24);
    std::string screen = Screen(short24);
    EXPECT_EQ(RowWith(tall, "+= Validation Error") + 30, RowWith(tall, "Tab/Shift-Tab"));  // 28 rows inside
    for (const char* text : {"+= Validation Error", "Invalid Information", "| Password", "Account Number",
                             "Administrator's Message", "Call the print room.", "Administrator's Email",
                             "admin@example.com", ">    OK    <", "Tab/Shift-Tab"})
        EXPECT_GE(RowWith(short24, text), 0) << text << " is missing:\n" << screen;
    EXPECT_LT(RowWith(short24, "Invalid Information"), RowWith(short24, "Administrator's Message"));
    EXPECT_LT(RowWith(short24, "Administrator's Message"), RowWith(short24, "Administrator's Email"));
    EXPECT_LT(RowWith(short24, "admin@example.com"), RowWith(short24, ">    OK    <"));
    EXPECT_EQ(screen.find("Enlarge"), std::string::npos) << screen;
    // Still too small: what is left is drawn, and the person is told.
    EXPECT_NE(Screen(DrawDialog(d, 6, 50, 12)).find("Enlarge the terminal to 60x"), std::string::npos);
}

TEST(TerminalDraw, ServerTextCannotSteerTheTerminal)
{
    Picture p = DrawDialog(ValidationError(U"\x1b[2Jcleared\x07"), 6, 100, 40);
    for (const Cell& c : p.cells) EXPECT_TRUE(c.ch >= 0x20 && (c.ch < 0x7F || c.ch >= 0xA0)) << static_cast<int>(c.ch);
    EXPECT_GE(RowWith(p, " [2Jcleared "), 0) << Screen(p);
}

TEST(TerminalDraw, MessageBoxShowsCaptionTextAndOK)
{
    Picture p = DrawMessage(U"Secure Access", U"The Server IP Address cannot be connected to or is invalid. Please try again.",
                            80, 24);
    std::string screen = Screen(p);
    EXPECT_GE(RowWith(p, "+= Secure Access ="), 0) << screen;
    int first = RowWith(p, "| The Server IP Address cannot be connected to or is invalid. |");
    EXPECT_GE(first, 0) << screen;
    EXPECT_EQ(RowWith(p, "| Please try again."), first + 1) << screen;
    EXPECT_EQ(RowWith(p, ">   OK   <"), first + 3) << screen;
    EXPECT_EQ(p.caretRow, -1);
}

TEST(TerminalDraw, Utf16InUtf8Out)
{
    std::u32string text = FromUtf16(u"Gr\u00fc\u00dfe \U0001F5A8 \xD800x");
    EXPECT_EQ(ToUtf8(text), "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x96\xA8 \xEF\xBF\xBDx");
}

}  // namespace
