// The data search and the spliced job by their plain definitions, for the unit tests and the fuzzers.
#pragma once

#include "umpd.h"

#include <algorithm>
#include <memory>
#include <string>

// Where `mark` first begins a line of s (after LF or CR; at its start when startsLine), or npos.
inline size_t FirstLineStart(const std::string& s, bool startsLine, const std::string& mark)
{
    const std::string t = (startsLine ? "\n" : " ") + s;
    return std::min(t.find("\n" + mark), t.find("\r" + mark));
}

// The first mark wholly inside s at a line's start (s's start when startsLine): the tag or a ticket line.
inline PSMarkKind FirstMark(const std::string& s, bool startsLine, size_t* at)
{
    size_t tag = FirstLineStart(s, startsLine, PS_TAG), line = FirstLineStart(s, startsLine, PS_TICKET_LINE);
    *at = std::min(tag, line);
    return tag < line ? PSMARK_TAG : line < tag ? PSMARK_TICKET_LINE : PSMARK_NONE;
}

// Whether the search on `path` agrees with the definition on s, copied `shift` bytes into a block that ends with it.
inline bool SearchAgrees(PSSearchPath path, const std::string& s, bool startsLine, size_t shift = 0)
{
    std::unique_ptr<BYTE[]> block(new BYTE[shift + s.size()]);
    s.copy(reinterpret_cast<char*>(block.get() + shift), s.size());
    size_t at = 0, want = 0;
    PSMarkKind kind = FindPSMarkBy(path, block.get() + shift, s.size(), startsLine, &at);
    return kind == FirstMark(s, startsLine, &want) && (kind == PSMARK_NONE || at == want);
}

// The job as the port gets it: its ticket lines inert ("%%" as "% "), the ticket before the first tag; both marks
// only at a line's start.
inline std::string Spliced(const std::string& job, const std::string& ticket)
{
    std::string out = "\n" + job;
    for (const char* start : {"\n%%PRALIX:", "\r%%PRALIX:"})
        for (size_t p = out.find(start); p != std::string::npos; p = out.find(start, p + 1)) out[p + 2] = ' ';
    size_t tag = FirstLineStart(job, true, PS_TAG);
    return tag == std::string::npos ? out.substr(1) : out.substr(1, tag) + ticket + out.substr(tag + 1);
}
