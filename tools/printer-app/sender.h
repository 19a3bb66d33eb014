// PostScript made by a job's own thread and printed as it is made: written
// to one end of a socket pair while a thread of the job's own sends the
// other end as any PostScript document goes (Send: the hooks, the ticket,
// retries, a reset on giving up). Nothing of the document is held beyond
// the socket's buffers. The maker's verdict, given at the end, says whether
// the PostScript ended whole; one that did not is given up, never printed.
#pragma once

#include "app.h"

#include <mutex>
#include <string>
#include <thread>

struct PsSender {
    const pappl_pr_options_t* options = nullptr;  // Send's: kept by the maker until FinishSender
    int out = -1;         // the maker's end, once started
    bool failed = false;  // the sender stopped reading: its own message says why
    std::thread thread;
    bool sent = false;  // Send's result, read after the join
    std::mutex lock;
    std::string verdict = "The document did not end whole";  // "" once the PostScript ended whole
};

// Starts the sender on its end of a new socket pair; false when it cannot.
bool StartSender(pappl_job_t* job, PsSender* sender);
// All of `data` to the sender; false, and `failed` set, once it stopped
// reading.
bool SendAll(PsSender* sender, const char* data, size_t size);
// Ends the PostScript with its verdict ("" when whole): the sender sees the
// end of the document, is joined, and its result returned.
bool FinishSender(PsSender* sender, const std::string& verdict);
