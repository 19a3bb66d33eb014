// pralix: the CUPS backend of the print server. CUPS runs it last for each
// job of a queue whose device URI is pralix://HOST[:PORT]: it validates the
// job's user with the print server through the hook library's own job start
// (the job's credentials answer its dialogs), then streams the job through
// the library's hooks, ticket inserted, to the server's raw print port.
// Standard error carries CUPS's status lines, the hooks' trace lines among
// them as DEBUG: lines.
#include "hook_job.h"
#include "job_record.h"
#include "send_loop.h"
#include "target.h"

#include "english/resource.h"

#include <standin.h>

#include <cups/backend.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char DISCOVERY[] = "network pralix \"Unknown\" \"Pralix print server (secure access)\"\n";
const char USAGE[] =
    "usage: pralix job user title copies options [file]\n"
    "       pralix                      (the discovery line)\n"
    "       pralix --help | --version\n"
    "The device URI (DEVICE_URI) is pralix://HOST[:PORT]: HOST the print server, an IPv4 address or a host name\n"
    "(a name longer than 15 characters is resolved to its IPv4 address), PORT its raw print port (9100).\n"
    "Credentials: AUTH_USERNAME, AUTH_PASSWORD, and the job-account-id option; job-password is the secure-print\n"
    "password. A print server that does not answer is tried again until the job is cancelled; a printer that\n"
    "stops taking data is waited for as long as its connection is up.\n";
const DWORD REPORT_EVERY_MS = 10000;

// Set by SIGTERM (a cancel). Until the first byte is sent the backend ends
// at once; afterwards the job is given up, so that the printer discards it.
volatile sig_atomic_t gCancelled = 0;
volatile sig_atomic_t gSending = 0;

struct Args {
    std::string job, user, title, file;
    int copies = 1;
    int numOptions = 0;
    cups_option_t* options = nullptr;
};

// What one backend run works with.
struct Run {
    Args args;
    Target target;
    HMODULE lib = nullptr;
    SpoolerHooks hooks = {};
    JobText text;
    int numDefaults = 0;
    cups_option_t* defaults = nullptr;  // the queue's, from its PPD
    Credentials credentials;
    bool retried = false;  // the print server was waited for
};

// One status line for CUPS; line breaks inside become spaces.
void Status(const char* kind, const std::string& text)
{
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\r', ' ');
    fprintf(stderr, "%s: %s\n", kind, line.c_str());
}

void OnTerminate(int)
{
    gCancelled = 1;
    if (gSending) return;
    const char line[] = "INFO: The job was cancelled\n";
    ssize_t ignored = write(2, line, sizeof line - 1);
    (void)ignored;
    _exit(CUPS_BACKEND_OK);
}

// The hooks' trace lines, which the library prints on standard output, as
// DEBUG: lines on standard error (cupsctl --debug-logging shows them).
ssize_t WriteDebug(void* cookie, const char* buf, size_t n)
{
    bool* atLineStart = static_cast<bool*>(cookie);
    for (size_t at = 0; at < n;) {
        if (*atLineStart && write(2, "DEBUG: ", 7) < 0) return -1;
        const char* nl = static_cast<const char*>(memchr(buf + at, '\n', n - at));
        size_t len = nl ? static_cast<size_t>(nl - (buf + at)) + 1 : n - at;
        if (write(2, buf + at, len) < 0) return -1;
        *atLineStart = nl != nullptr;
        at += len;
    }
    return static_cast<ssize_t>(n);
}

bool TraceAsDebug()
{
    static bool atLineStart = true;
    cookie_io_functions_t io = {nullptr, WriteDebug, nullptr, nullptr};
    FILE* debug = fopencookie(&atLineStart, "w", io);
    if (!debug) return false;
    setvbuf(debug, nullptr, _IOLBF, 0);
    fflush(stdout);
    stdout = debug;
    return true;
}

// A credential from the environment, wiped from it: no other process of the
// same user reads it in /proc/PID/environ.
std::string TakeFromEnvironment(const char* name)
{
    char* value = getenv(name);
    if (!value) return "";
    std::string taken = value;
    explicit_bzero(value, strlen(value));
    unsetenv(name);
    return taken;
}

