// The print server fuzz_replies puts the validation flow against: it answers
// each connection that sends a request with the next reply of the run, in the
// segments and with the ending the reply asks for. Built without coverage:
// its timing must not count as the library's behaviour.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum ReplyEnd { END_CLOSE, END_SILENT, END_RESET };

struct Reply {
    std::string bytes;
    size_t segment;  // bytes per send; 0: all at once
    ReplyEnd end;    // after the bytes: close, stay silent until the client closes, or reset
};

// What the server saw of one run.
struct ServedRun {
    int probes;                      // connections closed without a request
    int requests;                    // connections that sent one
    int mostWithoutConfirm;          // the most requests between two confirmations
    std::vector<std::string> codes;  // the first 3 bytes of each reply sent
};

// Listens on address:port and serves from a thread of its own; false when it cannot listen.
bool StartReplyServer(const char* address, int port);

// The replies of a run, served in order; once they have run out, each new
// connection is closed at once.
void BeginRun(const std::vector<Reply>& replies);

// The user confirmed a dialog: the count of requests without one starts again.
void UserConfirmed();

// Waits (bounded) until the server has dealt with every connection made so
// far, ends the run and returns what it served; false when the server did not
// get there in time.
bool EndRun(ServedRun* served);
