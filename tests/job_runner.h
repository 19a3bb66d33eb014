// Jobs printed through the hooks from several threads at once, as the
// spooler runs them, each output checked against its input: the input with
// one ticket block before its first "%%EndComments", or unchanged without one.
#pragma once

#include "hostglue.h"
#include "printer.h"
#include "scripted_user.h"

#include <string>
#include <thread>
#include <vector>

struct JobLoad {
    int threads, jobsPerThread;
    WString driver;      // whose stored options the jobs use
    std::string secret;  // a password that must appear in no output ("" none)
    WString document = TEXT("load.ps");
};

struct JobLoadResult {
    int printed = 0, corrupt = 0, leaked = 0;  // corrupt: refused, or printed wrong
    int tornLoads = 0, loads = 0;  // reads of the stored value while the jobs ran
    unsigned long long bytes = 0;  // input bytes printed
    double seconds = 0;
    std::vector<std::string> failures;  // the first few, described
};

// Runs the jobs, of sizes from a few hundred bytes to 1 MiB, every tenth
// without the tag; a reader thread loads the stored value all the while.
JobLoadResult RunJobs(const JobLoad& load);

// A job start on a thread of its own, held in its dialog by a scripted user
// whose answer line holds it ("...: hold, ..."), until Release. Waits
// (bounded) until the dialog is held; the user stays installed until then.
class HeldJobStart {
public:
    HeldJobStart(const WString& driver, const std::string& answer);
    ~HeldJobStart();  // releases, and closes or aborts the job
    bool Holding() { return user_.Holding(); }
    HANDLE Release();  // lets the dialog go on; the job start's handle
    ScriptedUser& user() { return user_; }

private:
    ScriptedUser user_;
    TestPrinter printer_;
    HANDLE handle_ = nullptr;
    std::thread thread_;
};
