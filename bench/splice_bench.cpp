// DrvSplWritePrinter's cost per byte: a job whose tag comes early (the common
// case: searched once, then passed through), a job with no tag (every buffer
// searched), and a job of '%' characters (every buffer ends in a possible
// start of the tag, so bytes are held back on every call).
#include "printersetup.h"
#include "umpd.h"

#include <standin.h>
#include <winspool.h>

#include <benchmark/benchmark.h>

#include <string>

namespace {

// A printer on the stand-in's spooler whose output is discarded.
struct BenchPrinter {
    HANDLE added = nullptr, printer = nullptr;
    BenchPrinter()
    {
        WString name = TEXT("bench");
        added = AddPrinterForDriver(name, TEXT("Pralix PS"), TEXT("/dev/null"));
        OpenPrinterW(&name[0], &printer, nullptr);
    }
    ~BenchPrinter()
    {
        ClosePrinter(printer);
        DeletePrinter(added);
        ClosePrinter(added);
    }
};

std::string MakeJob(const std::string& kind, size_t size)
{
    if (kind == "percent") return std::string(size, '%');
    std::string job = kind == "tag" ? "%!PS-Adobe-3.0\n%%Title: bench\n%%EndComments\n" : "%!PS-Adobe-3.0\n";
    while (job.size() < size) job += "72 720 moveto (The quick brown fox %% jumps) show\n";
    job.resize(size);
    return job;
}

void PrintJob(benchmark::State& state, const std::string& kind)
{
    const size_t size = 1 << 20, chunk = static_cast<size_t>(state.range(0));
    std::string job = MakeJob(kind, size);
    BenchPrinter p;
    WString doc = TEXT("bench.ps"), type = TEXT("RAW");
    DOC_INFO_1W info = {&doc[0], nullptr, &type[0]};
    for (auto _ : state) {
        DWORD id = StartDocPrinterW(p.printer, 1, reinterpret_cast<LPBYTE>(&info));
        HANDLE h = DrvSplStartDoc(p.printer, id);
        DWORD written = 0;
        for (size_t at = 0; at < size; at += chunk) DrvSplWritePrinter(h, &job[at], static_cast<DWORD>(chunk), &written);
        DrvSplEndDoc(h);
        DrvSplClose(h);
        AbortPrinter(p.printer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_JobWithTag(benchmark::State& s) { PrintJob(s, "tag"); }
void BM_JobWithoutTag(benchmark::State& s) { PrintJob(s, "plain"); }
void BM_JobOfPercentSigns(benchmark::State& s) { PrintJob(s, "percent"); }

BENCHMARK(BM_JobWithTag)->Arg(64)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JobWithoutTag)->Arg(64)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JobOfPercentSigns)->Arg(64)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

void BM_FindTag(benchmark::State& state)
{
    std::string buf = MakeJob("plain", static_cast<size_t>(state.range(0)));
    DWORD pos = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(FindPSTag_EndComments(reinterpret_cast<const BYTE*>(buf.data()), static_cast<DWORD>(buf.size()), &pos));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_FindTag)->Arg(4096)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
