// What the hooks cost, on the same 256 MiB of data in one run:
//   - the data search alone on three kinds of data, side by side with memchr
//     for an absent byte (the memory's pace) and glibc's memmem for the tag,
//     in memory (all 256 MiB, 1 MiB at a time) and in cache (one 1 MiB
//     buffer over and over); a summary line each (`search ...`) at the end;
//   - DrvSplWritePrinter before the ticket and after it (every buffer
//     searched either way: the document's ticket lines are made inert after
//     the ticket too), against a baseline that makes the same trace call and
//     the same WritePrinter without looking at the data, and one that first
//     reads the buffer with memchr for an absent byte (the memory's pace);
//     heap allocations per call; a summary line each (`write ...`) at the
//     end;
//   - one whole ticket (load, 46 lines, store) on a registry in tmpfs.
// Jobs go to the stand-in's "NUL" port (counted, not kept); the hooks' trace
// lines go to /dev/null, the report to standard error.
#include "null_printer.h"
#include "umpd.h"

#include <standin.h>
#include <winspool.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <string>

// Counts every heap allocation of the process (glibc's allocator underneath).
static std::atomic<unsigned long> gAllocations{0};
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t n)
{
    gAllocations++;
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size)
{
    gAllocations++;
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n)
{
    gAllocations++;
    return __libc_realloc(p, n);
}

