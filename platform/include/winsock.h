// Linux stand-in for the Windows Sockets 1.1 types the records hold (the calls
// come with the socket layer). The C library's own fd_set and timeval are
// defined first, then the Windows ones take their names.
#pragma once

#include <windows.h>

#include <sys/select.h>
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
