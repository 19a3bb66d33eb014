#include "loopback_server.h"

namespace {

const int WAIT_MS = 5000;  // every wait of the server is bounded

bool Readable(SOCKET s, int ms)
{
    fd_set set = {1, {s}};
    timeval t = {ms / 1000, ms % 1000 * 1000};
    return select(64, &set, nullptr, nullptr, &t) == 1;
}

SOCKET Listen(unsigned short* port, const char* address = "127.0.0.1")
{
    WSADATA data;
    WSAStartup(0x0101, &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    // A fixed port is free again at once after an earlier run's connections.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(*port);
    a.sin_addr.s_addr = inet_addr(address);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(s, 1);
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

}  // namespace

LoopbackServer::LoopbackServer(const std::vector<ServerScript>& scripts, const char* address, unsigned short port)
    : scripts_(scripts), listener_(Listen(&port, address)), port_(port)
{
    thread_ = std::thread([this] {
        for (const ServerScript& script : scripts_) Serve(script);
    });
}

LoopbackServer::~LoopbackServer()
{
    Received();
    closesocket(listener_);
    WSACleanup();
}

// Takes what the client sends first, answers, then (unless it closes at once) takes the rest until the client closes.
void LoopbackServer::Serve(const ServerScript& script)
{
    if (!Readable(listener_, WAIT_MS)) return;
    SOCKET c = accept(listener_, nullptr, nullptr);
    if (c == INVALID_SOCKET) return;
    char buf[4096];
    for (int n; Readable(c, 300) && (n = recv(c, buf, sizeof buf, 0)) > 0;) received_.append(buf, static_cast<size_t>(n));
    size_t step = script.segment ? script.segment : script.reply.size();
    for (size_t at = 0; at < script.reply.size(); at += step) {
        if (at && script.delayMs) Sleep(script.delayMs);
        size_t n = script.reply.size() - at < step ? script.reply.size() - at : step;
        if (send(c, script.reply.data() + at, static_cast<int>(n), 0) <= 0) break;
    }
    if (!script.closeAfterReply)
        for (int n; Readable(c, WAIT_MS) && (n = recv(c, buf, sizeof buf, 0)) > 0;) received_.append(buf, static_cast<size_t>(n));
    closesocket(c);
}

std::string LoopbackServer::Received()
{
    if (thread_.joinable()) thread_.join();
    return received_;
}

std::string ClosedPort()
{
    unsigned short port = 0;
    closesocket(Listen(&port));
    WSACleanup();
    return std::to_string(port);
}
