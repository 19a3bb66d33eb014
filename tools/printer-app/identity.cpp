// Who may print. The print server's policy is learned from the library's
// own job start (one without credentials shows in its dialogs what is
// required; given up before any data, it opens no connection to the raw
// port) and kept a short while. A job-creation request's identity is
// validated the same way before PAPPL accepts the job; its credentials then
// travel with the job, never in its attributes, and are wiped when it ends.
#include "app.h"

#include "job_record.h"

#include <chrono>
#include <cstring>
#include <ctime>

namespace {

const time_t POLICY_SECONDS = 10;
const int LOOK_UP_WAIT_SECONDS = 60;

// The secrets of this thread's last job-creation request, until the
// job-created event moves them to the job (or the connection ends).
struct Pending {
    App* app = nullptr;
    uintptr_t id = 0;
    void Drop()
    {
        if (id) app->secrets.Drop(id);
        id = 0;
    }
    ~Pending() { Drop(); }
};
thread_local Pending tPending;
App* gEarlyApp = nullptr;  // the application whose uploads are answered from their headers


bool CreatesJob(ipp_op_t op) { return op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB || op == IPP_OP_VALIDATE_JOB; }

// How a refusal is answered before the job exists: 401 when asking again for
// the user ID and password can mend it, 503 while the print server cannot
// answer, 403 otherwise.
http_status_t StatusOf(Refusal refusal)
{
    const struct {
        Refusal refusal;
        http_status_t status;
    } statuses[] = {{REFUSED_IDENTITY_MISSING, HTTP_STATUS_UNAUTHORIZED},
                    {REFUSED_IDENTITY_REJECTED, HTTP_STATUS_UNAUTHORIZED},
                    {REFUSED_UNREACHABLE, HTTP_STATUS_SERVICE_UNAVAILABLE},
                    {REFUSED_SERVER_QUIT, HTTP_STATUS_SERVICE_UNAVAILABLE}};
    for (const auto& s : statuses)
        if (s.refusal == refusal) return s.status;
    return HTTP_STATUS_FORBIDDEN;
}

// The request's identity, account number and secure-print password; false
// when one cannot serve (too long for the print server, an encrypted or
// non-numeric password), with the status that says so.
bool ReadRequest(pappl_client_t* client, ipp_t* request, JobSecrets* secrets, http_status_t* status)
{
    Credentials& c = secrets->credentials;
    ReadBasic(client, &c);
    const char* account = ippGetString(ippFindAttribute(request, "job-account-id", IPP_TAG_ZERO), 0, nullptr);
    c.account = account ? account : "";
    int length = 0;
    ipp_attribute_t* pin = ippFindAttribute(request, "job-password", IPP_TAG_STRING);
    if (const void* bytes = pin ? ippGetOctetString(pin, 0, &length) : nullptr)
        secrets->pin.assign(static_cast<const char*>(bytes), static_cast<size_t>(length));
    secrets->needsPin = !secrets->pin.empty();
    ipp_attribute_t* encrypted = ippFindAttribute(request, "job-password-encryption", IPP_TAG_KEYWORD);
    const char* encryption = ippGetString(encrypted, 0, nullptr);
    *status = HTTP_STATUS_UNAUTHORIZED;
    if (Characters(c.user) > USER_ID_MAX || Characters(c.password) > PASSWORD_MAX) return false;
    *status = HTTP_STATUS_FORBIDDEN;
    return FitsServer(c, secrets->pin) && (!encryption || strcmp(encryption, "none") == 0);
}

// Whether a job can wait, held, for its owner to sign in: PAPPL prints PWG
// and Apple raster while they arrive, so those cannot.
bool CanHold(ipp_t* request)
{
    const char* format = ippGetString(ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE), 0, nullptr);
    return !format || (strcmp(format, "image/pwg-raster") != 0 && strcmp(format, "image/urf") != 0);
}

// The request asks for its job to be held until released (the client's own
// hold, if any, replaced).
void HoldIndefinitely(ipp_t* request)
{
    for (const char* name : {"job-hold-until", "job-hold-until-time"})
        if (ipp_attribute_t* given = ippFindAttribute(request, name, IPP_TAG_ZERO)) ippDeleteAttribute(request, given);
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
}

