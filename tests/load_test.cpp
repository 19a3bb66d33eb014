// Load: 8 threads of 100 jobs of mixed sizes through the hooks, each job start validated by the fixture's identity
// server. Every output byte-exact, memory flat, the password in no output; prints jobs/s and peak memory.
#include "printer.h"
#include "scripted_user.h"
#include "store_support.h"
#include "tempfile.h"
#include "umpd.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

namespace {

const char PASSWORD[] = "s3cret";  // the identity server's for alice
const int THREADS = 8, JOBS = 100;
const std::string TAG = "%%EndComments";
// One or more ticket lines, each ended by CR LF: the device's guard or a "%%PRALIX:" line.
const std::regex TICKET(
    R"(((%%PRALIX: [^\r\n]*|statusdict /Pralix_feat_dict known not \{ currentfile flushfile \}if )\r\n)+)");

// Job i of a thread: from a few hundred bytes to 1 MiB, every tenth without the tag.
std::string MakeJob(int thread, int i)
{
    const size_t sizes[] = {300, 4 << 10, 64 << 10, 1 << 20};
    std::string job = "%!PS-Adobe-3.0\n%%Title: load " + std::to_string(thread) + "." + std::to_string(i) +
                      "\n%%Pages: 1\n" + (i % 10 == 9 ? std::string() : TAG + "\n");
    while (job.size() < sizes[(thread + i) % 4]) job += "0 0 1 setrgbcolor 100 100 50 50 rectfill % a comment with %% in it\n";
    return job + "showpage\n%%EOF\n";
}

// What is wrong with a printed job ("": nothing): its input with ticket lines before the first tag, or unchanged.
std::string CheckOutput(const std::string& in, const std::string& out)
{
    size_t tag = in.find(TAG);
    if (out.find(PASSWORD) != std::string::npos) return "the password in the job";
    if (tag == std::string::npos) return out == in ? "" : "a job without the tag changed";
    std::string block = out.size() > in.size() ? out.substr(tag, out.size() - in.size()) : "";
    if (out != in.substr(0, tag) + block + in.substr(tag)) return "the job's own bytes changed";
    return std::regex_match(block, TICKET) ? "" : "malformed ticket lines: " + block;
}

long ResidentKiB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Prints `jobs` jobs from each thread, each in writes of a size of its own: the jobs not printed whole, and why.
std::string Print(const WString& driver, int jobs)
{
    std::deque<TestPrinter> printers;
    for (int t = 0; t < THREADS; t++) printers.emplace_back(driver);
    std::mutex lock;
    std::string wrong;
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < jobs; i++) {
                std::string job = MakeJob(t, i), what = "refused";
                size_t chunk = 1 + (static_cast<size_t>(t) * 7919 + static_cast<size_t>(i) * 104729) % 16384;
                HANDLE h = DrvSplStartDoc(printers[t].handle(), printers[t].StartJob(TEXT("load.ps")));
                for (size_t at = 0; h && at < job.size(); at += chunk) {
                    DWORD n = static_cast<DWORD>(std::min(chunk, job.size() - at)), written = 0;
                    DrvSplWritePrinter(h, const_cast<char*>(job.data() + at), n, &written);
                }
                if (h) {
                    DrvSplEndDoc(h);
                    DrvSplClose(h);
                    what = CheckOutput(job, printers[t].EndJobAndRead());
                    printers[t].RemoveOutput();
                } else {
                    AbortPrinter(printers[t].handle());
                }
                std::lock_guard<std::mutex> hold(lock);
                if (!what.empty() && wrong.size() < 1000)
                    wrong += "thread " + std::to_string(t) + " job " + std::to_string(i) + ": " + what + "\n";
            }
        });
    }
    for (std::thread& t : threads) t.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fprintf(stderr, "load: %d jobs in %.2f s: %.1f jobs/s\n", THREADS * jobs, seconds, THREADS * jobs / seconds);
    return wrong;
}

TEST(Load, EightThreadsOfAHundredJobs)
{
    HMODULE lib = LoadLibraryW((ExecutableDirectory() + Wide(UMPD_LIBRARY_NAME)).c_str());
    ASSERT_NE(lib, nullptr);
    DllEntryPoint(lib, DLL_PROCESS_ATTACH, nullptr);
    SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "5000");
    StoredDriver driver;
    _OEM_PRIVDEVMODE o = {};
    SetDefaultPralixOptions(&o);
    o.bInitialConnection = 0;
    swprintf(o.ipAddress, 16, TEXT("%hs"), TestAddress(22).c_str());
    SetUserInfo(&o, nullptr, driver.Name().c_str());
    const std::string report = HostUtf8(ExecutableDirectory()) + "load-user.txt",
                      serverLog = std::string(PRINTSERVERS_DIR) + "/identity/printserver.log";
    const long logged = static_cast<long>(FileSize(HostFilePath(serverLog)));
    FILE* reportFile = fopen(report.c_str(), "w");
    ASSERT_NE(reportFile, nullptr);
    ScriptedUser user(std::vector<std::string>(THREADS * (JOBS + 4), "Secure Access: 1112=alice, 1113=s3cret, OK"),
                      reportFile);
    InstallUser(&user);
    testing::internal::CaptureStdout();        // the trace lines
    EXPECT_EQ(Print(driver.Name(), 4), "");  // every thread prints every size once
    long before = ResidentKiB();
    EXPECT_EQ(Print(driver.Name(), JOBS), "");
    long after = ResidentKiB();
    std::string traced = testing::internal::GetCapturedStdout();
    UninstallUser();
    fclose(reportFile);
    FreeLibrary(lib);
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    printf("load: resident %ld KiB after the warm-up, %ld KiB at the end; peak %ld KiB\n", before, after, usage.ru_maxrss);
    // Flat once every thread has had every size: the allocator's slack, nothing that grows with the job count.
    EXPECT_LT(after - before, 32 * 1024) << "resident memory grew by " << after - before << " KiB";
    std::string told = ReadWholeFile(HostFilePath(report)), served = ReadWholeFile(HostFilePath(serverLog), logged);
    EXPECT_NE(traced.find("DrvSplClose"), std::string::npos);
    EXPECT_NE(told.find("1113=***"), std::string::npos) << "the user's report does not mask the password";
    EXPECT_NE(served.find("validate alice/***/"), std::string::npos);
    for (const std::string& output : {traced, told, served})
        EXPECT_EQ(output.find(PASSWORD), std::string::npos) << "the password in: " << output.substr(0, 300);
}

}  // namespace
