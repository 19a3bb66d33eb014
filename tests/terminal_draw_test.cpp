// The terminal user's drawing: whole screens (characters, looks, caret) and wrapped texts, as golden ones.
#include "terminal_draw.h"

#define UMPD_GOLDEN_DIR ""  // the golden file is named by its whole path
#include "transcript.h"

#include <gtest/gtest.h>

namespace {

// The secure access dialog as its template lays it out (IP Address... hidden).
TermDialog SecureAccess(const std::u32string& user)
{
    return {U"Secure Access", 259, 133, {
        {KIND_GROUP, -1, 0x7, U"Secure Access", 7, 10, 245, 81, true, true},
        {KIND_STATIC, -1, 0x20200, U"UserID", 11, 29, 63, 14, true, true},
        {KIND_STATIC, -1, 0x20200, U"Password", 11, 49, 63, 14, true, true},
        {KIND_EDIT, 1112, STYLE_TABSTOP | 0x810080, user, 80, 29, 89, 14, true, true},
        {KIND_EDIT, 1113, STYLE_TABSTOP | 0x8100A0, U"s3cret", 80, 49, 89, 14, true, true},
        {KIND_STATIC, 1115, 0x20200, U"Required", 183, 29, 57, 14, true, true},
        {KIND_BUTTON, 1108, STYLE_TABSTOP, U"IP Address...", 20, 103, 50, 14, false, true},
        {KIND_BUTTON, 1, STYLE_TABSTOP, U"OK", 123, 103, 50, 14, true, true},
        {KIND_BUTTON, 2, STYLE_TABSTOP, U"Cancel", 188, 103, 50, 14, true, true},
    }};
}

// The address from the server (UTF-16): escape and bell kept off the terminal, a non-BMP character, a lone surrogate.
TermDialog ValidationError()
{
    return {U"Validation Error", 231, 225, {
        {KIND_GROUP, -1, 0x7, U"Invalid Information", 7, 8, 216, 50, true, true},
        {KIND_GROUP, -1, 0x7, U"Administrator's Message", 7, 63, 216, 57, true, true},
        {KIND_GROUP, -1, 0x7, U"Administrator's Email", 7, 125, 216, 57, true, true},
        {KIND_STATIC, 1103, 0x20000, U"Password\nAccount Number", 15, 21, 201, 26, true, true},
        {KIND_STATIC, 1104, 0x20000,
         U"Please ask the print room for a new password; passwords change every month and the old one stops "
         U"working on the first day of the month.", 15, 76, 201, 37, true, true},
        {KIND_STATIC, 1105, 0x20000,
         FromUtf16(u"\x1b[2Jadmin@example.com\x07 Gr\u00fc\u00dfe \U0001F5A8 \xD800x"), 15, 138, 201, 37, true, true},
        {KIND_BUTTON, 1, STYLE_TABSTOP, U"OK", 91, 193, 50, 14, true, true},
    }};
}

// A picture as text: its rows, then each cell's look as a letter, then the caret.
std::string Screen(const std::string& what, const Picture& p)
{
    const char looks[] = " .T_>D";  // screen, window, title, field, focus, disabled
    std::string s = "== " + what + "\n";
    for (int r = 0; r < p.rows; r++) s += PictureRow(p, r) + "\n";
    for (int r = 0; r < p.rows; r++) {
        std::string row;
        for (int c = 0; c < p.cols; c++) row += looks[p.cells[static_cast<size_t>(r * p.cols + c)].look];
        s += row.erase(row.find_last_not_of(' ') + 1) + "\n";
    }
    return s + "caret " + std::to_string(p.caretRow) + "," + std::to_string(p.caretCol) + "\n";
}

TEST(TerminalDraw, WrappingAndScreensMatchTheGoldenOnes)
{
    TermDialog locked = SecureAccess(U"alice"), typing = SecureAccess(U"a-user-id-of-24-letters!");
    locked.controls[7].enabled = false;  // OK, as in the locked layout
    // As a static control breaks them: at line feeds, between words at the width; a longer word is cut.
    std::string screens = "== wrapped: width: line\n";
    for (const auto& [text, width] : std::vector<std::pair<std::u32string, int>>{
             {U"one two three four", 9}, {U"exactly nine", 7}, {U"first\r\nsecond\n\nfourth", 20},
             {U"abcdefghijkl mn", 5}, {U"a    b", 3}, {U"x", 0}})
        for (const std::u32string& line : WrapText(text, width))
            screens += std::to_string(width) + ": " + ToUtf8(line) + "\n";
    screens +=
        Screen("secure access, password focused, OK disabled, 100x40", DrawDialog(locked, 4, 100, 40)) +
        Screen("secure access, a user ID wider than its field focused, 80x24", DrawDialog(typing, 3, 80, 24)) +
        Screen("validation error, 100x40", DrawDialog(ValidationError(), 6, 100, 40)) +
        Screen("validation error, 80x24: blank rows left out", DrawDialog(ValidationError(), 6, 80, 24)) +
        Screen("validation error, 50x12: too small", DrawDialog(ValidationError(), 6, 50, 12)) +
        Screen("message box, 80x24",
               DrawMessage(U"Secure Access",
                           U"The Server IP Address cannot be connected to or is invalid. Please try again.", 80, 24));
    ExpectGolden(TERMINAL_DRAW_GOLDEN, screens);
}

}  // namespace
