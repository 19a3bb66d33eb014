// How the terminal user draws a dialog or a message box: from what the window
// manager holds (the template's rectangles in dialog units, styles, texts) to
// a screen of character cells. Four dialog units make a column and eight a
// row, the dialog font's average character. Nothing here touches a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum ControlKind { KIND_GROUP, KIND_BUTTON, KIND_EDIT, KIND_STATIC, KIND_OTHER };

// Styles the drawing reads, as the platform numbers them.
const uint32_t STYLE_TABSTOP = 0x00010000;
const uint32_t STYLE_PASSWORD = 0x0020;      // an edit field's ES_PASSWORD
const uint32_t STYLE_CENTER = 0x0001;        // a static's SS_CENTER
const uint32_t STYLE_RIGHT = 0x0002;         // SS_RIGHT
const uint32_t STYLE_NOPREFIX = 0x0080;      // SS_NOPREFIX
const uint32_t STYLE_CENTERIMAGE = 0x0200;   // SS_CENTERIMAGE: one line, centred vertically

struct TermControl {
    ControlKind kind;
    int id;
    uint32_t style;
    std::u32string text;
    short x, y, cx, cy;  // dialog units
    bool visible, enabled;
};

struct TermDialog {
    std::u32string caption;
    short cx, cy;  // the client area, dialog units
    std::vector<TermControl> controls;  // template order
};

enum CellLook : unsigned char {
    LOOK_SCREEN,    // around the window
    LOOK_WINDOW,    // the window's face
    LOOK_TITLE,     // the title bar
    LOOK_FIELD,     // inside an edit field
    LOOK_FOCUS,     // the control with the focus
    LOOK_DISABLED,  // a disabled control
};

struct Cell {
    char32_t ch;
    CellLook look;
};

// A whole screen. Where a colour would say it, the characters say it too:
// edit fields [ ], buttons [ ], the focused control > <, a disabled one ( ).
struct Picture {
    int cols = 0, rows = 0;
    std::vector<Cell> cells;  // rows * cols
    int caretRow = -1, caretCol = -1;  // the text cursor; -1: hidden
};

// A static control's text broken into lines as the control breaks it: at
// line feeds, and between words where a line would pass the width (a word
// longer than the width is cut at the width).
std::vector<std::u32string> WrapText(const std::u32string& text, int width);

// The controls Tab visits, in template order: tab stops, visible and enabled.
std::vector<int> TabOrder(const TermDialog& dialog);

// The dialog centred on a screen of cols x rows with a line of keys below it.
// `focus` is an index into dialog.controls (-1: none). A dialog taller than
// the screen loses blank rows, the longest runs of them first.
Picture DrawDialog(const TermDialog& dialog, int focus, int cols, int rows);

// A message box: caption, text and its OK button.
Picture DrawMessage(const std::u32string& caption, const std::u32string& text, int cols, int rows);

// One row of a picture as UTF-8, trailing blanks left out.
std::string PictureRow(const Picture& picture, int row);

std::u32string FromUtf16(const std::u16string& text);
std::string ToUtf8(const std::u32string& text);
