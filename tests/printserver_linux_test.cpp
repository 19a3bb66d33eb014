// The reference print server as a real process on loopback, spoken to with
// the library's own framing and socket layer.
#include "capp.h"
#include "printer.h"
#include "spdll_framing.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const std::string ADDRESS = TestAddress(12);

class PrintServer {
public:
    explicit PrintServer(std::vector<std::string> args)
    {
        std::string path = HostUtf8(ExecutableDirectory()) + "umpd-printserver";
        args.insert(args.begin(), path);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        EXPECT_EQ(posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        out_ = out[0];
        ready_ = ReadUntil("listening on");
    }
    ~PrintServer()
    {
        if (pid_ > 0) Stop();
        close(out_);
    }
    bool Ready() const { return ready_; }
    // Reads the server's standard output until `text` has appeared (bounded).
    bool ReadUntil(const std::string& text)
    {
        for (int i = 0; i < 50 && output_.find(text) == std::string::npos; i++) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            char buf[4096];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) break;
            output_.append(buf, static_cast<size_t>(n));
        }
        return output_.find(text) != std::string::npos;
    }
    // SIGTERM, then the exit status (bounded; SIGKILL as the last resort).
    int Stop()
    {
        kill(pid_, SIGTERM);
        int status = -1;
        for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; i++) usleep(100000);
        if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& Output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool ready_ = false;
    std::string output_;
};

// One request, one reply of at most `replySize` bytes ("" when none came).
std::string Exchange(const std::vector<std::string>& fields, size_t replySize, const std::string& raw = "")
{
    CSocketDataMembers s;
    CSocketConstructor(&s);
    CSocketInitialize(&s);
    std::string reply;
    if (CSocketConnectSocket(&s, ADDRESS.c_str(), SECURE_ACCESS_PORT)) {
        unsigned char frame[FRAME_BUFFER_SIZE];
        int16_t length = 0;
        for (size_t i = 0; i < fields.size(); i++)
            length = WritePralixConField(fields[i].data(), frame, static_cast<int16_t>(fields[i].size()), i + 1 == fields.size());
        if (raw.empty()) CSocketSend(&s, frame, length);
        else CSocketSend(&s, raw.data(), static_cast<int>(raw.size()));
        std::string buf(replySize, '\0');
        int n = CSocketRead(&s, &buf[0], static_cast<int>(replySize));
        if (n > 0) reply = buf.substr(0, static_cast<size_t>(n));
    }
    CSocketDestructor(&s);
    return reply;
}

TEST(ReferenceServer, AnswersTheSecureAccessRequests)
{
    std::string log = HostUtf8(ExecutableDirectory()) + "printserver-test.log";
    remove(log.c_str());
    PrintServer server({"--address", ADDRESS, "--raw-port", "0", "--require", "user,password", "--accept",
                        "alice:s3cret:42", "--admin-message", "Ask the front desk.", "--log", log});
    ASSERT_TRUE(server.Ready()) << server.Output();

    std::string policy = Exchange({strSP_REQUEST_SETTINGS}, 524);
    ASSERT_EQ(policy.size(), 524u);
    EXPECT_EQ(policy.substr(0, 3), "200");
    EXPECT_EQ(policy.substr(3, 9), std::string("\0\x01\x01\0\x01\0\0\0\0", 9));
    EXPECT_STREQ(policy.c_str() + 12, "Ask the front desk.");

    EXPECT_EQ(Exchange({strSP_REQUEST_VALIDATEINFO, "alice\ts3cret\t\r"}, 9), "201");  // the account is not required
    EXPECT_EQ(Exchange({strSP_REQUEST_VALIDATEINFO, "alice\twrong\t42\r"}, 9), "3010 1 0 ");
    EXPECT_EQ(Exchange({strSP_REQUEST_VALIDATEINFO, "\t\t\r"}, 9), "3011 1 0 ");
    EXPECT_EQ(Exchange({}, 9, std::string("XXXX\0\0\0\0", 8)), "");  // malformed: closed without a reply

    EXPECT_EQ(server.Stop(), 0);
    std::string text = ReadWholeFile(HostWiden(log.c_str()));
    EXPECT_NE(text.find("malformed frame"), std::string::npos) << text;
    EXPECT_NE(text.find("validate alice/***/42: rejected"), std::string::npos) << text;
    EXPECT_EQ(text.find("s3cret"), std::string::npos) << "a password in the log";
}

