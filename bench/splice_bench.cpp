// What the hooks cost, on the same 256 MiB of data in one run:
//   - the tag search alone, against memchr (for '%') and glibc's memmem;
//   - DrvSplWritePrinter before the ticket (every buffer searched) and after
//     it, against a baseline that makes the same trace call and the same
//     WritePrinter without searching; heap allocations per call;
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
#include <iostream>
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
const std::string& PostScriptLike()
{
    static const std::string data = [] {
        const char* lines[] = {"72 720 moveto (The quick brown fox) show % a\n",
                               "0 0 1 setrgbcolor 100 100 50 50 rectfill %%Page\n",
                               "/Helvetica findfont 12 scalefont setfont % b\n", "gsave 1 0 0 setrgbcolor grestore %%End\n"};
        std::string s;
        s.reserve(JOB_SIZE);
        for (size_t i = 0; s.size() < JOB_SIZE; i++) s += lines[i % 4];
        s.resize(JOB_SIZE);
        return s;
    }();
    return data;
}

const std::string& Percents()
{
    static const std::string data(JOB_SIZE, '%');
    return data;
}

const std::string& Data(int which) { return which == 0 ? PostScriptLike() : Percents(); }
const char* DataName(int which) { return which == 0 ? "postscript" : "percents"; }

void Throughput(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * JOB_SIZE));
    state.SetLabel(DataName(static_cast<int>(state.range(0))));
}

// --- the search alone ---------------------------------------------------

void BM_Search_Tag(benchmark::State& state)
{
    const std::string& d = Data(static_cast<int>(state.range(0)));
    const size_t chunk = 64u << 10;
    for (auto _ : state) {
        DWORD pos = 0;
        for (size_t at = 0; at < d.size(); at += chunk)
            benchmark::DoNotOptimize(FindPSTag_EndComments(reinterpret_cast<const BYTE*>(d.data() + at), chunk, &pos));
    }
    Throughput(state);
}

void BM_Search_Memchr(benchmark::State& state)
{
    const std::string& d = Data(static_cast<int>(state.range(0)));
    const size_t chunk = 64u << 10;
    for (auto _ : state) {
        size_t found = 0;
        for (size_t at = 0; at < d.size(); at += chunk) {
            const char* p = d.data() + at;
            const char* end = p + chunk;
            while ((p = static_cast<const char*>(memchr(p, '%', static_cast<size_t>(end - p)))) != nullptr) p++, found++;
        }
        benchmark::DoNotOptimize(found);
    }
    Throughput(state);
}

void BM_Search_Memmem(benchmark::State& state)
{
    const std::string& d = Data(static_cast<int>(state.range(0)));
    const size_t chunk = 64u << 10;
    for (auto _ : state) {
        for (size_t at = 0; at < d.size(); at += chunk)
            benchmark::DoNotOptimize(memmem(d.data() + at, chunk, TAG.data(), TAG.size()));
    }
    Throughput(state);
}

BENCHMARK(BM_Search_Tag)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Search_Memchr)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Search_Memmem)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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

enum Mode { BEFORE_TICKET, AFTER_TICKET, BASELINE };

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
            if (mode == BASELINE) Baseline(static_cast<_INIDRIVER*>(h), buf, static_cast<DWORD>(chunk), &written);
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

BENCHMARK(BM_Write_Baseline)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
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
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::cerr << "bytes counted at NUL ports: " << StandinNullPortBytes() << "\n";
    benchmark::Shutdown();
    return 0;
}
