// Who may do what to a job, as CUPS's scheduler has it by default: a job's
// operations are its owner's or an administrator's, and other users' job
// names and owners are private. PAPPL 1.3.1 asks the authorization callback
// about every request over the network, and about a job's operations asks it
// again with the administrators' group when the client is not the job's
// owner by name: both answers are given here, by operation, the same way.
// Requests over the local socket never reach the callback; its file is for
// root and the administrators' group only (main.cpp).
#include "app.h"

#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace {

// Operations that change or add to one job: its owner's or an
// administrator's.
const ipp_op_t OWNER_OPERATIONS[] = {IPP_OP_SEND_DOCUMENT,   IPP_OP_SEND_URI,         IPP_OP_CLOSE_JOB,
                                     IPP_OP_CANCEL_JOB,      IPP_OP_HOLD_JOB,         IPP_OP_RELEASE_JOB,
                                     IPP_OP_RESTART_JOB,     IPP_OP_SET_JOB_ATTRIBUTES, IPP_OP_CANCEL_DOCUMENT,
                                     IPP_OP_CREATE_JOB_SUBSCRIPTIONS};
// Anyone's, private values withheld from all but the owner and administrators.
const ipp_op_t READ_OPERATIONS[] = {IPP_OP_GET_JOB_ATTRIBUTES, IPP_OP_GET_JOBS};
// Anyone's, as PAPPL checks them. Every other operation (Cancel-Jobs,
// Cancel-My-Jobs, which PAPPL 1.3.1 runs as Cancel-Jobs, the printers' and
// the system's administration) and the web interface's settings are the
// administrators'.
const ipp_op_t OPEN_OPERATIONS[] = {IPP_OP_GET_PRINTER_ATTRIBUTES,     IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS,
                                    IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES, IPP_OP_GET_SUBSCRIPTIONS,
                                    IPP_OP_RENEW_SUBSCRIPTION,         IPP_OP_CANCEL_SUBSCRIPTION,
                                    IPP_OP_GET_NOTIFICATIONS};
// A job's values that name people and documents (CUPS's JobPrivateValues,
// and the account).
const char* const PRIVATE_VALUES[] = {"job-name",
                                      "job-originating-user-name",
                                      "job-originating-user-uri",
                                      "job-originating-host-name",
                                      "job-account-id",
                                      "job-accounting-user-id",
                                      "document-name-supplied",
                                      "phone"};

template <size_t N>
bool In(const ipp_op_t (&ops)[N], ipp_op_t op)
{
    for (ipp_op_t o : ops)
        if (o == op) return true;
    return false;
}

bool IsPrivate(const char* name)
{
    for (const char* p : PRIVATE_VALUES)
        if (strcmp(p, name) == 0) return true;
    return false;
}

// An address as the kernel's socket tables print it: each 32-bit word of
// the address as a number, then the port, in hex.
std::string TableAddress(const sockaddr_storage& a)
{
    char text[64];
    if (a.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        snprintf(text, sizeof text, "%08X:%04X", v4.sin_addr.s_addr, ntohs(v4.sin_port));
    } else {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        uint32_t w[4];
        memcpy(w, &v6.sin6_addr, sizeof w);
        snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", w[0], w[1], w[2], w[3], ntohs(v6.sin6_port));
    }
    return text;
}

// The local account whose socket is this connection's other end, from the
// kernel's table of TCP sockets; -1 when the other end is not on this
// machine (no such socket here) or the table cannot be read.
long PeerUid(int fd)
{
    sockaddr_storage self{}, peer{};
    socklen_t n = sizeof self, m = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &n) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &m) != 0 ||
        (peer.ss_family != AF_INET && peer.ss_family != AF_INET6))
        return -1;
    std::ifstream table(peer.ss_family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
    std::string ours = TableAddress(peer), theirs = TableAddress(self), line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, skip;
        long uid = -1;
        fields >> slot >> local >> remote >> skip >> skip >> skip >> skip >> uid;
        if (local == ours && remote == theirs) return uid;
    }
    return -1;
}

bool InGroup(uid_t uid, gid_t group)
{
    passwd entry, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || !found) return false;
    gid_t groups[256];
    int count = 256;
    if (getgrouplist(found->pw_name, found->pw_gid, groups, &count) < 0) return false;
    for (int i = 0; i < count; i++)
        if (groups[i] == group) return true;
    return false;
}

// Hex of a SHA-256 digest.
std::string Sha256(const std::string& data)
{
    unsigned char digest[32];
    char text[65];
    if (cupsHashData("sha2-256", data.data(), data.size(), digest, sizeof digest) != 32) return "";
    return cupsHashString(digest, sizeof digest, text, sizeof text);
}

