// The scripted user on the stand-in: the window manager hands it each dialog
// and message box, and it acts through the stand-in's person-level calls.
#include "hostglue.h"
#include "scripted_user.h"

#include <standin.h>

namespace {

class StandinScreen : public Screen {
public:
    explicit StandinScreen(HWND dialog) : dialog_(dialog) {}
    std::string Caption() override { return WindowCaption(dialog_); }
    std::vector<ControlView> Controls() override { return ReadControls(dialog_); }
    bool Type(int id, const std::string& text) override
    {
        return StandinType(dialog_, id, HostWiden(text.c_str()).c_str());
    }
    bool Click(int id) override { return StandinClick(dialog_, id); }
    void Key(UINT vk) override { StandinKey(dialog_, vk); }
    bool Open() override { return StandinDialogOpen(dialog_); }

private:
    HWND dialog_;
};

void OnDialog(void* context, HWND dialog)
{
    StandinScreen screen(dialog);
    static_cast<DialogUser*>(context)->AnswerDialog(screen);
}

int OnMessage(void* context, HWND, LPCWSTR text, LPCWSTR caption, UINT type)
{
    static_cast<DialogUser*>(context)->AnswerMessage(HostUtf8(caption ? caption : TEXT("Error")),
                                                       HostUtf8(text ? text : TEXT("")), type);
    return IDOK;
}

}  // namespace

void InstallUser(DialogUser* user)
{
    StandinSetDialogUser(OnDialog, user);
    StandinSetMessageBoxUser(OnMessage, user);
}

void UninstallUser()
{
    StandinSetDialogUser(nullptr, nullptr);
    StandinSetMessageBoxUser(nullptr, nullptr);
}
