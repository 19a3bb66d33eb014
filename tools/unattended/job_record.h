// The options record of a job of a host nobody watches: the record's
// defaults, then the queue's or printer's defaults, the job's options, and
// the standard attributes a desktop sends; then the job's identity texts.
#pragma once

#include "credentials_user.h"
#include "umpd.h"

#include <cups/cups.h>

#include <string>
#include <vector>

struct JobText {
    std::string address;         // the print server, from the device URI
    std::string user, title;     // argv[2], argv[3]
    std::string account;         // job-account-id or job-billing
    std::string securePassword;  // job-password, plain
    ~JobText() { Wipe(&securePassword); }
};

// The defaults of a queue's PPD as options (named as the ticket names
// them); the caller frees them. None when there is no PPD.
int PpdDefaults(const char* ppdPath, cups_option_t** defaults);

// Builds the record: the record's defaults, then `defaults` (the queue's),
// the job's options, and the standard attributes among them where the job
// names no option of the same ticket line. Warnings (an option value the
// record has no place for) go to `warnings`, one line each.
void BuildJobRecord(_OEM_PRIVDEVMODE* record, int numDefaults, cups_option_t* defaults, int numOptions,
                    cups_option_t* options, const JobText& text, std::vector<std::string>* warnings);

// Whether the job carries what only its ticket can bring to the print server.
bool NeedsTicket(const JobText& text);

// The account number and secure-print password the job's options give.
std::string AccountOf(int numOptions, cups_option_t* options);