// Compares without telling by its time where the texts differ.
bool SameSecret(const std::string& a, const std::string& b)
{
    unsigned char differ = a.size() != b.size();
    for (size_t i = 0; i < a.size() && i < b.size(); i++) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return !differ;
}

// The request narrowed to the values anyone may see: its requested
// attributes (all of a job's description and template when it names none,
// or "all") without the private ones.
void WithholdPrivate(ipp_t* request)
{
    cups_array_t* wanted = ippCreateRequestedArray(request);
    if (!wanted) {
        static const char* const groups[] = {"job-description", "job-template"};
        ipp_t* all = ippNew();
        ippAddStrings(all, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, groups);
        wanted = ippCreateRequestedArray(all);
        ippDelete(all);
    }
    std::vector<std::string> keep = {"job-id"};
    for (auto* name = static_cast<const char*>(cupsArrayFirst(wanted)); name;
         name = static_cast<const char*>(cupsArrayNext(wanted)))
        if (!IsPrivate(name) && strcmp(name, "job-id") != 0) keep.push_back(name);
    cupsArrayDelete(wanted);
    if (ipp_attribute_t* given = ippFindAttribute(request, "requested-attributes", IPP_TAG_ZERO))
        ippDeleteAttribute(request, given);
    std::vector<const char*> names;
    for (const std::string& k : keep) names.push_back(k.c_str());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(names.size()), nullptr, names.data());
}

// A printer subscription of someone else's: without the job-created event,
// which names every new job and its owner.
void DropJobCreated(ipp_t* request)
{
    ipp_attribute_t* events = ippFindAttribute(request, "notify-events", IPP_TAG_KEYWORD);
    std::vector<std::string> kept;
    for (int i = 0; events && i < ippGetCount(events); i++)
        if (strcmp(ippGetString(events, i, nullptr), "job-created") != 0) kept.push_back(ippGetString(events, i, nullptr));
    if (!events || kept.size() == static_cast<size_t>(ippGetCount(events))) return;
    ipp_tag_t group = ippGetGroupTag(events);
    ippDeleteAttribute(request, events);
    if (kept.empty()) kept.push_back("job-completed");
    std::vector<const char*> names;
    for (const std::string& k : kept) names.push_back(k.c_str());
    ippAddStrings(request, group, IPP_TAG_KEYWORD, "notify-events", static_cast<int>(names.size()), nullptr,
                  names.data());
}

enum class Owner { YES, NO, NOT_SIGNED_IN, CANNOT_TELL };

// A job validated with its owner's identity: the same user ID and password.
Owner ByProof(App& app, pappl_client_t* client, const Credentials& c, const std::string& owner,
              const std::string& proof)
{
    if (c.user.empty()) return Owner::NOT_SIGNED_IN;
    if (c.user != owner) return Owner::NO;
    std::vector<std::string> keys = SignInKeys(client, c.user);
    if (!app.throttle.Wait(keys)) return Owner::NO;
    if (SameSecret(ProofOf(app, c), proof)) {
        app.throttle.Succeeded(keys);
        return Owner::YES;
    }
    if (app.throttle.Failed(keys))
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Repeated refused sign-ins (user %s): refused for a while",
                       c.user.c_str());
    return Owner::NOT_SIGNED_IN;
}

// A job that came without a validated identity (or has ended, its proof
// let go): where its print server requires nobody, the owner is whoever
// names themselves so (CUPS's rule without authentication); where it
// requires an identity, the owner signs in with one that the print server
// accepts, which only a change to the job is worth asking it.
Owner ByName(App& app, pappl_client_t* client, ipp_t* request, pappl_job_t* job, const Credentials& c,
             const std::string& owner, bool mayAsk)
{
    Target target;
    std::string problem;
    Policy policy;
    Refusal refusal = REFUSED_OTHER;
    if (!TargetOf(papplJobGetPrinter(job), &target, &problem) || !PolicyOf(app, target, &policy, &refusal))
        return Owner::CANNOT_TELL;
    const char* named = ippGetString(ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
    if (!policy.identity) return (!c.user.empty() ? c.user : named ? named : "") == owner ? Owner::YES : Owner::NO;
    if (c.user.empty()) return Owner::NOT_SIGNED_IN;
    if (c.user != owner || !mayAsk) return Owner::NO;
    std::vector<std::string> keys = SignInKeys(client, c.user);
    if (!app.throttle.Wait(keys)) return Owner::NO;
    Credentials withAccount = c;
    const char* account = ippGetString(papplJobGetAttribute(job, "job-account-id"), 0, nullptr);
    if (withAccount.account.empty() && account) withAccount.account = account;
    bool accepted = StartAlone(app, target, withAccount).accepted;
    Wipe(&withAccount);
    if (accepted) app.throttle.Succeeded(keys);
    if (!accepted && app.throttle.Failed(keys))
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Repeated refused sign-ins (user %s): refused for a while",
                       c.user.c_str());
    return accepted ? Owner::YES : Owner::NOT_SIGNED_IN;
}

