// The CUPS backend run as CUPS runs it (no cupsd): arguments, environment,
// the job on standard input or in a file, against reference print servers
// that this test starts on loopback with their raw print ports, and stops.
#include "printer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string BIN = PRALIX_BIN_DIR;
const std::string SAMPLE = PRALIX_SAMPLE;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A child process with its standard streams on files (or a pipe for stdin).
struct Child {
    pid_t pid = -1;
    int stdinPipe = -1;  // the write end, when asked for
};

Child Spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
            const std::string& in, const std::string& out, const std::string& err, bool pipeIn = false)
{
    std::vector<std::string> envText;
    for (char** e = environ; *e; e++) {
        std::string name = std::string(*e).substr(0, std::string(*e).find('='));
        if (!env.count(name) && name != "AUTH_USERNAME" && name != "AUTH_PASSWORD" && name != "PPD") envText.push_back(*e);
    }
    for (const auto& kv : env) envText.push_back(kv.first + "=" + kv.second);
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int p[2] = {-1, -1};
    if (pipeIn && pipe2(p, O_CLOEXEC) == 0) posix_spawn_file_actions_adddup2(&fa, p[0], 0);
    else posix_spawn_file_actions_addopen(&fa, 0, in.empty() ? "/dev/null" : in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Child c;
    if (posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (pipeIn) {
        close(p[0]);
        c.stdinPipe = p[1];
    }
    return c;
}

// The child's exit status; -1 when it had to be killed after `ms`.
int Wait(pid_t pid, int ms)
{
    int status = 0;
    for (int waited = 0; waited < ms; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// A raw print port that counts what arrives and tells when the peer closed.
class RawListener {
public:
    explicit RawListener(const std::string& address)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(9100);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 1) == 0;
        thread_ = std::thread([this] { Serve(); });
    }
    ~RawListener()
    {
        thread_.join();
        close(fd_);
    }
    bool ok() const { return ok_; }
    bool Got(size_t n)
    {
        for (int i = 0; i < 1000 && bytes_ < n; i++) usleep(10000);
        return bytes_ >= n;
    }
    bool Closed()
    {
        for (int i = 0; i < 1000 && !closed_; i++) usleep(10000);
        return closed_;
    }

private:
    void Serve()
    {
        pollfd p{fd_, POLLIN, 0};
        if (!ok_ || poll(&p, 1, 10000) != 1) return;
        int c = accept(fd_, nullptr, nullptr);
        char buf[65536];
        pollfd q{c, POLLIN, 0};
        for (ssize_t n; poll(&q, 1, 10000) == 1 && (n = recv(c, buf, sizeof buf, 0)) > 0;) bytes_ += size_t(n);
        closed_ = true;
        close(c);
    }
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<size_t> bytes_{0};
    std::atomic<bool> closed_{false};
    std::thread thread_;
};

struct Server {
    const char* name;
    int host;
    std::vector<std::string> options;
};

const Server SERVERS[] = {
    {"open", 60, {"--raw-port", "9100"}},
    {"identity", 61, {"--raw-port", "9100", "--require", "user,password", "--accept", "alice:s3cret:42", "--admin-message",
                      "Ask the desk", "--admin-email", "desk@example.com"}},
    {"account", 62, {"--raw-port", "9100", "--require", "account", "--accept", "::A-1002"}},
    {"r403", 63, {"--raw-port", "9100", "--reply-code", "403"}},
    {"r500", 64, {"--raw-port", "9100", "--reply-code", "500"}},
    {"noraw", 65, {"--raw-port", "0"}},
    {"stream", 67, {"--raw-port", "0"}},
    {"closes", 68, {"--raw-port", "9100", "--close-without-reply"}},
    {"both", 69, {"--raw-port", "9100", "--require", "user,password,account", "--accept", "alice:s3cret:42"}},
};

class Backend : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new std::string(fs::temp_directory_path() / ("pralix-test-" + std::to_string(getpid())));
        fs::create_directories(*dir_ + "/tmp");
        for (const Server& s : SERVERS) {
            std::vector<std::string> args = {BIN + "/umpd-printserver", "--address", TestAddress(s.host)};
            args.insert(args.end(), s.options.begin(), s.options.end());
            std::string out = *dir_ + "/" + s.name + ".out";
            pids_[s.name] = Spawn(args, {}, "", out, *dir_ + "/" + s.name + ".err").pid;
            for (int i = 0; i < 100 && ReadFile(out).find("listening on") == std::string::npos; i++) usleep(20000);
        }
    }
    static void TearDownTestSuite()
    {
        for (auto& kv : pids_) {
            kill(kv.second, SIGTERM);
            Wait(kv.second, 5000);
        }
        std::error_code ec;
        fs::remove_all(*dir_, ec);
        delete dir_;
    }

    struct Run {
        int status = 0;
        std::string err, printed;  // the backend's status lines; what the server printed of the job
    };

    // Runs the backend for a job on the given server; input "" is standard input from the sample.
    Run Print(const std::string& server, const std::vector<std::string>& args, std::map<std::string, std::string> env,
              bool fromFile = true)
    {
        const Server* s = nullptr;
        for (const Server& c : SERVERS)
            if (server == c.name) s = &c;
        std::string uri = s ? "pralix://" + TestAddress(s->host) : server;
        env.emplace("DEVICE_URI", uri);
        env["TMPDIR"] = env["XDG_RUNTIME_DIR"] = *dir_ + "/tmp";
        std::vector<std::string> argv = {BIN + "/pralix"};
        argv.insert(argv.end(), args.begin(), args.end());
        if (fromFile && argv.size() == 6) argv.push_back(SAMPLE);
        std::string serverOut = s ? *dir_ + "/" + s->name + ".out" : "";
        size_t before = s ? ReadFile(serverOut).size() : 0;
        Run r;
        r.status = Wait(Spawn(argv, env, SAMPLE, *dir_ + "/backend.out", *dir_ + "/backend.err").pid, 60000);
        r.err = ReadFile(*dir_ + "/backend.err");
        allErr_ += r.err;
        // The server prints a job's options once it has read the whole job.
        for (int i = 0; s && i < 200; i++) {
            r.printed = ReadFile(serverOut).substr(before);
            if (r.status != 0 || Count(r.printed, "job from ") == size_t(Copies(args))) break;
            usleep(20000);
        }
        return r;
    }
    static int Copies(const std::vector<std::string>& args) { return args.size() > 3 ? atoi(args[3].c_str()) : 1; }
    static size_t Count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
    }

    static std::string* dir_;
    static std::map<std::string, pid_t> pids_;
    static std::string allErr_;
};

