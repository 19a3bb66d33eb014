// pralix-printer-app: an IPP Everywhere printer for each print server, so
// that any driverless client prints to it. A host of the hook library: the
// library validates each job with the print server and inserts the ticket
// while the job streams to the server's raw print port. PAPPL's main loop
// gives the usual subcommands; the server is set up here.
#include "app.h"

#include "english/resource.h"

#include <standin.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const char NAME[] = "pralix-printer-app";
const int DEFAULT_PORT = 8631;
// Never used for PAM (the callback decides), but set: PAPPL advertises
// Basic authentication only with a service name.
const char AUTH_SERVICE[] = "pralix-printer-app";

const char USAGE[] =
    "usage: pralix-printer-app SUBCOMMAND [OPTIONS] [FILES]\n"
    "       pralix-printer-app --help | --version\n"
    "Subcommands (PAPPL's): server, add, modify, delete, printers, default, jobs, cancel, pause, resume,\n"
    "status, options, submit, drivers, shutdown.\n"
    "  server [-o NAME=VALUE]...   runs the printer application in the foreground:\n"
    "      listen-hostname=ADDRESS (every address), server-port=PORT (8631), server-hostname=NAME,\n"
    "      state-directory=DIR (/var/lib/pralix-printer-app as root, else ~/.config/pralix-printer-app),\n"
    "      spool-directory=DIR (/var/spool/pralix-printer-app as root, else STATE/spool),\n"
    "      log-file=FILE|-|syslog (STATE/pralix-printer-app.log), log-level=fatal|error|warn|info (info),\n"
    "      auth-service=NAME (pralix-printer-app; only advertised: the print server decides who prints),\n"
    "      hold-without-credentials=local|all (local: jobs from this machine wait on the printer's Held jobs\n"
    "        page for someone to sign in, remote clients without credentials are answered 401; all: theirs\n"
    "        wait too, for clients that never answer 401), held-job-timeout=N[s|m|h] (4h: then cancelled),\n"
    "      held-jobs-per-client=N (10), held-jobs-limit=N (100): the most jobs held for the Held jobs page,\n"
    "      sign-in-lockout=N[s|m|h] (15m: how long repeated refused sign-ins lock a client or user out),\n"
    "      client-timeout=N[s|m|h] (30s: a client's connection or upload that sends nothing so long is given up),\n"
    "      trace=on|off (off: the hook library's trace of each job on standard output),\n"
    "      admin-group=GROUP (none: administrators are root and the server's own user; the local socket is\n"
    "        theirs and this group's)\n"
    "  add -d NAME -v pralix://HOST[:PORT] -m pralix [-o OPTION=VALUE]...   a printer for a print server\n"
    "  modify -d NAME -o pralix-OPTION=VALUE|pralix-options='NAME=VALUE ...'   the printer's defaults\n"
    "  submit -d NAME FILE   a job from this machine: held until the print server's policy is known, and\n"
    "      until someone signs in on the Held jobs page if it requires identity; with -o pralix-secure-print=true\n"
    "      its PIN is entered there (a job-password is not taken: it would be stored with the job)\n"
    "Clients print to ipps://HOST:8631/ipp/print/NAME with their user ID and password (HTTP Basic),\n"
    "job-account-id (the account number) and job-password (the secure-print PIN).\n";

void Usage(void*) { fputs(USAGE, stdout); }

pappl_pr_driver_t DRIVERS[] = {{"pralix", "Pralix print server (secure access)", nullptr, nullptr}};

// The server's settings from its -o options.
struct Settings {
    std::string stateDir, spoolDir, logFile, listen, hostname, authService = AUTH_SERVICE, adminGroup;
    pappl_loglevel_t level = PAPPL_LOGLEVEL_INFO;
    int port = DEFAULT_PORT;
    bool listens = true, holdRemote = false, trace = false;
    time_t heldFor = 4 * 60 * 60, lockout = 15 * 60, clientTimeout = 30;
    long heldPerClient = 10, heldInAll = 100;
};

std::string DefaultStateDir()
{
    if (getuid() == 0) return std::string("/var/lib/") + NAME;
    const char* config = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    if (config && *config) return std::string(config) + "/" + NAME;
    return std::string(home && *home ? home : "/tmp") + "/.config/" + NAME;
}

