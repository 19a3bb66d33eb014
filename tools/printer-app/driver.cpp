// The printer of a print server: PostScript native, PDF through a filter,
// the secure-print password and account number advertised, and the
// ticket's options as the printer's own attributes, each with a default
// that an administrator sets. PAPPL 1.3 takes at most 32 such attributes:
// the options in ticket order have one each ("pralix-" and the option's
// name in lower case) until the last place, "pralix-options", which takes
// the rest as NAME=VALUE words; sides, print-color-mode and output-bin are
// PAPPL's own, multiple-document-handling sets Collate. The pralix://
// device only names the print server: each job opens its own connection
// through the library's port.
#include "app.h"

#include <cctype>
#include <cstring>
#include <functional>
#include <vector>

namespace {

const char ALL_OPTIONS[] = "pralix-options";
// Ticket lines that standard attributes set; Collate's default is a word of ALL_OPTIONS.
const char* const STANDARD_LINES[] = {"Duplex", "ColorModel", "OutputBin", "Collate"};
const char* const BINS[] = {"top",    "face-up", "tray-2", "tray-3", "tray-4",
                            "tray-5", "tray-6",  "tray-7", "tray-8", "tray-9"};
const char* const MEDIA[] = {"na_letter_8.5x11in", "na_legal_8.5x14in", "na_ledger_11x17in", "iso_a4_210x297mm",
                             "iso_a3_297x420mm"};
const int MARGIN = 635;  // a quarter inch, in hundredths of millimetres

struct TicketOption {
    std::string key, attribute;
    std::vector<std::string> choices;  // as keywords
    std::string defaultChoice;
    bool onOff = false;
};

// A ticket text as an IPP keyword: lower case, no spaces.
std::string Keyword(const std::string& text)
{
    std::string k;
    for (char c : text)
        if (c != ' ') k += static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return k;
}

bool IsStandardLine(const std::string& key)
{
    for (const char* line : STANDARD_LINES)
        if (strcasecmp(line, key.c_str()) == 0) return true;
    return false;
}

void Collect(void* context, const char* key, const char* choice, bool isDefault, bool)
{
    auto& options = *static_cast<std::vector<TicketOption>*>(context);
    if (IsStandardLine(key)) return;
    if (options.empty() || options.back().key != key)
        options.push_back(TicketOption{key, "pralix-" + Keyword(key), {}, "", false});
    TicketOption& o = options.back();
    std::string word = Keyword(choice);
    for (const std::string& c : o.choices)
        if (c == word) return;
    o.choices.push_back(word);
    if (isDefault) o.defaultChoice = word;
}

// The ticket's options that have an attribute of their own, in ticket
// order; the rest are words of ALL_OPTIONS.
const std::vector<TicketOption>& OwnAttributes()
{
    static const std::vector<TicketOption> options = [] {
        std::vector<TicketOption> all;
        ForEachTicketChoice(Collect, &all);
        for (TicketOption& o : all) {
            if (o.defaultChoice.empty()) o.defaultChoice = o.choices.front();
            o.onOff = o.choices.size() == 2 && (o.choices[0] == "on" || o.choices[0] == "off") &&
                      (o.choices[1] == "on" || o.choices[1] == "off");
        }
        all.resize(std::min(all.size(), static_cast<size_t>(PAPPL_MAX_VENDOR - 1)));
        return all;
    }();
    return options;
}

bool HasOwnAttribute(const std::string& key)
{
    for (const TicketOption& o : OwnAttributes())
        if (strcasecmp(o.key.c_str(), key.c_str()) == 0) return true;
    return false;
}

// An attribute's value as the ticket takes it (booleans as on and off).
std::string ValueOf(ipp_attribute_t* attr)
{
    if (ippGetValueTag(attr) == IPP_TAG_BOOLEAN) return ippGetBoolean(attr, 0) ? "on" : "off";
    char value[256];
    ippAttributeString(attr, value, sizeof value);
    return value;
}

// The ticket's options named by an attribute: each own attribute as
// `name` or `name`-default (suffix), and the words of ALL_OPTIONS that no
// own attribute or standard attribute covers (Collate's default aside).
int TicketOptions(const std::function<ipp_attribute_t*(const std::string&)>& find, const std::string& suffix,
                  cups_option_t** options)
{
    int n = 0;
    *options = nullptr;
    if (ipp_attribute_t* all = find(ALL_OPTIONS + suffix)) {
        cups_option_t* words = nullptr;
        int count = cupsParseOptions(ippGetString(all, 0, nullptr), 0, &words);
        for (int i = 0; i < count; i++) {
            std::string key = words[i].name;
            bool covered = HasOwnAttribute(key) || (IsStandardLine(key) && strcasecmp(key.c_str(), "Collate") != 0);
            if (!covered) n = cupsAddOption(words[i].name, words[i].value, n, options);
        }
        cupsFreeOptions(count, words);
    }
    for (const TicketOption& o : OwnAttributes())
        if (ipp_attribute_t* attr = find(o.attribute + suffix))
            n = cupsAddOption(o.key.c_str(), ValueOf(attr).c_str(), n, options);
    return n;
}

void AddOwnAttributes(ipp_t* attrs, pappl_pr_driver_data_t* data)
{
    for (const TicketOption& o : OwnAttributes()) {
        data->vendor[data->num_vendor++] = o.attribute.c_str();
        std::string supported = o.attribute + "-supported", byDefault = o.attribute + "-default";
        if (o.onOff) {
            ippAddBoolean(attrs, IPP_TAG_PRINTER, supported.c_str(), 1);
            ippAddBoolean(attrs, IPP_TAG_PRINTER, byDefault.c_str(), o.defaultChoice == "on");
            continue;
        }
        std::vector<const char*> values;
        for (const std::string& c : o.choices) values.push_back(c.c_str());
        ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, supported.c_str(), static_cast<int>(values.size()), nullptr,
                      values.data());
        ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, byDefault.c_str(), nullptr, o.defaultChoice.c_str());
    }
    data->vendor[data->num_vendor++] = ALL_OPTIONS;
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_TEXT, (std::string(ALL_OPTIONS) + "-default").c_str(), nullptr, "");
}