// A credential longer than its field (the dialog would cut it silently):
// the status for it, else OK.
int CredentialTooLong(const Credentials& c, const std::string& securePassword)
{
    const struct {
        const char* name;
        const std::string* value;
        size_t max;
        int status;
    } limits[] = {{"user ID (AUTH_USERNAME)", &c.user, USER_ID_MAX, CUPS_BACKEND_AUTH_REQUIRED},
                  {"password (AUTH_PASSWORD)", &c.password, PASSWORD_MAX, CUPS_BACKEND_AUTH_REQUIRED},
                  {"account number (job-account-id)", &c.account, ACCOUNT_MAX, CUPS_BACKEND_HOLD},
                  {"secure-print password (job-password)", &securePassword, SECURE_PASSWORD_MAX, CUPS_BACKEND_CANCEL}};
    for (const auto& l : limits) {
        if (Characters(*l.value) <= l.max) continue;
        Status("ERROR", std::string("The ") + l.name + " is longer than " + std::to_string(l.max) +
                            " characters, the most the print server takes");
        if (l.status == CUPS_BACKEND_AUTH_REQUIRED) fputs("ATTR: auth-info-required=username,password\n", stderr);
        return l.status;
    }
    return CUPS_BACKEND_OK;
}

// A secure-print password the ticket cannot carry: it has characters
// without a form in the ticket's code page (the library would refuse it at
// the job's start, as an unexpected error).
bool Unrepresentable(const std::string& utf8)
{
    WCHAR wide[64];
    char narrow[128];
    BOOL lost = FALSE;
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, 64);
    return n <= 0 || WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, &lost) <= 0 || lost;
}

// How a refused job start ends: its status lines and exit status.
int RefusedStatus(Refusal refusal, const RunSeen& seen, HMODULE lib)
{
    if (!seen.adminMessage.empty()) Status("INFO", "Administrator's message: " + seen.adminMessage);
    if (!seen.adminEmail.empty()) Status("INFO", "Administrator's e-mail: " + seen.adminEmail);
    const struct {
        Refusal refusal;
        const char *kind, *line;  // line: what CUPS is told besides the text
        int status;
    } ends[] = {
        {REFUSED_IDENTITY_MISSING, "INFO", "ATTR: auth-info-required=username,password", CUPS_BACKEND_AUTH_REQUIRED},
        {REFUSED_IDENTITY_REJECTED, "INFO", "ATTR: auth-info-required=username,password", CUPS_BACKEND_AUTH_REQUIRED},
        {REFUSED_ACCOUNT_MISSING, "INFO", "JOBSTATE: account-info-needed", CUPS_BACKEND_HOLD},
        {REFUSED_ACCOUNT_REJECTED, "INFO", "JOBSTATE: account-authorization-failed", CUPS_BACKEND_HOLD},
        {REFUSED_SERVER_QUIT, "ERROR", nullptr, CUPS_BACKEND_RETRY},
        {REFUSED_ADDRESS, "ERROR", nullptr, CUPS_BACKEND_STOP},
    };
    for (const auto& e : ends) {
        if (e.refusal != refusal) continue;
        if (e.line) fprintf(stderr, "%s\n", e.line);
        Status(e.kind, RefusalText(refusal, seen, lib));
        return e.status;
    }
    Status("ERROR", RefusalText(REFUSED_OTHER, seen, lib));
    return CUPS_BACKEND_FAILED;
}

// Waits before the next try at a print server that does not answer; false
// when the job belongs to a class, which can use another printer at once.
bool WaitToRetry(unsigned delay)
{
    if (getenv("CLASS")) {
        Status("ERROR", RefusalText(REFUSED_UNREACHABLE, RunSeen(), nullptr));
        return false;
    }
    fputs("STATE: +connecting-to-device\n", stderr);
    Status("INFO", "The print server is not answering; will retry in " + std::to_string(delay) + " seconds");
    for (unsigned left = delay; left > 0 && !gCancelled;) left = sleep(left);
    return true;
}

