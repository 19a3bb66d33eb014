#include "reply_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

const int WAIT_MS = 1000;         // each wait for the client's bytes or close, or to send
const auto FENCE_WAIT = std::chrono::seconds(10);  // the longest the end of a run may wait for the server
const size_t HEADER = 8, BODY_MAX = 1016;
const char FENCE[HEADER] = {'F', 'E', 'N', 'C', 'E', 0, 0, 0};  // no request starts so

struct ServerState {
    std::mutex lock;
    std::condition_variable fenced;
    bool idle = true;  // no run, or its fence read
    std::vector<Reply> replies;
    int sinceConfirm = 0;
    ServedRun served;  // its codes count the replies taken
    sockaddr_in address = {};
};

ServerState& gState = *new ServerState;  // never destroyed: its thread outlives every destructor

bool Wait(int fd, short events)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, WAIT_MS) == 1;
}

// Reads until `n` bytes, the client's close or a wait's end.
size_t ReadUpTo(int fd, unsigned char* out, size_t n)
{
    size_t got = 0;
    for (ssize_t r; got < n && Wait(fd, POLLIN) && (r = recv(fd, out + got, n - got, 0)) > 0;)
        got += static_cast<size_t>(r);
    return got;
}

void Serve(int fd)
{
    unsigned char request[HEADER + BODY_MAX];
    size_t got = ReadUpTo(fd, request, HEADER);
    Reply reply;
    {
        std::lock_guard<std::mutex> guard(gState.lock);
        ServedRun& served = gState.served;
        if (got == HEADER && memcmp(request, FENCE, HEADER) == 0) {
            gState.idle = true;
            gState.fenced.notify_all();
        }
        if (gState.idle || got == 0) {
            served.probes += !gState.idle;
            return;
        }
        served.requests++;
        served.mostWithoutConfirm = std::max(served.mostWithoutConfirm, ++gState.sinceConfirm);
        if (served.codes.size() >= gState.replies.size()) return;
        reply = gState.replies[served.codes.size()];
        served.codes.push_back(reply.bytes.substr(0, 3));
    }
    uint32_t length = uint32_t(request[4]) << 24 | uint32_t(request[5]) << 16 | uint32_t(request[6]) << 8 | request[7];
    if (got == HEADER && memcmp(request, "PCAC", 4) == 0 && length <= BODY_MAX) ReadUpTo(fd, request + HEADER, length);
    size_t step = reply.segment ? reply.segment : std::max<size_t>(reply.bytes.size(), 1);
    for (size_t at = 0; at < reply.bytes.size(); at += step) {
        size_t n = std::min(step, reply.bytes.size() - at);
        if (!Wait(fd, POLLOUT) || send(fd, reply.bytes.data() + at, n, MSG_NOSIGNAL) <= 0) return;
    }
    if (reply.end == END_SILENT) ReadUpTo(fd, request, sizeof request);  // until the client closes
    linger reset{1, 0};
    if (reply.end == END_RESET) setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

// Holds libFuzzer's timer and stop signals (they would cut a wait short) off this thread; returns the mask before.
sigset_t HoldTimerSignals()
{
    sigset_t set, saved;
    sigemptyset(&set);
    for (int sig : {SIGALRM, SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &saved);
    return saved;
}

}  // namespace

bool StartReplyServer(const char* address, int port)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in& a = gState.address;
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (listener < 0 || inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 64) != 0)
        return false;
    std::thread([listener, one] {
        HoldTimerSignals();  // for good: they are the fuzzing thread's
        for (;;) {
            int fd = Wait(listener, POLLIN) ? accept(listener, nullptr, nullptr) : -1;
            if (fd < 0) continue;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Serve(fd);
            close(fd);
        }
    }).detach();
    return true;
}

void BeginRun(const std::vector<Reply>& replies)
{
    std::lock_guard<std::mutex> guard(gState.lock);
    gState.replies = replies;
    gState.sinceConfirm = 0;
    gState.served = ServedRun{};
    gState.idle = false;
}

void UserConfirmed()
{
    std::lock_guard<std::mutex> guard(gState.lock);
    gState.sinceConfirm = 0;
}

// The server takes connections in order: once it has read the fence (sent with libFuzzer's signals held off), it has
// dealt with every connection the run made before it.
bool EndRun(ServedRun* served)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sigset_t saved = HoldTimerSignals();
    bool sent = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&gState.address), sizeof gState.address) == 0 &&
                send(fd, FENCE, HEADER, MSG_NOSIGNAL) == static_cast<ssize_t>(HEADER);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    close(fd);
    std::unique_lock<std::mutex> guard(gState.lock);
    bool done = sent && gState.fenced.wait_for(guard, FENCE_WAIT, [] { return gState.idle; });
    *served = gState.served;
    return done;
}
