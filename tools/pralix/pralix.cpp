// pralix: the CUPS backend of the print server. CUPS runs it last for each
// job of a queue whose device URI is pralix://HOST[:PORT]: it validates the
// job's user with the print server through the hook library's own job start
// (the job's credentials answer its dialogs), then streams the job through
// the library's hooks, ticket inserted, to the server's raw print port.
// Standard error carries CUPS's status lines; the hooks' trace lines go
// nowhere.
#include "credentials_user.h"
#include "hostglue.h"
#include "job_record.h"
#include "printersetup.h"

#include "english/resource.h"

#include <standin.h>
#include <winspool.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// CUPS's backend exit statuses.
enum Exit { OK = 0, FAILED = 1, AUTH_REQUIRED = 2, HOLD = 3, STOP = 4, RETRY = 6 };

const char DISCOVERY[] = "network pralix \"Unknown\" \"Pralix print server (secure access)\"\n";
const char USAGE[] =
    "usage: pralix job user title copies options [file]\n"
    "       pralix                      (the discovery line)\n"
    "       pralix --help | --version\n"
    "The device URI (DEVICE_URI) is pralix://HOST[:PORT]: HOST the print server (an IPv4 address or a name of\n"
    "at most 15 characters), PORT its raw print port (9100). Credentials: AUTH_USERNAME, AUTH_PASSWORD, and the\n"
    "job-account-id option; job-password is the secure-print password.\n";
const WCHAR DRIVER[] = TEXT("Pralix PS");
const size_t CHUNK = 1024 * 1024;
const size_t ADDRESS_MAX = 15;

struct Uri {
    std::string host;
    std::string port = "9100";
};

struct Args {
    std::string job, user, title, file;
    int copies = 1;
    int numOptions = 0;
    cups_option_t* options = nullptr;
};

// One status line for CUPS; line breaks inside become spaces.
void Status(const char* kind, const std::string& text)
{
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    fprintf(stderr, "%s: %s\n", kind, line.c_str());
}

void OnTerminate(int)
{
    // A cancel: nothing more is sent; the connection closes with the process.
    const char line[] = "INFO: cancelled\n";
    ssize_t ignored = write(2, line, sizeof line - 1);
    (void)ignored;
    _exit(OK);
}

bool IsHostChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-'; }

// pralix://HOST[:PORT], HOST fitting the record's address field.
bool ParseUri(const std::string& uri, Uri* out)
{
    const std::string scheme = "pralix://";
    if (uri.compare(0, scheme.size(), scheme) != 0) return false;
    std::string rest = uri.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    size_t colon = rest.find(':');
    out->host = rest.substr(0, colon);
    if (colon != std::string::npos) out->port = rest.substr(colon + 1);
    if (out->host.empty() || out->host.size() > ADDRESS_MAX) return false;
    for (char c : out->host)
        if (!IsHostChar(c)) return false;
    char* end = nullptr;
    long port = strtol(out->port.c_str(), &end, 10);
    return !out->port.empty() && !*end && port >= 1 && port <= 65535;
}