// What PAPPL would keep of the request that must not rest with the job: a
// job-password sent among the job's attributes (PAPPL copies that group
// into the job and its spool file) and a user and password in the printer's
// URI (copied into job-uri and job-printer-uri). The job's own mark of
// secure print goes in instead: what outlives a restart is that the job
// needs its PIN, never the PIN.
void Scrub(ipp_t* request, bool needsPin)
{
    auto kept = [](ipp_attribute_t* a) {
        const char* name = ippGetName(a);
        return !name || ippGetGroupTag(a) != IPP_TAG_JOB ||
               (strcmp(name, "job-password") != 0 && strcmp(name, SECURE_PRINT_MARK) != 0);
    };
    for (bool again = true; again;) {
        again = false;
        for (ipp_attribute_t* a = ippFirstAttribute(request); a && !again; a = ippNextAttribute(request))
            if (!kept(a)) {
                ippDeleteAttribute(request, a);
                again = true;  // deleting ends the walk
            }
    }
    if (needsPin) ippAddBoolean(request, IPP_TAG_JOB, SECURE_PRINT_MARK, 1);
    ipp_attribute_t* uri = ippFindAttribute(request, "printer-uri", IPP_TAG_URI);
    char scheme[32], userpass[256], host[256], resource[1024], plain[2048];
    int port = 0;
    if (!uri || httpSeparateURI(HTTP_URI_CODING_ALL, ippGetString(uri, 0, nullptr), scheme, sizeof scheme, userpass,
                                sizeof userpass, host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK ||
        !userpass[0])
        return;
    explicit_bzero(userpass, sizeof userpass);
    httpAssembleURI(HTTP_URI_CODING_ALL, plain, sizeof plain, scheme, nullptr, host, port, resource);
    ippSetString(request, &uri, 0, plain);
}

// A job-password among the job's attributes (careless clients send it so)
// serves as the PIN when the operation's own is not there.
void ReadCarelessPin(ipp_t* request, JobSecrets* secrets)
{
    int length = 0;
    for (ipp_attribute_t* a = ippFirstAttribute(request); a && secrets->pin.empty(); a = ippNextAttribute(request))
        if (ippGetGroupTag(a) == IPP_TAG_JOB && ippGetName(a) && strcmp(ippGetName(a), "job-password") == 0)
            if (const void* bytes = ippGetOctetString(a, 0, &length)) {
                secrets->pin.assign(static_cast<const char*>(bytes), static_cast<size_t>(length));
                secrets->needsPin = !secrets->pin.empty();
            }
}

// Whether one more job may wait on the Held jobs page: at most so many of
// one client address, and so many in all; false with the reason logged.
bool MayHold(App& app, pappl_client_t* client, const std::string& address)
{
    auto held = [](const JobSecrets& s) { return s.hold != Hold::NONE; };
    size_t mine = app.secrets.Count([&](const JobSecrets& s) { return held(s) && s.address == address; });
    size_t all = app.secrets.Count(held);
    if (mine < app.heldPerClient && all < app.heldInAll) return true;
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Job refused: %s jobs already wait on the Held jobs page (%s)",
                   std::to_string(mine < app.heldPerClient ? all : mine).c_str(),
                   mine < app.heldPerClient ? "held-jobs-limit" : "held-jobs-per-client");
    return false;
}

// PAPPL 1.3.1 answers a refused request a second time when its document
// is still unread, which clients take for a broken reply: it is read away
// first (each read waits as long as the connection's timeout).
http_status_t Refuse(pappl_client_t* client, http_status_t status)
{
    http_t* http = papplClientGetHTTP(client);
    char discard[65536];
    while (httpGetState(http) == HTTP_STATE_POST_RECV && httpRead2(http, discard, sizeof discard) > 0) {
    }
    return status;
}

