// Load: 8 threads each print 100 jobs of mixed sizes through the hooks, every
// job start validated by the fixture's identity server (the scripted user
// answering), or the same load of Test Page jobs while a job start is held in
// its dialog. Every output byte-exact, the stored record never torn, memory
// flat, the password in no output (jobs, trace lines, the user's report, the
// server's log). Prints jobs per second and peak memory.
#include "job_runner.h"
#include "printer.h"
#include "store_support.h"
#include "tempfile.h"
#include "umpd.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

const char PASSWORD[] = "s3cret";  // the fixture's identity server accepts alice with it
const int THREADS = 8, JOBS = 100;

long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string ReadAll(const std::string& path) { return ReadWholeFile(HostFilePath(path)); }

class Load : public ::testing::Test {
protected:
    // The library's module with its resources and locks, as the loader leaves
    // it; the stored options name the identity server, past first use.
    void SetUp() override
    {
        lib_ = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
        ASSERT_NE(lib_, nullptr);
        DllEntryPoint(lib_, DLL_PROCESS_ATTACH, nullptr);
        SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "5000");
        _OEM_PRIVDEVMODE o = {};
        SetDefaultPralixOptions(&o);
        o.bInitialConnection = 0;
        swprintf(o.ipAddress, 16, TEXT("%hs"), TestAddress(22).c_str());
        SetUserInfo(&o, nullptr, driver_.Name().c_str());
    }
    void TearDown() override { FreeLibrary(lib_); }
    // The jobs, with the trace lines going to a file of the build.
    JobLoadResult RunTraced(const JobLoad& load, const std::string& trace)
    {
        fflush(stdout);
        int saved = dup(1);
        EXPECT_TRUE(freopen(trace.c_str(), "w", stdout));
        JobLoadResult r = RunJobs(load);
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        printf("load: %d jobs (%.1f MiB) of %s in %.2f s: %.1f jobs/s\n", r.printed, static_cast<double>(r.bytes) / (1 << 20),
               HostUtf8(load.document).c_str(), r.seconds, r.printed / r.seconds);
        EXPECT_EQ(r.printed, THREADS * JOBS);
        EXPECT_EQ(r.corrupt, 0);
        EXPECT_EQ(r.tornLoads, 0);
        EXPECT_GT(r.loads, 0);
        for (const std::string& f : r.failures) ADD_FAILURE() << f;
        return r;
    }
    HMODULE lib_ = nullptr;
    StoredDriver driver_;
    const std::string dir_ = HostUtf8(ExecutableDirectory());
};

TEST_F(Load, EightThreadsOfAHundredJobs)
{
    std::string report = dir_ + "load-user.txt", serverLog = std::string(PRINTSERVERS_DIR) + "/identity/printserver.log";
    size_t logged = ReadAll(serverLog).size();
    FILE* reportFile = fopen(report.c_str(), "w");
    ASSERT_NE(reportFile, nullptr);
    ScriptedUser user(std::vector<std::string>(THREADS * JOBS + THREADS, "Secure Access: 1112=alice, 1113=s3cret, OK"),
                      reportFile);
    InstallUser(&user);
    EXPECT_EQ(RunJobs({THREADS, 1, driver_.Name(), PASSWORD}).printed, THREADS);  // the warm-up
    long before = ResidentKiB();
    JobLoadResult r = RunTraced({THREADS, JOBS, driver_.Name(), PASSWORD}, dir_ + "load-trace.txt");
    long after = ResidentKiB();
    UninstallUser();
    fclose(reportFile);
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    printf("load: resident %ld KiB after the warm-up, %ld KiB at the end; peak %ld KiB\n", before, after,
           static_cast<long>(usage.ru_maxrss));
    RecordProperty("jobs_per_second", std::to_string(r.printed / r.seconds));
    RecordProperty("peak_kib", std::to_string(usage.ru_maxrss));
    // Flat: the jobs' own buffers (1 MiB at most per thread, in and out) and
    // the allocator's slack, not anything that grows with the job count.
    EXPECT_LT(after - before, 32 * 1024) << "resident memory grew by " << after - before << " KiB";

    EXPECT_EQ(r.leaked, 0) << "the password in a printed job";
    std::string traced = ReadAll(dir_ + "load-trace.txt"), told = ReadAll(report), served = ReadAll(serverLog).substr(logged);
    EXPECT_GT(traced.size(), 0u);
    EXPECT_NE(told.find("1113=***"), std::string::npos) << "the user's report does not mask the password";
    EXPECT_NE(served.find("validate alice/***/"), std::string::npos);
    EXPECT_EQ(traced.find(PASSWORD), std::string::npos) << "the password in a trace line";
    EXPECT_EQ(told.find(PASSWORD), std::string::npos) << "the password in the user's report";
    EXPECT_EQ(served.find(PASSWORD), std::string::npos) << "the password in the server's log";
}

// No Test Page job waits on the dialog held for the whole run.
TEST_F(Load, TestPagesWhileADialogIsHeld)
{
    HeldJobStart held(driver_.Name(), "Secure Access: hold, Cancel");
    bool heldBefore = held.Holding();
    RunTraced({THREADS, JOBS, driver_.Name(), "", TEXT("Test Page")}, dir_ + "load-held-trace.txt");
    bool heldAfter = held.Holding();
    EXPECT_EQ(held.Release(), nullptr) << "the held job start was cancelled";
    EXPECT_TRUE(heldBefore);
    EXPECT_TRUE(heldAfter) << "the dialog was answered before the last job closed";
}

}  // namespace
