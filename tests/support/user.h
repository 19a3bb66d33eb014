// Plays the person in front of the screen: answers every message box the
// code under test shows with OK, and remembers what each one said.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

struct SeenMessageBox {
    std::string text, caption;  // UTF-8
    bool okOnly;                // an OK button and no other
};

class MessageBoxUser {
public:
    MessageBoxUser();
    ~MessageBoxUser();
    MessageBoxUser(const MessageBoxUser&) = delete;
    MessageBoxUser& operator=(const MessageBoxUser&) = delete;

    std::vector<SeenMessageBox> Seen();
    // The flags of the last box, where the platform lets a user see them
    // (the stand-in only); -1 elsewhere.
    long LastFlags();

    struct State;

private:
    std::unique_ptr<State> state_;
};