// The stand-in's port tells of a printer that takes no data, or resets
// after it took the whole job; a cancel gives the job up.
BOOL WatchPort(void* context, StandinPortEvent event, DWORD value)
{
    DWORD* nextReport = static_cast<DWORD*>(context);
    if (gCancelled) return FALSE;
    if (event == STANDIN_PORT_WAITING && value >= *nextReport) {
        fputs("STATE: +connecting-to-device\n", stderr);
        Status("INFO", "The printer is not taking data; waiting for it (" + std::to_string(value / 1000) + " s)");
        *nextReport = value + REPORT_EVERY_MS;
    } else if (event == STANDIN_PORT_RESUMED && *nextReport > REPORT_EVERY_MS) {
        fputs("STATE: -connecting-to-device\n", stderr);
        Status("INFO", "The printer is taking data again");
        *nextReport = REPORT_EVERY_MS;
    } else if (event == STANDIN_PORT_DRAIN_ERROR) {
        Status("DEBUG", std::string("The printer ended the connection after it had the whole job (") +
                            strerror(static_cast<int>(value)) + "); the job has printed");
    }
    return TRUE;
}

// How a copy's send ended, as CUPS is told: status lines and exit status.
int Reported(const SendOutcome& out, HMODULE lib)
{
    const std::string noPlace = NO_TICKET_PLACE;
    const struct {
        SendEnd end;
        const char *kind, *text;  // text null: none
        int status;
    } ends[] = {
        {SendEnd::SENT, nullptr, nullptr, CUPS_BACKEND_OK},
        {SendEnd::CANCELLED, "INFO", "The job was cancelled", CUPS_BACKEND_OK},
        {SendEnd::READ_FAILED, "ERROR", "Reading the job failed", CUPS_BACKEND_FAILED},
        {SendEnd::NOT_STARTED, "ERROR", "Cannot set up the job on the spooler", CUPS_BACKEND_FAILED},
        {SendEnd::NOT_RETRIED, nullptr, nullptr, CUPS_BACKEND_FAILED},
        {SendEnd::LOST, "ERROR", "The connection to the print server's raw print port was lost", CUPS_BACKEND_RETRY},
        {SendEnd::NOT_TAKEN, "ERROR", "The print server's raw print port did not take the whole job",
         CUPS_BACKEND_RETRY},
    };
    if (out.end == SendEnd::REFUSED) return RefusedStatus(out.refusal, out.start.seen, lib);
    if (out.end == SendEnd::NO_PLACE || out.end == SendEnd::NO_PLACE_IDENTITY) {
        Status("ERROR", noPlace + (out.end == SendEnd::NO_PLACE ? ", so its secure-print password and account number "
                                                                  "cannot reach the print server"
                                                                : ", so the print server cannot tell whose job it is") +
                            "; the job is cancelled");
        return CUPS_BACKEND_CANCEL;
    }
    for (const auto& e : ends) {
        if (e.end != out.end) continue;
        if (e.text) Status(e.kind, e.text);
        return e.status;
    }
    return CUPS_BACKEND_FAILED;
}

// One copy through the shared send loop: every try from the job's own
// record (the ticket writer empties the passwords after each ticket).
int PrintCopy(Run& run, CredentialsUser& user, int in, bool first)
{
    SendHost host;
    host.lib = run.lib;
    host.start = [&](HookJob& job) {
        _OEM_PRIVDEVMODE record;
        std::vector<std::string> warnings;
        BuildJobRecord(&record, run.numDefaults, run.defaults, run.args.numOptions, run.args.options, run.text,
                       &warnings);
        for (const std::string& w : warnings)
            if (first) Status("WARNING", w);
        first = false;
        job.Store(&record);
        StartResult result;
        // Never the job's title, which any user chooses: the library treats
        // some document names specially.
        result.accepted = job.Start("job " + run.args.job, &result.started);
        result.seen = user.Take();
        return result;
    };
    host.cancelled = [] { return gCancelled != 0; };
    host.retryAfter = [&](unsigned delay) { return WaitToRetry(delay); };
    host.sending = [](bool on) { gSending = on; };
    host.withoutTicket = [] { Status("WARNING", std::string(NO_TICKET_PLACE) + "; it prints without one"); };
    host.streaming = [](bool retried) {
        if (retried) fputs("STATE: -connecting-to-device\n", stderr);
    };
    return Reported(SendDocument(run.hooks, run.target, run.text, in, host), run.lib);
}

bool ParseArgs(int argc, char** argv, Args* a)
{
    if (argc != 6 && argc != 7) return false;
    a->job = argv[1];
    a->user = argv[2];
    a->title = argv[3];
    a->copies = std::max(1, atoi(argv[4]));
    a->numOptions = cupsParseOptions(argv[5], 0, &a->options);
    if (argc == 7) a->file = argv[6];
    return true;
}