std::string* Backend::dir_;
std::map<std::string, pid_t> Backend::pids_;
std::string Backend::allErr_;

std::vector<std::string> Job(const std::string& options, const std::string& copies = "1")
{
    return {"42", "bob", "My title", copies, options};
}

const std::map<std::string, std::string> ALICE = {{"AUTH_USERNAME", "alice"}, {"AUTH_PASSWORD", "s3cret"}};

TEST_F(Backend, EveryOutcome)
{
    struct Row {
        const char* what;
        std::string server;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int status;
        std::vector<std::string> lines;    // in the backend's status lines
        std::vector<std::string> printed;  // in what the server printed of the job
        bool fromFile = true;
    };
    const std::string longUser(25, 'u');
    const Row rows[] = {
        {"printed from a file", "open", Job("Duplex=DuplexTumble OutputBin=3 job-account-id=77"), {}, 0,
         {"INFO: Printed to the print server"},
         {"Duplex ShortEdgeBinding\n", "OutputBin 3\n", "AccountNumber 77\n", "DocOwner bob\n", "DocComment My title\n"}},
        {"printed from standard input", "open", Job("DocComment=proofs"), {}, 0, {"INFO: Printed"},
         {"DocComment proofs\n", "job from"}, false},
        {"identity not given", "identity", Job(""), {}, 2,
         {"ATTR: auth-info-required=username,password", "INFO: The print server requires a user ID and password"}, {}},
        {"identity rejected (a password differs in case alone)", "identity", Job(""),
         {{"AUTH_USERNAME", "alice"}, {"AUTH_PASSWORD", "S3cret"}}, 2,
         {"ATTR: auth-info-required=username,password", "INFO: The print server rejected: Password",
          "INFO: Administrator's message: Ask the desk", "INFO: Administrator's e-mail: desk@example.com"}, {}},
        {"identity accepted", "identity", Job(""), ALICE, 0, {"INFO: Printed"}, {"DocOwner alice\n", "Password ***\n"}},
        {"account not given", "account", Job(""), {}, 3, {"JOBSTATE: account-info-needed"}, {}},
        {"neither identity nor account given: identity first", "both", Job(""), {}, 2,
         {"ATTR: auth-info-required=username,password"}, {}},
        {"account rejected", "account", Job("job-account-id=B-7"), {}, 3,
         {"JOBSTATE: account-authorization-failed", "INFO: The print server rejected: Account Number"}, {}},
        {"account accepted", "account", Job("job-billing=A-1002"), {}, 0, {"INFO: Printed"}, {"AccountNumber A-1002\n"}},
        {"user ID too long", "identity", Job(""), {{"AUTH_USERNAME", longUser}, {"AUTH_PASSWORD", "s3cret"}}, 3,
         {"ERROR: The user ID (AUTH_USERNAME) is longer than 24 characters"}, {}},
        {"secure-print password too long", "open", Job("job-password=123456789"), {}, 3,
         {"ERROR: The secure-print password (job-password) is longer than 8 characters"}, {}},
        {"server unreachable", "pralix://" + TestAddress(66), Job(""), {}, 6,
         {"ERROR: A connection could not be established with the Server"}, {}},
        {"raw port refused", "noraw", Job(""), {}, 6, {"ERROR: The print server's raw print port"}, {}},
        {"connection lost", "closes", Job(""), {}, 6, {"ERROR: The server has quit unexpectedly."}, {}},
        {"address invalid (403)", "r403", Job(""), {}, 4, {"ERROR: The Server IP Address is missing or invalid."}, {}},
        {"unexpected reply (500)", "r500", Job(""), {}, 1, {"ERROR: An unexpected error has occurred."}, {}},
        {"bad URI", "pralix://a-name-of-sixteen-c", Job(""), {}, 1, {"ERROR: The device URI must be"}, {}},
        {"unreadable file", "open", {"42", "bob", "t", "1", "", "/nonexistent/job.ps"}, {}, 1,
         {"ERROR: Cannot read the job file"}, {}},
        {"encrypted secure-print password", "open", Job("job-password=abc job-password-encryption=md5"), {}, 1,
         {"ERROR: The secure-print password (job-password) must be given in plain text"}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Run r = Print(row.server, row.args, row.env, row.fromFile);
        EXPECT_EQ(r.status, row.status) << r.err;
        for (const std::string& line : row.lines) EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
        for (const std::string& p : row.printed) EXPECT_NE(r.printed.find(p), std::string::npos) << p << "\n" << r.printed;
        if (row.status != 0) {
            EXPECT_EQ(r.printed.find("job from"), std::string::npos) << "a refused job reached the raw port";
        }
    }
}

// The queue's defaults come from its PPD; the job's options win over them,
// and a desktop's standard attributes over both.
TEST_F(Backend, PpdDefaultsJobOptionsAndStandardAttributes)
{
    // The queue's own PPD with two defaults changed, as lpadmin -o changes them.
    std::string ppd = *dir_ + "/queue.ppd", text = ReadFile(PRALIX_PPD);
    for (const auto& change : {std::make_pair("*DefaultDuplex: None", "*DefaultDuplex: DuplexNoTumble"),
                               std::make_pair("*DefaultGamma: 4", "*DefaultGamma: 2")}) {
        size_t at = text.find(change.first);
        ASSERT_NE(at, std::string::npos) << change.first;
        text.replace(at, strlen(change.first), change.second);
    }
    std::ofstream(ppd) << text;
    struct Row {
        const char* options;
        std::vector<std::string> printed;
    } rows[] = {
        {"", {"Duplex LongEdgeBinding\n", "Gamma 2\n", "Collate off\n"}},
        {"Gamma=5 Collate=True StaplePosition=StapleDualPortrait RGBProfile=AdobeRGB",
         {"Duplex LongEdgeBinding\n", "Gamma 5\n", "Collate on\n", "StaplePosition StapleDualPortrait\n",
          "RGBProfile Adobe RGB\n"}},
        {"Duplex=DuplexTumble sides=one-sided print-color-mode=monochrome collate=true output-bin=tray-4",
         {"Duplex off\n", "ColorModel Gray\n", "Collate on\n", "OutputBin 4\n"}},
        {"multiple-document-handling=separate-documents-collated-copies output-bin=face-up", {"Collate on\n", "OutputBin 1\n"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.options);
        Run r = Print("open", Job(row.options), {{"PPD", ppd}});
        EXPECT_EQ(r.status, 0) << r.err;
        for (const std::string& p : row.printed) EXPECT_NE(r.printed.find(p), std::string::npos) << p << "\n" << r.printed;
    }
    Run r = Print("open", Job("output-bin=bottom-shelf"), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("WARNING: output-bin bottom-shelf has no tray"), std::string::npos) << r.err;
}

// Each copy carries its own ticket, the secure-print password's guard line included.
TEST_F(Backend, EveryCopyHasItsTicket)
{
    Run r = Print("open", Job("job-password=4711", "2"), {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Count(r.printed, ", guarded\n"), 2u) << r.printed;
    EXPECT_EQ(Count(r.printed, "SecurePassword ***\n"), 2u) << r.printed;
}

// The job streams: the raw port has bytes before the backend's input ends;
// a cancel (SIGTERM) ends the backend at once and closes the connection.
TEST_F(Backend, StreamsAndStopsWhenCancelled)
{
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "streamed");
        RawListener raw(TestAddress(67));
        ASSERT_TRUE(raw.ok());
        std::map<std::string, std::string> env = {
            {"DEVICE_URI", "pralix://" + TestAddress(67)}, {"TMPDIR", *dir_ + "/tmp"}, {"XDG_RUNTIME_DIR", *dir_ + "/tmp"}};
        Child c = Spawn({BIN + "/pralix", "7", "bob", "stream", "1", ""}, env, "", *dir_ + "/stream.out",
                        *dir_ + "/stream.err", true);
        std::string head = "%!PS-Adobe-3.0\n%%Title: stream\n%%EndComments\n" + std::string(200000, '%') + "\n";
        EXPECT_EQ(write(c.stdinPipe, head.data(), head.size()), ssize_t(head.size()));
        EXPECT_TRUE(raw.Got(head.size())) << "nothing reached the raw port before the input ended";
        if (cancel) kill(c.pid, SIGTERM);
        close(c.stdinPipe);
        EXPECT_EQ(Wait(c.pid, 5000), 0);
        EXPECT_TRUE(raw.Closed());
        allErr_ += ReadFile(*dir_ + "/stream.err");
    }
}

// Passwords reach no status line and no file: not even a refused job's,
// which no ticket writer empties.
TEST_F(Backend, NoPasswordInAnyLineOrFile)
{
    Run r = Print("identity", Job("job-password=4711"), ALICE);
    EXPECT_EQ(r.status, 0) << r.err;
    r = Print("identity", Job("job-password=4711"), {{"AUTH_USERNAME", "alice"}, {"AUTH_PASSWORD", "Gu3ss"}});
    EXPECT_EQ(r.status, 2) << r.err;
    for (const std::string secret : {"s3cret", "4711", "Gu3ss"}) {
        EXPECT_EQ(allErr_.find(secret), std::string::npos) << secret;
        std::string wide;  // as the record holds it: UTF-16LE
        for (char c : secret) wide += std::string(1, c) + '\0';
        for (const auto& entry : fs::recursive_directory_iterator(*dir_ + "/tmp")) {
            std::string content = entry.is_regular_file() ? ReadFile(entry.path()) : "";
            EXPECT_EQ(content.find(secret), std::string::npos) << entry.path();
            EXPECT_EQ(content.find(wide), std::string::npos) << entry.path();
        }
    }
}

}  // namespace