namespace {

const size_t JOB_SIZE = 256u << 20;
const std::string TAG = "%%EndComments";

// PostScript-like text: a '%' every 40 bytes or so, never the tag.
std::string Repeated(std::initializer_list<const char*> lines)
{
    std::string s;
    s.reserve(JOB_SIZE + 64);
    while (s.size() < JOB_SIZE)
        for (const char* line : lines) s += line;
    s.resize(JOB_SIZE);
    return s;
}

const std::string& PostScriptLike()
{
    static const std::string data =
        Repeated({"72 720 moveto (The quick brown fox) show % a\n", "0 0 1 setrgbcolor 100 100 50 50 rectfill %%Page\n",
                  "/Helvetica findfont 12 scalefont setfont % b\n", "gsave 1 0 0 setrgbcolor grestore %%End\n"});
    return data;
}

// Document structuring comments, a "%%" at the start of every line (18 bytes a line on average).
const std::string& CommentLines()
{
    static const std::string data =
        Repeated({"%%Title: report\n", "%%Creator: Writer 7.1\n", "%%Pages: 12\n", "%%BoundingBox: 0 0 612 792\n",
                  "%%DocumentNeededResources: font Helvetica\n", "%%+ font Times-Roman\n", "%%BeginProlog\n",
                  "%%EndProlog\n", "%%Page: 1 1\n", "%%BeginPageSetup\n", "%%EndPageSetup\n", "%%PageTrailer\n",
                  "%%Trailer\n"});
    return data;
}

const std::string& Data(int which)
{
    static const std::string percents(JOB_SIZE, '%');
    return which == 0 ? PostScriptLike() : which == 1 ? percents : CommentLines();
}

// --- the search alone -----------------------------------------------------

const size_t CHUNK = 1u << 20;

const char* const SEARCHES[] = {"memchr", "memmem", "search"};

// One chunk searched: memchr for an absent byte, memmem for the tag, or the library's search.
const void* Search(benchmark::State& state, int which, const char* p)
{
    if (which == 0) return memchr(p, '\x01', CHUNK);
    if (which == 1) return memmem(p, CHUNK, TAG.data(), TAG.size());
    size_t at = 0;
    if (FindPSMark(reinterpret_cast<const BYTE*>(p), CHUNK, true, &at) != PSMARK_NONE)
        state.SkipWithError("the data has a mark");
    return p + at;
}

// The thread's processor time in seconds: time given to other processes does not count.
double ThreadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The three searches in turn over the first `span` bytes of one kind of data, 1 MiB at a time, each iteration: what
// else runs on the machine weighs on all three alike. Counters: each one's GB/s.
void BM_Search(benchmark::State& state)
{
    const std::string& d = Data(static_cast<int>(state.range(0)));
    const size_t span = static_cast<size_t>(state.range(1));
    double seconds[3] = {};
    for (auto _ : state)
        for (int which = 0; which < 3; which++) {
            double start = ThreadSeconds();
            for (size_t at = 0; at < span; at += CHUNK) benchmark::DoNotOptimize(Search(state, which, d.data() + at));
            seconds[which] += ThreadSeconds() - start;
        }
    for (int which = 0; which < 3; which++)
        state.counters[SEARCHES[which]] = static_cast<double>(state.iterations() * span) / seconds[which] / 1e9;
    const char* names[] = {"postscript", "percents", "comment-lines"};
    state.SetLabel(std::string(names[state.range(0)]) + (span == JOB_SIZE ? " in memory" : " in cache"));
}
BENCHMARK(BM_Search)->ArgsProduct({{0, 1, 2}, {int64_t(JOB_SIZE), int64_t(CHUNK)}})->Unit(benchmark::kMillisecond);

// The console's report, then a line per kind of data and place with the three
// searches' rates (the medians when repeated) and the library's ratios, and a
// line per buffer size with the data hook's rates and its ratios to memchr's.
class SearchSummary : public benchmark::ConsoleReporter {
public:
    SearchSummary() : ConsoleReporter(OO_Tabular) {}  // no colours: the report is often a log
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_name.function_name == "BM_Search" &&
                (r.run_type != Run::RT_Aggregate || r.aggregate_name == "median"))
                for (const char* search : SEARCHES) rates_[r.report_label][search] = r.counters.at(search).value;
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_name.function_name.rfind("BM_Write_", 0) == 0 &&
                (r.run_type != Run::RT_Aggregate || r.aggregate_name == "median"))
                writes_[std::stoul(r.run_name.args)][r.run_name.function_name.substr(9)] =
                    r.counters.at("bytes_per_second").value / 1e9;
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (auto& [label, rate] : rates_)
            fprintf(stderr,
                    "search %s (%zu MiB in %zu MiB chunks): memchr %.1f GB/s, memmem %.1f GB/s, search %.1f GB/s; "
                    "search/memchr %.2f, search/memmem %.2f\n", label.c_str(),
                    (label.find("memory") != std::string::npos ? JOB_SIZE : CHUNK) >> 20, CHUNK >> 20, rate["memchr"],
                    rate["memmem"], rate["search"], rate["search"] / rate["memchr"], rate["search"] / rate["memmem"]);
        for (auto& [chunk, rate] : writes_)
            fprintf(stderr,
                    "write %lu KiB buffers (%zu MiB): baseline %.1f GB/s, memchr %.1f GB/s, before the ticket %.1f GB/s, "
                    "after the ticket %.1f GB/s; before/memchr %.2f, after/memchr %.2f\n", chunk >> 10, JOB_SIZE >> 20,
                    rate["Baseline"], rate["Memchr"], rate["BeforeTicket"], rate["AfterTicket"],
                    rate["BeforeTicket"] / rate["Memchr"], rate["AfterTicket"] / rate["Memchr"]);
    }

private:
    std::map<std::string, std::map<std::string, double>> rates_;
    std::map<unsigned long, std::map<std::string, double>> writes_;  // GB/s by buffer size and benchmark
};

// --- the data hook ------------------------------------------------------

// What the hook does for a buffer without looking at it: the same trace call
// and the same WritePrinter.
BOOL Baseline(_INIDRIVER* pDriver, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten)
{
    printf("DrvSplWritePrinter call #%u hDriver %" PRIxPTR " pBuf %" PRIxPTR " cbBuf %u pcWritten %" PRIxPTR "\n",
           static_cast<unsigned>(pDriver->cWritePrinter), reinterpret_cast<uintptr_t>(pDriver),
           reinterpret_cast<uintptr_t>(pBuf), static_cast<unsigned>(cbBuf), reinterpret_cast<uintptr_t>(pcWritten));
    pDriver->cWritePrinter++;
    return WritePrinter(pDriver->hPrinter, pBuf, cbBuf, pcWritten);
}