bool ParseLevel(const char* value, Settings* s, std::string* problem)
{
    const struct {
        const char* name;
        pappl_loglevel_t level;
    } levels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                  {"error", PAPPL_LOGLEVEL_ERROR},
                  {"warn", PAPPL_LOGLEVEL_WARN},
                  {"info", PAPPL_LOGLEVEL_INFO}};
    for (const auto& l : levels) {
        if (strcmp(value, l.name) != 0) continue;
        s->level = l.level;
        return true;
    }
    *problem = strcmp(value, "debug") == 0
                   ? "log-level=debug is not offered: PAPPL would log every request's attributes, the secure-print "
                     "password among them"
                   : std::string("log-level must be fatal, error, warn or info, not ") + value;
    return false;
}

bool ParsePort(const char* value, Settings* s, std::string* problem)
{
    char* end = nullptr;
    long port = strtol(value, &end, 10);
    s->port = static_cast<int>(port);
    if (*value && !*end && port > 0 && port < 65536) return true;
    *problem = std::string("server-port must be a port number, not ") + value;
    return false;
}

bool ParseTrace(const char* value, Settings* s, std::string* problem)
{
    s->trace = strcmp(value, "on") == 0;
    if (s->trace || strcmp(value, "off") == 0) return true;
    *problem = std::string("trace must be on or off, not ") + value;
    return false;
}

bool ParseHold(const char* value, Settings* s, std::string* problem)
{
    s->holdRemote = strcmp(value, "all") == 0;
    if (s->holdRemote || strcmp(value, "local") == 0) return true;
    *problem = std::string("hold-without-credentials must be local or all, not ") + value;
    return false;
}

// N seconds, Nm minutes or Nh hours, at most a week.
bool ParseDuration(const char* name, const char* value, time_t* seconds, std::string* problem)
{
    char* end = nullptr;
    long n = strtol(value, &end, 10);
    const long units[] = {1, 60, 3600};
    const char* unit = strchr("smh", *end);
    if (*value && n > 0 && (!*end || (*end && unit && !end[1])) && n <= 7 * 24 * 3600 / (*end ? units[unit - "smh"] : 1)) {
        *seconds = static_cast<time_t>(n * (*end ? units[unit - "smh"] : 1));
        return true;
    }
    *problem = std::string(name) + " must be a number of seconds, minutes (m) or hours (h), at most a week, not " + value;
    return false;
}

// A count from 1 to 100000.
bool ParseCount(const char* name, const char* value, long* count, std::string* problem)
{
    char* end = nullptr;
    *count = strtol(value, &end, 10);
    if (*value && !*end && *count > 0 && *count <= 100000) return true;
    *problem = std::string(name) + " must be a number from 1 to 100000, not " + value;
    return false;
}

bool ReadSettings(int n, cups_option_t* options, Settings* s, std::string* problem)
{
    const struct {
        const char* name;
        std::string Settings::*field;
    } texts[] = {{"state-directory", &Settings::stateDir}, {"spool-directory", &Settings::spoolDir},
                 {"log-file", &Settings::logFile},         {"listen-hostname", &Settings::listen},
                 {"server-hostname", &Settings::hostname}, {"auth-service", &Settings::authService}};
    for (const auto& t : texts)
        if (const char* value = cupsGetOption(t.name, n, options)) s->*t.field = value;
    s->listens = !cupsGetOption("private-server", n, options);
    if (s->stateDir.empty()) s->stateDir = DefaultStateDir();
    if (s->spoolDir.empty()) s->spoolDir = getuid() == 0 ? std::string("/var/spool/") + NAME : s->stateDir + "/spool";
    if (s->logFile.empty()) s->logFile = s->stateDir + "/" + NAME + ".log";
    if (const char* group = cupsGetOption("admin-group", n, options)) s->adminGroup = group;
    const char* level = cupsGetOption("log-level", n, options);
    const char* port = cupsGetOption("server-port", n, options);
    const char* hold = cupsGetOption("hold-without-credentials", n, options);
    const char* trace = cupsGetOption("trace", n, options);
    if (trace && !ParseTrace(trace, s, problem)) return false;
    const struct {
        const char* name;
        time_t Settings::*field;
    } durations[] = {{"held-job-timeout", &Settings::heldFor},
                     {"sign-in-lockout", &Settings::lockout},
                     {"client-timeout", &Settings::clientTimeout}};
    const struct {
        const char* name;
        long Settings::*field;
    } counts[] = {{"held-jobs-per-client", &Settings::heldPerClient}, {"held-jobs-limit", &Settings::heldInAll}};
    for (const auto& d : durations)
        if (const char* value = cupsGetOption(d.name, n, options))
            if (!ParseDuration(d.name, value, &(s->*d.field), problem)) return false;
    for (const auto& c : counts)
        if (const char* value = cupsGetOption(c.name, n, options))
            if (!ParseCount(c.name, value, &(s->*c.field), problem)) return false;
    return (!level || ParseLevel(level, s, problem)) && (!port || ParsePort(port, s, problem)) &&
           (!hold || ParseHold(hold, s, problem));
}

