// A TCP server on 127.0.0.1 for one connection, written against Winsock as
// the library is, so it runs in the test process on both builds. It answers
// as the test tells it: whole, in segments, trickling, silent, or closing.
#pragma once

#include <winsock.h>

#include <string>
#include <thread>
#include <vector>

struct ServerScript {
    std::string reply;          // sent once the connection is accepted
    size_t segment = 0;         // bytes per send; 0: all at once
    unsigned delayMs = 0;       // between segments
    bool closeAfterReply = true;
    bool reset = false;         // ends the connection with a reset, not a close
};

class LoopbackServer {
public:
    // On 127.0.0.1 and a free port, or on the given loopback address and port.
    explicit LoopbackServer(const ServerScript& script, const char* address = "127.0.0.1", unsigned short port = 0);
    // One connection per script, in turn.
    LoopbackServer(const std::vector<ServerScript>& scripts, const char* address, unsigned short port);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string Port() const { return std::to_string(port_); }
    // What the client sent, once it has closed its side (bounded wait).
    std::string Received();

private:
    void Serve(const ServerScript& script);
    std::vector<ServerScript> scripts_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::string received_;
    std::thread thread_;
};

// A port on 127.0.0.1 where nobody listens.

std::string ClosedPort();
