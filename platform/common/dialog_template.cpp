#include "dialog_template.h"

#include <cstring>

namespace {

const DWORD DS_SETFONT_STYLE = 0x40;

// Reads the template's fields in order, never past its end.
struct Reader {
    const BYTE* p;
    const BYTE* end;
    bool ok;

    WORD Word()
    {
        WORD v = 0;
        if (end - p < 2) ok = false;
        else memcpy(&v, p, 2), p += 2;
        return v;
    }
    DWORD Dword() { return Word() | static_cast<DWORD>(Word()) << 16; }
    short Short() { return static_cast<short>(Word()); }
    TemplateText Text()
    {
        TemplateText t;
        for (WORD c; ok && (c = Word()) != 0;) t += static_cast<WCHAR>(c);
        return t;
    }
    // A string, or 0xFFFF and an ordinal (returned as its number in *ordinal).
    TemplateText TextOrOrdinal(WORD* ordinal)
    {
        *ordinal = 0;
        if (end - p >= 2 && p[0] == 0xFF && p[1] == 0xFF) {
            Word();
            *ordinal = Word();
            return TemplateText();
        }
        return Text();
    }
    void AlignDword(const BYTE* base)
    {
        size_t off = static_cast<size_t>(p - base);
        p += (4 - off % 4) % 4;
        if (p > end) ok = false;
    }
};

TemplateText ClassOfAtom(WORD atom)
{
    const char* names[] = {"BUTTON", "EDIT", "STATIC", "LISTBOX", "SCROLLBAR", "COMBOBOX"};
    if (atom < 0x80 || atom > 0x85) return TemplateText();
    const char* n = names[atom - 0x80];
    return TemplateText(n, n + strlen(n));
}

}  // namespace

bool ParseDialogTemplate(const BYTE* data, size_t size, DialogTemplate* out)
{
    Reader r{data, data + size, true};
    if (size >= 4 && data[2] == 0xFF && data[3] == 0xFF) return false;  // DLGTEMPLATEEX
    out->style = r.Dword();
    out->exStyle = r.Dword();
    WORD count = r.Word();
    out->x = r.Short(), out->y = r.Short(), out->cx = r.Short(), out->cy = r.Short();
    WORD ordinal = 0;
    r.TextOrOrdinal(&ordinal);  // menu
    r.TextOrOrdinal(&ordinal);  // window class
    out->caption = r.Text();
    out->pointSize = 0;
    out->font.clear();
    if (out->style & DS_SETFONT_STYLE) {
        out->pointSize = r.Word();
        out->font = r.Text();
    }
    out->items.clear();
    for (WORD i = 0; i < count && r.ok; i++) {
        r.AlignDword(data);
        DialogItem item;
        item.style = r.Dword();
        item.exStyle = r.Dword();
        item.x = r.Short(), item.y = r.Short(), item.cx = r.Short(), item.cy = r.Short();
        item.id = r.Word();
        item.className = r.TextOrOrdinal(&ordinal);
        if (ordinal) item.className = ClassOfAtom(ordinal);
        item.text = r.TextOrOrdinal(&ordinal);
        WORD extra = r.Word();
        r.p += extra;
        if (r.p > r.end) r.ok = false;
        out->items.push_back(item);
    }
    return r.ok;
}

bool LoadDialogTemplate(HMODULE module, WORD id, DialogTemplate* out)
{
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG);
    HGLOBAL data = info ? LoadResource(module, info) : nullptr;
    const BYTE* bytes = data ? static_cast<const BYTE*>(LockResource(data)) : nullptr;
    return bytes && ParseDialogTemplate(bytes, SizeofResource(module, info), out);
}
