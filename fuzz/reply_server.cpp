#include "reply_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
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

const int IO_WAIT_MS = 1000;       // each wait for a request's bytes, or to send
const int SILENT_MAX_MS = 2000;    // a silent end waits this long at most for the client's close
const int FENCE_WAIT_MS = 10000;   // the longest the end of a run may wait for the server
const size_t BODY_MAX = 1016;
const char FENCE[8] = {'F', 'E', 'N', 'C', 'E', 0, 0, 0};  // no request starts so

struct ServerState {
    std::mutex lock;
    std::condition_variable fenced;
    bool active = false, fenceSeen = false;
    std::vector<Reply> replies;
    size_t next = 0;
    int sinceConfirm = 0;
    ServedRun served;
    int listener = -1;
    sockaddr_in address;
};

ServerState& State()
{
    static ServerState* s = new ServerState;  // its thread outlives every destructor
    return *s;
}

bool Wait(int fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1;
}

size_t ReadUpTo(int fd, unsigned char* out, size_t n)
{
    size_t got = 0;
    while (got < n && Wait(fd, POLLIN, IO_WAIT_MS)) {
        ssize_t r = recv(fd, out + got, n - got, 0);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

void SendReply(int fd, const Reply& reply)
{
    size_t step = reply.segment ? reply.segment : std::max<size_t>(reply.bytes.size(), 1);
    for (size_t at = 0; at < reply.bytes.size(); at += step) {
        size_t n = std::min(step, reply.bytes.size() - at);
        if (!Wait(fd, POLLOUT, IO_WAIT_MS) || send(fd, reply.bytes.data() + at, n, MSG_NOSIGNAL) <= 0) return;
    }
}

// Reads until the client closes, bounded.
void AwaitClose(int fd)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SILENT_MAX_MS);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        char scratch[256];
        if (left.count() <= 0 || !Wait(fd, POLLIN, static_cast<int>(left.count())) ||
            recv(fd, scratch, sizeof scratch, 0) <= 0)
            return;
    }
}

void Reset(int fd)
{
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// Takes the run's next reply for a request; false when there is none.
bool TakeReply(Reply* reply)
{
    ServerState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.active) return false;
    s.served.requests++;
    s.served.mostWithoutConfirm = std::max(s.served.mostWithoutConfirm, ++s.sinceConfirm);
    if (s.next >= s.replies.size()) return false;
    *reply = s.replies[s.next++];
    s.served.codes.push_back(reply->bytes.substr(0, 3));
    return true;
}

void Serve(int fd)
{
    ServerState& s = State();
    unsigned char header[8], body[BODY_MAX];
    size_t got = ReadUpTo(fd, header, sizeof header);
    if (got == sizeof header && memcmp(header, FENCE, sizeof FENCE) == 0) {
        std::lock_guard<std::mutex> guard(s.lock);
        s.active = false;
        s.fenceSeen = true;
        s.fenced.notify_all();
        return;
    }
    if (got == 0) {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.active) s.served.probes++;
        return;
    }
    Reply reply;
    if (!TakeReply(&reply)) return;
    if (got == sizeof header && memcmp(header, "PCAC", 4) == 0) {
        uint32_t length = uint32_t(header[4]) << 24 | uint32_t(header[5]) << 16 | uint32_t(header[6]) << 8 | header[7];
        if (length <= BODY_MAX) ReadUpTo(fd, body, length);
    }
    SendReply(fd, reply);
    if (reply.end == END_SILENT) AwaitClose(fd);
    if (reply.end == END_RESET) Reset(fd);
}

// libFuzzer's timer and stop signals, which would cut a wait short.
sigset_t TimerSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGALRM, SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, sig);
    return set;
}

// Sends the fence with those signals held back.
bool SendFence(int fd, const sockaddr_in& address)
{
    sigset_t timer = TimerSignals(), saved;
    pthread_sigmask(SIG_BLOCK, &timer, &saved);
    bool sent = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                send(fd, FENCE, sizeof FENCE, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof FENCE);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return sent;
}

void ServeForever()
{
    // The signals go to the fuzzing thread: here they would end a wait early.
    sigset_t timer = TimerSignals();
    pthread_sigmask(SIG_BLOCK, &timer, nullptr);
    int listener = State().listener;
    for (;;) {
        if (!Wait(listener, POLLIN, 200)) continue;
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Serve(fd);
        close(fd);
    }
}

}  // namespace

bool StartReplyServer(const char* address, int port)
{
    ServerState& s = State();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    memset(&s.address, 0, sizeof s.address);
    s.address.sin_family = AF_INET;
    s.address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, address, &s.address.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&s.address), sizeof s.address) != 0 || listen(fd, 64) != 0) {
        if (fd >= 0) close(fd);
        return false;
    }
    s.listener = fd;
    std::thread(ServeForever).detach();
    return true;
}

void BeginRun(const std::vector<Reply>& replies)
{
    ServerState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.replies = replies;
    s.next = 0;
    s.sinceConfirm = 0;
    s.served = ServedRun{};
    s.active = true;
    s.fenceSeen = false;
}

void UserConfirmed()
{
    ServerState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.sinceConfirm = 0;
}

// The server takes connections in order: once it has read the fence, it has
// dealt with every connection the run made before it.
bool EndRun(ServedRun* served)
{
    ServerState& s = State();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool sent = fd >= 0 && SendFence(fd, s.address);
    std::unique_lock<std::mutex> guard(s.lock);
    bool done = sent && s.fenced.wait_for(guard, std::chrono::milliseconds(FENCE_WAIT_MS), [&] { return s.fenceSeen; });
    s.active = false;
    *served = s.served;
    guard.unlock();
    if (fd >= 0) close(fd);
    return done;
}
