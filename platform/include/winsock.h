// Linux stand-in for Windows Sockets 1.1. The address conversions, and the
// calls whose arguments convert as they are (socket, connect, send, recv,
// bind, listen, setsockopt), are the C library's own; the rest is here. The C
// library's fd_set and timeval are defined first, then the Windows ones take
// their names; so do the lookups by name.
#pragma once

#include <windows.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0))
#define FD_SETSIZE_WINSOCK 64
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA;

typedef struct winsock_fd_set {
    UINT fd_count;
    SOCKET fd_array[FD_SETSIZE_WINSOCK];
} winsock_fd_set;

struct winsock_timeval {
    LONG tv_sec;
    LONG tv_usec;
};

#define fd_set winsock_fd_set
#define timeval winsock_timeval
#define gethostbyname winsock_gethostbyname
#define getservbyname winsock_getservbyname
#define getprotobyname winsock_getprotobyname

#define SOCKET_ERROR (-1)
#define WSAEFAULT 10014L
#define WSAEWOULDBLOCK 10035L
#define WSAEINPROGRESS 10036L
#define WSAECONNREFUSED 10061L

int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData);
int WSACleanup(void);
int WSAGetLastError(void);
int closesocket(SOCKET s);
int ioctlsocket(SOCKET s, long cmd, unsigned long* argp);
// Winsock's select: the sets hold sockets; on return each holds the ready
// ones. A failed connect shows in the exception set, not the write set.
int select(int nfds, winsock_fd_set* readfds, winsock_fd_set* writefds, winsock_fd_set* exceptfds,
           const winsock_timeval* timeout);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
// Lookups by name, each answer kept for the calling thread until its next
// lookup of the kind, as Winsock keeps it (the C library's are shared by
// every thread); null when there is none.
hostent* winsock_gethostbyname(const char* name);
servent* winsock_getservbyname(const char* name, const char* proto);
protoent* winsock_getprotobyname(const char* name);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
