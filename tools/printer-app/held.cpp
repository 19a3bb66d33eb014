// Jobs that wait, held, for someone to sign in for them: those from this
// machine's socket and, where the administrator chose so, from clients that
// send no credentials. A printer's "Held jobs" page lists them; a person
// releases one with a user ID, password and account number that the print
// server accepts, which then print in its ticket. A timer of the
// application's own settles them: it releases a socket's job whose print
// server requires nobody, and cancels a job held longer than the hold time.
#include "app.h"

#include <cstring>
#include <thread>
#include <vector>

namespace {

const int MOST_FAILURES = 5;
const time_t ASK_AGAIN_S = 10;
const char TITLE[] = "Held jobs";

// A hold time in words: "4 hours", "90 minutes", "30 seconds".
std::string Duration(time_t seconds)
{
    const struct {
        time_t size;
        const char* unit;
    } units[] = {{3600, "hour"}, {60, "minute"}, {1, "second"}};
    for (const auto& u : units)
        if (seconds % u.size == 0) {
            time_t n = seconds / u.size;
            return std::to_string(n) + " " + u.unit + (n == 1 ? "" : "s");
        }
    return std::to_string(seconds) + " seconds";
}

// A held job, as the timer and the page see it.
struct HeldJob {
    int printer = 0, job = 0;
    uintptr_t id = 0;  // its secrets
    time_t created = 0;
    bool received = false;  // its document is spooled
    bool marked = false;    // sent for secure print (its mark outlives a restart)
    std::string uri, owner;
};

struct Collecting {
    int printer = 0;
    std::string uri;
    std::vector<HeldJob> found;
};

void CollectJob(pappl_job_t* job, void* data)
{
    auto* c = static_cast<Collecting*>(data);
    uintptr_t id = reinterpret_cast<uintptr_t>(papplJobGetData(job));
    if (!id || papplJobGetState(job) != IPP_JSTATE_HELD) return;
    HeldJob h;
    h.printer = c->printer;
    h.job = papplJobGetID(job);
    h.id = id;
    h.created = papplJobGetTimeCreated(job);
    h.received = papplJobGetFilename(job) != nullptr;
    h.uri = c->uri;
    h.owner = papplJobGetUsername(job) ? papplJobGetUsername(job) : "";
    h.marked = ippGetBoolean(papplJobGetAttribute(job, SECURE_PRINT_MARK), 0);
    c->found.push_back(h);
}

void CollectPrinter(pappl_printer_t* printer, void* data)
{
    auto* c = static_cast<Collecting*>(data);
    c->printer = papplPrinterGetID(printer);
    const char* uri = papplPrinterGetDeviceURI(printer);
    c->uri = uri ? uri : "";
    papplPrinterIterateActiveJobs(printer, CollectJob, c, 1, 0);
}

// The held jobs first, outside PAPPL's iterators, which must not release
// or cancel (that can hang the server).
std::vector<HeldJob> HeldJobs(pappl_system_t* system, pappl_printer_t* printer)
{
    Collecting c;
    if (printer)
        CollectPrinter(printer, &c);
    else
        papplSystemIteratePrinters(system, CollectPrinter, &c);
    return c.found;
}

pappl_job_t* FindJob(pappl_system_t* system, int printerId, int jobId)
{
    pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, printerId, nullptr);
    return printer ? papplPrinterFindJob(printer, jobId) : nullptr;
}

Hold HoldOf(App& app, uintptr_t id)
{
    Hold hold = Hold::NONE;
    app.secrets.Change(id, [&](JobSecrets& s) { hold = s.hold; });
    return hold;
}

// What the job's message says while it waits for its owner.
std::string WaitingMessage(bool restored, bool needsPin)
{
    std::string m = restored ? "Held after a restart until its owner signs in again on the printer's "
                             : "Held until its owner signs in on the printer's ";
    m += std::string(TITLE) + " page";
    return needsPin ? m + ", with the job's PIN" : m;
}

