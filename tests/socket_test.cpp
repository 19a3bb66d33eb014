// The socket layer against a live server on loopback.
#include "csocket.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The network wait shortened for these tests through the library's steering
// variable, set before the first connection reads it.
const bool gShortWait = SetEnvironmentVariableA("UMPD_NETWORK_WAIT_MS", "1500") != FALSE;

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(gShortWait);
        CSocketConstructor(&s_);
        ASSERT_EQ(NetworkWaitMs(), 1500u);
        ASSERT_EQ(CSocketInitialize(&s_), 1);
    }
    void TearDown() override { CSocketDestructor(&s_); }

    std::string Read(int len)
    {
        std::string buf(static_cast<size_t>(len), '\0');
        int n = CSocketRead(&s_, &buf[0], len);
        return n > 0 ? buf.substr(0, static_cast<size_t>(n)) : std::string("(failed)");
    }
    CSocketDataMembers s_;
};

TEST_F(SocketTest, ConnectFailures)
{
    struct Case { std::string host, port; bool socketMade; };
    for (const Case& c : {Case{"127.0.0.1", "abc", false}, Case{"127.0.0.1", "0", false},
                          Case{"0.0.0.0", "8163", false}, Case{"256.1.1.1", "8163", false},
                          Case{"127.0.0.1", ClosedPort(), true}}) {
        EXPECT_EQ(CSocketConnectSocket(&s_, c.host.c_str(), c.port.c_str()), 0) << c.host << ":" << c.port;
        EXPECT_EQ(s_.mSocket != INVALID_SOCKET, c.socketMade) << c.host << ":" << c.port;
        CSocketCloseSocket(&s_);
    }
}

TEST_F(SocketTest, ClosedRecordFailsAtOnce)
{
    char buf[4];
    EXPECT_EQ(CSocketSend(&s_, "abc", 3), -1);
    EXPECT_EQ(CSocketRead(&s_, buf, 3), -1);
    CSocketCloseSocket(&s_);
    CSocketCloseSocket(&s_);
    EXPECT_EQ(s_.mSocket, INVALID_SOCKET);
}

TEST_F(SocketTest, SendsTheWholeFrameAndReadsTheReply)
{
    ServerScript script;
    script.reply = "200" + std::string(521, 'p');
    LoopbackServer server(script);
    ASSERT_EQ(CSocketConnectSocket(&s_, "127.0.0.1", server.Port().c_str()), 1);
    EXPECT_EQ(s_.mFdset.fd_count, 1u);
    EXPECT_EQ(s_.mFdset.fd_array[0], s_.mSocket);
    std::string frame("PCAC\0\0\0\x05\0\x03" "100", 13);
    EXPECT_EQ(CSocketSend(&s_, frame.data(), 0), -1);  // nothing to send
    EXPECT_EQ(CSocketSend(&s_, frame.data(), -1), -1);
    EXPECT_EQ(CSocketSend(&s_, frame.data(), 13), 1);
    EXPECT_EQ(Read(3), "200");  // the rest stays queued
    EXPECT_EQ(Read(521), std::string(521, 'p'));
    CSocketCloseSocket(&s_);
    EXPECT_EQ(server.Received(), frame);
}

TEST_F(SocketTest, ReplySplitIntoSegmentsIsReadWhole)
{
    ServerScript script;
    script.reply = "200" + std::string(521, 'q');
    script.segment = 7;
    script.delayMs = 2;
    LoopbackServer server(script);
    ASSERT_EQ(CSocketConnectSocket(&s_, "127.0.0.1", server.Port().c_str()), 1);
    EXPECT_EQ(Read(524), script.reply);
}

TEST_F(SocketTest, CutShortSilentAndTricklingReplies)
{
    {
        ServerScript closing;  // two bytes, then the peer closes
        closing.reply = "30";
        LoopbackServer server(closing);
        ASSERT_EQ(CSocketConnectSocket(&s_, "127.0.0.1", server.Port().c_str()), 1);
        EXPECT_EQ(Read(3), "30");
        EXPECT_EQ(Read(3), "(failed)");
        EXPECT_EQ(CSocketPeerClosed(&s_), 1);
        CSocketCloseSocket(&s_);
    }
    {
        ServerScript silent;
        silent.reply = "200";
        silent.closeAfterReply = false;
        LoopbackServer server(silent);
        ASSERT_EQ(CSocketConnectSocket(&s_, "127.0.0.1", server.Port().c_str()), 1);
        EXPECT_EQ(CSocketPeerClosed(&s_), 0) << "unread bytes are no close";
        EXPECT_EQ(Read(3), "200");
        EXPECT_EQ(Read(3), "(failed)");
        EXPECT_EQ(CSocketPeerClosed(&s_), 0) << "silence is no close";
        CSocketCloseSocket(&s_);
        EXPECT_EQ(CSocketPeerClosed(&s_), 0);
    }
    {
        // One byte every 400 ms: the wait bounds the whole read, not each byte.
        ServerScript trickle;
        trickle.reply = std::string(20, 't');
        trickle.segment = 1;
        trickle.delayMs = 400;
        LoopbackServer server(trickle);
        ASSERT_EQ(CSocketConnectSocket(&s_, "127.0.0.1", server.Port().c_str()), 1);
        std::string got = Read(20);
        EXPECT_GT(got.size(), 0u);
        EXPECT_LT(got.size(), 20u);
        CSocketCloseSocket(&s_);
    }
}

}  // namespace
