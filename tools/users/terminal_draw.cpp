#include "terminal_draw.h"

#include <algorithm>

namespace {

const char32_t REPLACEMENT = 0xFFFD;
const int OK_WIDTH = 10;
const std::u32string DIALOG_KEYS = U"Tab/Shift-Tab: move  Space: press  Enter: OK  Esc: Cancel";
const std::u32string MESSAGE_KEYS = U"Enter: OK";

int Col(int du) { return (du + 2) / 4; }
int Row(int du) { return (du + 4) / 8; }
int MidRow(const TermControl& c) { return (c.y + c.cy / 2) / 8; }
int Width(const TermControl& c) { return Col(c.x + c.cx) - Col(c.x); }

Picture Blank(int cols, int rows, CellLook look)
{
    Picture p;
    p.cols = std::max(cols, 0);
    p.rows = std::max(rows, 0);
    p.cells.assign(static_cast<size_t>(p.cols) * static_cast<size_t>(p.rows), Cell{U' ', look});
    return p;
}

// Control characters (an escape sequence in a server's text among them)
// never reach the terminal.
void Put(Picture& p, int row, int col, char32_t ch, CellLook look)
{
    if (row < 0 || col < 0 || row >= p.rows || col >= p.cols) return;
    if (ch < 0x20 || (ch >= 0x7F && ch < 0xA0)) ch = U' ';
    p.cells[static_cast<size_t>(row) * static_cast<size_t>(p.cols) + static_cast<size_t>(col)] = Cell{ch, look};
}

void PutText(Picture& p, int row, int col, const std::u32string& text, CellLook look, int width)
{
    for (int i = 0; i < width && i < static_cast<int>(text.size()); i++) Put(p, row, col + i, text[static_cast<size_t>(i)], look);
}

// "&&" shows as "&"; another '&' marks the next character as the control's
// mnemonic and is not shown.
std::u32string WithoutPrefixes(const std::u32string& text)
{
    std::u32string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == U'&') {
            if (++i == text.size()) break;
        }
        out += text[i];
    }
    return out;
}

std::u32string OneLine(std::u32string text)
{
    text.erase(std::remove(text.begin(), text.end(), U'\r'), text.end());
    std::replace(text.begin(), text.end(), U'\n', U' ');
    return text;
}

std::u32string Centred(const std::u32string& text, int width)
{
    int pad = std::max(0, (width - static_cast<int>(text.size())) / 2);
    return std::u32string(static_cast<size_t>(pad), U' ') + text;
}

// What lies between the brackets of a button or an edit field.
void DrawBracketed(Picture& p, int row, int left, int width, const std::u32string& inside, CellLook insideLook,
                   bool focused, bool enabled)
{
    if (width < 2) return;
    CellLook edge = focused ? LOOK_FOCUS : enabled ? LOOK_WINDOW : LOOK_DISABLED;
    Put(p, row, left, focused ? U'>' : enabled ? U'[' : U'(', edge);
    Put(p, row, left + width - 1, focused ? U'<' : enabled ? U']' : U')', edge);
    for (int i = 0; i < width - 2; i++)
        Put(p, row, left + 1 + i, i < static_cast<int>(inside.size()) ? inside[static_cast<size_t>(i)] : U' ', insideLook);
}

void DrawGroup(Picture& p, const TermControl& c)
{
    int top = Row(c.y), bottom = std::max(top + 1, Row(c.y + c.cy));
    int left = Col(c.x), right = std::max(left + 1, Col(c.x + c.cx) - 1);
    CellLook look = c.enabled ? LOOK_WINDOW : LOOK_DISABLED;
    for (int col = left; col <= right; col++) {
        char32_t edge = col == left || col == right ? U'+' : U'-';
        Put(p, top, col, edge, look);
        Put(p, bottom, col, edge, look);
    }
    for (int row = top + 1; row < bottom; row++) {
        Put(p, row, left, U'|', look);
        Put(p, row, right, U'|', look);
    }
    std::u32string caption = OneLine(WithoutPrefixes(c.text));
    if (!caption.empty()) PutText(p, top, left + 2, U" " + caption + U" ", look, right - left - 3);
}

void DrawButton(Picture& p, const TermControl& c, bool focused)
{
    int width = Width(c);
    CellLook look = focused ? LOOK_FOCUS : c.enabled ? LOOK_WINDOW : LOOK_DISABLED;
    DrawBracketed(p, MidRow(c), Col(c.x), width, Centred(OneLine(WithoutPrefixes(c.text)), width - 2), look, focused,
                  c.enabled);
}

