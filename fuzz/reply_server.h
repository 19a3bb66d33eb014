// The print server fuzz_replies runs the validation flow against: it answers each request with the run's next reply,
// in the reply's segments and with its ending.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum ReplyEnd { END_CLOSE, END_SILENT, END_RESET };  // silent: until the client closes

struct Reply {
    std::string bytes;
    size_t segment;  // bytes per send; 0: all at once
    ReplyEnd end;
};

struct ServedRun {
    int probes;                      // connections closed without a request
    int requests;                    // connections that sent one
    int mostWithoutConfirm;          // the most requests between two confirmations
    std::vector<std::string> codes;  // the first 3 bytes of each reply sent
};

// Serves address:port from a thread of its own; false when it cannot listen.
bool StartReplyServer(const char* address, int port);

// Serves `replies` in order; once they have run out, each new connection is closed at once.
void BeginRun(const std::vector<Reply>& replies);

// The user confirmed a dialog: the count of requests without one starts again.
void UserConfirmed();

// Waits (bounded) until the server has dealt with every connection made so far; false when it did not in time.
bool EndRun(ServedRun* served);
