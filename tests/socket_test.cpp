// The socket layer against a live server on loopback.
#include "csocket.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// The network wait shortened through the library's steering variable, set
// before the first connection reads it.
const bool gShortWait = SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "1500") != FALSE;

// Connects to a server answering with `script` (or fails to connect to
// `host` and `port`), sends a request, then reads the given lengths, each
// read bounded by the network wait as a whole ("(part)": some bytes, not all).
TEST(SocketTest, RequestAndReplies)
{
    ASSERT_TRUE(gShortWait);
    struct Case {
        const char *what, *host, *port;  // port null: the server's (a reply in its script)
        ServerScript script;
        std::vector<std::pair<int, std::string>> reads;
        int peerClosed;  // once the reads are done (-1: no connection)
    };
    const std::string reply = "200" + std::string(521, 'p'), frame("PCAC\0\0\0\x05\0\x03" "100", 13);
    const Case cases[] = {
        {"whole", "127.0.0.1", nullptr, {reply}, {{3, "200"}, {521, reply.substr(3)}, {3, "(failed)"}}, 1},
        {"in segments", "127.0.0.1", nullptr, {reply, 7, 2}, {{524, reply}, {3, "(failed)"}}, 1},
        {"cut short", "127.0.0.1", nullptr, {"30"}, {{3, "30"}, {3, "(failed)"}}, 1},
        {"silent", "127.0.0.1", nullptr, {"200", 0, 0, false}, {{3, "200"}, {3, "(failed)"}}, 0},
        {"trickling", "127.0.0.1", nullptr, {std::string(20, 't'), 1, 400}, {{20, "(part)"}}, 0},
        {"nobody there", "127.0.0.1", "(closed)", {}, {{3, "(failed)"}}, -1},
        {"port not a number", "127.0.0.1", "abc", {}, {}, -1},
        {"port 0", "127.0.0.1", "0", {}, {}, -1},
        {"any address", "0.0.0.0", "8163", {}, {}, -1},
        {"not an address", "256.1.1.1", "8163", {}, {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CSocketDataMembers s;
        CSocketConstructor(&s);
        ASSERT_EQ(CSocketInitialize(&s), 1);
        bool served = !c.port;
        std::unique_ptr<LoopbackServer> server(served ? new LoopbackServer(c.script) : nullptr);
        std::string port = served ? server->Port() : std::string(c.port) == "(closed)" ? ClosedPort() : c.port;
        EXPECT_EQ(CSocketConnectSocket(&s, c.host, port.c_str()), served ? 1 : 0);
        EXPECT_EQ(CSocketSend(&s, frame.data(), 0), -1);  // nothing to send
        EXPECT_EQ(CSocketSend(&s, frame.data(), -1), -1);
        EXPECT_EQ(CSocketSend(&s, frame.data(), 13), served ? 1 : -1);
        for (const auto& read : c.reads) {
            std::string got(static_cast<size_t>(read.first), '\0');
            int n = CSocketRead(&s, &got[0], read.first);
            got = n > 0 ? got.substr(0, static_cast<size_t>(n)) : "(failed)";
            EXPECT_TRUE(read.second == "(part)" ? n > 0 && n < read.first : got == read.second) << got;
        }
        if (served) {
            EXPECT_EQ(CSocketPeerClosed(&s), c.peerClosed);
        }
        CSocketDestructor(&s);
        EXPECT_EQ(s.mSocket, INVALID_SOCKET);
        EXPECT_EQ(CSocketPeerClosed(&s), 0);
        if (served) {
            EXPECT_EQ(server->Received(), frame);
        }
    }
}

}  // namespace
