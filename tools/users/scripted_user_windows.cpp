// The scripted user on Windows: a watcher thread finds each dialog or message
// box of this process (class "#32770") as a person would see it, and answers
// it with real input: WM_CHAR keystrokes into fields, BM_CLICK on buttons,
// IDCANCEL for Esc. Clicks and keys are posted, so a dialog that opens
// another (nested) one never waits on the watcher.
#include "hostglue.h"
#include "scripted_user.h"

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <utility>

namespace {

const int POLL_MS = 20;
const int REANSWER_MS = 5000;  // a dialog left open this long is answered again

class WindowsScreen : public Screen {
public:
    explicit WindowsScreen(HWND dialog) : dialog_(dialog) {}
    std::string Caption() override { return WindowCaption(dialog_); }
    std::vector<ControlView> Controls() override { return ReadControls(dialog_); }
    bool Type(int id, const std::string& text) override
    {
        HWND field = Usable(id, "EDIT");
        if (!field) return false;
        SendMessageW(field, EM_SETSEL, 0, -1);
        WString w = HostWiden(text.c_str());
        if (w.empty()) SendMessageW(field, WM_CHAR, VK_BACK, 0);
        for (WCHAR c : w) SendMessageW(field, WM_CHAR, c, 0);
        return true;
    }
    bool Click(int id) override
    {
        HWND button = Usable(id, "BUTTON");
        if (!button) return false;
        PostMessageW(button, BM_CLICK, 0, 0);
        return true;
    }
    void Key(UINT vk) override
    {
        if (vk == VK_ESCAPE) {
            PostMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog_, IDCANCEL)));
        } else if (vk == VK_RETURN) {
            // No button of these dialogs is a default one: Enter is OK, and
            // nothing when OK is disabled.
            HWND ok = GetDlgItem(dialog_, IDOK);
            if (ok && IsWindowEnabled(ok))
                PostMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
        }
    }
    // Waits a little for a posted action to take effect.
    bool Open() override
    {
        for (int i = 0; i < 25 && IsWindow(dialog_) && IsWindowVisible(dialog_); i++) Sleep(POLL_MS);
        return IsWindow(dialog_) && IsWindowVisible(dialog_);
    }

private:
    HWND Usable(int id, const char* cls)
    {
        HWND c = GetDlgItem(dialog_, id);
        WCHAR name[64] = {};
        if (c) GetClassNameW(c, name, 64);
        std::string n = HostUtf8(name);
        for (char& ch : n) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        return c && n == cls && IsWindowVisible(c) && IsWindowEnabled(c) ? c : nullptr;
    }
    HWND dialog_;
};

// The library's dialogs hold one of these controls; a message box none.
bool IsOurDialog(HWND h) { return GetDlgItem(h, 1103) || GetDlgItem(h, 1108); }

BOOL CALLBACK FindIcon(HWND c, LPARAM found)
{
    WCHAR cls[16] = {};
    GetClassNameW(c, cls, 16);
    LONG style = GetWindowLongW(c, GWL_STYLE);
    if (lstrcmpiW(cls, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(c))
        *reinterpret_cast<HICON*>(found) = reinterpret_cast<HICON>(SendMessageW(c, STM_GETICON, 0, 0));
    return TRUE;
}

// What a message box shows of its style: the buttons and the icon
// (MB_ICONMASK for an icon that is none of the system's).
UINT SeenStyle(HWND box)
{
    auto shown = [box](int id) {
        HWND b = GetDlgItem(box, id);
        return b && IsWindowVisible(b);
    };
    UINT style = MB_OK;
    if (shown(IDYES)) style = shown(IDCANCEL) ? MB_YESNOCANCEL : MB_YESNO;
    else if (shown(IDABORT)) style = MB_ABORTRETRYIGNORE;
    else if (shown(IDRETRY)) style = MB_RETRYCANCEL;
    else if (shown(IDCANCEL)) style = MB_OKCANCEL;
    HICON icon = nullptr;
    EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&icon));
    if (!icon) return style;
    const std::pair<LPCWSTR, UINT> icons[] = {{IDI_HAND, MB_ICONHAND}, {IDI_QUESTION, MB_ICONQUESTION},
                                              {IDI_EXCLAMATION, MB_ICONEXCLAMATION}, {IDI_ASTERISK, MB_ICONASTERISK}};
    for (const auto& i : icons)
        if (LoadIconW(nullptr, i.first) == icon) return style | i.second;
    return style | MB_ICONMASK;
}

struct Watcher {
    DialogUser* user = nullptr;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::map<HWND, DWORD> answered;  // when each window was last answered
};

Watcher* gWatcher = nullptr;

BOOL CALLBACK Visit(HWND h, LPARAM param)
{
    auto* w = reinterpret_cast<Watcher*>(param);
    DWORD pid = 0;
    WCHAR cls[64] = {};
    GetWindowThreadProcessId(h, &pid);
    GetClassNameW(h, cls, 64);
    if (pid != GetCurrentProcessId() || lstrcmpW(cls, L"#32770") != 0 || !IsWindowVisible(h) || !IsWindowEnabled(h))
        return TRUE;  // a disabled dialog is the owner of a nested one
    auto seen = w->answered.find(h);
    if (seen != w->answered.end() && GetTickCount() - seen->second < REANSWER_MS) return TRUE;
    w->answered[h] = GetTickCount();
    if (IsOurDialog(h)) {
        WindowsScreen screen(h);
        w->user->AnswerDialog(screen);
    } else {
        WCHAR text[2048] = {};
        GetDlgItemTextW(h, 0xFFFF, text, 2048);
        w->user->AnswerMessage(WindowCaption(h), HostUtf8(text), SeenStyle(h));
        PostMessageW(GetDlgItem(h, IDOK), BM_CLICK, 0, 0);
    }
    return TRUE;
}

}  // namespace

void InstallUser(DialogUser* user)
{
    UninstallUser();
    gWatcher = new Watcher;
    gWatcher->user = user;
    Watcher* w = gWatcher;
    w->thread = std::thread([w] {
        while (!w->stop) {
            EnumWindows(Visit, reinterpret_cast<LPARAM>(w));
            Sleep(POLL_MS);
        }
    });
}

void UninstallUser()
{
    if (!gWatcher) return;
    gWatcher->stop = true;
    gWatcher->thread.join();
    delete gWatcher;
    gWatcher = nullptr;
}