// The secure-print password (digits, at most 8, received as typed) and the
// account number.
void AddJobSecrets(ipp_t* attrs)
{
    ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "job-password-supported", static_cast<int>(SECURE_PASSWORD_MAX));
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "job-password-encryption-supported", nullptr, "none");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "job-password-repertoire-supported", nullptr,
                 "iana_us-ascii_digits");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "job-password-repertoire-configured", nullptr,
                 "iana_us-ascii_digits");
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "job-account-id-supported", 1);
    ippAddOutOfBand(attrs, IPP_TAG_PRINTER, IPP_TAG_NOVALUE, "job-account-id-default");
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "job-accounting-user-id-supported", 1);
    ippAddOutOfBand(attrs, IPP_TAG_PRINTER, IPP_TAG_NOVALUE, "job-accounting-user-id-default");
}

// What an IPP Everywhere printer tells that PAPPL 1.3 leaves out: colour is
// the print server's business (auto), no preferred attributes.
void AddEverywhere(ipp_t* attrs)
{
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr, "auto");
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
}

void SetMedia(pappl_pr_driver_data_t* data)
{
    data->num_media = static_cast<int>(sizeof MEDIA / sizeof MEDIA[0]);
    for (int i = 0; i < data->num_media; i++) data->media[i] = MEDIA[i];
    data->left_right = data->bottom_top = MARGIN;
    data->num_source = 1;
    data->source[0] = "auto";
    data->num_type = 1;
    data->type[0] = "stationery";
    pappl_media_col_t& m = data->media_ready[0];
    pwg_media_t* pwg = pwgMediaForPWG(MEDIA[0]);
    papplCopyString(m.size_name, MEDIA[0], sizeof m.size_name);
    papplCopyString(m.source, "auto", sizeof m.source);
    papplCopyString(m.type, "stationery", sizeof m.type);
    m.size_width = pwg->width;
    m.size_length = pwg->length;
    m.bottom_margin = m.top_margin = m.left_margin = m.right_margin = MARGIN;
    data->media_default = m;
}

