// The connection to the print server over Windows Sockets 1.1. Every exchange
// is bounded by one network wait: the connect, and a whole send or a whole
// receive, each in total (a peer that trickles cannot hold the thread).
#include "csocket.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

const DWORD DEFAULT_WAIT_MS = 20000;
const DWORD MAX_WAIT_MS = 600000;

DWORD ReadNetworkWait()
{
    char buf[16];
    DWORD n = GetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", buf, sizeof buf);
    if (n == 0 || n >= sizeof buf || buf[0] < '0' || buf[0] > '9') return DEFAULT_WAIT_MS;
    char* end = nullptr;
    unsigned long ms = strtoul(buf, &end, 10);
    return (*end || ms == 0 || ms > MAX_WAIT_MS) ? DEFAULT_WAIT_MS : static_cast<DWORD>(ms);
}

// Milliseconds left until deadline (a GetTickCount value), 0 when passed.
DWORD Remaining(DWORD deadline)
{
    LONG left = static_cast<LONG>(deadline - GetTickCount());
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Waits until the socket can be read (or written), within the wait and
// before deadline. True when it can; a failed connect shows in the
// exception set and counts as not ready.
bool WaitReady(CSocketDataMembers* s, bool write, DWORD deadline)
{
    DWORD ms = Remaining(deadline);
    DWORD wait = static_cast<DWORD>(s->mTimeout.tv_sec) * 1000 + static_cast<DWORD>(s->mTimeout.tv_usec) / 1000;
    if (ms > wait) ms = wait;
    timeval t;
    t.tv_sec = static_cast<LONG>(ms / 1000);
    t.tv_usec = static_cast<LONG>(ms % 1000 * 1000);
    fd_set ready, failed;
    ready.fd_count = failed.fd_count = 1;
    ready.fd_array[0] = failed.fd_array[0] = s->mSocket;
    int rc = select(64, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &t);
    return rc > 0 && ready.fd_count == 1 && failed.fd_count == 0;
}

// The port in network order: the service of that name, else the decimal
// number; 0 when it is neither.
u_short LookUpPort(const char* port)
{
    if (servent* service = getservbyname(port, "tcp")) return static_cast<u_short>(service->s_port);
    int number = atoi(port);
    return number > 0 && number <= 65535 ? htons(static_cast<u_short>(number)) : 0;
}

// The services and protocols databases are files that every lookup reads
// again (30 and 10 microseconds here, more than a loopback exchange): the
// answers for the secure-access port and for TCP are kept once found.
std::atomic<u_short> gSecurePort{0};
std::atomic<int> gTcpProtocol{-1};

u_short PortOf(const char* port)
{
    if (strcmp(port, SECURE_ACCESS_PORT) != 0) return LookUpPort(port);
    if (gSecurePort == 0) gSecurePort = LookUpPort(port);
    return gSecurePort;
}

int TcpProtocol()
{
    if (gTcpProtocol < 0)
        if (protoent* protocol = getprotobyname("tcp")) gTcpProtocol = protocol->p_proto;
    return gTcpProtocol;
}

}  // namespace

DWORD NetworkWaitMs()
{
    static const DWORD ms = ReadNetworkWait();
    return ms;
}

void CSocketConstructor(CSocketDataMembers* pCSocketData)
{
    pCSocketData->mSocket = INVALID_SOCKET;
    pCSocketData->mTimeout.tv_sec = static_cast<LONG>(NetworkWaitMs() / 1000);
    pCSocketData->mTimeout.tv_usec = static_cast<LONG>(NetworkWaitMs() % 1000 * 1000);
}

int CSocketInitialize(CSocketDataMembers* pCSocketData)
{
    return WSAStartup(0x0101, &pCSocketData->mWsadata) == 0 ? 1 : 0;
}