// Checks a job-creation request against the print server's policy; what
// the job will print with is kept for it.
http_status_t AuthorizeJob(App& app, pappl_client_t* client, ipp_t* request)
{
    Target target;
    std::string problem;
    if (!TargetOf(papplClientGetPrinter(client), &target, &problem)) return HTTP_STATUS_FORBIDDEN;
    Policy policy;
    Refusal refusal = REFUSED_OTHER;
    if (!PolicyOf(app, target, &policy, &refusal)) return StatusOf(refusal);
    JobSecrets secrets;
    http_status_t status;
    if (!ReadRequest(client, request, &secrets, &status)) return status;
    ReadCarelessPin(request, &secrets);
    if (!FitsServer(secrets.credentials, secrets.pin)) return HTTP_STATUS_FORBIDDEN;
    Credentials& c = secrets.credentials;
    if (!policy.identity) {
        Wipe(&c.user);
        Wipe(&c.password);
    }
    secrets.address = AddressOf(client);
    // A client that never answers 401 (Windows' IPP class driver) has its
    // job held for the "Held jobs" page where the administrator chose so.
    bool hold = policy.identity && c.user.empty() && c.password.empty();
    if (hold && (!app.holdRemote || !CanHold(request))) return HTTP_STATUS_UNAUTHORIZED;
    if (policy.account && c.account.empty() && !hold) return HTTP_STATUS_FORBIDDEN;
    bool validate = !hold && (policy.identity || policy.account);
    std::vector<std::string> keys = SignInKeys(client, c.user);
    if (validate && !app.throttle.Wait(keys)) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Job refused: too many refused sign-ins of late");
        return HTTP_STATUS_FORBIDDEN;
    }
    if (validate) {
        StartResult run = StartAlone(app, target, c);
        Refusal refusal = run.accepted ? REFUSED_OTHER : ClassifyRefusal(run.seen, app.lib);
        if (run.accepted) app.throttle.Succeeded(keys);
        if (refusal == REFUSED_IDENTITY_REJECTED || refusal == REFUSED_ACCOUNT_REJECTED) {
            if (app.throttle.Failed(keys))
                papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Repeated refused sign-ins from %s (user %s): refused "
                               "for a while", secrets.address.c_str(), c.user.c_str());
        }
        if (!run.accepted) {
            std::string why = RefusalText(refusal, run.seen, app.lib);
            papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Job refused: %s", why.c_str());
            return StatusOf(refusal);
        }
    }
    if (policy.identity && !hold) {
        papplClientSetUsername(client, c.user.c_str());
        secrets.proof = ProofOf(app, c);
    }
    if (hold && !MayHold(app, client, secrets.address)) return HTTP_STATUS_SERVICE_UNAVAILABLE;
    Scrub(request, secrets.needsPin);
    if (ippGetOperation(request) != IPP_OP_VALIDATE_JOB) {
        if (hold) HoldIndefinitely(request);
        secrets.hold = hold ? Hold::IDENTITY : Hold::NONE;
        tPending.app = &app;
        tPending.id = app.secrets.Put(std::move(secrets));
    }
    return HTTP_STATUS_CONTINUE;
}

}  // namespace

http_status_t AnswerFromHeaders(http_t* http, const char* resource)
{
    App* app = gEarlyApp;
    pappl_printer_t* printer = app && app->system ? papplSystemFindPrinter(app->system, resource, 0, nullptr) : nullptr;
    const char* authorization = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
    if (!printer || (authorization && *authorization) || app->holdRemote) return HTTP_STATUS_CONTINUE;
    Target target;
    std::string problem;
    Policy policy;
    Refusal refusal = REFUSED_OTHER;
    if (!TargetOf(printer, &target, &problem) || !PolicyOf(*app, target, &policy, &refusal)) return HTTP_STATUS_CONTINUE;
    if (!policy.identity) return HTTP_STATUS_CONTINUE;
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "An upload without credentials answered 401 before its document");
    return HTTP_STATUS_UNAUTHORIZED;
}

void AnswerUploadsEarly(App* app)
{
    gEarlyApp = app;
    SetEarlyAnswer(AnswerFromHeaders);
}

StartResult StartAlone(const App& app, const Target& target, const Credentials& credentials)
{
    HookJob job(app.hooks, target.host, target.port);
    _OEM_PRIVDEVMODE record;
    std::vector<std::string> warnings;
    JobText text;
    text.address = target.host;
    BuildJobRecord(&record, 0, nullptr, 0, nullptr, text, &warnings);
    StartResult result = StartJob(app, &job, &record, credentials, "validation");
    if (result.accepted) job.GiveUp();
    return result;
}

bool PolicyOf(App& app, const Target& target, Policy* policy, Refusal* refusal)
{
    PolicyLookUp lookUp;
    if (!app.policies.Find(target.host, &lookUp)) {
        StartResult probe = StartAlone(app, target, Credentials());
        lookUp.answered = probe.accepted || probe.seen.identityMissing || probe.seen.accountMissing;
        lookUp.policy = Policy{probe.seen.identityMissing, probe.seen.accountMissing};
        if (!lookUp.answered) lookUp.refusal = ClassifyRefusal(probe.seen, app.lib);
        app.policies.Keep(target.host, lookUp);
    }
    *policy = lookUp.policy;
    if (!lookUp.answered) *refusal = lookUp.refusal;
    return lookUp.answered;
}

bool FitsServer(const Credentials& c, const std::string& pin)
{
    return Characters(c.user) <= USER_ID_MAX && Characters(c.password) <= PASSWORD_MAX &&
           Characters(c.account) <= ACCOUNT_MAX && pin.size() <= SECURE_PASSWORD_MAX &&
           pin.find_first_not_of("0123456789") == std::string::npos;
}

