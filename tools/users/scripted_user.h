// The scripted user: answers the library's dialogs from lines such as
//   Secure Access: 1112=alice, 1113=s3cret, 1114=42, OK
// (the caption, a colon, then actions: ID=TEXT types TEXT over the field's
// text, OK, Cancel, Esc, Enter, click ID, wait MS, hold: keep the dialog open
// until Release, at most two minutes; look: note the controls as they are
// now), one line per dialog in the order
// the dialogs appear, and acknowledges message boxes with OK. It acts only as
// a person could, through a platform driver (the stand-in's hooks on Linux,
// a watcher thread with real input on Windows).
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct ControlView {
    int id;
    std::string className, text;  // UTF-8
    bool visible, enabled, password;
};

// One dialog on screen, as a person sees it and can act on it.
class Screen {
public:
    virtual ~Screen() {}
    virtual std::string Caption() = 0;
    virtual std::vector<ControlView> Controls() = 0;
    virtual bool Type(int id, const std::string& text) = 0;  // false where a person could not
    virtual bool Click(int id) = 0;
    virtual void Key(UINT vk) = 0;  // VK_ESCAPE, VK_RETURN
    virtual bool Open() = 0;
};

// The bits of a message box's style (MB_*) that the platform's driver can
// tell: on the stand-in the whole style the library asked for; on Windows
// what the box shows, its buttons and icon.
#ifdef _WIN32
const UINT MESSAGE_STYLE_SEEN = MB_TYPEMASK | MB_ICONMASK;
#else
const UINT MESSAGE_STYLE_SEEN = ~0u;
#endif

struct SeenMessage {
    std::string caption, text;
    UINT style;  // as far as MESSAGE_STYLE_SEEN tells
};

struct SeenDialog {
    std::string caption;
    std::vector<ControlView> controls;  // as the dialog appeared
    std::vector<ControlView> looked;    // at the "look" action, as the user's actions left them
};

// Whoever answers the library's dialogs and message boxes through a driver.
class DialogUser {
public:
    virtual ~DialogUser() {}
    // Acts on a dialog until it has ended.
    virtual void AnswerDialog(Screen& screen) = 0;
    // Told of a message box, which the driver then acknowledges with OK.
    virtual void AnswerMessage(const std::string& caption, const std::string& text, UINT style) = 0;
};

class ScriptedUser : public DialogUser {
public:
    // report: where each dialog and message box is told (null: nowhere).
    ScriptedUser(const std::vector<std::string>& lines, FILE* report);

    void AnswerDialog(Screen& screen) override;
    void AnswerMessage(const std::string& caption, const std::string& text, UINT style) override;

    bool GaveUp();
    bool Holding();  // a dialog is held open now
    void Release();  // lets held dialogs, and any held later, go on
    std::vector<SeenDialog> Dialogs();
    std::vector<SeenMessage> Messages();

private:
    void Report(const std::string& line);
    void Hold();
    void Look(Screen& screen);
    std::mutex lock_;
    std::condition_variable released_;
    bool holding_ = false, releasedAll_ = false;
    std::deque<std::string> lines_;
    FILE* report_;
    bool gaveUp_ = false;
    std::vector<SeenDialog> dialogs_;
    std::vector<SeenMessage> messages_;
};

// What a person sees of a window, through the platform's calls.
std::string WindowCaption(HWND window);
std::vector<ControlView> ReadControls(HWND dialog);

// Hands every dialog and message box of the process to `user` until
// UninstallUser (one user at a time).
void InstallUser(DialogUser* user);
void UninstallUser();

// Reads answer lines from a file: blank lines and '#' comments left out.
bool ReadAnswerLines(FILE* in, std::vector<std::string>* lines);
