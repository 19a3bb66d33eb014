// The connection to the print server.
#pragma once

#include <windows.h>
#include <winsock.h>

// The service port of the print server's secure access.
const char SECURE_ACCESS_PORT[] = "8163";

struct CSocketDataMembers {
    SOCKET mSocket;      // INVALID_SOCKET while no connection is open
    WSADATA mWsadata;    // filled by WSAStartup, not read
    timeval mTimeout;    // one wait for readiness: 20 seconds
    fd_set mFdset;       // the wait set: after a connect, exactly mSocket
};

// Sets mSocket to INVALID_SOCKET and mTimeout to the network wait (20 s).
void CSocketConstructor(CSocketDataMembers* pCSocketData);
// 1 when the platform's socket library (version 1.1) is ready, else 0.
int CSocketInitialize(CSocketDataMembers* pCSocketData);
// Connects to host (name first, then dotted IPv4; 0.0.0.0 refused) at port
// (service name first, then a decimal number), within the network wait.
// 1 connected, 0 on any failure.
int CSocketConnectSocket(CSocketDataMembers* pCSocketData, const char* host, const char* port);
// Sends all len bytes within the network wait: 1, or -1 on failure. Nothing
// to send (len 0 or less) is a failure too: -1 at once.
int CSocketSend(CSocketDataMembers* pCSocketData, const void* inBuffer, int len);
// Receives len bytes, or fewer when the peer closes after sending some,
// within the network wait: the count (at least 1), or -1 when nothing came.
int CSocketRead(CSocketDataMembers* pCSocketData, void* inBuffer, int len);
// After a failed read: 1 when the peer has closed the connection with nothing
// left to read, 0 when it is only silent (or there is no connection).
int CSocketPeerClosed(CSocketDataMembers* pCSocketData);
void CSocketCloseSocket(CSocketDataMembers* pCSocketData);
void CSocketDestructor(CSocketDataMembers* pCSocketData);

// The network wait in milliseconds: 20 000, or UMPD_NETWORK_WAIT_MS (read
// once; ignored unless a whole number from 1 to 600 000).
DWORD NetworkWaitMs();
