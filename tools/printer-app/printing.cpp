// A job's document to the print server: PostScript as it is, PDF made
// PostScript by pdftops, each through the library's hooks (its job start
// validates the job, its data hook inserts the ticket) to the print
// server's raw print port over a connection of the job's own. A job given up
// part-way ends its connection with a reset; a printer that stops taking
// data is waited for. Raster documents come as PostScript from raster.cpp,
// JPEG and PNG from image.cpp.
#include "app.h"

#include "job_record.h"
#include "send_loop.h"

#include <standin.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

extern char** environ;

namespace {


// The job whose data this thread sends, for the port's observer.
thread_local pappl_job_t* tJob = nullptr;

struct Sending {
    Sending(pappl_job_t* job, App& app) : app_(app)
    {
        tJob = job;
        app_.sending++;
    }
    ~Sending()
    {
        tJob = nullptr;
        app_.sending--;
    }
    App& app_;
};

// Done entries are kept a while for a start that comes late, then let go.
const time_t STARTS_KEPT_S = 600;

}  // namespace

App& AppOf(pappl_job_t* job)
{
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
    return *static_cast<App*>(data.extension);
}

// A job that did not print: aborted by the system, errors detected, the
// reason in plain words for the client and the log.
bool Abort(pappl_job_t* job, const std::string& why)
{
    papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM | PAPPL_JREASON_ERRORS_DETECTED, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", why.c_str());
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
    return false;
}

namespace {

// The standard attributes that set ticket lines, as PAPPL resolved them
// with the printer's defaults, and the job's multiple-document-handling.
int AddStandards(pappl_job_t* job, const pappl_pr_options_t* options, int n, cups_option_t** values)
{
    const struct {
        pappl_sides_t sides;
        const char* keyword;
    } sides[] = {{PAPPL_SIDES_ONE_SIDED, "one-sided"},
                 {PAPPL_SIDES_TWO_SIDED_LONG_EDGE, "two-sided-long-edge"},
                 {PAPPL_SIDES_TWO_SIDED_SHORT_EDGE, "two-sided-short-edge"}};
    for (const auto& s : sides)
        if (options->sides == s.sides) n = cupsAddOption("sides", s.keyword, n, values);
    if (options->print_color_mode == PAPPL_COLOR_MODE_COLOR) n = cupsAddOption("print-color-mode", "color", n, values);
    if (options->print_color_mode == PAPPL_COLOR_MODE_MONOCHROME)
        n = cupsAddOption("print-color-mode", "monochrome", n, values);
    if (options->output_bin[0]) n = cupsAddOption("output-bin", options->output_bin, n, values);
    ipp_attribute_t* handling = papplJobGetAttribute(job, "multiple-document-handling");
    if (const char* value = ippGetString(handling, 0, nullptr))
        n = cupsAddOption("multiple-document-handling", value, n, values);
    return n;
}

// The job's texts: the owner is the validated user, else
// job-accounting-user-id, else the requesting user.
JobText TextOf(pappl_job_t* job, const Target& target, const JobSecrets& secrets)
{
    JobText text;
    text.address = target.host;
    const char* accounting = ippGetString(papplJobGetAttribute(job, "job-accounting-user-id"), 0, nullptr);
    const char* user = papplJobGetUsername(job);
    text.user = !secrets.credentials.user.empty() ? secrets.credentials.user
                : accounting                       ? accounting
                : user                             ? user
                                                   : "";
    text.title = papplJobGetName(job) ? papplJobGetName(job) : "";
    // The account number validated with the job (the request's, or the one
    // given when it was released), else the job's own.
    const char* account = ippGetString(papplJobGetAttribute(job, "job-account-id"), 0, nullptr);
    text.account = !secrets.credentials.account.empty() ? secrets.credentials.account : account ? account : "";
    text.securePassword = secrets.pin;
    return text;
}

// The job's record: the ticket's defaults, the printer's, the job's own
// values, the standard attributes, the job's texts.
void JobRecord(pappl_job_t* job, const pappl_pr_options_t* options, const JobText& text, _OEM_PRIVDEVMODE* record)
{
    cups_option_t *defaults = nullptr, *values = nullptr;
    int numDefaults = PrinterDefaults(papplJobGetPrinter(job), &defaults);
    int numValues = AddStandards(job, options, JobValues(job, &values), &values);
    std::vector<std::string> warnings;
    BuildJobRecord(record, numDefaults, defaults, numValues, values, text, &warnings);
    for (const std::string& w : warnings) papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", w.c_str());
    cupsFreeOptions(numDefaults, defaults);
    cupsFreeOptions(numValues, values);
}

// The document's pages as DSC marks them, "%%Page:" at a line's start,
// counted as the data passes (split marks too).
struct PageCount {
    unsigned pages = 0;
    std::string carry = "\n";  // the last bytes before the next data; the job's start begins a line

