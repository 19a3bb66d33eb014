#include "job_runner.h"

#include "printer.h"
#include "store_support.h"
#include "umpd.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace {

const std::string TAG = "%%EndComments";
const char GUARD[] = "statusdict /Pralix_feat_dict known not { currentfile flushfile }if ";
const size_t SIZES[] = {300, 4 << 10, 64 << 10, 1 << 20};

// in: a printed job and its input; out: what is wrong with it ("" nothing).
std::string CheckOutput(const std::string& in, const std::string& out)
{
    size_t tag = in.find(TAG);
    if (tag == std::string::npos) return out == in ? "" : "a job without the tag changed";
    if (out.size() <= in.size() || out.compare(0, tag, in, 0, tag) != 0 ||
        out.compare(out.size() - (in.size() - tag), std::string::npos, in, tag) != 0)
        return "the job's own bytes changed";
    std::string block = out.substr(tag, out.size() - in.size());
    for (size_t at = 0; at < block.size();) {
        size_t end = block.find("\r\n", at);
        if (end == std::string::npos) return "a ticket line without CR LF";
        std::string line = block.substr(at, end - at);
        if (line.find_first_of("\r\n") != std::string::npos || (line.rfind("%%PRALIX: ", 0) != 0 && line != GUARD))
            return "a malformed ticket line: " + line;
        at = end + 2;
    }
    return "";
}

struct Shared {
    std::mutex lock;
    JobLoadResult result;
};

// Prints one job on the printer, in calls of `chunk` bytes; false when it was refused.
bool PrintJob(TestPrinter& printer, const WString& document, const std::string& job, size_t chunk, std::string* out)
{
    HANDLE h = DrvSplStartDoc(printer.handle(), printer.StartJob(document.c_str()));
    if (!h) {
        AbortPrinter(printer.handle());
        return false;
    }
    for (size_t at = 0; at < job.size(); at += chunk) {
        DWORD n = static_cast<DWORD>(std::min(chunk, job.size() - at)), written = 0;
        DrvSplWritePrinter(h, const_cast<char*>(job.data() + at), n, &written);
    }
    DrvSplEndDoc(h);
    DrvSplClose(h);
    *out = printer.EndJobAndRead();
    printer.RemoveOutput();
    return true;
}

std::string MakeJob(int thread, int i)
{
    std::string job = "%!PS-Adobe-3.0\n%%Title: load " + std::to_string(thread) + "." + std::to_string(i) +
                      "\n%%Pages: 1\n" + (i % 10 == 9 ? std::string() : TAG + "\n");
    size_t size = SIZES[static_cast<size_t>(thread + i) % 4];
    const char* line = "0 0 1 setrgbcolor 100 100 50 50 rectfill % a comment with %% in it\n";
    while (job.size() < size) job += line;
    return job + "showpage\n%%EOF\n";
}

void RunThread(const JobLoad& load, int t, TestPrinter& printer, Shared& shared)
{
    for (int i = 0; i < load.jobsPerThread; i++) {
        std::string job = MakeJob(t, i), out;
        size_t chunk = 1 + (static_cast<size_t>(t) * 7919 + static_cast<size_t>(i) * 104729) % 16384;
        bool printed = PrintJob(printer, load.document, job, chunk, &out);
        std::string wrong = printed ? CheckOutput(job, out) : "refused";
        std::lock_guard<std::mutex> hold(shared.lock);
        JobLoadResult& r = shared.result;
        r.printed += printed;
        r.bytes += printed ? job.size() : 0;
        r.corrupt += !wrong.empty();
        r.leaked += !load.secret.empty() && out.find(load.secret) != std::string::npos;
        if (!wrong.empty() && r.failures.size() < 5)
            r.failures.push_back("thread " + std::to_string(t) + " job " + std::to_string(i) + ": " + wrong);
    }
}

}  // namespace

JobLoadResult RunJobs(const JobLoad& load)
{
    Shared shared;
    std::vector<std::unique_ptr<TestPrinter>> printers;
    for (int t = 0; t < load.threads; t++) printers.emplace_back(new TestPrinter(load.driver));
    std::atomic<bool> done{false};
    // The stored value as any other reader sees it, while jobs load and store it.
    std::thread reader([&] {
        StoredDriver store(load.driver, false);
        while (!done) {
            std::vector<BYTE> raw = store.ReadRaw();
            bool whole = raw.size() == sizeof(_OEM_PRIVDEVMODE) && raw[0] == (OPTIONS_VALID & 0xFF) &&
                         raw[1] == (OPTIONS_VALID >> 8);
            std::lock_guard<std::mutex> hold(shared.lock);
            shared.result.loads++;
            if (!whole) shared.result.tornLoads++;
        }
    });
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < load.threads; t++)
        threads.emplace_back(RunThread, std::cref(load), t, std::ref(*printers[static_cast<size_t>(t)]), std::ref(shared));
    for (std::thread& t : threads) t.join();
    shared.result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    reader.join();
    return shared.result;
}

HeldJobStart::HeldJobStart(const WString& driver, const std::string& answer)
    : user_({answer}, nullptr), printer_(driver)
{
    DWORD job = printer_.StartJob(TEXT("held.ps"));
    InstallUser(&user_);
    thread_ = std::thread([this, job] { handle_ = DrvSplStartDoc(printer_.handle(), job); });
    for (int i = 0; i < 1000 && !user_.Holding(); i++) Sleep(10);
}

HANDLE HeldJobStart::Release()
{
    if (thread_.joinable()) {
        user_.Release();
        thread_.join();
        UninstallUser();
    }
    return handle_;
}

HeldJobStart::~HeldJobStart()
{
    if (Release()) DrvSplClose(handle_);
    AbortPrinter(printer_.handle());
}
