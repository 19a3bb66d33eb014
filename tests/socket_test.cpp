// Request frames and reply codes byte for byte, and the socket layer against a loopback server.
#include "capp.h"
#include "loopback_server.h"
#include "spdll_framing.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Builds one frame from its fields; every field's result is checked.
std::string Frame(const std::vector<std::string>& fields)
{
    char buffer[FRAME_BUFFER_SIZE];
    memset(buffer, 0xEE, sizeof buffer);
    int16_t length = 0;
    for (size_t i = 0; i < fields.size(); i++) {
        bool last = i + 1 == fields.size();
        length = WritePralixConField(fields[i].data(), buffer, static_cast<int16_t>(fields[i].size()), last);
        EXPECT_TRUE(last || length == static_cast<int16_t>(fields[i].size())) << length;
    }
    return std::string(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}

// Each frame built twice: the position is back at the start after a frame, and after a field that
// does not fit (or has a negative length). Reply codes: at most three digits, up to the first other byte.
TEST(Framing, RequestsAndReplyCodes)
{
    const std::string line = "alice\tpw\t42\r", settings("PCAC\0\0\0\x05\0\x03" "100", 13);
    struct Case { const char* what; std::vector<std::string> fields; std::string wire; };
    for (const Case& c : {Case{"settings", {strSP_REQUEST_SETTINGS}, settings},
                          Case{"validate-info", {strSP_REQUEST_VALIDATEINFO, line},
                               std::string("PCAC\0\0\0\x13\0\x03" "101\0\x0c", 15) + line},
                          Case{"empty field", {strSP_REQUEST_VALIDATEINFO, ""}, std::string("PCAC\0\0\0\x07\0\x03" "101\0\0", 15)}}) {
        EXPECT_EQ(Frame(c.fields), c.wire) << c.what;
        EXPECT_EQ(Frame(c.fields), c.wire) << c.what << ", built again";
    }
    char buffer[FRAME_BUFFER_SIZE];
    std::string big(FRAME_BODY_MAX - 2 - 5 + 1, 'x');  // one byte more than the body holds after "100"
    for (int16_t length : {static_cast<int16_t>(big.size()), int16_t(-1)}) {
        EXPECT_EQ(WritePralixConField("100", buffer, 3, 0), 3);
        EXPECT_EQ(WritePralixConField(big.data(), buffer, length, 1), -1) << length;
        EXPECT_EQ(Frame({strSP_REQUEST_SETTINGS}), settings) << "after a refused field of " << length;
    }
    struct Code { std::string code; int16_t len, value; };
    for (const Code& c : {Code{"200", 3, 200}, Code{"301", 3, 301}, Code{"2011", 3, 201}, Code{"20x", 3, 20},
                          Code{"x20", 3, 0}, Code{std::string("\0\0\0", 3), 3, 0}, Code{std::string("99\0", 3), 3, 99},
                          Code{"404", 2, 40}, Code{"404", 0, 0}}) {
        EXPECT_EQ(CAppConvertCodeAtoShort(&gTheApp, c.code.data(), c.len), c.value) << "'" << c.code << "'";
    }
}

// The network wait shortened before the first connection reads it.
const bool gShortWait = SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "1500") != FALSE;

// Never to the any-address; a request, then reads of the given lengths, each bounded by the network
// wait as a whole ("(part)": some bytes, not all). No reply: nobody listens.
TEST(SocketTest, RequestAndReplies)
{
    ASSERT_TRUE(gShortWait);
    const std::string reply = "200" + std::string(521, 'p'), frame("PCAC\0\0\0\x05\0\x03" "100", 13);
    // peerClosed: once the reads are done (-1: no connection)
    struct Case { const char* what; ServerScript script; std::vector<std::pair<int, std::string>> reads; int peerClosed; };
    const Case cases[] = {
        {"whole", {reply}, {{3, "200"}, {521, reply.substr(3)}, {3, "(failed)"}}, 1},
        {"in segments", {reply, 7, 2}, {{524, reply}, {3, "(failed)"}}, 1},
        {"cut short", {"30"}, {{3, "30"}, {3, "(failed)"}}, 1},
        {"silent", {"200", 0, 0, false}, {{3, "200"}, {3, "(failed)"}}, 0},
        {"trickling", {std::string(20, 't'), 1, 400}, {{20, "(part)"}}, 0},
        {"nobody there", {}, {{3, "(failed)"}}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CSocketDataMembers s;
        CSocketConstructor(&s);
        ASSERT_EQ(CSocketInitialize(&s), 1);
        const bool served = !c.script.reply.empty();
        std::unique_ptr<LoopbackServer> server(served ? new LoopbackServer(c.script) : nullptr);
        const std::string port = served ? server->Port() : ClosedPort();
        EXPECT_EQ(CSocketConnectSocket(&s, "0.0.0.0", port.c_str()), 0);
        EXPECT_EQ(CSocketConnectSocket(&s, "127.0.0.1", port.c_str()), served ? 1 : 0);
        EXPECT_EQ(CSocketSend(&s, frame.data(), 0), -1);  // nothing to send
        EXPECT_EQ(CSocketSend(&s, frame.data(), -1), -1);
        EXPECT_EQ(CSocketSend(&s, frame.data(), 13), served ? 1 : -1);
        for (const auto& read : c.reads) {
            std::string got(static_cast<size_t>(read.first), '\0');
            int n = CSocketRead(&s, &got[0], read.first);
            got = n > 0 ? got.substr(0, static_cast<size_t>(n)) : "(failed)";
            EXPECT_TRUE(read.second == "(part)" ? n > 0 && n < read.first : got == read.second) << got;
        }
        EXPECT_EQ(served ? CSocketPeerClosed(&s) : -1, c.peerClosed);
        CSocketDestructor(&s);
        EXPECT_EQ(s.mSocket, INVALID_SOCKET);
        EXPECT_EQ(CSocketPeerClosed(&s), 0);
        EXPECT_EQ(served ? server->Received() : frame, frame);
    }
}

#ifndef _WIN32
volatile sig_atomic_t gCaught = 0;

// A signal cuts no wait short, as none cuts Winsock's.
TEST(SocketSignals, NoWaitIsCutShort)
{
    struct sigaction sa = {};
    sa.sa_handler = [](int) { gCaught = gCaught + 1; };
    sigaction(SIGUSR1, &sa, nullptr);  // stays: a late signal must not end the process
    LoopbackServer server(ServerScript{"200"});  // answered once the request has been quiet for 300 ms
    CSocketDataMembers s;
    CSocketConstructor(&s);
    CSocketInitialize(&s);
    ASSERT_EQ(CSocketConnectSocket(&s, "127.0.0.1", server.Port().c_str()), 1);
    std::atomic<bool> stop{false};
    pthread_t reader = pthread_self();
    std::thread signals([&] {
        while (!stop) pthread_kill(reader, SIGUSR1), usleep(5000);
    });
    char reply[4] = {};
    int got = CSocketRead(&s, reply, 3);
    stop = true;
    signals.join();
    CSocketDestructor(&s);
    EXPECT_GT(gCaught, 0);
    EXPECT_EQ(got, 3);
    EXPECT_STREQ(reply, "200");
}
#endif

}  // namespace
