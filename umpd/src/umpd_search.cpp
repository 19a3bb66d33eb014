// The data search: in one pass over a buffer, the first line that begins
// "%%EndComments" or as the ticket's lines do. A filter keeps the positions
// of a "%%" with, 7 bytes on, the tag's 'm' or a ticket line's 'X' (rare
// there in text and in comment lines alike), 64 positions a step (SSE2, or
// AVX2 where the processor has it; 8 in portable code); only those positions
// are compared, and only where a line starts.
#include "umpd.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define UMPD_SEARCH_X86 1
#endif

namespace {

const size_t TAG_LEN = sizeof PS_TAG - 1;
const size_t LINE_LEN = sizeof PS_TICKET_LINE - 1;
const size_t PROBE = 7;  // the filter's second byte
static_assert(PS_TAG[PROBE] == 'm' && PS_TICKET_LINE[PROBE] == 'X' && LINE_LEN <= TAG_LEN, "the filter's bytes");

bool IsCandidate(const BYTE* b, size_t i)
{
    return b[i] == '%' && b[i + 1] == '%' && (b[i + PROBE] == 'm' || b[i + PROBE] == 'X');
}

// The mark at candidate i, if any. Both marks are comment lines: a title
// that contains "%%EndComments" is no place for the ticket.
PSMarkKind MarkAt(const BYTE* b, size_t len, size_t i, bool startsLine)
{
    bool lineStart = i > 0 ? b[i - 1] == '\n' || b[i - 1] == '\r' : startsLine;
    if (!lineStart) return PSMARK_NONE;
    if (b[i + PROBE] == 'm')
        return len - i >= TAG_LEN && memcmp(b + i, PS_TAG, TAG_LEN) == 0 ? PSMARK_TAG : PSMARK_NONE;
    return memcmp(b + i, PS_TICKET_LINE, LINE_LEN) == 0 ? PSMARK_TICKET_LINE : PSMARK_NONE;
}

// A scan goes over positions [p, end) in steps of its width while a whole step
// fits (a step reads 8 bytes past its positions; the buffer ends 8 bytes past
// end). It returns the first step with a candidate, its positions as the bits
// of *mask; else *mask is 0 and it returns where it stopped. The vector scans
// call nothing: no vector register is spilled (MinGW does not align the stack
// for 32-byte ones).

// 0x80 in each byte of w that equals the byte repeated in c, nothing elsewhere.
uint64_t EqualBytes(uint64_t w, uint64_t c)
{
    const uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    uint64_t x = w ^ c;
    return ~(((x & low7) + low7) | x | low7);
}

size_t ScanPortable(const BYTE* b, size_t p, size_t end, uint64_t* mask)
{
    const uint64_t ones = 0x0101010101010101ull;
    for (; end - p >= 8; p += 8) {
        uint64_t w, probe;
        memcpy(&w, b + p, 8);
        memcpy(&probe, b + p + PROBE, 8);
        if (EqualBytes(w, '%' * ones) & (EqualBytes(probe, 'm' * ones) | EqualBytes(probe, 'X' * ones))) {
            *mask = 0;
            for (unsigned j = 0; j < 8; j++)
                if (IsCandidate(b, p + j)) *mask |= 1ull << j;
            if (*mask) return p;
        }
    }
    *mask = 0;
    return p;
}

#if UMPD_SEARCH_X86
__attribute__((target("sse2"))) unsigned CandidatesSse2(const BYTE* b)
{
    __m128i probe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + PROBE));
    __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(probe, _mm_set1_epi8('m')), _mm_cmpeq_epi8(probe, _mm_set1_epi8('X')));
    __m128i starts = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), _mm_set1_epi8('%'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(starts, ends)));
}

__attribute__((target("sse2"))) size_t ScanSse2(const BYTE* b, size_t p, size_t end, uint64_t* mask)
{
    for (; end - p >= 64; p += 64) {
        uint32_t low = CandidatesSse2(b + p) | CandidatesSse2(b + p + 16) << 16;
        uint32_t high = CandidatesSse2(b + p + 32) | CandidatesSse2(b + p + 48) << 16;
        if (low | high) {
            *mask = low | uint64_t(high) << 32;
            return p;
        }
    }
    *mask = 0;
    return p;
}