Owner OwnerOf(App& app, pappl_client_t* client, ipp_t* request, pappl_job_t* job, bool mayAsk)
{
    std::string proof;
    app.secrets.Change(reinterpret_cast<uintptr_t>(papplJobGetData(job)), [&](JobSecrets& s) { proof = s.proof; });
    const char* username = papplJobGetUsername(job);
    std::string owner = username ? username : "";
    Credentials c;
    ReadBasic(client, &c);
    Owner found = !proof.empty() ? ByProof(app, client, c, owner, proof)
                                 : ByName(app, client, request, job, c, owner, mayAsk);
    Wipe(&c);
    // PAPPL asks again, with the administrators' group, a client that is
    // not the owner by name.
    if (found == Owner::YES) papplClientSetUsername(client, owner.c_str());
    return found;
}

http_status_t StatusOf(Owner owner)
{
    return owner == Owner::YES             ? HTTP_STATUS_CONTINUE
           : owner == Owner::NOT_SIGNED_IN ? HTTP_STATUS_UNAUTHORIZED
           : owner == Owner::CANNOT_TELL   ? HTTP_STATUS_SERVICE_UNAVAILABLE
                                           : HTTP_STATUS_FORBIDDEN;
}

// A job waiting for someone to sign in is released only by a sign-in on
// the Held jobs page, which gives it the identity it prints with.
bool WaitsForSignIn(App& app, pappl_job_t* job)
{
    Hold hold = Hold::NONE;
    app.secrets.Change(reinterpret_cast<uintptr_t>(papplJobGetData(job)), [&](JobSecrets& s) { hold = s.hold; });
    return hold != Hold::NONE;
}

bool IsRaster(ipp_t* request)
{
    const char* format = ippGetString(ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE), 0, nullptr);
    return format && (strcmp(format, "image/pwg-raster") == 0 || strcmp(format, "image/urf") == 0);
}

// The document of a job that waits for someone to sign in: from the client
// that made the job, under the name it gave (nobody signed in for it yet);
// never raster, which PAPPL prints as it arrives, hold or not.
http_status_t AddToHeld(App& app, pappl_client_t* client, ipp_t* request, pappl_job_t* job)
{
    if (IsRaster(request)) {
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Job %d refused a raster document: it waits for a sign-in, and "
                       "raster prints as it arrives", papplJobGetID(job));
        return HTTP_STATUS_FORBIDDEN;
    }
    std::string address;
    app.secrets.Change(reinterpret_cast<uintptr_t>(papplJobGetData(job)), [&](JobSecrets& s) { address = s.address; });
    const char* named = ippGetString(ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
    const char* owner = papplJobGetUsername(job);
    bool same = !address.empty() && address == AddressOf(client) && named && owner && strcmp(named, owner) == 0;
    return same ? HTTP_STATUS_CONTINUE : HTTP_STATUS_FORBIDDEN;
}

http_status_t AuthorizeJobOperation(App& app, pappl_client_t* client, ipp_t* request, ipp_op_t op)
{
    pappl_job_t* job = papplClientGetJob(client);
    if (!job) return HTTP_STATUS_CONTINUE;  // PAPPL answers "not found"
    bool adds = op == IPP_OP_SEND_DOCUMENT || op == IPP_OP_SEND_URI;
    if (adds && WaitsForSignIn(app, job)) return AddToHeld(app, client, request, job);
    if (op == IPP_OP_RELEASE_JOB && WaitsForSignIn(app, job)) return HTTP_STATUS_FORBIDDEN;
    if (IsAdministrator(app, client)) return HTTP_STATUS_CONTINUE;
    bool read = In(READ_OPERATIONS, op);
    Owner owner = OwnerOf(app, client, request, job, !read);
    if (read) {
        // The owner by name, without the proof: asked to sign in, as for a
        // change (a client that signed in for its job can sign in again).
        const char* named = ippGetString(ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
        const char* username = papplJobGetUsername(job);
        if (owner == Owner::NOT_SIGNED_IN && named && username && strcmp(named, username) == 0)
            return HTTP_STATUS_UNAUTHORIZED;
        if (owner != Owner::YES) WithholdPrivate(request);
        return HTTP_STATUS_CONTINUE;
    }
    if (owner != Owner::YES)
        papplLogClient(client, PAPPL_LOGLEVEL_INFO, "%s of job %d refused: not the job's owner", ippOpString(op),
                       papplJobGetID(job));
    return StatusOf(owner);
}

}  // namespace

