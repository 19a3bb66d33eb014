// The user of a job start nobody watches (the CUPS backend, the printer
// application): answers the library's dialogs from the job's credentials, as
// a person holding them would, and tells what the run showed.
#pragma once

#include "scripted_user.h"

#include <mutex>
#include <string>
#include <vector>

struct Credentials {
    std::string user, password, account;  // UTF-8; empty: not given
};

// The most characters the secure access dialog's fields take (a longer value
// would be cut without a word), and the most the secure-print password has.
const size_t USER_ID_MAX = 24, PASSWORD_MAX = 8, ACCOUNT_MAX = 32, SECURE_PASSWORD_MAX = 8;

// The characters of UTF-8 text.
size_t Characters(const std::string& utf8);

// Overwrites a secret before it is let go.
void Wipe(std::string* secret);
void Wipe(Credentials* credentials);

// What the dialogs and message boxes of one run showed.
struct RunSeen {
    bool identityMissing = false;  // a required user ID or password was not given
    bool accountMissing = false;   // a required account number was not given
    bool locked = false;           // the secure access dialog came locked (the server's 403)
    bool identityGiven = false;    // credentials were typed into the secure access dialog
    std::string rejected;          // the validation error dialog's rejected fields ("" none)
    std::string adminMessage, adminEmail;
    std::vector<std::string> messages;  // message box texts, in order
};

class CredentialsUser : public DialogUser {
public:
    // required: the label the secure access dialog shows at a required field.
    CredentialsUser(const Credentials& credentials, const std::string& required)
        : credentials_(credentials), required_(required)
    {
    }
    ~CredentialsUser() override { Wipe(&credentials_); }
    void AnswerDialog(Screen& screen) override;
    void AnswerMessage(const std::string& caption, const std::string& text, UINT style) override;
    // What the runs since the last Take showed; forgotten here.
    RunSeen Take();

private:
    void AnswerSecureAccess(Screen& screen);
    Credentials credentials_;
    std::string required_;
    std::mutex lock_;
    RunSeen seen_;
};

// Hands the process's dialogs and message boxes, from now on, to the
// CredentialsUser of the thread that shows them (the library shows a job
// start's dialogs on the thread that runs it), so that job starts on several
// threads each answer with their own credentials. A thread without one
// cancels a dialog.
void InstallThreadUsers();

// While it lives, the dialogs of this thread go to `user`.
class ThreadUser {
public:
    explicit ThreadUser(CredentialsUser* user);
    ~ThreadUser();
    ThreadUser(const ThreadUser&) = delete;
    ThreadUser& operator=(const ThreadUser&) = delete;

private:
    CredentialsUser* previous_;
};