    static bool LineEnd(char c) { return c == '\n' || c == '\r'; }
    void Feed(const char* data, size_t n)
    {
        static const char MARK[] = "%%Page:";
        const size_t len = sizeof MARK - 1;
        std::string edge = carry + std::string(data, std::min(n, len - 1));
        for (size_t i = 1; i < carry.size(); i++)  // marks that begin in the carry and end in the data
            pages += edge.compare(i, len, MARK) == 0 && LineEnd(edge[i - 1]);
        for (const char* p = data; (p = static_cast<const char*>(memmem(p, n - (p - data), MARK, len)));) {
            pages += LineEnd(p == data ? carry.back() : p[-1]);
            p++;
            if (static_cast<size_t>(p - data) >= n) break;
        }
        carry = (carry + std::string(data + (n > len ? n - len : 0), std::min(n, len)));
        carry.erase(0, carry.size() > len ? carry.size() - len : 0);
    }
};

// Waits before the next try at a print server that does not answer; false
// when the job was cancelled meanwhile, or the application stops.
bool WaitToRetry(pappl_job_t* job, unsigned delay)
{
    App& app = AppOf(job);
    papplJobSetMessage(job, "The print server is not answering; will retry in %u seconds", delay);
    for (unsigned left = delay; left > 0 && !papplJobIsCanceled(job) && !app.stopping; left--) sleep(1);
    return !papplJobIsCanceled(job) && !app.stopping;
}

// Why a job start refused the job, in plain words, with the administrator's
// texts.
std::string Explained(const StartResult& start, Refusal refusal, HMODULE lib)
{
    if (!start.started) return "Cannot set up the job on the spooler";
    std::string why = RefusalText(refusal, start.seen, lib);
    if (!start.seen.adminMessage.empty()) why += ". Administrator's message: " + start.seen.adminMessage;
    if (!start.seen.adminEmail.empty()) why += ". Administrator's e-mail: " + start.seen.adminEmail;
    return why;
}

}  // namespace

namespace {

// How a send ended, as the job tells it: true when it printed. A job given
// up while the application stops is left as it is, to print after the
// restart.
bool Reported(pappl_job_t* job, const SendOutcome& out, const Target& target)
{
    App& app = AppOf(job);
    const std::string noPlace = NO_TICKET_PLACE;
    const struct {
        SendEnd end;
        std::string why;
    } ends[] = {{SendEnd::READ_FAILED, "Reading the document failed"},
                {SendEnd::NO_PLACE, noPlace + ", so its secure-print password and account number cannot reach the "
                                              "print server"},
                {SendEnd::NO_PLACE_IDENTITY, noPlace + ", so the print server cannot tell whose job it is"},
                {SendEnd::LOST, "The connection to the print server's raw print port was lost"},
                {SendEnd::NOT_WHOLE, out.why},
                {SendEnd::NOT_TAKEN, "The print server's raw print port did not take the whole job"},
                {SendEnd::NOT_STARTED, Explained(out.start, out.refusal, app.lib)},
                {SendEnd::REFUSED, Explained(out.start, out.refusal, app.lib)}};
    if (out.end == SendEnd::SENT) {
        papplJobSetMessage(job, "Printed to the print server %s", target.host.c_str());
        return true;
    }
    if (app.stopping) {
        app.sending--;  // given up: the stopping process need not wait for it
        StopHere();
    }
    if (papplJobIsCanceled(job) || out.end == SendEnd::CANCELLED || out.end == SendEnd::NOT_RETRIED) return false;
    for (const auto& e : ends)
        if (e.end == out.end) return Abort(job, e.why);
    return false;
}

}  // namespace

