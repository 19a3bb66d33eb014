#include "terminal_user.h"

#include "hostglue.h"
#include "terminal_draw.h"

#include <standin.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int SEQUENCE_WAIT_MS = 50;  // the bytes of one key arrive together
const size_t SEQUENCE_MAX = 16;
const size_t CONTROLS_MAX = 256;
const char ENTER_SCREEN[] = "\x1b[?1049h";
const char LEAVE_SCREEN[] = "\x1b[0m\x1b[?25h\x1b[?1049l";
const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT};
const size_t SIGNAL_COUNT = sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0];

struct TerminalState {
    int in = STDIN_FILENO, out = -1;
    int wake[2] = {-1, -1};  // the resize handler's note to the key reader
    termios saved = {};
    bool colours = false;
    bool gone = false;  // the terminal hung up: nothing can be shown any more
    int depth = 0;      // windows on screen: a dialog may open another
    bool clear = true;  // the next drawing starts on a cleared screen
    TerminalInterruptFn interrupted = nullptr;
    struct sigaction old[SIGNAL_COUNT], oldResize;
};

TerminalState gTerm;
volatile sig_atomic_t gRaw = 0;

enum KeyKind { KEY_NONE, KEY_CHAR, KEY_TAB, KEY_BACKTAB, KEY_ENTER, KEY_ESCAPE, KEY_BACKSPACE, KEY_INTERRUPT, KEY_RESIZE };

struct Key {
    KeyKind kind;
    char32_t ch;
};

// Safe in a signal handler.
void RestoreTerminal()
{
    if (!gRaw) return;
    gRaw = 0;
    tcsetattr(gTerm.in, TCSANOW, &gTerm.saved);
    ssize_t n = write(gTerm.out, LEAVE_SCREEN, sizeof LEAVE_SCREEN - 1);
    (void)n;
}

void OnEndingSignal(int sig)
{
    RestoreTerminal();
    signal(sig, SIG_DFL);
    raise(sig);
}

void OnResize(int)
{
    int saved = errno;
    char note = 0;
    ssize_t n = write(gTerm.wake[1], &note, 1);
    (void)n;
    errno = saved;
}

void WriteAll(const std::string& s)
{
    for (size_t done = 0; done < s.size();) {
        ssize_t n = write(gTerm.out, s.data() + done, s.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            gTerm.gone = true;
            return;
        }
    }
}

void CatchSignals()
{
    struct sigaction ending = {}, resize = {};
    ending.sa_handler = OnEndingSignal;
    sigemptyset(&ending.sa_mask);
    for (size_t i = 0; i < SIGNAL_COUNT; i++) {
        sigaction(ENDING_SIGNALS[i], nullptr, &gTerm.old[i]);
        if (gTerm.old[i].sa_handler != SIG_IGN) sigaction(ENDING_SIGNALS[i], &ending, nullptr);
    }
    resize.sa_handler = OnResize;
    resize.sa_flags = SA_RESTART;
    sigemptyset(&resize.sa_mask);
    sigaction(SIGWINCH, &resize, &gTerm.oldResize);
}

void ReleaseSignals()
{
    for (size_t i = 0; i < SIGNAL_COUNT; i++) sigaction(ENDING_SIGNALS[i], &gTerm.old[i], nullptr);
    sigaction(SIGWINCH, &gTerm.oldResize, nullptr);
}

// Raw keys on the alternate screen; type-ahead from before the window is dropped.
bool OpenScreen()
{
    if (gTerm.gone) return false;
    if (gTerm.depth > 0) {
        gTerm.depth++;
        gTerm.clear = true;
        return true;
    }
    if (tcgetattr(gTerm.in, &gTerm.saved) != 0) return false;
    termios raw = gTerm.saved;
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    CatchSignals();
    gRaw = 1;
    if (tcsetattr(gTerm.in, TCSAFLUSH, &raw) != 0) {
        gRaw = 0;
        ReleaseSignals();
        return false;
    }
    gTerm.depth = 1;
    gTerm.clear = true;
    WriteAll(ENTER_SCREEN);
    return true;
}

void CloseScreen(bool all)
{
    if (gTerm.depth == 0) return;
    gTerm.depth = all ? 0 : gTerm.depth - 1;
    gTerm.clear = true;
    if (gTerm.depth > 0) return;
    RestoreTerminal();
    ReleaseSignals();
}