// The same after reading the buffer at the memory's pace: what a search can at best come near.
BOOL MemchrBaseline(_INIDRIVER* pDriver, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten)
{
    benchmark::DoNotOptimize(memchr(pBuf, '\x01', cbBuf));
    return Baseline(pDriver, pBuf, cbBuf, pcWritten);
}

enum Mode { BEFORE_TICKET, AFTER_TICKET, BASELINE, MEMCHR_BASELINE };

void WriteJob(benchmark::State& state, Mode mode)
{
    const std::string& d = PostScriptLike();
    const size_t chunk = static_cast<size_t>(state.range(0));
    NullPrinter p;
    unsigned long allocations = 0, calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        HANDLE h = DrvSplStartDoc(p.printer, p.Start(TEXT("Test Page")));  // no validation
        std::string header = "%!PS-Adobe-3.0\n" + TAG + "\n";
        DWORD written = 0;
        if (mode == AFTER_TICKET) DrvSplWritePrinter(h, &header[0], static_cast<DWORD>(header.size()), &written);
        unsigned long before = gAllocations;
        state.ResumeTiming();
        for (size_t at = 0; at < d.size(); at += chunk) {
            LPVOID buf = const_cast<char*>(d.data() + at);
            auto* driver = static_cast<_INIDRIVER*>(h);
            if (mode == BASELINE) Baseline(driver, buf, static_cast<DWORD>(chunk), &written);
            else if (mode == MEMCHR_BASELINE) MemchrBaseline(driver, buf, static_cast<DWORD>(chunk), &written);
            else DrvSplWritePrinter(h, buf, static_cast<DWORD>(chunk), &written);
        }
        state.PauseTiming();
        allocations += gAllocations - before;
        calls += d.size() / chunk;
        DrvSplEndDoc(h);
        DrvSplClose(h);
        AbortPrinter(p.printer);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
    state.counters["allocs_per_call"] = calls ? static_cast<double>(allocations) / calls : 0;
}

void BM_Write_BeforeTicket(benchmark::State& s) { WriteJob(s, BEFORE_TICKET); }
void BM_Write_AfterTicket(benchmark::State& s) { WriteJob(s, AFTER_TICKET); }
void BM_Write_Baseline(benchmark::State& s) { WriteJob(s, BASELINE); }
void BM_Write_Memchr(benchmark::State& s) { WriteJob(s, MEMCHR_BASELINE); }

BENCHMARK(BM_Write_Baseline)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write_Memchr)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write_BeforeTicket)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write_AfterTicket)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// --- one ticket ---------------------------------------------------------

void BM_Ticket(benchmark::State& state)
{
    NullPrinter p(TEXT("Pralix PS ticket bench"));
    _OEM_PRIVDEVMODE options;
    memset(&options, 0, sizeof options);
    SetDefaultPralixOptions(&options);
    SetUserInfo(&options, p.printer, nullptr);
    p.Start();
    for (auto _ : state) AddPralixOptions(p.printer);
    EndDocPrinter(p.printer);
}
BENCHMARK(BM_Ticket)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    // The registry in tmpfs, its volatile keys too, unless the caller chose.
    if (!getenv("UMPD_STANDIN_REGISTRY")) StandinSetRegistryRoot("/dev/shm/umpd-bench-registry");
    setenv("XDG_RUNTIME_DIR", "/dev/shm", 0);
    // As the loader would: the module with the dialogs and strings, and the lock.
    HMODULE module = LoadLibraryW((ExecutableDirectory() + HostWiden(UMPD_LIBRARY_NAME)).c_str());
    DllEntryPoint(module, DLL_PROCESS_ATTACH, nullptr);
    benchmark::Initialize(&argc, argv);
    if (!freopen("/dev/null", "w", stdout)) return 1;  // the hooks' trace lines
    SearchSummary reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::cerr << "bytes counted at NUL ports: " << StandinNullPortBytes() << "\n";
    benchmark::Shutdown();
    return 0;
}