// The administrators' group by name; false when there is none of that name.
bool AdminGroup(const std::string& name, gid_t* gid, std::string* problem)
{
    *gid = static_cast<gid_t>(-1);
    if (name.empty()) return true;
    group entry, *found = nullptr;
    char buffer[4096];
    if (getgrnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) == 0 && found) {
        *gid = found->gr_gid;
        return true;
    }
    *problem = "admin-group " + name + " is not a group of this machine";
    return false;
}

// This process's own salt for the owners' proofs.
std::string Salt()
{
    unsigned char bytes[16] = {};
    char text[sizeof bytes * 2 + 1];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
    for (size_t i = 0; i < sizeof bytes; i++) snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

// A private directory (the state's, the spool's, the certificate's).
bool MakeDirectory(const std::string& path, std::string* problem)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    *problem = "cannot create " + path + ": " + strerror(errno);
    return false;
}

// The hook library and what every job shares: the registry in memory, the
// dialogs answered per thread, the ports watched for cancelled jobs.
bool LoadLibrary(App* app, std::string* problem)
{
    StandinUseMemoryRegistry();
    SetEnvironmentVariableA("UMPD_SPOOLER_DLL", "winspool.drv");
    SetEnvironmentVariableA("UMPD_TURNS", "server");  // a silent print server holds up only its own printers' jobs
    std::string tried;
    app->lib = LoadHookLibrary(&tried);
    if (!app->lib || !LoadSpoolerHooks(app->lib, &app->hooks)) {
        *problem = "cannot load the hook library " + tried;
        return false;
    }
    app->required = LibraryText(app->lib, IDS_REQUIRED);
    InstallThreadUsers();
    WatchPorts();
    return true;
}

// A new or restored printer: its supply and its "Held jobs" page.
void SetUpPrinter(pappl_printer_t* printer, void* app)
{
    ReportSupplies(printer, app);
    AddHeldPage(printer, app);
}

pappl_system_t* Fail(const std::string& problem)
{
    fprintf(stderr, "%s: %s\n", NAME, problem.c_str());
    return nullptr;
}

