// The data search and the spliced job by their plain definitions, for the unit tests and the fuzzers.
#pragma once

#include "umpd.h"

#include <algorithm>
#include <memory>
#include <string>

// The first mark wholly inside s: the tag anywhere, a ticket line at a line's start (s's start when startsLine).
inline PSMarkKind FirstMark(const std::string& s, bool startsLine, size_t* at)
{
    const std::string t = (startsLine ? "\n" : " ") + s;
    size_t tag = s.find(PS_TAG), line = std::min(t.find("\n%%PRALIX:"), t.find("\r%%PRALIX:"));
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

// The job as the port gets it: its ticket lines before the first tag inert ("%%" as "% "), the ticket before that tag.
inline std::string Spliced(const std::string& job, const std::string& ticket)
{
    size_t tag = job.find(PS_TAG);
    std::string out = "\n" + job.substr(0, tag);
    for (const char* start : {"\n%%PRALIX:", "\r%%PRALIX:"})
        for (size_t p = out.find(start); p != std::string::npos; p = out.find(start, p + 1)) out[p + 2] = ' ';
    return out.substr(1) + (tag == std::string::npos ? "" : ticket + job.substr(tag));
}
