// The window manager, for modal dialogs: a dialog is built from its template
// (every control with class, id, text, style and rectangle; hidden and
// disabled as its style says), its procedure is called as the platform calls
// it, and the dialog is handed to whoever plays the user, who acts on it only
// as a person could (standin.h). No user: the dialog cannot be created.
#include <windows.h>
#include <standin.h>

#include "dialog_template.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

const size_t DEFAULT_EDIT_LIMIT = 30000;  // an edit field's limit before EM_LIMITTEXT
const size_t NO_LIMIT = 0x7FFFFFFE;       // what EM_LIMITTEXT 0 sets

struct Window {
    std::u16string cls, text;
    int id;
    DWORD style;
    short x, y, cx, cy;
    Window* parent;
    std::vector<Window*> children;
    DLGPROC proc;
    bool ended;
    INT_PTR result;
    size_t limit;
};

std::mutex gLock;
std::set<Window*> gWindows;
StandinDialogFn gUser = nullptr;
void* gUserContext = nullptr;

Window* Find(HWND h)
{
    std::lock_guard<std::mutex> lock(gLock);
    auto* w = reinterpret_cast<Window*>(h);
    return gWindows.count(w) ? w : nullptr;
}

HWND Handle(Window* w) { return reinterpret_cast<HWND>(w); }

Window* NewWindow(const std::u16string& cls, const std::u16string& text, int id, DWORD style, Window* parent)
{
    auto* w = new Window{cls, text, id, style, 0, 0, 0, 0, parent, {}, nullptr, false, 0, DEFAULT_EDIT_LIMIT};
    std::lock_guard<std::mutex> lock(gLock);
    gWindows.insert(w);
    if (parent) parent->children.push_back(w);
    return w;
}

void Destroy(Window* w)
{
    for (Window* c : w->children) Destroy(c);
    std::lock_guard<std::mutex> lock(gLock);
    gWindows.erase(w);
    delete w;
}

Window* Child(Window* dialog, int id)
{
    if (!dialog) return nullptr;
    for (Window* c : dialog->children)
        if (c->id == (id & 0xFFFF)) return c;
    return nullptr;
}

bool Visible(const Window* w)
{
    for (; w; w = w->parent)
        if (!(w->style & WS_VISIBLE)) return false;
    return true;
}

bool Usable(const Window* w) { return w && Visible(w) && !(w->style & WS_DISABLED); }

bool IsClass(const Window* w, const char16_t* cls) { return w && w->cls == cls; }

INT_PTR Command(Window* dialog, int id, Window* control)
{
    if (!dialog->proc || dialog->ended) return 0;
    return dialog->proc(Handle(dialog), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
}

// Copies text with the platform's count: at most max - 1 units, terminated.
UINT CopyOut(const std::u16string& text, LPWSTR out, int max)
{
    if (!out || max <= 0) return 0;
    size_t n = std::min(text.size(), static_cast<size_t>(max - 1));
    std::copy(text.begin(), text.begin() + static_cast<long>(n), out);
    out[n] = 0;
    return static_cast<UINT>(n);
}

}  // namespace