// The server: PAPPL's system with our settings, TLS credentials in the
// state directory, the filter, the identity callbacks and the saved state.
pappl_system_t* MakeSystem(int n, cups_option_t* options, void* data)
{
    App* app = static_cast<App*>(data);
    Settings s;
    std::string problem;
    umask(077);
    if (!ReadSettings(n, options, &s, &problem)) return Fail(problem);
    std::string ssl = s.stateDir + "/ssl";
    for (const std::string& dir : {s.stateDir, s.spoolDir, ssl})
        if (!MakeDirectory(dir, &problem)) return Fail(problem);
    if (!AdminGroup(s.adminGroup, &app->adminGroup, &problem)) return Fail(problem);
    app->salt = Salt();
    if (app->salt.empty()) return Fail("cannot draw random numbers");
    if (!LoadLibrary(app, &problem)) return Fail(problem);
    // The hook library traces each hook call on standard output: a line or
    // two a job, which a service's journal keeps. Only on request.
    if (!s.trace) {
        int none = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (none >= 0) dup2(none, STDOUT_FILENO), close(none);
    }
    pappl_system_t* system =
        papplSystemCreate(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE, NAME, s.port, "_print,_universal",
                          s.spoolDir.c_str(), s.logFile.c_str(), s.level, s.authService.c_str(), false);
    if (!system) return Fail("cannot create the printer application");
    // PAPPL rotates a log by its size; standard error cannot be rotated.
    if (s.logFile == "-") papplSystemSetMaxLogSize(system, 0);
    if (!s.hostname.empty()) papplSystemSetHostName(system, s.hostname.c_str());
    // PAPPL 1.3.1's printer pages end with the footer, and crash the server without one.
    papplSystemSetFooterHTML(system, "pralix-printer-app " UMPD_VERSION);
    if (s.listens && !papplSystemAddListeners(system, s.listen.empty() ? nullptr : s.listen.c_str())) {
        papplSystemDelete(system);
        return Fail("cannot listen on " + (s.listen.empty() ? std::string("any address") : s.listen) + " port " +
                    std::to_string(s.port));
    }
    char host[256];
    papplSystemGetHostName(system, host, sizeof host);
    cupsSetServerCredentials(ssl.c_str(), host, 1);
    // Made now, not at the first client's connection (libcups would make it
    // then, and first connections at once raced each other making it).
    if (access((ssl + "/" + host + ".crt").c_str(), F_OK) != 0 &&
        !cupsMakeServerCredentials(ssl.c_str(), host, 0, nullptr, time(nullptr) + 10 * 365 * 86400)) {
        papplSystemDelete(system);
        return Fail("cannot make the TLS certificate in " + ssl);
    }
    app->holdRemote = s.holdRemote;
    app->heldFor = s.heldFor;
    app->heldPerClient = static_cast<size_t>(s.heldPerClient);
    app->heldInAll = static_cast<size_t>(s.heldInAll);
    app->throttle.lockout = s.lockout;
    SetClientTimeout(static_cast<int>(s.clientTimeout));
    app->system = system;
    papplSystemSetPrinterDrivers(system, 1, DRIVERS, nullptr, SetUpPrinter, MakeDriver, app);
    papplSystemAddTimerCallback(system, 0, 1, WatchHeldJobs, app);
    papplSystemSetAuthCallback(system, "Basic", Authorize, app);
    AnswerUploadsEarly(app);
    papplSystemSetEventCallback(system, OnEvent, app);
    app->pdfConverter = PdfConverter();
    if (app->pdfConverter >= 0)
        papplSystemAddMIMEFilter(system, "application/pdf", "application/postscript", PrintPdf, app);
    else
        papplLog(system, PAPPL_LOGLEVEL_WARN,
                 "Neither pdftops (poppler-utils) nor gs (ghostscript) is installed: PDF documents are not taken");
    for (const char* image : {"image/jpeg", "image/png"})
        papplSystemAddMIMEFilter(system, image, "application/postscript", PrintImage, app);
    for (const char* raster : {"image/pwg-raster", "image/urf"})
        papplSystemAddMIMEFilter(system, raster, "application/postscript", StartedAgain, app);
    app->stateFile = s.stateDir + "/" + NAME + ".state";
    if (!LoadState(system, *app)) {
        papplSystemDelete(system);
        return Fail("cannot read the state " + app->stateFile);
    }
    papplSystemSetSaveCallback(system, SaveState, app);
    return system;
}

// The local socket of the subcommands, where PAPPL's own clients look for
// it: made in a private directory beside it, given to root (and the
// administrators' group) only, then moved into place, so that nobody else
// can ever connect. libcups makes every local socket mode 0777.
bool AddLocalSocket(pappl_system_t* system, const App& app, std::string* problem)
{
    std::string path = getuid() == 0 ? std::string("/run/") + NAME + ".sock"
                                     : std::string(papplGetTempDir()) + "/" + NAME + std::to_string(getuid()) + ".sock";
    std::string dir = path.substr(0, path.rfind('/') + 1) + "." + NAME + ".XXXXXX";
    if (!mkdtemp(&dir[0])) {
        *problem = "cannot make a directory beside " + path + ": " + strerror(errno);
        return false;
    }
    std::string made = dir + "/sock";
    bool group = app.adminGroup != static_cast<gid_t>(-1);
    bool ok = papplSystemAddListeners(system, made.c_str()) &&
              (!group || chown(made.c_str(), static_cast<uid_t>(-1), app.adminGroup) == 0) &&
              chmod(made.c_str(), group ? 0660 : 0600) == 0 && rename(made.c_str(), path.c_str()) == 0;
    if (!ok) *problem = "cannot make the local socket " + path + ": " + strerror(errno);
    unlink(made.c_str());
    rmdir(dir.c_str());
    return ok;
}

// SIGTERM and SIGINT, taken by a thread of their own: every job being sent
// is given up with a reset (the print server discards what it got), the
// state is saved with those jobs not ended, and the process ends at once.
// PAPPL would wait up to a minute for every active job, held ones included.
void StopOnSignal(App* app)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    int signal = 0;
    while (sigwait(&stops, &signal) != 0) {
    }
    app->stopping = true;
    for (int tenths = 0; tenths < 50 && app->sending > 0; tenths++) usleep(100000);
    SaveState(app->system, app);
    papplLog(app->system, PAPPL_LOGLEVEL_INFO, "Stopped by signal %d; jobs not yet printed print after a restart",
             signal);
    _exit(0);
}

