// fuzz_search: the data search on every path the processor has against its plain definition, on the whole buffer and
// on its two parts at a split, each in a block of its own size. Input: the split (2 bytes, little-endian; its lowest
// bit also tells whether the buffer's start begins a line), then the buffer.
#include "fuzz_check.h"
#include "marks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return -1;
    const std::string buf = AsText(data + 2, size - 2);
    const size_t split = (data[0] | data[1] << 8) % (buf.size() + 1);
    const bool startsLine = split && (buf[split - 1] == '\n' || buf[split - 1] == '\r');
    for (PSSearchPath p = SEARCH_PORTABLE; p <= BestPSSearchPath(); p = PSSearchPath(p + 1))
        if (!SearchAgrees(p, buf, data[0] & 1) || !SearchAgrees(p, buf.substr(0, split), data[0] & 1) ||
            !SearchAgrees(p, buf.substr(split), startsLine))
            Fail("path %d disagrees on %zu bytes split at %zu", p, buf.size(), split);
    return 0;
}
