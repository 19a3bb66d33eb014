// pralix-printer-app: what its parts share. One printer per print server,
// each job a host job of the hook library (hook_job.h) on the stand-in's
// spooler, whose TCP port is the print server's raw print port.
#pragma once

#include "credentials_user.h"
#include "hook_job.h"
#include "send_loop.h"
#include "target.h"

#include <pappl/pappl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The job attribute that marks a job sent for secure print: it outlives a
// restart, where the PIN does not.
const char SECURE_PRINT_MARK[] = "pralix-secure-print";

// Where a job stands that waits, held, for someone to sign in for it.
enum class Hold {
    NONE,      // not held by the application
    DECIDING,  // from this machine's socket: held until the print server's policy is known
    ASKING,    // its print server is being asked
    RELEASE,   // no identity is required: to be released
    IDENTITY,  // waits for its owner on the printer's "Held jobs" page
};

// What a job prints with beyond its attributes, and who owns it; wiped
// when it goes.
struct JobSecrets {
    Credentials credentials;  // the validated identity, else empty (taken when the job prints)
    std::string pin;          // job-password, the secure-print password (taken with them)
    std::string proof;        // the validated user ID and password, hashed: the owner's proof, for the job's life
    std::string address;      // the address of the client that sent the job
    Hold hold = Hold::NONE;
    time_t askAfter = 0;      // DECIDING: when the print server may be asked again
    int failures = 0;         // identities the print server refused on the "Held jobs" page
    bool told = false;        // the job's message says how to release it
    bool needsPin = false;    // sent for secure print: never printed without its PIN
    bool restored = false;    // restored after a restart, its credentials and PIN gone
    JobSecrets() = default;
    JobSecrets(JobSecrets&&) = default;
    JobSecrets& operator=(JobSecrets&&) = default;
    ~JobSecrets()
    {
        Wipe(&credentials);
        Wipe(&pin);
    }
};

// The secrets of jobs from their creation request to the job's end, in
// memory only, each under a number that the job carries as its data.
class SecretsTable {
public:
    uintptr_t Put(JobSecrets secrets);
    // The job's credentials and PIN, moved out (they serve one print); the
    // rest stays until the job ends. Empty when none.
    JobSecrets Take(uintptr_t id);
    void Drop(uintptr_t id);
    // The job has ended: its secrets are wiped and it holds nothing, but its
    // owner's proof stays for the job's history (the last ENDED_KEPT jobs).
    void End(uintptr_t id);
    // How many jobs' secrets satisfy `which`.
    size_t Count(const std::function<bool(const JobSecrets&)>& which);
    // Runs `change` on a job's secrets under the table's short lock (never
    // across a network exchange); false when the job has none.
    bool Change(uintptr_t id, const std::function<void(JobSecrets&)>& change);

private:
    static const size_t ENDED_KEPT = 1000;
    std::mutex lock_;
    std::map<uintptr_t, JobSecrets> held_;
    std::deque<uintptr_t> ended_;  // oldest first
    uintptr_t next_ = 1;
};

// What the print server requires, as a job start without credentials showed.
struct Policy {
    bool identity = false, account = false;
};

// A policy look-up: what the print server requires, or why it could not
// be told (it did not answer, say).
struct PolicyLookUp {
    bool answered = false;
    Policy policy;
    Refusal refusal = REFUSED_OTHER;  // when not answered
};

// The look-ups of each print server, failed ones as well as good ones, each
// kept a short while: a silent server costs its printers' requests one wait
// in that while, not one each. A request that comes while its server is
// being looked up waits for that look-up.
class PolicyCache {
public:
    // The look-up kept for the server, once one under way has ended (a
    // bounded wait); false: none, the caller looks up and Keeps the result.
    bool Find(const std::string& server, PolicyLookUp* lookUp);
    void Keep(const std::string& server, const PolicyLookUp& lookUp);

private:
    struct Entry {
        PolicyLookUp lookUp;
        time_t kept = 0;      // 0: never
        bool asking = false;  // a look-up is under way
    };
    std::mutex lock_;
    std::condition_variable done_;
    std::map<std::string, Entry> known_;
};

// Held jobs whose print server's policy is to be asked, and the thread that
// asks, away from PAPPL's main loop and locks.
class PolicyAsker {
public:
    void Ask(struct App* app, uintptr_t id, const std::string& uri);
    void Run(struct App* app);  // the asking thread's loop

private:
    std::mutex lock_;
    std::condition_variable more_;
    std::deque<std::pair<uintptr_t, std::string>> queue_;
    bool running_ = false;
};

