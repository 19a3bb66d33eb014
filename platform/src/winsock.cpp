// Windows Sockets 1.1 over the C library's sockets, where the two differ.
#include <winsock.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

namespace {

int Fail(int error)
{
    errno = error;
    return SOCKET_ERROR;
}

int ConnectError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 ? err : errno;
}

// poll for up to ms milliseconds (-1: no limit) as Winsock's select waits,
// which no signal interrupts: after a signal it waits again for the time left.
int PollWhole(pollfd* fds, nfds_t n, int ms)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int rc = poll(fds, n, ms);
        if (rc >= 0 || errno != EINTR) return rc;
        if (ms > 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            ms = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

}  // namespace

// Winsock reports a send to a closed connection as an error; the C library
// raises SIGPIPE instead, which would end the process: ignore it.
int WSAStartup(WORD, WSADATA* data)
{
    if (!data) return WSAEFAULT;
    signal(SIGPIPE, SIG_IGN);
    memset(data, 0, sizeof *data);
    data->wVersion = data->wHighVersion = 0x0101;
    return 0;
}

int WSACleanup(void) { return 0; }

// The last error of this thread's socket calls (the C library's included),
// as Winsock numbers it.
int WSAGetLastError(void)
{
    switch (errno) {
    case 0: return 0;
    case EINPROGRESS:
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
    case ECONNREFUSED: return WSAECONNREFUSED;
    default: return 10000 + errno;
    }
}

int closesocket(SOCKET s) { return close(static_cast<int>(s)) == 0 ? 0 : Fail(errno); }

int ioctlsocket(SOCKET s, long cmd, unsigned long* argp)
{
    if (cmd != static_cast<long>(FIONBIO) || !argp) return Fail(EINVAL);
    int fd = static_cast<int>(s), flags = fcntl(fd, F_GETFL);
    if (flags < 0) return Fail(errno);
    flags = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0 ? 0 : Fail(errno);
}

int select(int, winsock_fd_set* readfds, winsock_fd_set* writefds, winsock_fd_set* exceptfds,
           const winsock_timeval* timeout)
{
    struct Entry {
        winsock_fd_set* set;
        short events;
    } sets[] = {{readfds, POLLIN}, {writefds, POLLOUT}, {exceptfds, 0}};  // errors are always reported
    pollfd fds[3 * FD_SETSIZE_WINSOCK];
    int n = 0;
    for (const Entry& e : sets)
        for (UINT i = 0; e.set && i < e.set->fd_count && i < FD_SETSIZE_WINSOCK; i++)
            fds[n++] = pollfd{static_cast<int>(e.set->fd_array[i]), e.events, 0};
    int ms = timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000) : -1;
    int rc = PollWhole(fds, static_cast<nfds_t>(n), ms);
    if (rc < 0) return Fail(errno);
    int ready = 0, k = 0;
    for (int which = 0; which < 3; which++) {
        winsock_fd_set* set = sets[which].set;
        if (!set) continue;
        UINT kept = 0, count = set->fd_count;
        for (UINT i = 0; i < count && i < FD_SETSIZE_WINSOCK; i++, k++) {
            const pollfd& p = fds[k];
            bool error = (p.revents & (POLLERR | POLLHUP)) && ConnectError(p.fd) != 0;
            bool on = which == 0 ? (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0
                    : which == 1 ? (p.revents & POLLOUT) && !error
                                 : error;
            if (on) set->fd_array[kept++] = set->fd_array[i];
        }
        set->fd_count = kept;
        ready += static_cast<int>(kept);
    }
    return ready;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen)
{
    socklen_t len = addrlen ? static_cast<socklen_t>(*addrlen) : 0;
    int fd = ::accept(static_cast<int>(s), addr, addrlen ? &len : nullptr);
    if (addrlen) *addrlen = static_cast<int>(len);
    if (fd < 0) Fail(errno);
    return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

// The C library's reentrant lookups into the thread's own answer. The
// buffers hold the strings and lists an answer points to; an answer that
// does not fit is none.
const size_t LOOKUP_BUFFER_SIZE = 4096;

hostent* winsock_gethostbyname(const char* name)
{
    thread_local hostent entry;
    thread_local char buffer[LOOKUP_BUFFER_SIZE];
    hostent* found = nullptr;
    int error = 0;
    return gethostbyname_r(name, &entry, buffer, sizeof buffer, &found, &error) == 0 ? found : nullptr;
}

servent* winsock_getservbyname(const char* name, const char* proto)
{
    thread_local servent entry;
    thread_local char buffer[LOOKUP_BUFFER_SIZE];
    servent* found = nullptr;
    return getservbyname_r(name, proto, &entry, buffer, sizeof buffer, &found) == 0 ? found : nullptr;
}

protoent* winsock_getprotobyname(const char* name)
{
    thread_local protoent entry;
    thread_local char buffer[LOOKUP_BUFFER_SIZE];
    protoent* found = nullptr;
    return getprotobyname_r(name, &entry, buffer, sizeof buffer, &found) == 0 ? found : nullptr;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen)
{
    socklen_t len = namelen ? static_cast<socklen_t>(*namelen) : 0;
    int rc = ::getsockname(static_cast<int>(s), name, &len);
    if (namelen) *namelen = static_cast<int>(len);
    return rc == 0 ? 0 : Fail(errno);
}
