// One document of a host job through the hook library, as every host that
// nobody watches sends it (the CUPS backend, the printer application), one
// loop tuned by the host as CUPS's backends share one run loop: the header
// read, so that the ticket's place is known before anything is sent; the
// job start, tried again while the print server does not answer; the
// header, then the rest as it is read. A cancel, or any failure after the
// first byte, gives the job up with a reset, so that the printer discards
// what it got. How the host starts a job, waits and reports is passed in.
#pragma once

#include "hook_job.h"
#include "job_record.h"
#include "target.h"

#include <functional>
#include <string>

const size_t SEND_CHUNK = 1u << 20;
// The waits before the next try at a print server that does not answer:
// the first, then doubled up to the longest.
const unsigned RETRY_FIRST_S = 5, RETRY_LONGEST_S = 30;

// How one job start through the library's hooks went.
struct StartResult {
    bool started = false, accepted = false;
    RunSeen seen;
};

// What a host decides and tells; every member but `start` may be empty.
struct SendHost {
    HMODULE lib = nullptr;                          // the hook library, for its texts
    std::function<StartResult(HookJob&)> start;     // stores the job's record and starts it (one try)
    std::function<bool()> cancelled;                // the job was cancelled (or the host is stopping)
    std::function<bool(unsigned seconds)> retryAfter;  // waits before the next try; false: try no more
    std::function<void(bool)> sending;              // the first byte is about to go (true), or went nowhere
    std::function<void()> withoutTicket;            // no place for the ticket, none needed: it prints without
    std::function<void(bool retried)> streaming;    // the header went; the rest follows
    std::function<void(const char*, size_t)> sees;  // each piece of the document as it goes
    std::function<std::string()> finished;          // at the document's end: "" when whole, else why not
};

enum class SendEnd {
    SENT,               // the whole document; the printer took it
    CANCELLED,          // given up at a cancel
    READ_FAILED,        // the document could not be read
    NOT_STARTED,        // the spooler could not start the job
    REFUSED,            // the job start refused the job (the outcome's start says how)
    NOT_RETRIED,        // the print server does not answer, and the host tries no more
    NO_PLACE,           // no place for the ticket, and the job needs one (a PIN, an account number)
    NO_PLACE_IDENTITY,  // no place for the ticket, and the job start validated an identity
    LOST,               // the connection to the print server's raw port was lost
    NOT_WHOLE,          // the document did not end whole (the outcome's why)
    NOT_TAKEN,          // the printer did not take the whole job at its end
};

struct SendOutcome {
    SendEnd end = SendEnd::SENT;
    StartResult start;       // the last job start's
    Refusal refusal = REFUSED_OTHER;  // REFUSED: why
    std::string why;         // NOT_WHOLE: the host's reason
    bool retried = false;    // the print server was waited for
};

// Sends the document read from `in` (its header first) to `target` through
// the hooks; a job of its own for each try.
SendOutcome SendDocument(const SpoolerHooks& hooks, const Target& target, const JobText& text, int in,
                         const SendHost& host);
