#include "job_record.h"

#include "charconversions.h"

#include <cups/ppd.h>

#include <cstring>

namespace {

// CUPS's names for choices the ticket spells its own way.
struct Alias {
    const char *key, *cups, *ticket;
};

const Alias ALIASES[] = {
    {"Duplex", "None", "off"},          {"Duplex", "DuplexNoTumble", "LongEdgeBinding"},
    {"Duplex", "DuplexTumble", "ShortEdgeBinding"}, {nullptr, "True", "on"},
    {nullptr, "False", "off"},          {nullptr, "true", "on"},
    {nullptr, "false", "off"},
};

// A standard attribute of a desktop's job and the ticket option it sets. It
// fills in for a job that does not name the option itself: cupsd adds the
// queue's defaults of these attributes to every job.
struct Standard {
    const char *attribute, *value, *key, *choice;
};

const Standard STANDARDS[] = {
    {"sides", "one-sided", "Duplex", "off"},
    {"sides", "two-sided-long-edge", "Duplex", "LongEdgeBinding"},
    {"sides", "two-sided-short-edge", "Duplex", "ShortEdgeBinding"},
    {"print-color-mode", "color", "ColorModel", "CMYK"},
    {"print-color-mode", "monochrome", "ColorModel", "Gray"},
    {"multiple-document-handling", "separate-documents-collated-copies", "Collate", "on"},
    {"multiple-document-handling", "separate-documents-uncollated-copies", "Collate", "off"},
    {"collate", "true", "Collate", "on"},
    {"collate", "false", "Collate", "off"},
    {"output-bin", "top", "OutputBin", "0"},
    {"output-bin", "face-down", "OutputBin", "0"},
    {"output-bin", "face-up", "OutputBin", "1"},
};

// Sets a ticket option by its own choice name or CUPS's; false when neither fits.
bool ApplyOption(_OEM_PRIVDEVMODE* record, const char* key, const char* choice)
{
    if (SetTicketOption(record, key, choice)) return true;
    for (const Alias& a : ALIASES)
        if ((!a.key || strcmp(a.key, key) == 0) && strcmp(a.cups, choice) == 0) return SetTicketOption(record, key, a.ticket);
    return false;
}

// output-bin "tray-N": the tray's number.
bool ApplyTray(_OEM_PRIVDEVMODE* record, const char* value)
{
    if (strncmp(value, "tray-", 5) != 0) return false;
    return SetTicketOption(record, "OutputBin", value + 5);
}

// True when the job names the ticket option that `attribute` sets.
bool JobNamesOption(const char* attribute, int numOptions, cups_option_t* options)
{
    for (const Standard& s : STANDARDS)
        if (strcmp(s.attribute, attribute) == 0 && cupsGetOption(s.key, numOptions, options)) return true;
    return false;
}

void ApplyStandards(_OEM_PRIVDEVMODE* record, int numOptions, cups_option_t* options, std::vector<std::string>* warnings)
{
    const char* attributes[] = {"sides", "print-color-mode", "multiple-document-handling", "collate", "output-bin"};
    for (const char* attribute : attributes) {
        const char* value = cupsGetOption(attribute, numOptions, options);
        if (!value || JobNamesOption(attribute, numOptions, options)) continue;
        bool done = false;
        for (const Standard& s : STANDARDS)
            if (!done && strcmp(s.attribute, attribute) == 0 && strcmp(s.value, value) == 0)
                done = SetTicketOption(record, s.key, s.choice);
        if (!done && strcmp(attribute, "output-bin") == 0 && !ApplyTray(record, value))
            warnings->push_back(std::string("output-bin ") + value + " has no tray on the print server; ignored");
    }
}

// UTF-8 into a record's text field, cut at a character to fit.
template <size_t N>
void SetText(WCHAR (&field)[N], const std::string& utf8)
{
    field[0] = 0;
    if (utf8.empty()) return;
    WCHAR wide[1024];
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, 1024);
    if (n <= 0) return;
    size_t units = 0;
    while (units + 1 < N && wide[units]) units++;
    // A surrogate pair is never cut in half.
    if (units > 0 && units + 1 == N && wide[units - 1] >= 0xD800 && wide[units - 1] <= 0xDBFF) units--;
    memcpy(field, wide, units * sizeof(WCHAR));
    field[units] = 0;
}

}  // namespace

int PpdDefaults(const char* ppdPath, cups_option_t** defaults)
{
    *defaults = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ppd_file_t* ppd = ppdPath && *ppdPath ? ppdOpenFile(ppdPath) : nullptr;
    if (!ppd) return 0;
    int n = 0;
    for (ppd_option_t* o = ppdFirstOption(ppd); o; o = ppdNextOption(ppd)) n = cupsAddOption(o->keyword, o->defchoice, n, defaults);
    ppdClose(ppd);
#pragma GCC diagnostic pop
    return n;
}

bool NeedsTicket(const JobText& text) { return !text.securePassword.empty() || !text.account.empty(); }

std::string AccountOf(int numOptions, cups_option_t* options)
{
    const char* account = cupsGetOption("job-account-id", numOptions, options);
    if (!account) account = cupsGetOption("job-billing", numOptions, options);
    return account ? account : "";
}

void BuildJobRecord(_OEM_PRIVDEVMODE* record, int numDefaults, cups_option_t* defaults, int numOptions,
                    cups_option_t* options, const JobText& text, std::vector<std::string>* warnings)
{
    memset(record, 0, sizeof *record);
    SetDefaultPralixOptions(record);
    for (int i = 0; i < numDefaults; i++) ApplyOption(record, defaults[i].name, defaults[i].value);
    for (int i = 0; i < numOptions; i++) ApplyOption(record, options[i].name, options[i].value);
    ApplyStandards(record, numOptions, options, warnings);
    const char* comment = cupsGetOption("DocComment", numOptions, options);
    SetText(record->docComment, comment ? comment : text.title);
    SetText(record->docOwner, text.user);
    SetText(record->accountNo, text.account);
    SetText(record->securePassword, text.securePassword);
    SetText(record->ipAddress, text.address);
    record->bInitialConnection = 0;
}
