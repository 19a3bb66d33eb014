// The connection to the print server.
#pragma once

#include <windows.h>
#include <winsock.h>

struct CSocketDataMembers {
    SOCKET mSocket;      // INVALID_SOCKET while no connection is open
    WSADATA mWsadata;    // filled by WSAStartup, not read
    timeval mTimeout;    // one wait for readiness: 20 seconds
    fd_set mFdset;       // the wait set: after a connect, exactly mSocket
};
