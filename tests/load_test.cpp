// Load: 8 threads each print 100 jobs of mixed sizes through the hooks,
// every job start validated by the reference print server of the test
// fixture (identity required, the scripted user answering). Every output must
// be byte-exact, the stored record never torn, memory flat, and the password
// in no output: not in the jobs, the trace lines, the user's report or the
// server's log. Prints jobs per second and peak memory.
#include "job_runner.h"
#include "printer.h"
#include "scripted_user.h"
#include "store_support.h"
#include "umpd.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

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

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The library's module with its resources and locks ready, as the loader
// leaves it; null when it cannot be loaded.
HMODULE LoadAsTheLoaderDoes()
{
    HMODULE lib = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
    if (lib) DllEntryPoint(lib, DLL_PROCESS_ATTACH, nullptr);
    SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "5000");
    return lib;
}

// Options whose server is the fixture's identity server, past first use.
void StoreIdentityServer(const StoredDriver& driver)
{
    _OEM_PRIVDEVMODE o = {};
    SetDefaultPralixOptions(&o);
    o.bInitialConnection = 0;
    swprintf(o.ipAddress, 16, TEXT("%hs"), TestAddress(22).c_str());
    SetUserInfo(&o, nullptr, driver.Name().c_str());
}

TEST(Load, EightThreadsOfAHundredJobs)
{
    HMODULE lib = LoadAsTheLoaderDoes();
    ASSERT_NE(lib, nullptr);
    StoredDriver driver;
    StoreIdentityServer(driver);

    std::string dir = HostUtf8(ExecutableDirectory());
    std::string trace = dir + "load-trace.txt", report = dir + "load-user.txt";
    std::string serverLog = std::string(PRINTSERVERS_DIR) + "/identity/printserver.log";
    size_t logged = ReadAll(serverLog).size();
    FILE* reportFile = fopen(report.c_str(), "w");
    ASSERT_NE(reportFile, nullptr);
    ScriptedUser user(std::vector<std::string>(THREADS * JOBS + THREADS, "Secure Access: 1112=alice, 1113=s3cret, OK"),
                      reportFile);
    InstallUser(&user);

    // A warm-up round, then the whole load; the trace lines go to a file.
    JobLoadResult warm = RunJobs({THREADS, 1, driver.Name(), PASSWORD});
    long before = ResidentKiB();
    fflush(stdout);
    int savedStdout = dup(1);
    ASSERT_TRUE(freopen(trace.c_str(), "w", stdout));
    JobLoadResult r = RunJobs({THREADS, JOBS, driver.Name(), PASSWORD});
    fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
    long after = ResidentKiB();
    UninstallUser();
    fclose(reportFile);

    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    printf("load: %d jobs (%.1f MiB) in %.2f s: %.1f jobs/s; resident %ld KiB after the warm-up, %ld KiB at the end; "
           "peak %ld KiB; %d loads of the stored value during the run\n",
           r.printed, static_cast<double>(r.bytes) / (1 << 20), r.seconds, r.printed / r.seconds, before, after,
           static_cast<long>(usage.ru_maxrss), r.loads);
    RecordProperty("jobs_per_second", std::to_string(r.printed / r.seconds));
    RecordProperty("peak_kib", std::to_string(usage.ru_maxrss));

    EXPECT_EQ(warm.printed, THREADS);
    EXPECT_EQ(r.printed, THREADS * JOBS);
    EXPECT_EQ(r.refused, 0);
    EXPECT_EQ(r.corrupt, 0);
    EXPECT_EQ(r.tornLoads, 0);
    EXPECT_GT(r.loads, 0);
    for (const std::string& f : r.failures) ADD_FAILURE() << f;
    // Flat: the jobs' own buffers (1 MiB at most per thread, in and out) and
    // the allocator's slack, not anything that grows with the job count.
    EXPECT_LT(after - before, 32 * 1024) << "resident memory grew by " << after - before << " KiB";

    EXPECT_EQ(r.leaked, 0) << "the password in a printed job";
    std::string traced = ReadAll(trace), told = ReadAll(report), served = ReadAll(serverLog).substr(logged);
    EXPECT_GT(traced.size(), 0u);
    EXPECT_NE(told.find("1113=***"), std::string::npos) << "the user's report does not mask the password";
    EXPECT_NE(served.find("validate alice/***/"), std::string::npos);
    EXPECT_EQ(traced.find(PASSWORD), std::string::npos) << "the password in a trace line";
    EXPECT_EQ(told.find(PASSWORD), std::string::npos) << "the password in the user's report";
    EXPECT_EQ(served.find(PASSWORD), std::string::npos) << "the password in the server's log";
    FreeLibrary(lib);
}

// The same load of Test Page jobs while one job start is held in its secure
// access dialog for the whole run: no job waits on that dialog. Prints the
// wall time and the longest call that carried the tag (the ticket's).
TEST(Load, TestPagesWhileADialogIsHeld)
{
    HMODULE lib = LoadAsTheLoaderDoes();
    ASSERT_NE(lib, nullptr);
    StoredDriver driver;
    StoreIdentityServer(driver);

    HeldJobStart held(driver.Name(), "Secure Access: hold, Cancel");
    bool heldBefore = held.Holding();

    std::string trace = HostUtf8(ExecutableDirectory()) + "load-held-trace.txt";
    fflush(stdout);
    int savedStdout = dup(1);
    FILE* redirected = freopen(trace.c_str(), "w", stdout);
    JobLoadResult r = RunJobs({THREADS, JOBS, driver.Name(), "", TEXT("Test Page")});
    fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
    bool heldAfter = held.Holding();
    HANDLE h = held.Release();

    printf("load: %d Test Page jobs in %.2f s (%.1f jobs/s) while a job start was held in its dialog; the longest "
           "DrvSplWritePrinter call that carried the tag took %.2f ms\n",
           r.printed, r.seconds, r.printed / r.seconds, r.longestTagCallMs);
    EXPECT_NE(redirected, nullptr);
    EXPECT_TRUE(heldBefore);
    EXPECT_TRUE(heldAfter) << "the dialog was answered before the last job closed";
    EXPECT_EQ(h, nullptr) << "the held job start was cancelled";
    EXPECT_EQ(r.printed, THREADS * JOBS);
    EXPECT_EQ(r.corrupt, 0);
    EXPECT_EQ(r.tornLoads, 0);
    for (const std::string& f : r.failures) ADD_FAILURE() << f;
    FreeLibrary(lib);
}

}  // namespace
