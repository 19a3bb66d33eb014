// A TCP server on loopback for one connection per script, on Winsock as the library is (both builds), answering
// as told: whole, in segments, trickling, silent, or closing.
#pragma once

#include <winsock.h>

#include <string>
#include <thread>
#include <vector>

struct ServerScript {
    std::string reply;     // sent once the connection is accepted
    size_t segment = 0;    // bytes per send; 0: all at once
    unsigned delayMs = 0;  // between segments
    bool closeAfterReply = true;
};

class LoopbackServer {
public:
    // On 127.0.0.1 and a free port, or on the given loopback address and port.
    explicit LoopbackServer(const ServerScript& script, const char* address = "127.0.0.1", unsigned short port = 0)
        : LoopbackServer(std::vector<ServerScript>{script}, address, port) {}
    LoopbackServer(const std::vector<ServerScript>& scripts, const char* address, unsigned short port);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string Port() const { return std::to_string(port_); }
    std::string Received();  // what the client sent, once it has closed its side (bounded wait)

private:
    void Serve(const ServerScript& script);
    std::vector<ServerScript> scripts_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::string received_;
    std::thread thread_;
};

std::string ClosedPort();  // a port on 127.0.0.1 where nobody listens
