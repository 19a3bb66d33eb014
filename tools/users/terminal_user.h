// The person at the terminal (Linux, umpd-spool --interactive): each dialog
// and message box of the library is drawn in the terminal as it would appear
// on Windows, and the answers come from the keyboard: Tab and Shift-Tab move
// between the controls, typing and Backspace edit the focused field, Space
// presses the focused button, Enter is OK, Esc is Cancel. Windows are drawn
// on the terminal's alternate screen with the terminal in raw mode, and the
// terminal is given back as it was when each window closes, when a signal
// ends the process and after Ctrl-C.
//
// Ctrl-C is Esc. Where Esc leaves the dialog open (the validation error
// dialog), and in a message box, Ctrl-C ends the run: the terminal is
// restored and `interrupted` is called with the window's caption.
#pragma once

#include <string>

// False, with the reason, when standard input is not a terminal this process
// can draw on.
bool TerminalUserPossible(std::string* why);

// Hands every dialog and message box of the process to the terminal user
// until UninstallTerminalUser. `interrupted` must not return.
typedef void (*TerminalInterruptFn)(const std::string& caption);
bool InstallTerminalUser(TerminalInterruptFn interrupted, std::string* why);
void UninstallTerminalUser();