int CSocketConnectSocket(CSocketDataMembers* pCSocketData, const char* host, const char* port)
{
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = PortOf(port);
    if (address.sin_port == 0) return 0;
    if (hostent* entry = gethostbyname(host)) {
        size_t n = entry->h_length < 4 ? static_cast<size_t>(entry->h_length) : 4;
        if (entry->h_addr_list && entry->h_addr_list[0]) memcpy(&address.sin_addr, entry->h_addr_list[0], n);
    } else {
        address.sin_addr.s_addr = inet_addr(host);
        if (address.sin_addr.s_addr == INADDR_NONE) return 0;
    }
    // 0.0.0.0 is no server, whichever lookup gave it.
    if (address.sin_addr.s_addr == 0) return 0;
    int protocol = TcpProtocol();
    if (protocol < 0) return 0;
    pCSocketData->mSocket = socket(AF_INET, SOCK_STREAM, protocol);
    if (pCSocketData->mSocket == INVALID_SOCKET) return 0;

    // Connect without blocking, then wait for it within the network wait.
    unsigned long nonBlocking = 1, blocking = 0;
    DWORD deadline = GetTickCount() + NetworkWaitMs();
    ioctlsocket(pCSocketData->mSocket, FIONBIO, &nonBlocking);
    bool connected = connect(pCSocketData->mSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
                     (WSAGetLastError() == WSAEWOULDBLOCK && WaitReady(pCSocketData, true, deadline));
    ioctlsocket(pCSocketData->mSocket, FIONBIO, &blocking);
    if (!connected) return 0;
    pCSocketData->mFdset.fd_count = 1;
    pCSocketData->mFdset.fd_array[0] = pCSocketData->mSocket;
    return 1;
}

int CSocketSend(CSocketDataMembers* pCSocketData, const void* inBuffer, int len)
{
    if (pCSocketData->mSocket == INVALID_SOCKET || len <= 0) return -1;
    const char* p = static_cast<const char*>(inBuffer);
    DWORD deadline = GetTickCount() + NetworkWaitMs();
    while (len > 0) {
        if (!WaitReady(pCSocketData, true, deadline)) return -1;
        int sent = send(pCSocketData->mSocket, p, len, 0);
        if (sent <= 0) return -1;
        p += sent;
        len -= sent;
    }
    return 1;
}

int CSocketRead(CSocketDataMembers* pCSocketData, void* inBuffer, int len)
{
    if (pCSocketData->mSocket == INVALID_SOCKET || len <= 0) return -1;
    char* p = static_cast<char*>(inBuffer);
    int got = 0;
    DWORD deadline = GetTickCount() + NetworkWaitMs();
    while (got < len) {
        if (!WaitReady(pCSocketData, false, deadline)) break;
        int n = recv(pCSocketData->mSocket, p + got, len - got, 0);
        if (n <= 0) break;  // closed by the peer, or failed
        got += n;
    }
    // Bytes that came before a close or the end of the wait are the reply,
    // cut short; nothing at all is a failed receive.
    return got > 0 ? got : -1;
}

int CSocketPeerClosed(CSocketDataMembers* pCSocketData)
{
    if (pCSocketData->mSocket == INVALID_SOCKET) return 0;
    // Readable at once with nothing to peek at: the peer's close is queued.
    fd_set readable;
    readable.fd_count = 1;
    readable.fd_array[0] = pCSocketData->mSocket;
    timeval now = {0, 0};
    char byte;
    return select(64, &readable, nullptr, nullptr, &now) == 1 &&
                   recv(pCSocketData->mSocket, &byte, 1, MSG_PEEK) == 0
               ? 1
               : 0;
}

void CSocketCloseSocket(CSocketDataMembers* pCSocketData)
{
    if (pCSocketData->mSocket == INVALID_SOCKET) return;
    closesocket(pCSocketData->mSocket);
    pCSocketData->mSocket = INVALID_SOCKET;
}

void CSocketDestructor(CSocketDataMembers* pCSocketData)
{
    CSocketCloseSocket(pCSocketData);
    WSACleanup();
}