// One held job a step on: asked about, released, told how to release it,
// or cancelled once it has waited the hold time. A job sent for secure
// print whose PIN is not known waits for it whatever the print server
// requires.
void Settle(App& app, pappl_system_t* system, const HeldJob& h, time_t now)
{
    Hold hold = Hold::NONE;
    bool told = true, ask = false, restored = false, needsPin = false;
    app.secrets.Change(h.id, [&](JobSecrets& s) {
        s.needsPin = s.needsPin || h.marked;
        if (s.hold == Hold::RELEASE && s.needsPin && s.pin.empty()) s.hold = Hold::IDENTITY;
        hold = s.hold;
        told = s.told;
        restored = s.restored;
        needsPin = s.needsPin && s.pin.empty();
        s.told = s.told || hold == Hold::IDENTITY;
        ask = hold == Hold::DECIDING && h.received && now >= s.askAfter;
        if (ask) s.hold = Hold::ASKING;
    });
    if (ask) app.asker.Ask(&app, h.id, h.uri);
    pappl_job_t* job = hold == Hold::RELEASE || hold == Hold::IDENTITY ? FindJob(system, h.printer, h.job) : nullptr;
    if (!job) return;
    if (hold == Hold::RELEASE) {
        app.secrets.Change(h.id, [](JobSecrets& s) { s.hold = Hold::NONE; });
        papplJobRelease(job, nullptr);
    } else if (now - h.created >= app.heldFor) {
        papplJobSetMessage(job, "Nobody signed in for the job within %s: cancelled", Duration(app.heldFor).c_str());
        papplJobCancel(job);
    } else if (!told) {
        papplJobSetMessage(job, "%s", WaitingMessage(restored, needsPin).c_str());
    }
}

std::string Field(int n, cups_option_t* form, const char* name)
{
    const char* value = cupsGetOption(name, n, form);
    return value ? value : "";
}

// What a release form asks for.
struct Release {
    int job = 0;
    Credentials credentials;
    std::string pin;
    std::vector<std::string> keys;  // the throttle's: the client's address, the user ID
    ~Release()
    {
        Wipe(&credentials);
        Wipe(&pin);
    }
};

// A refused sign-in counted against the job; the fifth cancels it.
std::string CountFailure(App& app, pappl_job_t* job, uintptr_t id, const std::string& why)
{
    int failures = 0;
    app.secrets.Change(id, [&](JobSecrets& s) { failures = ++s.failures; });
    if (failures < MOST_FAILURES)
        return why + ". The job stays held: " + std::to_string(MOST_FAILURES - failures) + " more tries.";
    papplJobSetMessage(job, "Cancelled after %d refused sign-ins", MOST_FAILURES);
    papplJobCancel(job);
    return why + ". After " + std::to_string(MOST_FAILURES) + " refused sign-ins the job is cancelled.";
}

// Validates the form's identity with the print server and releases the job
// with it; what happened, in words for the page.
std::string ReleaseJob(App& app, pappl_printer_t* printer, const Release& r)
{
    pappl_job_t* job = papplPrinterFindJob(printer, r.job);
    uintptr_t id = job ? reinterpret_cast<uintptr_t>(papplJobGetData(job)) : 0;
    std::string name = "Job " + std::to_string(r.job);
    if (!job || !id || papplJobGetState(job) != IPP_JSTATE_HELD || HoldOf(app, id) != Hold::IDENTITY)
        return name + " is not waiting for anyone to sign in.";
    if (!FitsServer(r.credentials, r.pin))
        return "The user ID takes at most 24 characters, the password 8, the account number 32; the secure-print "
               "password at most 8 digits.";
    bool needsPin = false;
    app.secrets.Change(id, [&](JobSecrets& s) { needsPin = s.needsPin && s.pin.empty(); });
    if (needsPin && r.pin.empty()) return name + " was sent for secure print: enter its PIN to release it.";
    Target target;
    std::string problem;
    if (!TargetOf(printer, &target, &problem)) return "The printer's device URI is not usable: " + problem;
    if (!app.throttle.Wait(r.keys)) return "Too many refused sign-ins of late: try again later.";
    StartResult run = StartAlone(app, target, r.credentials);
    if (!run.accepted) {
        Refusal refusal = ClassifyRefusal(run.seen, app.lib);
        std::string why = RefusalText(refusal, run.seen, app.lib);
        bool refused = refusal == REFUSED_IDENTITY_REJECTED || refusal == REFUSED_ACCOUNT_REJECTED;
        if (refused && app.throttle.Failed(r.keys))
            papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Repeated refused sign-ins on the %s page (user %s): "
                            "refused for a while", TITLE, r.credentials.user.c_str());
        return refused ? CountFailure(app, job, id, why) : why + ". The job stays held.";
    }
    app.throttle.Succeeded(r.keys);
    bool waiting = app.secrets.Change(id, [&](JobSecrets& s) {
        if (s.hold != Hold::IDENTITY) return;
        s.credentials = r.credentials;
        if (!r.pin.empty()) s.pin = r.pin;
        s.hold = Hold::NONE;
    });
    if (!waiting || HoldOf(app, id) != Hold::NONE || !papplJobRelease(job, r.credentials.user.c_str()))
        return name + " is not waiting for anyone to sign in.";
    // Its title only now, to the person who signed in for it.
    const char* title = papplJobGetName(job);
    return name + (title ? " (" + std::string(title) + ")" : "") + " is released: it prints now.";
}

