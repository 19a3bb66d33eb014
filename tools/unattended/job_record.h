// The options record of one backend job: the record's defaults, then the
// queue's PPD defaults, the job's options, and the standard attributes a
// desktop sends; then the job's identity texts.
#pragma once

#include "umpd.h"

#include <cups/cups.h>

#include <string>
#include <vector>

struct JobText {
    std::string address;         // the print server, from the device URI
    std::string user, title;     // argv[2], argv[3]
    std::string account;         // job-account-id or job-billing
    std::string securePassword;  // job-password, plain
};

// Builds the record; warnings (an option value the record has no place for)
// go to `warnings`, one line each.
void BuildJobRecord(_OEM_PRIVDEVMODE* record, const char* ppdPath, int numOptions, cups_option_t* options,
                    const JobText& text, std::vector<std::string>* warnings);

// The account number and secure-print password the job's options give.
std::string AccountOf(int numOptions, cups_option_t* options);
