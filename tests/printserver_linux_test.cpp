// On Linux: a signal cuts no wait of the library's socket layer short, as
// none cuts Winsock's; the reference print server refuses malformed options.
#include "capp.h"
#include "loopback_server.h"
#include "printer.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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

TEST(ReferenceServer, RefusesMalformedOptions)
{
    const std::vector<std::string> rows[] = {
        {"--segment-bytes", "0"}, {"--segment-bytes"}, {"--delay-ms", "soon"}, {"--require", "user,pin"},
        {"--accept", "alice"},    {"--port", "65536"}, {"--verbose"},          {"--validate-reply-code"},
    };
    for (std::vector<std::string> args : rows) {
        SCOPED_TRACE(args[0]);
        std::string path = HostUtf8(ExecutableDirectory()) + "umpd-printserver";
        args.insert(args.begin(), {path, "--address", TestAddress(12), "--raw-port", "0"});
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, path.c_str(), &quiet, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&quiet);
        int status = 0;
        pid_t ended = 0;
        for (int i = 0; i < 50 && (ended = waitpid(pid, &status, WNOHANG)) == 0; i++) usleep(100000);
        if (ended == 0) {
            kill(pid, SIGKILL);  // still serving: the options were taken
            waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    }
}

}  // namespace
