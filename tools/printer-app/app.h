// pralix-printer-app: what its parts share. One printer per print server,
// each job a host job of the hook library (hook_job.h) on the stand-in's
// spooler, whose TCP port is the print server's raw print port.
#pragma once

#include "credentials_user.h"
#include "hook_job.h"
#include "target.h"

#include <pappl/pappl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

// What a job prints with beyond its attributes; wiped when it goes.
struct JobSecrets {
    Credentials credentials;  // the validated identity, else empty
    std::string pin;          // job-password, the secure-print password
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
    JobSecrets Take(uintptr_t id);  // empty when none
    void Drop(uintptr_t id);

private:
    std::mutex lock_;
    std::map<uintptr_t, JobSecrets> held_;
    uintptr_t next_ = 1;
};

// What the print server requires, as a job start without credentials showed.
struct Policy {
    bool identity = false, account = false;
};

class PolicyCache {
public:
    bool Find(const std::string& server, Policy* policy);
    void Keep(const std::string& server, const Policy& policy);

private:
    std::mutex lock_;
    std::map<std::string, std::pair<Policy, time_t>> known_;
};

// The running server's state, handed to PAPPL's callbacks as their data.
struct App {
    HMODULE lib = nullptr;
    SpoolerHooks hooks = {};
    std::string required;   // the label the secure access dialog shows at a required field
    std::string stateFile;  // where PAPPL keeps printers and defaults
    SecretsTable secrets;
    PolicyCache policies;
};

// How one job start through the library's hooks went.
struct StartResult {
    bool started = false, accepted = false;
    RunSeen seen;
};
// Stores the record (then wiped: it holds the passwords) and runs the
// library's job start on this thread, its dialogs answered from
// `credentials`.
StartResult StartJob(const App& app, HookJob* job, _OEM_PRIVDEVMODE* record, const Credentials& credentials,
                     const std::string& document);

// The print server a printer's device URI names; false with the problem.
bool TargetOf(pappl_printer_t* printer, Target* target, std::string* problem);

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

// identity.cpp
http_status_t Authorize(pappl_client_t* client, const char* group, gid_t groupId, void* app);
void OnEvent(pappl_system_t* system, pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event, void* app);
JobSecrets TakeSecrets(App& app, pappl_job_t* job);

// printing.cpp
App& AppOf(pappl_job_t* job);
// Ends a job that did not print: aborted, the reason in plain words; false.
bool Abort(pappl_job_t* job, const std::string& why);
// One document's PostScript, read from `in`, through the hooks: the job
// start (tried again while the print server does not answer), its header,
// then the rest; `finished` says at its end whether the document is whole
// ("" when it is). False when it did not print (the job's message says why).
bool Send(pappl_job_t* job, const pappl_pr_options_t* options, int in, const std::function<std::string()>& finished);
bool PrintPostScript(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool PrintPdf(pappl_job_t* job, pappl_device_t* device, void* app);
// JPEG and PNG, which PAPPL would make raster: refused.
bool RefuseImage(pappl_job_t* job, pappl_device_t* device, void* app);
// Watches the sends of every job: a cancelled job is given up.
void WatchPorts();

// raster.cpp: PAPPL's raster callbacks, the job's pages as PostScript to Send.
bool RasterStart(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool RasterStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool RasterLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                const unsigned char* line);
bool RasterEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool RasterEnd(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
