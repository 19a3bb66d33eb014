#include "credentials_user.h"

#include "english/resource.h"

#include <cstring>

namespace {

std::string TextOf(const std::vector<ControlView>& controls, int id)
{
    for (const ControlView& c : controls)
        if (c.id == id) return c.text;
    return std::string();
}

bool Enabled(const std::vector<ControlView>& controls, int id)
{
    for (const ControlView& c : controls)
        if (c.id == id) return c.visible && c.enabled;
    return false;
}

// A field of the secure access dialog, its "Required" label and the credential for it.
struct IdentityField {
    int field, label;
    std::string Credentials::*value;
    bool RunSeen::*missing;
};

const IdentityField FIELDS[] = {
    {IDC_USER_ID, IDC_USER_ID_LABEL, &Credentials::user, &RunSeen::identityMissing},
    {IDC_PASSWORD, IDC_PASSWORD_LABEL, &Credentials::password, &RunSeen::identityMissing},
    {IDC_ACCOUNT_NUMBER, IDC_ACCOUNT_NUMBER_LABEL, &Credentials::account, &RunSeen::accountMissing},
};

thread_local CredentialsUser* tUser = nullptr;

// Forwards to the user of the thread that shows the dialog.
class Dispatcher : public DialogUser {
public:
    void AnswerDialog(Screen& screen) override
    {
        if (tUser) return tUser->AnswerDialog(screen);
        if (!screen.Click(IDCANCEL)) screen.Key(VK_ESCAPE);
    }
    void AnswerMessage(const std::string& caption, const std::string& text, UINT style) override
    {
        if (tUser) tUser->AnswerMessage(caption, text, style);
    }
};

}  // namespace

size_t Characters(const std::string& utf8)
{
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

void Wipe(std::string* secret)
{
    if (!secret->empty()) explicit_bzero(&(*secret)[0], secret->size());
    secret->clear();
}

void Wipe(Credentials* credentials)
{
    Wipe(&credentials->user);
    Wipe(&credentials->password);
    Wipe(&credentials->account);
}

void InstallThreadUsers()
{
    static Dispatcher dispatcher;
    InstallUser(&dispatcher);
}

ThreadUser::ThreadUser(CredentialsUser* user) : previous_(tUser) { tUser = user; }

ThreadUser::~ThreadUser() { tUser = previous_; }

// Locked (OK disabled), or back after a rejection, or missing a required
// credential: Cancel. Otherwise the credentials typed in and OK.
void CredentialsUser::AnswerSecureAccess(Screen& screen)
{
    std::vector<ControlView> controls = screen.Controls();
    bool cancel = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!Enabled(controls, IDOK)) seen_.locked = true;
        cancel = !Enabled(controls, IDOK) || seen_.identityGiven;
        for (const IdentityField& f : FIELDS) {
            bool missing = TextOf(controls, f.label) == required_ && (credentials_.*f.value).empty();
            if (!cancel && missing) seen_.*f.missing = true;
        }
        cancel = cancel || seen_.identityMissing || seen_.accountMissing;
        seen_.identityGiven = seen_.identityGiven || !cancel;
    }
    if (cancel) {
        screen.Click(IDCANCEL);
        return;
    }
    for (const IdentityField& f : FIELDS)
        if (!(credentials_.*f.value).empty()) screen.Type(f.field, credentials_.*f.value);
    screen.Click(IDOK);
}

void CredentialsUser::AnswerDialog(Screen& screen)
{
    std::string caption = screen.Caption();
    if (caption == "Secure Access") return AnswerSecureAccess(screen);
    if (caption == "Validation Error") {
        std::vector<ControlView> controls = screen.Controls();
        {
            std::lock_guard<std::mutex> hold(lock_);
            seen_.rejected = TextOf(controls, IDC_INVALID_FIELDS);
            seen_.adminMessage = TextOf(controls, IDC_ADMIN_MESSAGE);
            seen_.adminEmail = TextOf(controls, IDC_ADMIN_EMAIL);
        }
        screen.Click(IDOK);
        return;
    }
    // The server address comes from the device URI: no other is typed.
    if (!screen.Click(IDCANCEL)) screen.Key(VK_ESCAPE);
}

void CredentialsUser::AnswerMessage(const std::string&, const std::string& text, UINT)
{
    std::lock_guard<std::mutex> hold(lock_);
    seen_.messages.push_back(text);
}

RunSeen CredentialsUser::Take()
{
    std::lock_guard<std::mutex> hold(lock_);
    RunSeen seen = seen_;
    seen_ = RunSeen();
    return seen;
}
