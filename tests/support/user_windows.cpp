#include "user.h"

#include <atomic>
#include <mutex>
#include <thread>

// A second thread finds each message box of this process as a person would
// see it (class "#32770"), reads it, and clicks OK.
struct MessageBoxUser::State {
    std::mutex lock;
    std::vector<SeenMessageBox> seen;
    std::atomic<bool> stop{false};
    std::thread watcher;
};

namespace {

const int MESSAGE_TEXT_ID = 0xFFFF;  // the static control that holds a message box's text

std::string Utf8(const WCHAR* w)
{
    char buf[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
    return n > 0 ? std::string(buf) : std::string();
}

BOOL CALLBACK Visit(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<MessageBoxUser::State*>(param);
    DWORD pid = 0;
    WCHAR cls[64] = {};
    GetWindowThreadProcessId(hwnd, &pid);
    GetClassNameW(hwnd, cls, 64);
    if (pid != GetCurrentProcessId() || lstrcmpW(cls, L"#32770") != 0 || !IsWindowVisible(hwnd)) return TRUE;
    WCHAR caption[512] = {}, text[2048] = {};
    GetWindowTextW(hwnd, caption, 512);
    GetDlgItemTextW(hwnd, MESSAGE_TEXT_ID, text, 2048);
    bool okOnly = GetDlgItem(hwnd, IDOK) && !GetDlgItem(hwnd, IDCANCEL) && !GetDlgItem(hwnd, IDYES);
    {
        std::lock_guard<std::mutex> lock(s->lock);
        s->seen.push_back({Utf8(text), Utf8(caption), okOnly});
    }
    SendMessageW(GetDlgItem(hwnd, IDOK), BM_CLICK, 0, 0);
    return TRUE;
}

}  // namespace

MessageBoxUser::MessageBoxUser() : state_(new State)
{
    State* s = state_.get();
    s->watcher = std::thread([s] {
        while (!s->stop) {
            EnumWindows(Visit, reinterpret_cast<LPARAM>(s));
            Sleep(20);
        }
    });
}

MessageBoxUser::~MessageBoxUser()
{
    state_->stop = true;
    state_->watcher.join();
}

std::vector<SeenMessageBox> MessageBoxUser::Seen()
{
    std::lock_guard<std::mutex> lock(state_->lock);
    return state_->seen;
}

long MessageBoxUser::LastFlags() { return -1; }