// Refused sign-ins counted per client address and per user ID, as a login
// service counts them: after a few, each answer is slowed; after more, the
// address or user is refused for a while without asking the print server.
class Throttle {
public:
    static const int SLOW_AFTER = 5, LOCK_AFTER = 10;
    // Waits as long as the keys' failures ask (never under a lock); false
    // while one of them is locked out.
    bool Wait(const std::vector<std::string>& keys);
    // A refusal counted against each key; true when it locked one out (the
    // caller logs that once).
    bool Failed(const std::vector<std::string>& keys);
    void Succeeded(const std::vector<std::string>& keys);
    time_t lockout = 15 * 60;  // how long a locked-out key is refused, and how long failures count

private:
    struct Count {
        int failures = 0;
        time_t last = 0, lockedUntil = 0;
    };
    std::mutex lock_;
    std::map<std::string, Count> counts_;
};

// Each job printed once: PAPPL 1.3.1 can start a job's thread again while
// it is still pending (two checks for pending jobs at once); the second
// start must neither print nor end the job a second time.
class JobStarts {
public:
    enum Stage { PRINTING, PRINTED, NOT_PRINTED, ENDED };
    // True for the job's first start. For another, waits until PAPPL has
    // ended the job after the first and gives the first's result.
    bool Claim(pappl_job_t* job, bool* printed);
    // For a start that must never be the first (PAPPL streams a raster job
    // in its client's thread, so a job thread for it is a second start):
    // waits until the job has ended; the first's result.
    bool AwaitEnd(pappl_job_t* job);
    void Printed(pappl_job_t* job, bool printed);
    void Ended(pappl_job_t* job);  // PAPPL's job-completed event

private:
    struct Entry {
        Stage stage = PRINTING;
        bool printed = false;
        time_t ended = 0;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<std::pair<int, int>, Entry> jobs_;  // by printer and job id
};

// The raster jobs on their way (raster.cpp), from their start to their end.
struct RasterJob;
struct RasterJobs {
    std::mutex lock;
    std::map<pappl_job_t*, std::shared_ptr<RasterJob>> jobs;
};

// The running server's state, handed to PAPPL's callbacks as their data.
struct App {
    HMODULE lib = nullptr;
    SpoolerHooks hooks = {};
    std::string required;   // the label the secure access dialog shows at a required field
    std::string stateFile;  // where PAPPL keeps printers and defaults
    bool holdRemote = false;             // remote jobs without credentials are held, not answered 401
    time_t heldFor = 4 * 60 * 60;        // a held job is cancelled after this many seconds
    size_t heldPerClient = 10, heldInAll = 100;  // the most jobs held for the Held jobs page
    gid_t adminGroup = 0;                // administrators: root and this group's members
    std::string salt;                    // of the owners' proofs, this process's own
    int pdfConverter = -1;               // which PDF converter (printing.cpp), -1 none
    bool restoring = false;              // the state is being loaded (before the server runs)
    std::atomic<bool> stopping{false};   // SIGTERM: every send is given up, nothing more is printed
    std::atomic<int> sending{0};         // jobs whose data is on its way to a print server
    pappl_system_t* system = nullptr;
    SecretsTable secrets;
    PolicyCache policies;
    PolicyAsker asker;
    RasterJobs rasters;
    Throttle throttle;
    JobStarts starts;
};

// Stores the record (then wiped: it holds the passwords) and runs the
// library's job start on this thread, its dialogs answered from
// `credentials`.
StartResult StartJob(const App& app, HookJob* job, _OEM_PRIVDEVMODE* record, const Credentials& credentials,
                     const std::string& document);

// The print server a printer's device URI names; false with the problem.
bool TargetOf(pappl_printer_t* printer, Target* target, std::string* problem);
App& AppOf(pappl_printer_t* printer);

// driver.cpp
bool MakeDriver(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                pappl_pr_driver_data_t* data, ipp_t** attrs, void* app);
void AddDeviceScheme();
// The printer's one supply: the print server's, its level unknown.
void ReportSupplies(pappl_printer_t* printer, void* app);
// The printer's defaults of the ticket's options, and the job's own values,
// as options named as the ticket names them; the caller frees them.
int PrinterDefaults(pappl_printer_t* printer, cups_option_t** options);
int JobValues(pappl_job_t* job, cups_option_t** options);

// access.cpp: who may do what to a job.
// Root, or a member of the administrators' group, connected from this machine.
bool IsAdministrator(const App& app, pappl_client_t* client);
// The answer to a request about an existing job or the printer's jobs (all
// but the job-creating ones); its request may be narrowed (private values
// withheld, events that name jobs dropped).
http_status_t AuthorizeOther(App& app, pappl_client_t* client, ipp_t* request);
// A hash of the user ID and password that the job's owner validated with.
std::string ProofOf(const App& app, const Credentials& credentials);
// The request's Basic user ID and password, if any.
void ReadBasic(pappl_client_t* client, Credentials* credentials);
// The throttle's keys of a sign-in: the client's address and the user ID.
std::vector<std::string> SignInKeys(pappl_client_t* client, const std::string& user);
std::string AddressOf(pappl_client_t* client);

// upload.cpp: a client's connection gives up after this many seconds
// without a byte.
void SetClientTimeout(int seconds);
// Whether the last read of this thread's client reached the end of the
// request's body (a read after the last byte, not just the last byte).
bool UploadEnded();
// The pages an Apple raster body of this thread's request promised; 0 when
// none did.
unsigned ApplePagesPromised();
// A request of this thread's client begins.
void NewRequest();
// What a document's upload is answered from its request's headers alone:
// HTTP_STATUS_UNAUTHORIZED to refuse it before its document is sent, else
// HTTP_STATUS_CONTINUE.
using EarlyAnswer = http_status_t (*)(http_t* http, const char* resource);
void SetEarlyAnswer(EarlyAnswer answer);

// identity.cpp
// The answer to an upload from its headers (see SetEarlyAnswer): 401 where
// the printer's print server requires an identity and the request brings
// none, and the job would not be held for one.
http_status_t AnswerFromHeaders(http_t* http, const char* resource);
void AnswerUploadsEarly(App* app);
http_status_t Authorize(pappl_client_t* client, const char* group, gid_t groupId, void* app);
void OnEvent(pappl_system_t* system, pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event, void* app);
JobSecrets TakeSecrets(App& app, pappl_job_t* job);
// The print server's policy, asked when not known from the last few
// seconds; false with the refusal when it could not tell.
bool PolicyOf(App& app, const Target& target, Policy* policy, Refusal* refusal);
// A job start for the print server alone, with these credentials and the
// printer's defaults; given up before any data.
StartResult StartAlone(const App& app, const Target& target, const Credentials& credentials);
// The credentials and the secure-print password (digits only) fit the
// print server's fields.
bool FitsServer(const Credentials& credentials, const std::string& pin);

// state.cpp
// PAPPL's save callback: the state without ended jobs, replaced whole.
bool SaveState(pappl_system_t* system, void* app);
// Loads the state; jobs not yet ended come back held, to be settled by the
// Held jobs timer. False when the state exists and cannot be read.
bool LoadState(pappl_system_t* system, App& app);

// held.cpp
// A printer's "Held jobs" page and its link.
void AddHeldPage(pappl_printer_t* printer, void* app);
// Settles held jobs once a second: releases, messages, cancels after the hold time.
bool WatchHeldJobs(pappl_system_t* system, void* app);

// printing.cpp
App& AppOf(pappl_job_t* job);
// A job thread that must not go on (the application is stopping): it
// waits here for the process to end, so that PAPPL neither ends the job
// nor removes its document, which prints again after a restart.
[[noreturn]] void StopHere();
// Ends a job that did not print: aborted, the reason in plain words; false.
bool Abort(pappl_job_t* job, const std::string& why);
// One document's PostScript, read from `in`, through the hooks: the job
// start (tried again while the print server does not answer), its header,
// then the rest; `finished` says at its end whether the document is whole
// ("" when it is). False when it did not print (the job's message says why).
// The pages it held, as its DSC comments count them, in `pages` if given.
bool Send(pappl_job_t* job, const pappl_pr_options_t* options, int in, const std::function<std::string()>& finished,
          unsigned* pages = nullptr);
bool PrintPostScript(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool PrintPdf(pappl_job_t* job, pappl_device_t* device, void* app);
// Which PDF converter is installed; -1 when none.
int PdfConverter();
// Whether a program is in a directory of PATH.
bool OnPath(const char* program);
// A job's print through `print`, once however often PAPPL starts the job.
bool Once(pappl_job_t* job, const std::function<bool()>& print);
// A job thread PAPPL started for a raster job, which its client's thread
// prints: a second start.
bool StartedAgain(pappl_job_t* job, pappl_device_t* device, void* app);
// Watches the sends of every job: a cancelled job is given up.
void WatchPorts();

// raster.cpp: PAPPL's raster callbacks, the job's pages as PostScript to Send.
bool RasterStart(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool RasterStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool RasterLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                const unsigned char* line);
bool RasterEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool RasterEnd(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// image.cpp: JPEG and PNG documents, each one page of the job's media.
bool PrintImage(pappl_job_t* job, pappl_device_t* device, void* app);