// Identify-Printer: the message goes to the log; the print server has no display of ours.
void Identify(pappl_printer_t* printer, pappl_identify_actions_t, const char* message)
{
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s", message ? message : "");
}

bool OpenDevice(pappl_device_t*, const char*, const char*) { return true; }
void CloseDevice(pappl_device_t*) {}
ssize_t ReadDevice(pappl_device_t*, void*, size_t) { return 0; }
// Nothing is printed through the device: the data goes through the library.
ssize_t WriteDevice(pappl_device_t* device, const void*, size_t)
{
    papplDeviceError(device, "The print data goes through the hook library, not the device");
    return -1;
}

}  // namespace

bool MakeDriver(pappl_system_t* system, const char* driverName, const char* deviceUri, const char*,
                pappl_pr_driver_data_t* data, ipp_t** attrs, void* app)
{
    Target target;
    std::string problem;
    if (strcmp(driverName, "pralix") != 0) return false;
    if (ParseDeviceUri(deviceUri, &target, &problem) == TARGET_BAD) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "%s", problem.c_str());
        return false;
    }
    data->extension = app;
    data->printfile_cb = PrintPostScript;
    data->rstartjob_cb = RasterStart;
    data->rendjob_cb = RasterEnd;
    data->rstartpage_cb = RasterStartPage;
    data->rendpage_cb = RasterEndPage;
    data->rwriteline_cb = RasterLine;
    data->identify_cb = Identify;
    data->identify_supported = data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->has_supplies = true;
    data->format = "application/postscript";
    papplCopyString(data->make_and_model, "Pralix print server", sizeof data->make_and_model);
    data->kind = PAPPL_KIND_DOCUMENT;
    data->ppm = data->ppm_color = 10;
    data->color_supported = PAPPL_COLOR_MODE_COLOR | PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_COLOR;
    // The raster the converter prints as it comes (no black_8: its 0 is white).
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8 | PAPPL_PWG_RASTER_TYPE_SRGB_8;
    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = data->x_default = data->y_default = 600;
    data->duplex = PAPPL_DUPLEX_NORMAL;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;
    data->num_bin = static_cast<int>(sizeof BINS / sizeof BINS[0]);
    for (int i = 0; i < data->num_bin; i++) data->bin[i] = BINS[i];
    data->bin_default = 0;
    SetMedia(data);
    *attrs = ippNew();
    AddJobSecrets(*attrs);
    AddEverywhere(*attrs);
    AddOwnAttributes(*attrs, data);
    return true;
}

App& AppOf(pappl_printer_t* printer)
{
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    return *static_cast<App*>(data.extension);
}

void ReportSupplies(pappl_printer_t* printer, void*)
{
    pappl_supply_t supply = {PAPPL_SUPPLY_COLOR_NO_COLOR, "Supplies at the print server", false, -1,
                             PAPPL_SUPPLY_TYPE_OTHER};
    papplPrinterSetSupplies(printer, 1, &supply);
}

void AddDeviceScheme()
{
    papplDeviceAddScheme("pralix", PAPPL_DEVTYPE_CUSTOM_NETWORK, nullptr, OpenDevice, CloseDevice, ReadDevice,
                         WriteDevice, nullptr, nullptr);
}

int PrinterDefaults(pappl_printer_t* printer, cups_option_t** options)
{
    ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
    int n = TicketOptions([&](const std::string& name) { return ippFindAttribute(attrs, name.c_str(), IPP_TAG_ZERO); },
                          "-default", options);
    ippDelete(attrs);
    return n;
}

int JobValues(pappl_job_t* job, cups_option_t** options)
{
    return TicketOptions([&](const std::string& name) { return papplJobGetAttribute(job, name.c_str()); }, "",
                         options);
}