// The server subcommand: PAPPL's main loop would make the local socket for
// anyone and, on SIGTERM, wait for every job. Options as PAPPL's: -o NAME=VALUE.
int RunServer(int argc, char** argv, App* app)
{
    int n = 0;
    cups_option_t* options = nullptr;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "-o") != 0 || i + 1 == argc) {
            fprintf(stderr, "%s: server takes only -o NAME=VALUE options, not %s\n%s", NAME, argv[i], USAGE);
            return 1;
        }
        n = cupsParseOptions(argv[++i], n, &options);
    }
    // Blocked in every thread from here on: only the stopping thread takes them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    pappl_system_t* system = MakeSystem(n, options, app);
    cupsFreeOptions(n, options);
    std::string problem;
    if (!system) return 1;
    if (!AddLocalSocket(system, *app, &problem)) {
        papplSystemDelete(system);
        Fail(problem);
        return 1;
    }
    pappl_version_t version = {};
    strncpy(version.name, NAME, sizeof version.name - 1);
    strncpy(version.sversion, UMPD_VERSION, sizeof version.sversion - 1);
    sscanf(UMPD_VERSION, "%hu.%hu.%hu.%hu", version.version, version.version + 1, version.version + 2,
           version.version + 3);
    papplSystemSetVersions(system, 1, &version);
    std::thread(StopOnSignal, app).detach();
    papplSystemRun(system);
    papplSystemDelete(system);
    return 0;
}

int RunMainloop(int argc, char** argv, App* app)
{
    return papplMainloop(argc, argv, UMPD_VERSION, nullptr, 1, DRIVERS, nullptr, MakeDriver, nullptr, nullptr,
                         MakeSystem, Usage, app);
}

// PAPPL 1.3's add sets none of the printer's own defaults: an add with -o
// options is followed by a modify with them.
int ModifyAfterAdd(int argc, char** argv, App* app)
{
    std::vector<char*> modify = {argv[0], const_cast<char*>("modify")};
    bool any = false;
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "-d") != 0 && strcmp(argv[i], "-o") != 0) continue;
        any = any || strcmp(argv[i], "-o") == 0;
        modify.push_back(argv[i]);
        modify.push_back(argv[++i]);
    }
    modify.push_back(nullptr);
    return any ? RunMainloop(static_cast<int>(modify.size()) - 1, modify.data(), app) : 0;
}

// A job from this machine comes over PAPPL's socket, which asks no
// credentials: it is submitted held, and the server releases it once it
// knows the print server requires nobody to sign in.
bool HoldSubmitted(int* argc, char*** argv, std::vector<char*>* held)
{
    if (*argc < 2 || strcmp((*argv)[1], "submit") != 0) return true;
    const struct {
        const char* option;
        const char* why;
    } refused[] = {{"job-hold-until", "job-hold-until is not offered: a submitted job is held until the print server's "
                                      "policy is known"},
                   {"job-password", "job-password is not offered: it would be stored with the job; submit with -o "
                                    "pralix-secure-print=true and enter the PIN on the printer's Held jobs page"}};
    for (int i = 2; i + 1 < *argc; i++)
        for (const auto& r : refused)
            if (strcmp((*argv)[i], "-o") == 0 && strncmp((*argv)[i + 1], r.option, strlen(r.option)) == 0) {
                fprintf(stderr, "%s: %s\n", NAME, r.why);
                return false;
            }
    held->assign(*argv, *argv + 2);
    held->push_back(const_cast<char*>("-o"));
    held->push_back(const_cast<char*>("job-hold-until=indefinite"));
    held->insert(held->end(), *argv + 2, *argv + *argc);
    held->push_back(nullptr);
    *argc = static_cast<int>(held->size()) - 1;
    *argv = held->data();
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", NAME, UMPD_VERSION);
        return 0;
    }
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--", 2) != 0 || strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "--") == 0) continue;
        fprintf(stderr, "%s: unknown option %s\n%s", NAME, argv[i], USAGE);
        return 1;
    }
    std::vector<char*> held;
    if (!HoldSubmitted(&argc, &argv, &held)) return 1;
    AddDeviceScheme();
    // As long as the process: PAPPL's threads may outlive main.
    static App* app = new App;
    if (argc >= 2 && strcmp(argv[1], "server") == 0 && !(argc == 3 && strcmp(argv[2], "--help") == 0))
        return RunServer(argc, argv, app);
    int status = RunMainloop(argc, argv, app);
    bool added = false;
    for (int i = 1; i < argc; i++) added = added || strcmp(argv[i], "add") == 0;
    return status == 0 && added ? ModifyAfterAdd(argc, argv, app) : status;
}