// A posted release form, checked against PAPPL's session key.
std::string Post(App& app, pappl_client_t* client, pappl_printer_t* printer)
{
    cups_option_t* form = nullptr;
    // libcups keeps option values in a string pool shared by the process:
    // they are copied out and freed, never overwritten in place.
    int n = papplClientGetForm(client, &form);
    bool valid = papplClientIsValidForm(client, n, form);
    Release r;
    r.job = atoi(Field(n, form, "job-id").c_str());
    r.credentials = Credentials{Field(n, form, "user"), Field(n, form, "password"), Field(n, form, "account")};
    r.pin = Field(n, form, "pin");
    r.keys = SignInKeys(client, r.credentials.user);
    cupsFreeOptions(n, form);
    if (!valid) return "This form has expired: the page is shown again, fill it in once more.";
    return ReleaseJob(app, printer, r);
}

void ShowJob(pappl_client_t* client, const char* path, const HeldJob& h)
{
    char when[64];
    struct tm local;
    localtime_r(&h.created, &local);
    strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
    // No title: it is the owner's to see, once signed in.
    papplClientHTMLPrintf(client, "<tr><td>%d</td><td>%s</td><td>%s</td><td>\n", h.job, h.owner.c_str(), when);
    papplClientHTMLStartForm(client, path, false);
    papplClientHTMLPrintf(
        client,
        "<input type=\"hidden\" name=\"job-id\" value=\"%d\">\n"
        "<input type=\"text\" name=\"user\" id=\"user-%d\" placeholder=\"User ID\" autocomplete=\"username\">\n"
        "<input type=\"password\" name=\"password\" id=\"password-%d\" placeholder=\"Password\" "
        "autocomplete=\"current-password\">\n"
        "<input type=\"text\" name=\"account\" id=\"account-%d\" placeholder=\"Account number\">\n"
        "<input type=\"password\" name=\"pin\" id=\"pin-%d\" placeholder=\"Secure-print PIN (optional)\" "
        "inputmode=\"numeric\" autocomplete=\"off\">\n"
        "<input type=\"submit\" id=\"release-%d\" value=\"Release\"></form></td></tr>\n",
        h.job, h.job, h.job, h.job, h.job, h.job);
}