void ScreenSize(int* cols, int* rows)
{
    winsize ws = {};
    bool known = ioctl(gTerm.out, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0;
    *cols = known ? ws.ws_col : 80;
    *rows = known ? ws.ws_row : 24;
}

bool HasColours()
{
    const char* term = getenv("TERM");
    if (getenv("NO_COLOR") || !term || !*term || strcmp(term, "dumb") == 0) return false;
    char answer[16] = {};
    FILE* tput = popen("tput colors 2>/dev/null", "r");
    bool answered = tput && fgets(answer, sizeof answer, tput) && (isdigit(static_cast<unsigned char>(answer[0])) || answer[0] == '-');
    if (tput) pclose(tput);
    if (answered) return atoi(answer) >= 8;
    return strstr(term, "color") || strncmp(term, "xterm", 5) == 0 || strncmp(term, "screen", 6) == 0 ||
           strncmp(term, "tmux", 4) == 0 || strncmp(term, "rxvt", 4) == 0 || strcmp(term, "linux") == 0;
}

const char* LookCode(CellLook look)
{
    switch (look) {
    case LOOK_SCREEN: return "\x1b[0m";
    case LOOK_WINDOW: return "\x1b[0;30;47m";
    case LOOK_TITLE: return "\x1b[0;1;37;44m";
    case LOOK_FIELD: return "\x1b[0;4;30;47m";
    case LOOK_FOCUS: return "\x1b[0;1;30;46m";
    case LOOK_DISABLED: return "\x1b[0;2;30;47m";
    }
    return "\x1b[0m";
}

void Show(const Picture& p)
{
    std::string s = gTerm.clear ? "\x1b[0m\x1b[2J" : "";
    gTerm.clear = false;
    s += "\x1b[?25l";
    int look = -1;
    for (int row = 0; row < p.rows; row++) {
        s += "\x1b[" + std::to_string(row + 1) + ";1H";
        std::u32string run;
        for (int col = 0; col < p.cols; col++) {
            const Cell& c = p.cells[static_cast<size_t>(row) * static_cast<size_t>(p.cols) + static_cast<size_t>(col)];
            if (gTerm.colours && c.look != look) {
                s += ToUtf8(run) + LookCode(c.look);
                run.clear();
                look = c.look;
            }
            run += c.ch;
        }
        s += ToUtf8(run);
    }
    if (gTerm.colours) s += "\x1b[0m";
    if (p.caretRow >= 0) s += "\x1b[" + std::to_string(p.caretRow + 1) + ";" + std::to_string(p.caretCol + 1) + "H\x1b[?25h";
    WriteAll(s);
}

// One byte within `ms` milliseconds, or -1.
int ReadByte(int ms)
{
    pollfd p = {gTerm.in, POLLIN, 0};
    for (;;) {
        int r = poll(&p, 1, ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        unsigned char b = 0;
        ssize_t n = read(gTerm.in, &b, 1);
        if (n == 1) return b;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        gTerm.gone = true;
        return -1;
    }
}

// After Esc: Esc alone, or a key's sequence (Shift-Tab, the arrows).
Key ReadEscape()
{
    int b = ReadByte(SEQUENCE_WAIT_MS);
    if (b < 0 || b == 0x1b) return {KEY_ESCAPE, 0};
    if (b != '[' && b != 'O') return {KEY_NONE, 0};
    std::string seq(1, static_cast<char>(b));
    while (seq.size() < SEQUENCE_MAX) {
        int c = ReadByte(SEQUENCE_WAIT_MS);
        if (c < 0) return {KEY_NONE, 0};
        seq += static_cast<char>(c);
        if (c >= 0x40 && c <= 0x7E) break;
    }
    if (seq == "[Z" || seq == "[A" || seq == "OA") return {KEY_BACKTAB, 0};
    if (seq == "[B" || seq == "OB") return {KEY_TAB, 0};
    return {KEY_NONE, 0};
}

// The rest of a UTF-8 character whose first byte is `lead`.
Key ReadCharacter(int lead)
{
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (more < 0 || lead >= 0xF8) return {KEY_NONE, 0};
    char32_t ch = static_cast<char32_t>(lead & (0x3F >> more));
    for (int i = 0; i < more; i++) {
        int c = ReadByte(SEQUENCE_WAIT_MS);
        if (c < 0 || (c & 0xC0) != 0x80) return {KEY_NONE, 0};
        ch = (ch << 6) | static_cast<char32_t>(c & 0x3F);
    }
    return {KEY_CHAR, ch};
}

Key Decode(int b)
{
    if (b == 0x03) return {KEY_INTERRUPT, 0};
    if (b == '\t') return {KEY_TAB, 0};
    if (b == '\r' || b == '\n') return {KEY_ENTER, 0};
    if (b == 0x7F || b == 0x08) return {KEY_BACKSPACE, 0};
    if (b == 0x1B) return ReadEscape();
    if (b < 0x20) return {KEY_NONE, 0};
    if (b < 0x80) return {KEY_CHAR, static_cast<char32_t>(b)};
    return ReadCharacter(b);
}

// The next key, or a resize; KEY_NONE when the terminal is gone.
Key ReadKey()
{
    pollfd p[2] = {{gTerm.in, POLLIN, 0}, {gTerm.wake[0], POLLIN, 0}};
    for (;;) {
        int r = poll(p, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (p[1].revents & POLLIN) {
            char notes[64];
            while (read(gTerm.wake[0], notes, sizeof notes) > 0) {
            }
            gTerm.clear = true;
            return {KEY_RESIZE, 0};
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            int b = ReadByte(0);
            return b < 0 ? Key{KEY_NONE, 0} : Decode(b);
        }
    }
    gTerm.gone = true;
    return {KEY_NONE, 0};
}

WString ReadText(HWND window)
{
    LRESULT n = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    if (n <= 0) return WString();
    std::vector<WCHAR> buf(static_cast<size_t>(n) + 1);
    int got = GetWindowTextW(window, buf.data(), static_cast<int>(buf.size()));
    return WString(buf.data(), static_cast<size_t>(std::max(got, 0)));
}

ControlKind KindOf(HWND control, DWORD style)
{
    WCHAR cls[64] = {};
    GetClassNameW(control, cls, 64);
    std::string name = HostUtf8(cls);
    for (char& ch : name) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (name == "BUTTON") return (style & 0xF) == 7 ? KIND_GROUP : KIND_BUTTON;  // BS_GROUPBOX
    if (name == "EDIT") return KIND_EDIT;
    if (name == "STATIC") return KIND_STATIC;
    return KIND_OTHER;
}

// The dialog as it stands; `windows` gets each control's handle.
TermDialog ReadDialog(HWND dialog, std::vector<HWND>* windows)
{
    TermDialog d;
    StandinRect r = {};
    StandinWindowRect(dialog, &r);
    d.caption = FromUtf16(ReadText(dialog));
    d.cx = r.cx;
    d.cy = r.cy;
    for (HWND c = GetWindow(dialog, GW_CHILD); c && d.controls.size() < CONTROLS_MAX; c = GetWindow(c, GW_HWNDNEXT)) {
        DWORD style = static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE));
        StandinRect cr = {};
        StandinWindowRect(c, &cr);
        d.controls.push_back({KindOf(c, style), GetDlgCtrlID(c), style, FromUtf16(ReadText(c)), cr.x, cr.y, cr.cx, cr.cy,
                              IsWindowVisible(c) != FALSE, IsWindowEnabled(c) != FALSE});
        windows->push_back(c);
    }
    return d;
}

void AppendUtf16(WString* text, char32_t ch)
{
    if (ch < 0x10000) {
        *text += static_cast<WCHAR>(ch);
    } else if (ch <= 0x10FFFF) {
        *text += static_cast<WCHAR>(0xD800 + ((ch - 0x10000) >> 10));
        *text += static_cast<WCHAR>(0xDC00 + ((ch - 0x10000) & 0x3FF));
    }
}

// Typing and Backspace retype the field's whole new text through the
// stand-in, so the field's limit applies as to any typing.
void Edit(HWND dialog, const TermControl& c, HWND field, const Key& key)
{
    WString text = ReadText(field);
    if (key.kind == KEY_CHAR) {
        AppendUtf16(&text, key.ch);
    } else if (!text.empty()) {
        size_t n = text.size() - 1;
        if (n > 0 && text[n] >= 0xDC00 && text[n] < 0xE000 && text[n - 1] >= 0xD800 && text[n - 1] < 0xDC00) n--;
        text.resize(n);
    }
    StandinType(dialog, c.id, text.c_str());
}

// Ends the run from a window that stays open: the terminal is given back first.
void EndRun(const std::u32string& caption)
{
    CloseScreen(true);
    if (gTerm.interrupted) gTerm.interrupted(ToUtf8(caption));
    gTerm.gone = true;
}

void Act(HWND dialog, const TermDialog& view, const std::vector<HWND>& windows, int focus, const Key& key)
{
    const TermControl* c = focus >= 0 ? &view.controls[static_cast<size_t>(focus)] : nullptr;
    switch (key.kind) {
    case KEY_ENTER: return StandinKey(dialog, VK_RETURN);
    case KEY_ESCAPE: return StandinKey(dialog, VK_ESCAPE);
    case KEY_INTERRUPT:
        StandinKey(dialog, VK_ESCAPE);
        if (StandinDialogOpen(dialog)) EndRun(view.caption);
        return;
    case KEY_CHAR:
    case KEY_BACKSPACE:
        if (c && c->kind == KIND_EDIT) Edit(dialog, *c, windows[static_cast<size_t>(focus)], key);
        if (c && c->kind == KIND_BUTTON && key.kind == KEY_CHAR && key.ch == U' ') StandinClick(dialog, c->id);
        return;
    default: return;
    }
}

// The position of `focus` in the tab order; the first control when it is
// not there (as when the dialog opens).
int FocusAt(const std::vector<int>& order, const std::vector<HWND>& windows, HWND focus)
{
    for (size_t i = 0; i < order.size(); i++)
        if (windows[static_cast<size_t>(order[i])] == focus) return static_cast<int>(i);
    return order.empty() ? -1 : 0;
}

void OnDialog(void*, HWND dialog)
{
    // Nobody can see it: left open, it fails as a dialog never shown.
    if (!OpenScreen()) return;
    HWND focus = nullptr;
    while (StandinDialogOpen(dialog) && !gTerm.gone) {
        std::vector<HWND> windows;
        TermDialog view = ReadDialog(dialog, &windows);
        std::vector<int> order = TabOrder(view);
        int at = FocusAt(order, windows, focus);
        int index = at >= 0 ? order[static_cast<size_t>(at)] : -1;
        focus = index >= 0 ? windows[static_cast<size_t>(index)] : nullptr;
        int cols, rows;
        ScreenSize(&cols, &rows);
        Show(DrawDialog(view, index, cols, rows));
        Key key = ReadKey();
        int n = static_cast<int>(order.size());
        if ((key.kind == KEY_TAB || key.kind == KEY_BACKTAB) && n > 0)
            focus = windows[static_cast<size_t>(order[static_cast<size_t>((at + (key.kind == KEY_TAB ? 1 : n - 1)) % n)])];
        else
            Act(dialog, view, windows, index, key);
    }
    CloseScreen(false);
}

// The library's message boxes have an OK button only.
int OnMessage(void*, HWND, LPCWSTR text, LPCWSTR caption, UINT)
{
    if (!OpenScreen()) return 0;
    std::u32string c = FromUtf16(caption ? caption : TEXT("Error")), t = FromUtf16(text ? text : TEXT(""));
    while (!gTerm.gone) {
        int cols, rows;
        ScreenSize(&cols, &rows);
        Show(DrawMessage(c, t, cols, rows));
        Key key = ReadKey();
        if (key.kind == KEY_ENTER || (key.kind == KEY_CHAR && key.ch == U' ')) {
            CloseScreen(false);
            return IDOK;
        }
        if (key.kind == KEY_INTERRUPT) EndRun(c);
    }
    CloseScreen(false);
    return 0;
}

}  // namespace