extern "C" {

void StandinSetDialogUser(StandinDialogFn answer, void* context)
{
    std::lock_guard<std::mutex> lock(gLock);
    gUser = answer;
    gUserContext = context;
}

INT_PTR WINAPI DialogBoxParamW(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC proc, LPARAM param)
{
    StandinDialogFn user;
    void* context;
    {
        std::lock_guard<std::mutex> lock(gLock);
        user = gUser;
        context = gUserContext;
    }
    if (owner && !Find(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    DialogTemplate t;
    if (!user || !IS_INTRESOURCE(name) ||
        !LoadDialogTemplate(instance, static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)), &t)) {
        SetLastError(user ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    Window* dialog = NewWindow(u"#32770", t.caption, 0, t.style | WS_VISIBLE, nullptr);
    dialog->proc = proc;
    dialog->x = t.x, dialog->y = t.y, dialog->cx = t.cx, dialog->cy = t.cy;
    for (const DialogItem& item : t.items) {
        Window* c = NewWindow(item.className, item.text, item.id, item.style, dialog);
        c->x = item.x, c->y = item.y, c->cx = item.cx, c->cy = item.cy;
    }
    proc(Handle(dialog), WM_INITDIALOG, 0, param);
    if (!dialog->ended) user(context, Handle(dialog));
    // A user who walks away from an open dialog leaves it as one never shown.
    INT_PTR result = dialog->ended ? dialog->result : -1;
    Destroy(dialog);
    return result;
}

BOOL WINAPI EndDialog(HWND h, INT_PTR result)
{
    Window* w = Find(h);
    if (!w || !w->proc) return FALSE;
    w->ended = true;
    w->result = result;
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND h, int id) { return Handle(Child(Find(h), id)); }

int WINAPI GetDlgCtrlID(HWND h)
{
    Window* w = Find(h);
    return w ? w->id : 0;
}

UINT WINAPI GetDlgItemTextW(HWND h, int id, LPWSTR out, int max)
{
    Window* c = Child(Find(h), id);
    if (!c) {
        if (out && max > 0) out[0] = 0;
        return 0;
    }
    return CopyOut(c->text, out, max);
}

// Sets the text whatever the field's limit: the limit is for typing.
BOOL WINAPI SetDlgItemTextW(HWND h, int id, LPCWSTR text)
{
    Window* c = Child(Find(h), id);
    if (!c) return FALSE;
    c->text = text ? std::u16string(text) : std::u16string();
    return TRUE;
}

int WINAPI GetWindowTextW(HWND h, LPWSTR out, int max)
{
    Window* w = Find(h);
    return w ? static_cast<int>(CopyOut(w->text, out, max)) : 0;
}

LRESULT WINAPI SendMessageW(HWND h, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* w = Find(h);
    if (!w) return 0;
    switch (message) {
    case EM_LIMITTEXT:
        w->limit = wParam ? wParam : NO_LIMIT;
        return 0;
    case WM_SETTEXT:
        w->text = lParam ? std::u16string(reinterpret_cast<LPCWSTR>(lParam)) : std::u16string();
        return TRUE;
    case WM_GETTEXT:
        return CopyOut(w->text, reinterpret_cast<LPWSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w->text.size());
    case BM_CLICK:
        if (Usable(w) && IsClass(w, u"BUTTON") && w->parent) Command(w->parent, w->id, w);
        return 0;
    default:
        return w->proc ? w->proc(h, message, wParam, lParam) : 0;
    }
}

BOOL WINAPI ShowWindow(HWND h, int show)
{
    Window* w = Find(h);
    if (!w) return FALSE;
    BOOL was = (w->style & WS_VISIBLE) != 0;
    w->style = show ? (w->style | WS_VISIBLE) : (w->style & ~static_cast<DWORD>(WS_VISIBLE));
    return was;
}

BOOL WINAPI EnableWindow(HWND h, BOOL enable)
{
    Window* w = Find(h);
    if (!w) return FALSE;
    BOOL wasDisabled = (w->style & WS_DISABLED) != 0;
    w->style = enable ? (w->style & ~static_cast<DWORD>(WS_DISABLED)) : (w->style | WS_DISABLED);
    return wasDisabled;
}

BOOL WINAPI IsWindowVisible(HWND h) { return Visible(Find(h)); }

BOOL WINAPI IsWindowEnabled(HWND h)
{
    Window* w = Find(h);
    return w && !(w->style & WS_DISABLED);
}

BOOL WINAPI SetForegroundWindow(HWND h) { return Find(h) != nullptr; }

// There is no desktop of top-level windows to walk: null, as the platform's
// null display driver answers.
HWND WINAPI GetTopWindow(HWND h)
{
    Window* w = Find(h);
    return w && !w->children.empty() ? Handle(w->children.front()) : nullptr;
}

LONG WINAPI GetWindowLongW(HWND h, int index)
{
    Window* w = Find(h);
    return w && index == GWL_STYLE ? static_cast<LONG>(w->style) : 0;
}

// A dialog's controls in template order: GW_CHILD, then GW_HWNDNEXT.
HWND WINAPI GetWindow(HWND h, UINT cmd)
{
    Window* w = Find(h);
    if (!w) return nullptr;
    if (cmd == GW_CHILD) return w->children.empty() ? nullptr : Handle(w->children.front());
    if (cmd != GW_HWNDNEXT || !w->parent) return nullptr;
    auto& siblings = w->parent->children;
    auto it = std::find(siblings.begin(), siblings.end(), w);
    return it != siblings.end() && it + 1 != siblings.end() ? Handle(*(it + 1)) : nullptr;
}

int WINAPI GetClassNameW(HWND h, LPWSTR out, int max)
{
    Window* w = Find(h);
    return w ? static_cast<int>(CopyOut(w->cls, out, max)) : 0;
}

// What a person does. Typing replaces the field's text one keystroke at a
// time; a keystroke past the field's limit is dropped.
BOOL StandinType(HWND dialog, int id, LPCWSTR text)
{
    Window* d = Find(dialog);
    Window* c = Child(d, id);
    if (!d || d->ended || !Usable(c) || !IsClass(c, u"EDIT")) return FALSE;
    c->text.clear();
    for (; text && *text; text++)
        if (c->text.size() < c->limit) c->text += *text;
    return TRUE;
}

BOOL StandinClick(HWND dialog, int id)
{
    Window* d = Find(dialog);
    Window* c = Child(d, id);
    if (!d || d->ended || !Usable(c) || !IsClass(c, u"BUTTON")) return FALSE;
    Command(d, c->id, c);
    return TRUE;
}

// Esc is IDCANCEL whatever the dialog holds; Enter is IDOK when that button
// is there and enabled (no button of these dialogs is a default button).
void StandinKey(HWND dialog, UINT key)
{
    Window* d = Find(dialog);
    if (!d || d->ended) return;
    if (key == VK_ESCAPE) Command(d, IDCANCEL, Child(d, IDCANCEL));
    if (key == VK_RETURN && Usable(Child(d, IDOK))) Command(d, IDOK, Child(d, IDOK));
}

BOOL StandinDialogOpen(HWND dialog)
{
    Window* d = Find(dialog);
    return d && !d->ended;
}

BOOL StandinWindowRect(HWND window, StandinRect* rect)
{
    Window* w = Find(window);
    if (!w || !rect) return FALSE;
    *rect = {w->x, w->y, w->cx, w->cy};
    return TRUE;
}

}  // extern "C"
