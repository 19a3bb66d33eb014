// fuzz_splice: streams a PostScript job through DrvSplStartDoc, DrvSplWritePrinter, DrvSplEndDoc and DrvSplClose,
// cut into buffers of random sizes. Checks that each data call takes its whole buffer and that the port receives the
// job with the ticket, as written, inserted exactly once, just before the first complete "%%EndComments" that begins
// a line (none when it has none), the job's own "%%PRALIX:" lines inert before it and after it and every other byte
// unchanged. Input: a PRNG seed (4 bytes) and the largest buffer (1 byte), then the job.
#include "fakes.h"
#include "fuzz_printer.h"
#include "marks.h"

namespace {

const size_t HEADER_SIZE = 5;
const int ZERO_WRITES_MAX = 64;  // empty data calls per job, at most
const char TICKET[] = "%%PRALIX: Spool Delete\r\n%%PRALIX: Duplex off\r\n";

FuzzPrinter gPrinter;

// Writes the job in buffers of pseudo-random sizes from 0 to `largest` (0: the whole job in one), each on the heap at
// its exact size, so that a read past it is caught.
void WriteJob(HANDLE driver, const std::string& job, uint32_t state, size_t largest)
{
    int zeroWrites = 0;
    for (size_t at = 0, calls = 0; at < job.size(); calls++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        size_t n = largest ? state % (largest + 1) : job.size() - at;
        if (n == 0 && zeroWrites++ >= ZERO_WRITES_MAX) n = 1;
        n = std::min(n, job.size() - at);
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
    // UmpdSection is made ready by the fakes, as the loader would. The hooks' trace lines would drown libFuzzer's.
    if (!freopen("/dev/null", "w", stdout)) Fail("cannot silence standard output");
    gFakes.Reset();
    gFakes.ticket = TICKET;
    gPrinter = SetUpPrinter("splice", TEXT("Pralix PS"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER_SIZE) return -1;
    uint32_t seed;
    memcpy(&seed, data, sizeof seed);
    size_t largest = data[4] < 128 ? data[4] : size_t(data[4] - 127) * 32;  // up to 4096
    std::string job = AsText(data + HEADER_SIZE, size - HEADER_SIZE);
    gFakes.log.clear();  // the fakes' log, kept from growing

    HANDLE driver = DrvSplStartDoc(gPrinter.handle, StartFuzzJob(gPrinter));
    if (!driver) Fail("DrvSplStartDoc refused the job");
    WriteJob(driver, job, seed | 1, largest);
    DrvSplEndDoc(driver);
    DrvSplClose(driver);
    std::string out = EndFuzzJob(gPrinter);

    std::string expected = Spliced(job, TICKET);
    if (out != expected)
        Fail("the port received %zu bytes, %zu expected; first difference at %zu", out.size(), expected.size(),
             FirstDifference(out, expected));
    return 0;
}
