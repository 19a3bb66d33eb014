// One job of a host that nobody watches, through the hook library on the
// stand-in's spooler: a printer of the driver whose port is the print
// server's raw print port, the library's job start (its validation, the
// dialogs answered by a CredentialsUser), the data through its hooks.
#pragma once

#include "credentials_user.h"
#include "hostglue.h"
#include "umpd.h"

#include <string>
#include <vector>

// The hook library beside the program, or installed in lib/pralix beside
// lib/cups; null when neither loads (`tried`: the last path tried).
HMODULE LoadHookLibrary(std::string* tried);

// A string of the library's own, as its dialogs and message boxes show it.
std::string LibraryText(HMODULE lib, UINT id);

// How a refused job start ended, from what its dialogs and message boxes
// showed.
enum Refusal {
    REFUSED_UNREACHABLE,        // the print server does not answer
    REFUSED_SERVER_QUIT,        // it closed the connection before it answered
    REFUSED_ADDRESS,            // it refuses the address this job names it by
    REFUSED_IDENTITY_MISSING,   // a user ID or password is required and not given
    REFUSED_IDENTITY_REJECTED,  // the user ID or password was not accepted
    REFUSED_ACCOUNT_MISSING,    // an account number is required and not given
    REFUSED_ACCOUNT_REJECTED,   // the account number was not accepted
    REFUSED_OTHER,              // an answer the library did not expect, or anything else
};
Refusal ClassifyRefusal(const RunSeen& seen, HMODULE lib);

// What a refusal means, in plain words (the rejected fields named).
std::string RefusalText(Refusal refusal, const RunSeen& seen, HMODULE lib);

// The rejected fields of the validation error dialog, in the hosts' words
// ("user ID, password"); empty when none.
std::string RejectedFields(const RunSeen& seen, HMODULE lib);

// The most a job's header is read before anything is sent.
const size_t HEADER_MAX = 1u << 20;
extern const char NO_TICKET_PLACE[];

// Reads from fd until the first "%%EndComments" has arrived, HEADER_MAX
// bytes have, or the input ends; the bytes read go to `header`. False when
// reading failed. `place`: whether the ticket's place was found.
bool ReadHeader(int fd, std::vector<char>* header, bool* place);

// The printer on the stand-in's spooler for one host job: added on the
// first Start, deleted with the object. Its driver is the job's own among
// those of the jobs running at the same time, so each job has its own
// stored record.
class HookJob {
public:
    HookJob(const SpoolerHooks& hooks, const std::string& host, const std::string& port);
    ~HookJob();
    HookJob(const HookJob&) = delete;
    HookJob& operator=(const HookJob&) = delete;

    // Stores the record that the next Start validates and the ticket is
    // written from.
    void Store(_OEM_PRIVDEVMODE* record);
    // Starts a document and runs the library's job start; false when the
    // spooler could not start it (`started` stays false) or the job start
    // refused it.
    bool Start(const std::string& document, bool* started);
    // The job's bytes through the data hook. False when the printer could not
    // be reached (`unreached`: nothing was sent) or took no more.
    bool Write(const void* data, size_t n, bool* unreached);
    // Ends the document: false when the printer did not take the whole job.
    bool End();
    // Gives the job up: the printer discards what it got.
    void GiveUp();

private:
    SpoolerHooks hooks_;
    int slot_;
    WString name_, driverName_, port_;
    HANDLE added_ = nullptr, printer_ = nullptr, driver_ = nullptr;
};
