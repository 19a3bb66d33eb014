#include "scripted_user.h"
#include "hostglue.h"

#include <cctype>
#include <chrono>
#include <cstdlib>

namespace {

std::string Trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::vector<std::string> SplitActions(const std::string& s)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t comma; (comma = s.find(',', start)) != std::string::npos; start = comma + 1)
        out.push_back(Trim(s.substr(start, comma - start)));
    out.push_back(Trim(s.substr(start)));
    return out;
}

bool IsNumber(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

// Performs one action; returns how it is told ("" when it is not an action).
std::string Perform(Screen& s, const std::string& action)
{
    size_t eq = action.find('=');
    if (eq != std::string::npos && IsNumber(Trim(action.substr(0, eq)))) {
        int id = atoi(action.c_str());
        bool password = false;
        for (const ControlView& c : s.Controls())
            if (c.id == id) password = c.password;
        std::string text = action.substr(eq + 1);
        std::string told = std::to_string(id) + "=" + (password ? "***" : text);
        return s.Type(id, text) ? told : told + " (not possible)";
    }
    if (action == "OK") return s.Click(IDOK) ? "OK" : "OK (not possible)";
    if (action == "Cancel") return s.Click(IDCANCEL) ? "Cancel" : "Cancel (not possible)";
    if (action == "Esc") return s.Key(VK_ESCAPE), "Esc";
    if (action == "Enter") return s.Key(VK_RETURN), "Enter";
    // A person looking at the dialog for a while (screenshots are taken then).
    if (action.compare(0, 5, "wait ") == 0 && IsNumber(Trim(action.substr(5)))) {
        Sleep(static_cast<DWORD>(atoi(action.c_str() + 5)));
        return action;
    }
    if (action.compare(0, 6, "click ") == 0 && IsNumber(Trim(action.substr(6)))) {
        int id = atoi(action.c_str() + 6);
        return s.Click(id) ? action : action + " (not possible)";
    }
    return "";
}

}  // namespace

ScriptedUser::ScriptedUser(const std::vector<std::string>& lines, FILE* report)
    : lines_(lines.begin(), lines.end()), report_(report)
{
}

void ScriptedUser::Report(const std::string& line)
{
    if (report_) fprintf(report_, "%s\n", line.c_str()), fflush(report_);
}

void ScriptedUser::AnswerDialog(Screen& screen)
{
    std::string caption = screen.Caption(), line;
    {
        std::lock_guard<std::mutex> lock(lock_);
        dialogs_.push_back({caption, screen.Controls(), {}});
        if (!lines_.empty()) line = lines_.front();
        size_t colon = line.find(':');
        if (line.empty() || colon == std::string::npos || Trim(line.substr(0, colon)) != caption) {
            gaveUp_ = true;
            line.clear();
        } else {
            lines_.pop_front();
        }
    }
    if (line.empty()) {
        // As a person would: Esc, or OK where Esc does nothing.
        Report("dialog \"" + caption + "\": no answer for it; giving up with Esc");
        screen.Key(VK_ESCAPE);
        if (screen.Open()) screen.Click(IDOK);
        return;
    }
    std::string told;
    for (const std::string& action : SplitActions(line.substr(line.find(':') + 1))) {
        if (action == "hold") Hold();
        if (action == "look") Look(screen);
        std::string t = action == "hold" || action == "look" ? action : Perform(screen, action);
        if (t.empty()) t = "'" + action + "' (not an action)";
        told += (told.empty() ? "" : ", ") + t;
    }
    Report("dialog \"" + caption + "\": " + told);
}

void ScriptedUser::AnswerMessage(const std::string& caption, const std::string& text, UINT style)
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        messages_.push_back({caption, text, style});
    }
    Report("message \"" + caption + "\": " + Escaped(text));
}

// A person who has walked away from the dialog; bounded, so no test waits
// for ever on a release that never comes.
void ScriptedUser::Hold()
{
    std::unique_lock<std::mutex> lock(lock_);
    holding_ = true;
    released_.wait_for(lock, std::chrono::minutes(2), [this] { return releasedAll_; });
    holding_ = false;
}

void ScriptedUser::Look(Screen& screen)
{
    std::vector<ControlView> now = screen.Controls();
    std::lock_guard<std::mutex> lock(lock_);
    if (!dialogs_.empty()) dialogs_.back().looked = now;
}

bool ScriptedUser::Holding()
{
    std::lock_guard<std::mutex> lock(lock_);
    return holding_;
}

void ScriptedUser::Release()
{
    std::lock_guard<std::mutex> lock(lock_);
    releasedAll_ = true;
    released_.notify_all();
}

bool ScriptedUser::GaveUp()
{
    std::lock_guard<std::mutex> lock(lock_);
    return gaveUp_;
}

std::vector<SeenDialog> ScriptedUser::Dialogs()
{
    std::lock_guard<std::mutex> lock(lock_);
    return dialogs_;
}

std::vector<SeenMessage> ScriptedUser::Messages()
{
    std::lock_guard<std::mutex> lock(lock_);
    return messages_;
}

bool ReadAnswerLines(FILE* in, std::vector<std::string>* lines)
{
    if (!in) return false;
    char buf[4096];
    while (fgets(buf, sizeof buf, in)) {
        std::string line = Trim(buf);
        if (!line.empty() && line[0] != '#') lines->push_back(line);
    }
    return !ferror(in);
}

std::string WindowCaption(HWND window)
{
    WCHAR buf[1024] = {};
    GetWindowTextW(window, buf, 1024);
    return HostUtf8(buf);
}

std::vector<ControlView> ReadControls(HWND dialog)
{
    std::vector<ControlView> out;
    for (HWND c = GetWindow(dialog, GW_CHILD); c && out.size() < 256; c = GetWindow(c, GW_HWNDNEXT)) {
        WCHAR cls[64] = {};
        GetClassNameW(c, cls, 64);
        std::string name = HostUtf8(cls);
        for (char& ch : name) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        DWORD style = static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE));
        out.push_back({GetDlgCtrlID(c) & 0xFFFF, name, WindowCaption(c), IsWindowVisible(c) != FALSE,
                       IsWindowEnabled(c) != FALSE, name == "EDIT" && (style & ES_PASSWORD) != 0});
    }
    return out;
}