void ShowPage(App& app, pappl_client_t* client, pappl_printer_t* printer, const char* path, const std::string& notice)
{
    papplClientHTMLPrinterHeader(client, printer, TITLE, 0, nullptr, nullptr);
    papplClientHTMLPrintf(client,
                          "<div class=\"row\"><div class=\"col-12\">\n"
                          "<p>Jobs that came without a user ID and password wait here for their owner to sign in "
                          "with the print server's user ID, password and account number. Nobody signed in after %s, "
                          "or after %d refused sign-ins, a job is cancelled.</p>\n",
                          Duration(app.heldFor).c_str(), MOST_FAILURES);
    if (!notice.empty()) papplClientHTMLPrintf(client, "<div class=\"banner\" id=\"notice\">%s</div>\n", notice.c_str());
    std::vector<HeldJob> held;
    for (const HeldJob& h : HeldJobs(papplPrinterGetSystem(printer), printer))
        if (h.received && HoldOf(app, h.id) == Hold::IDENTITY) held.push_back(h);
    if (held.empty()) papplClientHTMLPuts(client, "<p id=\"none\">No job is waiting.</p>\n");
    if (!held.empty())
        papplClientHTMLPuts(client, "<table class=\"list\" id=\"held\"><thead><tr><th>Job</th>"
                                    "<th>Owner</th><th>Submitted</th><th>Sign in to print</th></tr></thead><tbody>\n");
    for (const HeldJob& h : held) ShowJob(client, path, h);
    if (!held.empty()) papplClientHTMLPuts(client, "</tbody></table>\n");
    papplClientHTMLPuts(client, "</div></div>\n");
    papplClientHTMLPrinterFooter(client);
}

// The page: over TLS only, unless from this machine (a password is typed in).
bool HeldPage(pappl_client_t* client, void* data)
{
    auto* printer = static_cast<pappl_printer_t*>(data);
    App& app = AppOf(printer);
    char path[256];
    papplPrinterGetPath(printer, "held", path, sizeof path);
    bool post = papplClientGetMethod(client) == HTTP_STATE_POST;
    if (!papplClientIsEncrypted(client) && !httpAddrLocalhost(httpGetAddress(papplClientGetHTTP(client)))) {
        cups_option_t* form = nullptr;
        int n = post ? papplClientGetForm(client, &form) : 0;
        cupsFreeOptions(n, form);
        return papplClientRespond(client, HTTP_STATUS_UPGRADE_REQUIRED, nullptr, nullptr, 0, 0);
    }
    std::string notice = post ? Post(app, client, printer) : "";
    ShowPage(app, client, printer, path, notice);
    return true;
}

}  // namespace

void PolicyAsker::Ask(App* app, uintptr_t id, const std::string& uri)
{
    std::lock_guard<std::mutex> hold(lock_);
    queue_.emplace_back(id, uri);
    more_.notify_one();
    if (running_) return;
    running_ = true;
    // Lives as long as the process, as the App does; it never calls PAPPL.
    std::thread([this, app] { Run(app); }).detach();
}

void PolicyAsker::Run(App* app)
{
    for (;;) {
        std::pair<uintptr_t, std::string> next;
        {
            std::unique_lock<std::mutex> hold(lock_);
            more_.wait(hold, [this] { return !queue_.empty(); });
            next = queue_.front();
            queue_.pop_front();
        }
        Target target;
        std::string problem;
        Policy policy;
        Refusal refusal = REFUSED_OTHER;
        Hold decided = Hold::DECIDING;
        if (ParseDeviceUri(next.second.c_str(), &target, &problem) == TARGET_OK &&
            PolicyOf(*app, target, &policy, &refusal))
            decided = policy.identity || policy.account ? Hold::IDENTITY : Hold::RELEASE;
        app->secrets.Change(next.first, [&](JobSecrets& s) {
            if (s.hold != Hold::ASKING) return;
            s.hold = decided;
            s.askAfter = time(nullptr) + ASK_AGAIN_S;
        });
    }
}

void AddHeldPage(pappl_printer_t* printer, void*)
{
    char path[256];
    papplPrinterGetPath(printer, "held", path, sizeof path);
    papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", HeldPage, printer);
    papplPrinterAddLink(printer, TITLE, path, static_cast<pappl_loptions_t>(PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS));
}

bool WatchHeldJobs(pappl_system_t* system, void* data)
{
    App& app = *static_cast<App*>(data);
    time_t now = time(nullptr);
    for (const HeldJob& h : HeldJobs(system, nullptr)) Settle(app, system, h, now);
    return true;
}