// A focused field shows the end of its text with the caret after it, as a
// field that scrolls with the caret does.
void DrawEdit(Picture& p, const TermControl& c, bool focused)
{
    int width = Width(c), room = width - 2, row = MidRow(c), left = Col(c.x);
    std::u32string text = OneLine(c.text);
    if (c.style & STYLE_PASSWORD) text.assign(text.size(), U'*');
    if (focused && room > 0 && static_cast<int>(text.size()) >= room)
        text.erase(0, text.size() - static_cast<size_t>(room - 1));
    DrawBracketed(p, row, left, width, text, c.enabled ? LOOK_FIELD : LOOK_DISABLED, focused, c.enabled);
    if (focused && room > 0) {
        p.caretRow = row;
        p.caretCol = left + 1 + static_cast<int>(text.size());
    }
}

void DrawStatic(Picture& p, const TermControl& c)
{
    std::u32string text = c.style & STYLE_NOPREFIX ? c.text : WithoutPrefixes(c.text);
    int left = Col(c.x), width = Width(c), top = Row(c.y);
    std::vector<std::u32string> lines;
    if (c.style & STYLE_CENTERIMAGE) {
        lines.push_back(OneLine(text));
        top = MidRow(c);
    } else {
        lines = WrapText(text, width);
        lines.resize(std::min(lines.size(), static_cast<size_t>(std::max(1, Row(c.y + c.cy) - top))));
    }
    uint32_t align = c.style & 0x1F;
    for (size_t i = 0; i < lines.size(); i++) {
        int spare = std::max(0, width - static_cast<int>(lines[i].size()));
        int offset = align == STYLE_CENTER ? spare / 2 : align == STYLE_RIGHT ? spare : 0;
        PutText(p, top + static_cast<int>(i), left + offset, lines[i], c.enabled ? LOOK_WINDOW : LOOK_DISABLED,
                width - offset);
    }
}

void DrawControl(Picture& p, const TermControl& c, bool focused)
{
    switch (c.kind) {
    case KIND_GROUP: return DrawGroup(p, c);
    case KIND_BUTTON: return DrawButton(p, c, focused);
    case KIND_EDIT: return DrawEdit(p, c, focused);
    case KIND_STATIC: return DrawStatic(p, c);
    case KIND_OTHER: return PutText(p, MidRow(c), Col(c.x), OneLine(c.text), LOOK_WINDOW, Width(c));
    }
}

bool BlankRow(const Picture& p, int row)
{
    if (row == p.caretRow) return false;
    for (int col = 0; col < p.cols; col++) {
        char32_t ch = p.cells[static_cast<size_t>(row) * static_cast<size_t>(p.cols) + static_cast<size_t>(col)].ch;
        if (ch != U' ' && ch != U'|') return false;
    }
    return true;
}

void EraseRow(Picture& p, int row)
{
    auto at = p.cells.begin() + static_cast<long>(row) * p.cols;
    p.cells.erase(at, at + p.cols);
    p.rows--;
    if (p.caretRow > row) p.caretRow--;
}

// Leaves out blank rows (nothing but the sides of group boxes), one from the
// longest run at a time, the lowest run among equals, until `rows` are left.
void Squeeze(Picture& p, int rows)
{
    while (p.rows > rows) {
        int best = -1, bestLength = 0;
        for (int row = 0; row < p.rows;) {
            if (!BlankRow(p, row)) {
                row++;
                continue;
            }
            int start = row;
            while (row < p.rows && BlankRow(p, row)) row++;
            if (row - start >= bestLength) best = start, bestLength = row - start;
        }
        if (bestLength == 0) return;
        EraseRow(p, best + bestLength - 1);
    }
}

// The window with its frame and title bar, centred, and its keys below it.
Picture Frame(const Picture& client, const std::u32string& caption, const std::u32string& keys, int cols, int rows)
{
    Picture screen = Blank(cols, rows, LOOK_SCREEN);
    int width = client.cols + 2, height = client.rows + 2;
    int left = std::max(0, (cols - width) / 2), top = std::max(0, (rows - height - 1) / 2);
    for (int col = 0; col < width; col++) {
        bool corner = col == 0 || col == width - 1;
        Put(screen, top, left + col, corner ? U'+' : U'=', LOOK_TITLE);
        Put(screen, top + height - 1, left + col, corner ? U'+' : U'-', LOOK_WINDOW);
    }
    PutText(screen, top, left + 2, U" " + OneLine(caption) + U" ", LOOK_TITLE, width - 4);
    for (int row = 0; row < client.rows; row++) {
        Put(screen, top + 1 + row, left, U'|', LOOK_WINDOW);
        Put(screen, top + 1 + row, left + width - 1, U'|', LOOK_WINDOW);
        for (int col = 0; col < client.cols; col++) {
            const Cell& c = client.cells[static_cast<size_t>(row) * static_cast<size_t>(client.cols) + static_cast<size_t>(col)];
            Put(screen, top + 1 + row, left + 1 + col, c.ch, c.look);
        }
    }
    PutText(screen, top + height, left, keys, LOOK_SCREEN, cols - left);
    if (width > cols || height + 1 > rows) {
        std::string need = "Enlarge the terminal to " + std::to_string(width) + "x" + std::to_string(height + 1);
        PutText(screen, rows - 1, 0, std::u32string(need.begin(), need.end()) + std::u32string(static_cast<size_t>(cols), U' '),
                LOOK_SCREEN, cols);
    }
    int caretRow = top + 1 + client.caretRow, caretCol = left + 1 + client.caretCol;
    if (client.caretRow >= 0 && caretRow < rows && caretCol < cols) screen.caretRow = caretRow, screen.caretCol = caretCol;
    return screen;
}

}  // namespace

