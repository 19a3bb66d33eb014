// fuzz_splice: reads a PostScript job and a way to cut it into buffers (the
// input's first 5 bytes: a PRNG seed and the largest buffer; the rest is the
// job) and streams it through DrvSplStartDoc, DrvSplWritePrinter, DrvSplEndDoc
// and DrvSplClose on a printer of the stand-in spooler. Checks that each data
// call takes its whole buffer and that the port receives the job with the
// ticket block inserted exactly once, just before the first complete
// "%%EndComments" of the whole job, or the job unchanged when it has none.
#include "fakes.h"
#include "fuzz_printer.h"
#include "umpd.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

const size_t HEADER_SIZE = 5;
const int ZERO_WRITES_MAX = 64;  // empty data calls per job, at most
const char TAG[] = "%%EndComments";
const char TICKET[] = "%%PRALIX: Spool Delete\r\n%%PRALIX: Duplex off\r\n";

FuzzPrinter gPrinter;

// Buffer sizes from 0 to `largest` (0: the whole job in one buffer).
struct Chunker {
    uint32_t state;
    size_t largest;
    int zeroWrites;
};

Chunker MakeChunker(const uint8_t* header)
{
    uint32_t seed = uint32_t(header[0]) | uint32_t(header[1]) << 8 | uint32_t(header[2]) << 16 | uint32_t(header[3]) << 24;
    uint8_t b = header[4];
    size_t largest = b < 128 ? b : size_t(b - 127) * 32;  // up to 4096
    return Chunker{seed | 1, largest, 0};
}

size_t NextChunk(Chunker* c, size_t left)
{
    if (c->largest == 0) return left;
    c->state ^= c->state << 13;
    c->state ^= c->state >> 17;
    c->state ^= c->state << 5;
    size_t n = c->state % (c->largest + 1);
    if (n == 0 && c->zeroWrites++ >= ZERO_WRITES_MAX) n = 1;
    return n < left ? n : left;
}

std::string Expected(const std::string& job)
{
    size_t tag = job.find(TAG);
    return tag == std::string::npos ? job : job.substr(0, tag) + TICKET + job.substr(tag);
}

// Each buffer on the heap at its exact size, so that a read past it is caught.
void WriteJob(HANDLE driver, const std::string& job, Chunker* chunker)
{
    for (size_t at = 0, calls = 0; at < job.size(); calls++) {
        size_t n = NextChunk(chunker, job.size() - at);
        std::unique_ptr<BYTE[]> buf(new BYTE[n]);
        memcpy(buf.get(), job.data() + at, n);
        DWORD written = 0xFFFFFFFF;
        if (!DrvSplWritePrinter(driver, buf.get(), static_cast<DWORD>(n), &written))
            Fail("data call %zu of %zu bytes at %zu failed", calls, n, at);
        if (written != n) Fail("data call %zu took %u of its %zu bytes", calls, static_cast<unsigned>(written), n);
        at += n;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // UmpdSection is made ready by the fakes, as the loader would.
    // The hooks' trace lines would drown libFuzzer's.
    if (!freopen("/dev/null", "w", stdout)) Fail("cannot silence standard output");
    gFakes.Reset();
    gFakes.ticket = TICKET;
    gPrinter = SetUpPrinter("splice", TEXT("Pralix PS"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER_SIZE) return -1;
    Chunker chunker = MakeChunker(data);
    std::string job(reinterpret_cast<const char*>(data) + HEADER_SIZE, size - HEADER_SIZE);
    gFakes.log.clear();  // the fakes' log of this job's calls alone

    HANDLE driver = DrvSplStartDoc(gPrinter.handle, StartFuzzJob(gPrinter));
    if (!driver) Fail("DrvSplStartDoc refused the job");
    WriteJob(driver, job, &chunker);
    DrvSplEndDoc(driver);
    DrvSplClose(driver);
    std::string out = EndFuzzJob(gPrinter), expected = Expected(job);

    int inserted = 0;
    for (size_t at = gFakes.log.find("ticket"); at != std::string::npos; at = gFakes.log.find("ticket", at + 1)) inserted++;
    if (inserted != (job.find(TAG) != std::string::npos ? 1 : 0))
        Fail("%d tickets written into a job of %zu bytes", inserted, job.size());
    if (out != expected)
        Fail("the port received %zu bytes, %zu expected; first difference at %zu", out.size(), expected.size(),
             FirstDifference(out, expected));
    return 0;
}