bool Send(pappl_job_t* job, const pappl_pr_options_t* options, int in, const std::function<std::string()>& finished,
          unsigned* pagesSent)
{
    App& app = AppOf(job);
    if (app.stopping) StopHere();
    JobSecrets secrets = TakeSecrets(app, job);
    if (secrets.needsPin && secrets.pin.empty())
        return Abort(job, "The job was sent for secure print and its PIN is not known here: it is not printed "
                          "without it");
    Target target;
    std::string problem;
    if (!TargetOf(papplJobGetPrinter(job), &target, &problem)) return Abort(job, problem);
    JobText text = TextOf(job, target, secrets);
    Credentials& credentials = secrets.credentials;
    credentials.account = text.account;
    PageCount pages;
    SendHost host;
    host.lib = app.lib;
    host.start = [&](HookJob& hook) {
        _OEM_PRIVDEVMODE record;
        JobRecord(job, options, text, &record);
        // Never the job's name, which any user chooses: the library treats
        // some document names specially.
        return StartJob(app, &hook, &record, credentials, "job " + std::to_string(papplJobGetID(job)));
    };
    host.cancelled = [&] { return papplJobIsCanceled(job) || app.stopping; };
    host.retryAfter = [&](unsigned delay) { return WaitToRetry(job, delay); };
    host.withoutTicket = [&] { papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s; it prints without one", NO_TICKET_PLACE); };
    host.sees = [&](const char* data, size_t n) { pages.Feed(data, n); };
    host.finished = finished;
    Sending sending(job, app);
    SendOutcome out = SendDocument(app.hooks, target, text, in, host);
    if (out.end == SendEnd::SENT && pagesSent) *pagesSent = pages.pages;
    return Reported(job, out, target);
}

namespace {

// The stand-in's port tells of a printer that takes no data; a cancelled
// job is given up (its connection reset).
BOOL WatchPort(void*, StandinPortEvent event, DWORD value)
{
    if (!tJob) return TRUE;
    if (papplJobIsCanceled(tJob) || AppOf(tJob).stopping) return FALSE;
    unsigned seconds = static_cast<unsigned>(value / 1000);
    if (event == STANDIN_PORT_WAITING)
        papplJobSetMessage(tJob, "The printer is not taking data; waiting for it (%u s)", seconds);
    if (event == STANDIN_PORT_RESUMED) papplJobSetMessage(tJob, "The printer is taking data again");
    if (event == STANDIN_PORT_DRAIN_ERROR)
        papplLogJob(tJob, PAPPL_LOGLEVEL_INFO, "The printer ended the connection after it had the whole job (%s)",
                    strerror(static_cast<int>(value)));
    return TRUE;
}

// The PDF converters, the first installed one used: poppler's pdftops, else
// Ghostscript's ps2write. The job's file takes the place of FILE.
const std::vector<std::vector<std::string>> PDF_CONVERTERS = {
    {"pdftops", "-level3", "FILE", "-"},
    {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=ps2write", "-sOutputFile=-", "-f", "FILE"}};

// Runs the PDF converter on the job's file, its PostScript on a pipe; -1
// when it cannot be started.
pid_t StartPdfConverter(pappl_job_t* job, const std::vector<std::string>& command, int* out)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    // Not the server's blocked signals: pdftops ends on SIGTERM as usual.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::vector<std::string> words = command;
    for (std::string& w : words)
        if (w == "FILE") w = papplJobGetFilename(job) ? papplJobGetFilename(job) : "";
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    *out = fds[0];
    if (pid < 0) close(fds[0]);
    return pid;
}

// A start of a job after its first (see JobStarts): it leaves the job to
// the first and ends without a word to PAPPL (whose ending of the job after
// the first stands), unless it came after that ending and so made the job
// "processing" again, when it ends it again with the first's result.
bool LeaveToFirst(pappl_job_t* job, bool printed)
{
    if (papplJobGetState(job) == IPP_JSTATE_PROCESSING) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Started again after it ended: ended again as before");
        return printed;
    }
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Started a second time: left to its first start");
    pthread_exit(nullptr);
}

}  // namespace

bool Once(pappl_job_t* job, const std::function<bool()>& print)
{
    App& app = AppOf(job);
    bool printed = false;
    if (!app.starts.Claim(job, &printed)) return LeaveToFirst(job, printed);
    bool result = print();
    app.starts.Printed(job, result);
    return result;
}

bool JobStarts::Claim(pappl_job_t* job, bool* printed)
{
    std::unique_lock<std::mutex> hold(lock_);
    time_t now = time(nullptr);
    for (auto it = jobs_.begin(); it != jobs_.end();)
        it = it->second.stage == ENDED && now - it->second.ended > STARTS_KEPT_S ? jobs_.erase(it) : std::next(it);
    auto key = std::make_pair(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
    if (jobs_.find(key) == jobs_.end()) {
        jobs_[key] = Entry();
        return true;
    }
    changed_.wait(hold, [&] { return jobs_[key].stage == ENDED; });
    *printed = jobs_[key].printed;
    return false;
}

bool JobStarts::AwaitEnd(pappl_job_t* job)
{
    std::unique_lock<std::mutex> hold(lock_);
    auto key = std::make_pair(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
    changed_.wait(hold, [&] {
        auto found = jobs_.find(key);
        return found != jobs_.end() && found->second.stage == ENDED;
    });
    return jobs_[key].printed;
}

void JobStarts::Printed(pappl_job_t* job, bool printed)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = jobs_.find(std::make_pair(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job)));
    if (found == jobs_.end()) return;
    found->second.stage = printed ? PRINTED : NOT_PRINTED;
    found->second.printed = printed;
}

void JobStarts::Ended(pappl_job_t* job)
{
    std::lock_guard<std::mutex> hold(lock_);
    // A job ended without a start of ours (refused as it started, cancelled
    // while queued) is ended too, for a start that comes after.
    auto key = std::make_pair(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
    bool known = jobs_.count(key) != 0;
    Entry& e = jobs_[key];
    if (known && e.stage == PRINTING) return;  // its print's end comes after
    e.stage = ENDED;
    e.ended = time(nullptr);
    changed_.notify_all();
}

void StopHere()
{
    for (;;) pause();
}

StartResult StartJob(const App& app, HookJob* job, _OEM_PRIVDEVMODE* record, const Credentials& credentials,
                     const std::string& document)
{
    CredentialsUser user(credentials, app.required);
    ThreadUser mine(&user);
    job->Store(record);
    explicit_bzero(record, sizeof *record);
    StartResult result;
    result.accepted = job->Start(document, &result.started);
    result.seen = user.Take();
    return result;
}

bool TargetOf(pappl_printer_t* printer, Target* target, std::string* problem)
{
    const char* uri = printer ? papplPrinterGetDeviceURI(printer) : nullptr;
    return uri && ParseDeviceUri(uri, target, problem) == TARGET_OK;
}

bool PrintPostScript(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*)
{
    return Once(job, [&] {
        const char* file = papplJobGetFilename(job);
        int in = file ? open(file, O_RDONLY | O_CLOEXEC) : -1;
        if (in < 0) return Abort(job, "Cannot read the job's document");
        unsigned pages = 0;
        bool printed = Send(job, options, in, nullptr, &pages);
        close(in);
        // PAPPL counts one impression for a job printed as it is.
        if (pages > 1) papplJobSetImpressionsCompleted(job, static_cast<int>(pages) - 1);
        if (pages > 0) papplJobSetImpressions(job, static_cast<int>(pages));
        return printed;
    });
}

namespace {

bool PrintPdfOnce(pappl_job_t* job)
{
    const std::vector<std::string>& command = PDF_CONVERTERS[AppOf(job).pdfConverter];
    int in = -1;
    pid_t pid = papplJobGetFilename(job) ? StartPdfConverter(job, command, &in) : -1;
    if (pid < 0) return Abort(job, "Cannot run " + command[0] + " to make the PDF document PostScript");
    int status = 0;
    auto converted = [&]() -> std::string {
        if (waitpid(pid, &status, 0) == pid) pid = -1;
        bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return ok ? "" : command[0] + " could not make the PDF document PostScript";
    };
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 0, true);
    unsigned pages = 0;
    bool printed = Send(job, options, in, converted, &pages);
    papplJobDeletePrintOptions(options);
    papplJobSetImpressionsCompleted(job, static_cast<int>(pages));
    if (pages > 0) papplJobSetImpressions(job, static_cast<int>(pages));
    close(in);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return printed;
}

}  // namespace

// Whether a program is in a directory of PATH.
bool OnPath(const char* program)
{
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        if (access((dirs.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

int PdfConverter()
{
    for (size_t i = 0; i < PDF_CONVERTERS.size(); i++)
        if (OnPath(PDF_CONVERTERS[i][0].c_str())) return static_cast<int>(i);
    return -1;
}

bool PrintPdf(pappl_job_t* job, pappl_device_t*, void*)
{
    return Once(job, [&] { return PrintPdfOnce(job); });
}

bool StartedAgain(pappl_job_t* job, pappl_device_t*, void*)
{
    return LeaveToFirst(job, AppOf(job).starts.AwaitEnd(job));
}

void WatchPorts() { StandinSetPortWait(0, WatchPort, nullptr); }
