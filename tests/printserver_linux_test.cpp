// On Linux: a signal cuts no wait of the library's socket layer short, as
// none cuts Winsock's.
#include "capp.h"
#include "loopback_server.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

volatile sig_atomic_t gCaught = 0;

TEST(SocketSignals, NoWaitIsCutShort)
{
    struct sigaction sa = {};
    sa.sa_handler = [](int) { gCaught = gCaught + 1; };
    sigaction(SIGUSR1, &sa, nullptr);  // stays: a late signal must not end the process
    ServerScript late;                 // answered once the request has been quiet for 300 ms
    late.reply = "200";
    LoopbackServer server(late);
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

}  // namespace