bool TerminalUserPossible(std::string* why)
{
    const char* name = isatty(STDIN_FILENO) ? ttyname(STDIN_FILENO) : nullptr;
    if (!name) {
        *why = "standard input is not a terminal";
        return false;
    }
    int fd = open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = std::string("cannot write to the terminal ") + name + ": " + strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

bool InstallTerminalUser(TerminalInterruptFn interrupted, std::string* why)
{
    if (!TerminalUserPossible(why)) return false;
    const char* name = ttyname(STDIN_FILENO);
    int out = name ? open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC) : -1;
    int wake[2] = {-1, -1};
    if (out < 0 || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = std::string("cannot set up the terminal: ") + strerror(errno);
        if (out >= 0) close(out);
        return false;
    }
    gTerm = TerminalState();
    gTerm.out = out;
    gTerm.wake[0] = wake[0];
    gTerm.wake[1] = wake[1];
    gTerm.colours = HasColours();
    gTerm.interrupted = interrupted;
    StandinSetDialogUser(OnDialog, nullptr);
    StandinSetMessageBoxUser(OnMessage, nullptr);
    return true;
}

void UninstallTerminalUser()
{
    StandinSetDialogUser(nullptr, nullptr);
    StandinSetMessageBoxUser(nullptr, nullptr);
    CloseScreen(true);
    if (gTerm.out >= 0) close(gTerm.out);
    for (int fd : gTerm.wake)
        if (fd >= 0) close(fd);
    gTerm = TerminalState();
}