std::vector<std::u32string> WrapText(const std::u32string& text, int width)
{
    std::vector<std::u32string> lines;
    if (width <= 0) return lines;
    std::u32string clean;
    for (char32_t ch : text)
        if (ch != U'\r') clean += ch == U'\t' ? U' ' : ch;
    size_t w = static_cast<size_t>(width);
    for (size_t start = 0;;) {
        size_t end = clean.find(U'\n', start);
        std::u32string par = clean.substr(start, end == std::u32string::npos ? std::u32string::npos : end - start);
        size_t i = 0;
        do {
            if (par.size() - i <= w) {
                lines.push_back(par.substr(i));
                break;
            }
            size_t cut = par.rfind(U' ', i + w);
            if (cut == std::u32string::npos || cut <= i || par.find_first_not_of(U' ', i) >= cut) {
                lines.push_back(par.substr(i, w));
                i += w;
            } else {
                size_t last = par.find_last_not_of(U' ', cut);
                lines.push_back(par.substr(i, last + 1 - i));
                i = cut;
            }
            while (i < par.size() && par[i] == U' ') i++;
        } while (i < par.size());
        if (end == std::u32string::npos) break;
        start = end + 1;
    }
    return lines;
}

std::vector<int> TabOrder(const TermDialog& dialog)
{
    std::vector<int> order;
    for (size_t i = 0; i < dialog.controls.size(); i++) {
        const TermControl& c = dialog.controls[i];
        if ((c.style & STYLE_TABSTOP) && c.visible && c.enabled && c.kind != KIND_GROUP)
            order.push_back(static_cast<int>(i));
    }
    return order;
}

Picture DrawDialog(const TermDialog& dialog, int focus, int cols, int rows)
{
    Picture client = Blank(std::max(1, Col(dialog.cx)), std::max(1, Row(dialog.cy)), LOOK_WINDOW);
    // Group boxes behind the controls they hold.
    for (int pass = 0; pass < 2; pass++) {
        for (size_t i = 0; i < dialog.controls.size(); i++) {
            const TermControl& c = dialog.controls[i];
            if (c.visible && (c.kind == KIND_GROUP) == (pass == 0)) DrawControl(client, c, static_cast<int>(i) == focus);
        }
    }
    Squeeze(client, rows - 3);
    return Frame(client, dialog.caption, DIALOG_KEYS, cols, rows);
}

Picture DrawMessage(const std::u32string& caption, const std::u32string& text, int cols, int rows)
{
    std::vector<std::u32string> lines = WrapText(text, std::max(10, std::min(60, cols - 6)));
    int inner = std::max(OK_WIDTH, static_cast<int>(caption.size()) + 2);
    for (const std::u32string& line : lines) inner = std::max(inner, static_cast<int>(line.size()));
    Picture client = Blank(inner + 2, static_cast<int>(lines.size()) + 4, LOOK_WINDOW);
    for (size_t i = 0; i < lines.size(); i++) PutText(client, 1 + static_cast<int>(i), 1, lines[i], LOOK_WINDOW, inner);
    DrawBracketed(client, client.rows - 2, (client.cols - OK_WIDTH) / 2, OK_WIDTH, Centred(U"OK", OK_WIDTH - 2), LOOK_FOCUS,
                  true, true);
    Squeeze(client, rows - 3);
    return Frame(client, caption, MESSAGE_KEYS, cols, rows);
}

std::string PictureRow(const Picture& picture, int row)
{
    std::u32string text;
    for (int col = 0; row >= 0 && row < picture.rows && col < picture.cols; col++)
        text += picture.cells[static_cast<size_t>(row) * static_cast<size_t>(picture.cols) + static_cast<size_t>(col)].ch;
    text.erase(text.find_last_not_of(U' ') + 1);
    return ToUtf8(text);
}

std::u32string FromUtf16(const std::u16string& text)
{
    std::u32string out;
    for (size_t i = 0; i < text.size(); i++) {
        char32_t u = text[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            out += 0x10000 + ((u - 0xD800) << 10) + (text[++i] - 0xDC00);
        else
            out += u >= 0xD800 && u < 0xE000 ? REPLACEMENT : u;
    }
    return out;
}

std::string ToUtf8(const std::u32string& text)
{
    std::string out;
    for (char32_t c : text) {
        if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) c = REPLACEMENT;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
