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

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const int IO_WAIT_MS = 1000;      // each wait for a request's bytes, or to send
const int SILENT_MAX_MS = 2000;   // a silent end waits this long at most for the client's close
const int FENCE_WAIT_MS = 10000;  // the longest the end of a run may wait for the server
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

ServerState& gState = *new ServerState;  // never destroyed: its thread outlives every destructor

bool Wait(int fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1;
}

size_t ReadUpTo(int fd, unsigned char* out, size_t n)
{
    size_t got = 0;
    for (ssize_t r; got < n && Wait(fd, POLLIN, IO_WAIT_MS) && (r = recv(fd, out + got, n - got, 0)) > 0;)
        got += static_cast<size_t>(r);
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
    auto deadline = Clock::now() + milliseconds(SILENT_MAX_MS);
    char scratch[256];
    for (int left = SILENT_MAX_MS; left > 0 && Wait(fd, POLLIN, left) && recv(fd, scratch, sizeof scratch, 0) > 0;)
        left = static_cast<int>(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count());
}

// Counts the connection that sent `got` header bytes and takes its reply; false when it gets none.
bool TakeReply(const unsigned char* header, size_t got, Reply* reply)
{
    std::lock_guard<std::mutex> guard(gState.lock);
    if (got == sizeof FENCE && memcmp(header, FENCE, sizeof FENCE) == 0) {
        gState.active = false;
        gState.fenceSeen = true;
        gState.fenced.notify_all();
    }
    if (!gState.active) return false;
    ServedRun& served = gState.served;
    (got == 0 ? served.probes : served.requests)++;
    if (got == 0) return false;
    served.mostWithoutConfirm = std::max(served.mostWithoutConfirm, ++gState.sinceConfirm);
    if (gState.next >= gState.replies.size()) return false;
    *reply = gState.replies[gState.next++];
    served.codes.push_back(reply->bytes.substr(0, 3));
    return true;
}

void Serve(int fd)
{
    unsigned char header[8] = {}, body[BODY_MAX];
    size_t got = ReadUpTo(fd, header, sizeof header);
    Reply reply;
    if (!TakeReply(header, got, &reply)) return;
    uint32_t length = uint32_t(header[4]) << 24 | uint32_t(header[5]) << 16 | uint32_t(header[6]) << 8 | header[7];
    if (got == sizeof header && memcmp(header, "PCAC", 4) == 0 && length <= BODY_MAX) ReadUpTo(fd, body, length);
    SendReply(fd, reply);
    if (reply.end == END_SILENT) AwaitClose(fd);
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

void ServeForever()
{
    HoldTimerSignals();  // for good: they are the fuzzing thread's
    for (;;) {
        int fd = Wait(gState.listener, POLLIN, 200) ? accept(gState.listener, nullptr, nullptr) : -1;
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
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in& a = gState.address;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0)
        return false;  // the fuzzer gives up
    gState.listener = fd;
    std::thread(ServeForever).detach();
    return true;
}

void BeginRun(const std::vector<Reply>& replies)
{
    std::lock_guard<std::mutex> guard(gState.lock);
    gState.replies = replies;
    gState.next = 0;
    gState.sinceConfirm = 0;
    gState.served = ServedRun{};
    gState.active = true;
    gState.fenceSeen = false;
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
    const sockaddr* address = reinterpret_cast<const sockaddr*>(&gState.address);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sigset_t saved = HoldTimerSignals();
    bool sent = fd >= 0 && connect(fd, address, sizeof gState.address) == 0 &&
                send(fd, FENCE, sizeof FENCE, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof FENCE);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (fd >= 0) close(fd);
    std::unique_lock<std::mutex> guard(gState.lock);
    bool done = sent && gState.fenced.wait_for(guard, milliseconds(FENCE_WAIT_MS), [] { return gState.fenceSeen; });
    gState.active = false;
    *served = gState.served;
    return done;
}
