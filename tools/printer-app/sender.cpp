#include "sender.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace {

// The sender's thread: the PostScript from `in` to the print server.
void RunSender(pappl_job_t* job, PsSender* s, int in)
{
    auto finished = [s]() {
        std::lock_guard<std::mutex> hold(s->lock);
        return s->verdict;
    };
    s->sent = Send(job, s->options, in, finished);
    close(in);
}

}  // namespace

bool StartSender(pappl_job_t* job, PsSender* s)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    try {
        s->thread = std::thread(RunSender, job, s, fds[0]);
    } catch (const std::system_error&) {
        close(fds[0]), close(fds[1]);
        return false;
    }
    s->out = fds[1];
    return true;
}

bool SendAll(PsSender* s, const char* data, size_t size)
{
    while (size) {
        ssize_t n = send(s->out, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !(s->failed = true);
        data += n, size -= static_cast<size_t>(n);
    }
    return true;
}

bool FinishSender(PsSender* s, const std::string& verdict)
{
    {
        std::lock_guard<std::mutex> hold(s->lock);
        s->verdict = verdict;
    }
    close(s->out);
    s->thread.join();
    return s->sent;
}
