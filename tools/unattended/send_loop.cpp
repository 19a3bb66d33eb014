#include "send_loop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

template <typename F, typename... A>
void Tell(const F& f, A... a)
{
    if (f) f(a...);
}

bool Cancelled(const SendHost& host) { return host.cancelled && host.cancelled(); }

SendOutcome Ended(SendEnd end, HookJob* job = nullptr)
{
    if (job) job->GiveUp();
    SendOutcome out;
    out.end = end;
    return out;
}

// Whatever the input has now, up to SEND_CHUNK bytes (a pipe's bytes go on
// as they come); 0 at its end, -1 when reading failed or the job was
// cancelled.
ssize_t ReadSome(int fd, char* buf, const SendHost& host)
{
    for (;;) {
        ssize_t n = read(fd, buf, SEND_CHUNK);
        if (n >= 0 || errno != EINTR || Cancelled(host)) return n;
    }
}

// The rest of the document after its header, as it is read.
SendEnd SendRest(HookJob& job, int in, const SendHost& host, std::string* why)
{
    std::unique_ptr<char[]> buf(new char[SEND_CHUNK]);
    bool unreached = false;
    for (;;) {
        if (Cancelled(host)) return job.GiveUp(), SendEnd::CANCELLED;
        ssize_t n = ReadSome(in, buf.get(), host);
        if (n < 0) return job.GiveUp(), Cancelled(host) ? SendEnd::CANCELLED : SendEnd::READ_FAILED;
        if (n == 0) break;
        Tell(host.sees, static_cast<const char*>(buf.get()), static_cast<size_t>(n));
        if (!job.Write(buf.get(), static_cast<size_t>(n), &unreached)) return job.GiveUp(), SendEnd::LOST;
    }
    // A cancel as the input ended (a cancelled job's input is closed) is a cancel.
    if (Cancelled(host)) return job.GiveUp(), SendEnd::CANCELLED;
    *why = host.finished ? host.finished() : "";
    if (!why->empty()) return job.GiveUp(), SendEnd::NOT_WHOLE;
    if (job.End()) return SendEnd::SENT;
    job.GiveUp();
    return SendEnd::NOT_TAKEN;
}

}  // namespace

SendOutcome SendDocument(const SpoolerHooks& hooks, const Target& target, const JobText& text, int in,
                         const SendHost& host)
{
    std::vector<char> header;
    bool place = false;
    if (!ReadHeader(in, &header, &place)) return Ended(SendEnd::READ_FAILED);
    if (!place && NeedsTicket(text)) return Ended(SendEnd::NO_PLACE);
    SendOutcome out;
    for (unsigned delay = RETRY_FIRST_S;; delay = std::min(delay * 2, RETRY_LONGEST_S)) {
        if (Cancelled(host)) return out.end = SendEnd::CANCELLED, out;
        HookJob job(hooks, target.host, target.port);
        out.start = host.start(job);
        if (!out.start.started) return out.end = SendEnd::NOT_STARTED, out;
        if (!out.start.accepted) {
            out.refusal = ClassifyRefusal(out.start.seen, host.lib);
            if (out.refusal != REFUSED_UNREACHABLE) return out.end = SendEnd::REFUSED, out;
        } else {
            if (!place && out.start.seen.identityGiven) return job.GiveUp(), out.end = SendEnd::NO_PLACE_IDENTITY, out;
            if (!place) Tell(host.withoutTicket);
            Tell(host.sending, true);
            bool unreached = false;
            if (job.Write(header.data(), header.size(), &unreached)) {
                Tell(host.streaming, out.retried);
                Tell(host.sees, static_cast<const char*>(header.data()), header.size());
                out.end = SendRest(job, in, host, &out.why);
                return out;
            }
            job.GiveUp();
            if (!unreached || Cancelled(host)) return out.end = Cancelled(host) ? SendEnd::CANCELLED : SendEnd::LOST, out;
            Tell(host.sending, false);
        }
        if (!host.retryAfter || !host.retryAfter(delay)) return out.end = SendEnd::NOT_RETRIED, out;
        out.retried = true;
    }
}