uintptr_t SecretsTable::Put(JobSecrets secrets)
{
    std::lock_guard<std::mutex> hold(lock_);
    uintptr_t id = next_++;
    held_[id] = std::move(secrets);
    return id;
}

JobSecrets SecretsTable::Take(uintptr_t id)
{
    std::lock_guard<std::mutex> hold(lock_);
    JobSecrets taken;
    auto found = held_.find(id);
    if (found == held_.end()) return taken;
    JobSecrets& kept = found->second;
    // Copied, then wiped where they were: a moved string may leave its
    // characters behind.
    taken.credentials = kept.credentials;
    taken.pin = kept.pin;
    taken.needsPin = kept.needsPin;
    taken.restored = kept.restored;
    Wipe(&kept.credentials);
    Wipe(&kept.pin);
    return taken;
}

size_t SecretsTable::Count(const std::function<bool(const JobSecrets&)>& which)
{
    std::lock_guard<std::mutex> hold(lock_);
    size_t n = 0;
    for (const auto& entry : held_) n += which(entry.second) ? 1 : 0;
    return n;
}

void SecretsTable::Drop(uintptr_t id)
{
    std::lock_guard<std::mutex> hold(lock_);
    held_.erase(id);
}

void SecretsTable::End(uintptr_t id)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = held_.find(id);
    if (found == held_.end()) return;
    Wipe(&found->second.credentials);
    Wipe(&found->second.pin);
    found->second.hold = Hold::NONE;
    ended_.push_back(id);
    if (ended_.size() <= ENDED_KEPT) return;
    held_.erase(ended_.front());
    ended_.pop_front();
}

bool SecretsTable::Change(uintptr_t id, const std::function<void(JobSecrets&)>& change)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = held_.find(id);
    if (found == held_.end()) return false;
    change(found->second);
    return true;
}

bool PolicyCache::Find(const std::string& server, PolicyLookUp* lookUp)
{
    std::unique_lock<std::mutex> hold(lock_);
    Entry& entry = known_[server];
    auto fresh = [&entry] { return entry.kept != 0 && time(nullptr) - entry.kept < POLICY_SECONDS; };
    // A look-up under way (which may wait for its server's turn) is waited
    // for only so long; then this request looks up for itself.
    done_.wait_for(hold, std::chrono::seconds(LOOK_UP_WAIT_SECONDS), [&] { return fresh() || !entry.asking; });
    if (fresh()) {
        *lookUp = entry.lookUp;
        return true;
    }
    entry.asking = true;
    return false;
}

void PolicyCache::Keep(const std::string& server, const PolicyLookUp& lookUp)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        known_[server] = Entry{lookUp, time(nullptr), false};
    }
    done_.notify_all();
}

http_status_t Authorize(pappl_client_t* client, const char*, gid_t, void* app)
{
    NewRequest();
    ipp_t* request = papplClientGetRequest(client);
    ipp_op_t op = request ? ippGetOperation(request) : IPP_OP_CUPS_INVALID;
    if (!CreatesJob(op)) {
        http_status_t status = AuthorizeOther(*static_cast<App*>(app), client, request);
        return status == HTTP_STATUS_CONTINUE ? status : Refuse(client, status);
    }
    tPending.Drop();
    http_status_t status = AuthorizeJob(*static_cast<App*>(app), client, request);
    return status == HTTP_STATUS_CONTINUE ? status : Refuse(client, status);
}

void OnEvent(pappl_system_t*, pappl_printer_t*, pappl_job_t* job, pappl_event_t event, void* app)
{
    if (!job) return;
    // PAPPL holds the job's lock here: setting its data takes none.
    if (event == PAPPL_EVENT_JOB_CREATED) {
        // A job from this machine's socket, which PAPPL serves without the
        // callback (held by the submit subcommand), or one restored from the
        // state (held as it is loaded): held until the policy is known.
        if (!tPending.id) {
            JobSecrets local;
            local.hold = Hold::DECIDING;
            local.restored = static_cast<App*>(app)->restoring;
            tPending.id = static_cast<App*>(app)->secrets.Put(std::move(local));
        }
        papplJobSetData(job, reinterpret_cast<void*>(tPending.id));
        tPending.id = 0;
    } else if (event == PAPPL_EVENT_JOB_COMPLETED) {
        // The tables' own short locks, never held while PAPPL is called.
        static_cast<App*>(app)->secrets.End(reinterpret_cast<uintptr_t>(papplJobGetData(job)));
        static_cast<App*>(app)->starts.Ended(job);
    }
}

JobSecrets TakeSecrets(App& app, pappl_job_t* job)
{
    return app.secrets.Take(reinterpret_cast<uintptr_t>(papplJobGetData(job)));
}