size_t Characters(const std::string& utf8)
{
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

// A credential longer than its field: the dialog would cut it silently.
bool CredentialTooLong(const Credentials& c, const std::string& securePassword)
{
    struct Limit {
        const char* name;
        const std::string* value;
        size_t max;
    } limits[] = {{"user ID (AUTH_USERNAME)", &c.user, 24},
                  {"password (AUTH_PASSWORD)", &c.password, 8},
                  {"account number (job-account-id)", &c.account, 32},
                  {"secure-print password (job-password)", &securePassword, 8}};
    for (const Limit& l : limits) {
        if (Characters(*l.value) <= l.max) continue;
        Status("ERROR", std::string("The ") + l.name + " is longer than " + std::to_string(l.max) +
                            " characters, the most the print server takes");
        return true;
    }
    return false;
}

std::string Env(const char* name)
{
    const char* v = getenv(name);
    return v ? v : "";
}

// A string of the library's own, as its dialogs and message boxes show it.
std::string LibraryText(HMODULE lib, UINT id)
{
    WCHAR text[256] = {};
    LoadStringW(lib, id, text, 256);
    return HostUtf8(text);
}

bool Contains(const std::string& text, const std::string& part) { return !part.empty() && text.find(part) != std::string::npos; }

// How a refused run ends: from the message boxes and dialogs it showed.
int RefusedOutcome(const RunSeen& seen, HMODULE lib)
{
    const struct {
        UINT id;
        int exit;
    } messages[] = {{IDS_ADDRESS_INVALID, STOP}, {IDS_SERVER_QUIT, RETRY}, {IDS_NO_CONNECTION, RETRY},
                    {IDS_UNEXPECTED_ERROR, FAILED}};
    for (const std::string& shown : seen.messages)
        for (const auto& m : messages)
            if (shown == LibraryText(lib, m.id)) {
                Status("ERROR", shown);
                return m.exit;
            }
    bool identityRejected = Contains(seen.rejected, LibraryText(lib, IDS_REJECTED_USER)) ||
                            Contains(seen.rejected, LibraryText(lib, IDS_REJECTED_PASSWORD));
    bool accountRejected = Contains(seen.rejected, LibraryText(lib, IDS_REJECTED_ACCOUNT));
    if (!seen.rejected.empty()) {
        std::string fields = seen.rejected;
        for (char& c : fields)
            if (c == '\n') c = ',';
        Status("INFO", "The print server rejected: " + fields);
        if (!seen.adminMessage.empty()) Status("INFO", "Administrator's message: " + seen.adminMessage);
        if (!seen.adminEmail.empty()) Status("INFO", "Administrator's e-mail: " + seen.adminEmail);
    }
    if (seen.identityMissing || identityRejected) {
        fprintf(stderr, "ATTR: auth-info-required=username,password\n");
        Status("INFO", seen.identityMissing ? "The print server requires a user ID and password"
                                            : "The print server did not accept the user ID or password");
        return AUTH_REQUIRED;
    }
    if (seen.accountMissing || accountRejected) {
        fprintf(stderr, "JOBSTATE: %s\n", seen.accountMissing ? "account-info-needed" : "account-authorization-failed");
        Status("INFO", seen.accountMissing ? "The print server requires an account number"
                                           : "The print server did not accept the account number");
        return HOLD;
    }
    Status("ERROR", "The job was refused at its start");
    return FAILED;
}

// The printer of this run on the stand-in's spooler, and its job.
struct Spool {
    HANDLE added = nullptr, printer = nullptr;
    DWORD jobId = 0;
};

bool StartSpool(const Uri& uri, const std::string& title, Spool* s)
{
    WString name = TEXT("pralix ") + HostWiden(std::to_string(getpid()).c_str());
    WString port = HostWiden((uri.host + ":" + uri.port).c_str());
    WString document = HostWiden(title.c_str()), datatype = TEXT("RAW");
    if (!s->added) s->added = AddPrinterForDriver(name, DRIVER, port);
    if (!s->added || (!s->printer && !OpenPrinterW(&name[0], &s->printer, nullptr))) return false;
    DOC_INFO_1W doc = {&document[0], nullptr, &datatype[0]};
    s->jobId = StartDocPrinterW(s->printer, 1, reinterpret_cast<LPBYTE>(&doc));
    return s->jobId != 0;
}

enum CopyResult { PRINTED, REFUSED, PORT_FAILED, READ_FAILED };

// Whatever the input has now, up to CHUNK bytes (a pipe's bytes go on as
// they come); 0 at its end, -1 when reading failed.
ssize_t ReadSome(int fd, BYTE* buf)
{
    for (;;) {
        ssize_t n = read(fd, buf, CHUNK);
        if (n >= 0 || errno != EINTR) return n;
    }
}

// One copy of the job through the hooks: job start (validation), then the
// data as it is read, never whole.
CopyResult PrintCopy(const SpoolerHooks& hooks, Spool* s, int in)
{
    HANDLE h = hooks.startDoc(s->printer, s->jobId);
    if (!h) {
        AbortPrinter(s->printer);
        return REFUSED;
    }
    std::unique_ptr<BYTE[]> buf(new BYTE[CHUNK]);
    ssize_t n;
    while ((n = ReadSome(in, buf.get())) > 0) {
        DWORD written = 0;
        if (!hooks.writePrinter(h, buf.get(), static_cast<DWORD>(n), &written)) {
            hooks.close(h);
            AbortPrinter(s->printer);
            return PORT_FAILED;
        }
    }
    bool readFailed = n < 0;
    hooks.endDoc(h);
    hooks.close(h);
    if (readFailed) {
        AbortPrinter(s->printer);
        return READ_FAILED;
    }
    return EndDocPrinter(s->printer) ? PRINTED : PORT_FAILED;
}

bool ParseArgs(int argc, char** argv, Args* a)
{
    if (argc != 6 && argc != 7) return false;
    a->job = argv[1];
    a->user = argv[2];
    a->title = argv[3];
    a->copies = atoi(argv[4]);
    if (a->copies < 1) a->copies = 1;
    a->numOptions = cupsParseOptions(argv[5], 0, &a->options);
    if (argc == 7) a->file = argv[6];
    return true;
}

// Runs every copy; returns the exit status.
int Run(const Args& args, const Uri& uri, HMODULE lib, const SpoolerHooks& hooks)
{
    const char* encryption = cupsGetOption("job-password-encryption", args.numOptions, args.options);
    if (encryption && strcmp(encryption, "none") != 0) {
        Status("ERROR", "The secure-print password (job-password) must be given in plain text, not " +
                            std::string(encryption));
        return FAILED;
    }
    JobText text{uri.host, args.user, args.title, AccountOf(args.numOptions, args.options), ""};
    const char* securePassword = cupsGetOption("job-password", args.numOptions, args.options);
    text.securePassword = securePassword ? securePassword : "";
    Credentials credentials{Env("AUTH_USERNAME"), Env("AUTH_PASSWORD"), text.account};
    if (CredentialTooLong(credentials, text.securePassword)) return HOLD;

    int in = args.file.empty() ? 0 : open(args.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        Status("ERROR", "Cannot read the job file " + args.file);
        return FAILED;
    }
    // Copies are made only of a file: standard input can be read once.
    int copies = args.file.empty() ? 1 : args.copies;
    CredentialsUser user(credentials, LibraryText(lib, IDS_REQUIRED));
    InstallUser(&user);
    Spool spool;
    int rc = OK;
    for (int copy = 0; copy < copies && rc == OK; copy++) {
        // Every copy starts from the job's own record: the ticket writer
        // empties the passwords after each ticket.
        _OEM_PRIVDEVMODE record;
        std::vector<std::string> warnings;
        BuildJobRecord(&record, getenv("PPD"), args.numOptions, args.options, text, &warnings);
        if (copy == 0)
            for (const std::string& w : warnings) Status("WARNING", w);
        SetUserInfo(&record, nullptr, DRIVER);
        if (copy > 0 && lseek(in, 0, SEEK_SET) != 0) {
            Status("ERROR", "Cannot read the job file again for its next copy");
            rc = FAILED;
            break;
        }
        if (!StartSpool(uri, args.title, &spool)) {
            Status("ERROR", "Cannot set up the job on the spooler");
            rc = FAILED;
            break;
        }
        switch (PrintCopy(hooks, &spool, in)) {
        case PRINTED: break;
        case REFUSED: rc = RefusedOutcome(user.Seen(), lib); break;
        case PORT_FAILED:
            Status("ERROR", "The print server's raw print port " + uri.host + ":" + uri.port + " refused or dropped the job");
            rc = RETRY;
            break;
        case READ_FAILED:
            Status("ERROR", "Reading the job failed");
            rc = FAILED;
            break;
        }
    }
    UninstallUser();
    if (spool.printer) ClosePrinter(spool.printer);
    if (spool.added) {
        DeletePrinter(spool.added);
        ClosePrinter(spool.added);
    }
    if (in != 0) close(in);
    if (rc == OK) Status("INFO", "Printed to the print server " + uri.host);
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 1) {
        fputs(DISCOVERY, stdout);
        return OK;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(USAGE, stdout);
        return OK;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("pralix %s\n", UMPD_VERSION);
        return OK;
    }
    Args args;
    if (!ParseArgs(argc, argv, &args)) {
        fputs(USAGE, stderr);
        return FAILED;
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, OnTerminate);
    std::string device = Env("DEVICE_URI");
    if (device.empty()) device = argv[0];
    Uri uri;
    if (!ParseUri(device, &uri)) {
        Status("ERROR", "The device URI must be pralix://HOST[:PORT] with HOST of at most 15 characters: " + device);
        return FAILED;
    }
    // Nothing of the job's record, and no password, reaches a disk; the hooks'
    // trace lines are not CUPS's.
    StandinUseMemoryRegistry();
    if (!freopen("/dev/null", "w", stdout)) return FAILED;
    SetEnvironmentVariableA("UMPD_SPOOLER_DLL", "winspool.drv");
    // Beside the backend in the build; installed, in lib/pralix, never in
    // CUPS's backend folder (cupsd runs every executable there).
    WString library = ExecutableDirectory() + HostWiden(UMPD_LIBRARY_NAME);
    HMODULE lib = LoadLibraryW(library.c_str());
    if (!lib) {
        library = ExecutableDirectory() + TEXT("../../pralix/") + HostWiden(UMPD_LIBRARY_NAME);
        lib = LoadLibraryW(library.c_str());
    }
    SpoolerHooks hooks = {};
    if (!lib || !LoadSpoolerHooks(lib, &hooks)) {
        Status("ERROR", "Cannot load the hook library " + HostUtf8(library));
        return FAILED;
    }
    int rc = Run(args, uri, lib, hooks);
    cupsFreeOptions(args.numOptions, args.options);
    return rc;
}