TEST(ReferenceServer, RawPortPrintsTheTicketWithPasswordsDecoded)
{
    PrintServer server({"--address", ADDRESS, "--raw-port", "9112", "--show-secrets"});
    ASSERT_TRUE(server.Ready()) << server.Output();
    CSocketDataMembers s;
    CSocketConstructor(&s);
    CSocketInitialize(&s);
    ASSERT_EQ(CSocketConnectSocket(&s, ADDRESS.c_str(), "9112"), 1);
    std::string job = "%!PS\r\nstatusdict /Pralix_feat_dict known not { currentfile flushfile }if \r\n"
                      "%%PRALIX: Duplex LongEdgeBinding\r\n%%PRALIX: Password 839D\r\n"
                      "%%PRALIX: SecurePassword 5C6I6K6J\r\n%%EndComments\nshowpage\n";
    EXPECT_EQ(CSocketSend(&s, job.data(), static_cast<int>(job.size())), 1);
    CSocketDestructor(&s);
    EXPECT_TRUE(server.ReadUntil("job from")) << server.Output();
    EXPECT_NE(server.Output().find("Duplex LongEdgeBinding\nPassword pw\nSecurePassword 4711\n"), std::string::npos)
        << server.Output();
    EXPECT_NE(server.Output().find("3 options, guarded"), std::string::npos) << server.Output();
}

}  // namespace

// Signals the thread that makes it every 5 ms while it lives: each one
// interrupts whatever wait that thread is in.
class Signals {
public:
    Signals() : target_(pthread_self())
    {
        struct sigaction sa = {};
        sa.sa_handler = [](int) { gCaught = gCaught + 1; };
        sigaction(SIGUSR1, &sa, nullptr);  // stays: a late signal must not end the process
        thread_ = std::thread([this] {
            while (!stop_) pthread_kill(target_, SIGUSR1), usleep(5000);
        });
    }
    ~Signals()
    {
        stop_ = true;
        thread_.join();
    }
    static volatile sig_atomic_t gCaught;

private:
    pthread_t target_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
volatile sig_atomic_t Signals::gCaught = 0;

// The misbehaviours the flow has to survive, as the client sees them. The
// network wait of this test program is 1.5 s.
TEST(ReferenceServer, MisbehavesAsTold)
{
    const std::string policy = "200" + std::string("\0\x01\x01\0\0\0\0\0\0", 9) + std::string(512, '\0');
    struct Row {
        std::vector<std::string> args;
        std::string reply;  // what one read of 524 bytes returns ("" nothing)
        const char* logged;
        bool signalled;     // signals arrive while the client waits
    } rows[] = {
        {{"--reply-code", "500"}, "500", "answered 500", false},
        {{"--reply-code", "200"}, "200", "answered 200", false},  // the code alone, then closed
        {{"--reply-code", "100"}, "100", "answered 100", false},
        {{"--close-without-reply"}, "", "closed without a reply", false},
        {{"--segment-bytes", "1"}, policy, "answered 200", false},
        {{"--segment-bytes", "262", "--delay-ms", "200"}, policy, "answered 200", false},
        // One segment a second: the wait ends after the first, which is all the client keeps.
        {{"--segment-bytes", "262", "--delay-ms", "1000"}, policy.substr(0, 262), "request 100", false},
        // A signal cuts no wait short, as none cuts Winsock's.
        {{"--delay-ms", "300"}, policy, "answered 200", true},
    };
    std::string log = HostUtf8(ExecutableDirectory()) + "printserver-misbehaviour.log";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + (row.args.size() > 1 ? " " + row.args[1] : "") + (row.signalled ? ", signalled" : ""));
        remove(log.c_str());
        std::vector<std::string> args{"--address", ADDRESS, "--raw-port", "0", "--require", "user", "--log", log};
        args.insert(args.end(), row.args.begin(), row.args.end());
        PrintServer server(args);
        ASSERT_TRUE(server.Ready()) << server.Output();
        Signals::gCaught = 0;
        {
            std::unique_ptr<Signals> signals(row.signalled ? new Signals : nullptr);
            EXPECT_EQ(Exchange({strSP_REQUEST_SETTINGS}, 524), row.reply);
        }
        EXPECT_EQ(Signals::gCaught > 0, row.signalled);
        EXPECT_EQ(server.Stop(), 0);
        std::string text = ReadWholeFile(HostWiden(log.c_str()));
        EXPECT_NE(text.find(row.logged), std::string::npos) << text;
    }
}

TEST(ReferenceServer, RefusesMalformedOptions)
{
    const std::vector<std::string> rows[] = {
        {"--segment-bytes", "0"}, {"--segment-bytes"}, {"--delay-ms", "soon"}, {"--require", "user,pin"},
        {"--accept", "alice"}, {"--port", "65536"}, {"--verbose"},
    };
    for (const std::vector<std::string>& row : rows) {
        std::vector<std::string> args{"--address", ADDRESS};
        args.insert(args.end(), row.begin(), row.end());
        PrintServer server(args);
        EXPECT_FALSE(server.Ready()) << row[0];
        EXPECT_EQ(server.Stop(), 1) << row[0];
    }
}