bool IsAdministrator(const App& app, pappl_client_t* client)
{
    long uid = PeerUid(httpGetFd(papplClientGetHTTP(client)));
    if (uid < 0) return false;
    return uid == 0 || static_cast<uid_t>(uid) == getuid() ||
           (app.adminGroup != static_cast<gid_t>(-1) && InGroup(static_cast<uid_t>(uid), app.adminGroup));
}

http_status_t AuthorizeOther(App& app, pappl_client_t* client, ipp_t* request)
{
    ipp_op_t op = request ? ippGetOperation(request) : IPP_OP_CUPS_INVALID;
    if (request && (In(OWNER_OPERATIONS, op) || In(READ_OPERATIONS, op)) && papplClientGetJob(client))
        return AuthorizeJobOperation(app, client, request, op);
    if (op == IPP_OP_GET_JOBS) {
        if (!IsAdministrator(app, client)) WithholdPrivate(request);
        return HTTP_STATUS_CONTINUE;
    }
    if (op == IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS && !IsAdministrator(app, client)) DropJobCreated(request);
    if (In(OPEN_OPERATIONS, op)) return HTTP_STATUS_CONTINUE;
    return IsAdministrator(app, client) ? HTTP_STATUS_CONTINUE : HTTP_STATUS_FORBIDDEN;
}

std::string ProofOf(const App& app, const Credentials& c)
{
    std::string material = app.salt + c.user + '\0' + c.password;
    std::string proof = Sha256(material);
    Wipe(&material);
    return proof;
}

void ReadBasic(pappl_client_t* client, Credentials* credentials)
{
    const char* field = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (!field || strncmp(field, "Basic ", 6) != 0) return;
    char decoded[512];
    int size = sizeof decoded;
    httpDecode64_2(decoded, &size, field + 6);
    decoded[sizeof decoded - 1] = 0;
    if (char* colon = strchr(decoded, ':')) {
        credentials->user.assign(decoded, static_cast<size_t>(colon - decoded));
        credentials->password = colon + 1;
    }
    explicit_bzero(decoded, sizeof decoded);
}

std::string AddressOf(pappl_client_t* client)
{
    char text[256] = "";
    httpAddrString(httpGetAddress(papplClientGetHTTP(client)), text, sizeof text);
    return text;
}

std::vector<std::string> SignInKeys(pappl_client_t* client, const std::string& user)
{
    std::vector<std::string> keys = {"address " + AddressOf(client)};
    if (!user.empty()) keys.push_back("user " + user);
    return keys;
}

bool Throttle::Wait(const std::vector<std::string>& keys)
{
    int failures = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        time_t now = time(nullptr);
        for (const std::string& k : keys) {
            auto found = counts_.find(k);
            if (found == counts_.end()) continue;
            if (found->second.lockedUntil > now) return false;
            if (now - found->second.last < lockout) failures = std::max(failures, found->second.failures);
        }
    }
    // One second an answer once a key has failed SLOW_AFTER times: a guess
    // a second at most, in this client's thread only.
    if (failures >= SLOW_AFTER) sleep(1);
    return true;
}

bool Throttle::Failed(const std::vector<std::string>& keys)
{
    std::lock_guard<std::mutex> hold(lock_);
    time_t now = time(nullptr);
    // Counts older than the lockout are forgotten, so the table stays as
    // small as the failures of the last while.
    for (auto it = counts_.begin(); it != counts_.end();)
        it = now - it->second.last >= lockout && it->second.lockedUntil <= now ? counts_.erase(it) : std::next(it);
    bool locked = false;
    for (const std::string& k : keys) {
        Count& c = counts_[k];
        c.failures++;
        c.last = now;
        if (c.failures < LOCK_AFTER || c.lockedUntil > now) continue;
        c.lockedUntil = now + lockout;
        c.failures = 0;
        locked = true;
    }
    return locked;
}

void Throttle::Succeeded(const std::vector<std::string>& keys)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::string& k : keys) {
        auto found = counts_.find(k);
        if (found != counts_.end() && found->second.lockedUntil <= time(nullptr)) counts_.erase(found);
    }
}