// The probe's byte looked up by its low half (none when its top bit is set):
// only 'X' and 'm' find themselves.
__attribute__((target("avx2"))) __m256i CandidatesAvx2(const BYTE* b)
{
    const __m256i probes = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 'X', -1, -1, -1, -1, 'm', -1, -1,  //
                                            -1, -1, -1, -1, -1, -1, -1, -1, 'X', -1, -1, -1, -1, 'm', -1, -1);
    __m256i probe = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + PROBE));
    __asm__("" : "+x"(probe));  // one load, not one per use
    __m256i ends = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(probes, probe), probe);
    __m256i starts = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), _mm256_set1_epi8('%'));
    return _mm256_and_si256(starts, ends);
}

__attribute__((target("avx2"))) uint32_t NextIsPercentAvx2(const BYTE* b)
{
    __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 1));
    return uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(next, _mm256_set1_epi8('%'))));
}

__attribute__((target("avx2"))) size_t ScanAvx2(const BYTE* b, size_t p, size_t end, uint64_t* mask)
{
    for (size_t steps = (end - p) / 64; steps > 0; steps--, p += 64) {
        __m256i low = CandidatesAvx2(b + p), high = CandidatesAvx2(b + p + 32);
        if (_mm256_movemask_epi8(_mm256_or_si256(low, high)) == 0) continue;
        // Both marks begin "%%": a candidate without the second '%' costs no return.
        *mask = (uint32_t(_mm256_movemask_epi8(low)) & NextIsPercentAvx2(b + p)) |
                uint64_t(uint32_t(_mm256_movemask_epi8(high)) & NextIsPercentAvx2(b + p + 32)) << 32;
        if (*mask) return p;
    }
    *mask = 0;
    return p;
}
#endif

// The scan's steps, then the last positions one by one.
template <size_t Width, size_t (*Scan)(const BYTE*, size_t, size_t, uint64_t*)>
PSMarkKind Find(const BYTE* b, size_t len, bool startsLine, size_t* at)
{
    if (len < LINE_LEN) return PSMARK_NONE;
    const size_t end = len - LINE_LEN + 1;  // past the last place a mark can start
    size_t p = 0;
    for (uint64_t mask;; p += Width) {
        p = Scan(b, p, end, &mask);
        if (!mask) break;
        for (; mask; mask &= mask - 1) {
            size_t i = p + static_cast<size_t>(__builtin_ctzll(mask));
            if (PSMarkKind kind = MarkAt(b, len, i, startsLine)) return *at = i, kind;
        }
    }
    for (; p < end; p++)
        if (IsCandidate(b, p))
            if (PSMarkKind kind = MarkAt(b, len, p, startsLine)) return *at = p, kind;
    return PSMARK_NONE;
}

}  // namespace

PSSearchPath BestPSSearchPath()
{
#if UMPD_SEARCH_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return SEARCH_AVX2;
    if (__builtin_cpu_supports("sse2")) return SEARCH_SSE2;
#endif
    return SEARCH_PORTABLE;
}

PSMarkKind FindPSMarkBy(PSSearchPath path, const BYTE* buf, size_t len, bool startsLine, size_t* at)
{
    switch (path) {
#if UMPD_SEARCH_X86
    case SEARCH_AVX2: return Find<64, ScanAvx2>(buf, len, startsLine, at);
    case SEARCH_SSE2: return Find<64, ScanSse2>(buf, len, startsLine, at);
#endif
    default: return Find<8, ScanPortable>(buf, len, startsLine, at);
    }
}

PSMarkKind FindPSMark(const BYTE* buf, size_t len, bool startsLine, size_t* at)
{
    return FindPSMarkBy(BestPSSearchPath(), buf, len, startsLine, at);
}