// Every copy of the job; returns the exit status.
int PrintJob(Run& run)
{
    const char* encryption = cupsGetOption("job-password-encryption", run.args.numOptions, run.args.options);
    if (encryption && strcmp(encryption, "none") != 0) {
        Status("ERROR", "The secure-print password (job-password) must be given in plain text, not " +
                            std::string(encryption));
        return CUPS_BACKEND_CANCEL;
    }
    const char* securePassword = cupsGetOption("job-password", run.args.numOptions, run.args.options);
    run.text = JobText{run.target.host, run.args.user, run.args.title, AccountOf(run.args.numOptions, run.args.options),
                       securePassword ? securePassword : ""};
    run.credentials.account = run.text.account;
    if (int status = CredentialTooLong(run.credentials, run.text.securePassword)) return status;
    if (Unrepresentable(run.text.securePassword)) {
        Status("ERROR", "The secure-print password (job-password) has characters the print server's ticket cannot carry");
        return CUPS_BACKEND_CANCEL;
    }

    int in = run.args.file.empty() ? 0 : open(run.args.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        Status("ERROR", "Cannot read the job file " + run.args.file);
        return CUPS_BACKEND_FAILED;
    }
    run.numDefaults = PpdDefaults(getenv("PPD"), &run.defaults);
    // Copies are made only of a file: standard input can be read once.
    int copies = run.args.file.empty() ? 1 : run.args.copies;
    CredentialsUser user(run.credentials, LibraryText(run.lib, IDS_REQUIRED));
    InstallUser(&user);
    DWORD nextReport = REPORT_EVERY_MS;
    StandinSetPortWait(0, WatchPort, &nextReport);
    int rc = CUPS_BACKEND_OK;
    for (int copy = 0; copy < copies && rc == CUPS_BACKEND_OK && !gCancelled; copy++) {
        if (copy > 0 && lseek(in, 0, SEEK_SET) != 0) {
            Status("ERROR", "Cannot read the job file again for its next copy");
            rc = CUPS_BACKEND_FAILED;
            break;
        }
        rc = PrintCopy(run, user, in, copy == 0);
    }
    UninstallUser();
    if (in != 0) close(in);
    if (rc == CUPS_BACKEND_OK && !gCancelled) Status("INFO", "Printed to the print server " + run.target.host);
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 1) {
        fputs(DISCOVERY, stdout);
        return CUPS_BACKEND_OK;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(USAGE, stdout);
        return CUPS_BACKEND_OK;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("pralix %s\n", UMPD_VERSION);
        return CUPS_BACKEND_OK;
    }
    Run run;
    run.credentials.user = TakeFromEnvironment("AUTH_USERNAME");
    run.credentials.password = TakeFromEnvironment("AUTH_PASSWORD");
    prctl(PR_SET_DUMPABLE, 0);
    if (!ParseArgs(argc, argv, &run.args)) {
        fputs(USAGE, stderr);
        return CUPS_BACKEND_FAILED;
    }
    struct sigaction cancel = {};
    cancel.sa_handler = OnTerminate;  // no SA_RESTART: a read or a wait ends at a cancel
    sigaction(SIGTERM, &cancel, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const char* device = getenv("DEVICE_URI");
    std::string problem;
    TargetProblem wrong = ParseDeviceUri(device ? device : argv[0], &run.target, &problem);
    if (wrong != TARGET_OK) {
        Status("ERROR", problem);
        return wrong == TARGET_UNRESOLVED && getenv("CLASS") ? CUPS_BACKEND_FAILED : CUPS_BACKEND_STOP;
    }
    // Nothing of the job's record, and no password, reaches a disk.
    StandinUseMemoryRegistry();
    if (!TraceAsDebug()) return CUPS_BACKEND_FAILED;
    SetEnvironmentVariableA("UMPD_SPOOLER_DLL", "winspool.drv");
    std::string library;
    run.lib = LoadHookLibrary(&library);
    if (!run.lib || !LoadSpoolerHooks(run.lib, &run.hooks)) {
        Status("ERROR", "Cannot load the hook library " + library);
        return CUPS_BACKEND_STOP;
    }
    int rc = PrintJob(run);
    cupsFreeOptions(run.args.numOptions, run.args.options);
    cupsFreeOptions(run.numDefaults, run.defaults);
    return rc;
}
