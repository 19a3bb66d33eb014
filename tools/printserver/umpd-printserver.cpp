// umpd-printserver: the reference print server. Its secure-access service
// answers the driver's framed requests (settings, validate-info), one request
// per connection; its raw print port receives jobs and prints the options of
// each job's ticket, passwords decoded, and can keep each job's bytes in a
// file. Linux, plain POSIX sockets.
#include "printserver_frames.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int IO_WAIT_MS = 5000;        // every wait on a client
const size_t JOB_MAX = 1u << 30;    // a raw job is read up to this many bytes

const char USAGE[] =
    "usage: umpd-printserver [--address 127.0.0.1] [--port 8163] [--raw-port 9100|0]\n"
    "                        [--require user,password,account | --enable] [--accept USER:PASSWORD:ACCOUNT]...\n"
    "                        [--admin-message TEXT] [--admin-email TEXT] [--log FILE] [--show-secrets]\n"
    "                        [--reply-code CODE] [--validate-reply-code CODE] [--close-without-reply]\n"
    "                        [--delay-ms N] [--segment-bytes N] [--raw-pause BYTES:SECONDS] [--raw-reset]\n"
    "                        [--keep-jobs DIRECTORY]\n"
    "       umpd-printserver --help | --version\n";
const char VERSION[] = "umpd-printserver " UMPD_VERSION "\n";

volatile sig_atomic_t gStop = 0;

struct Identity {
    std::string user, password, account;
};

struct Config {
    std::string address = "127.0.0.1";
    int port = 8163, rawPort = 9100;
    bool enable = false, requireUser = false, requirePassword = false, requireAccount = false;
    std::vector<Identity> accepted;
    std::string adminMessage, adminEmail, logPath;
    bool showSecrets = false, closeWithoutReply = false;
    std::string replyCode, validateReplyCode;  // what every request, or the validate-info request, is answered
    unsigned delayMs = 0;
    size_t segmentBytes = 0;
    size_t rawPauseAt = 0;        // the raw port stops reading a job after this many bytes...
    unsigned rawPauseSeconds = 0; // ...for this long
    bool rawReset = false;        // and ends every job with a reset
    std::string keepJobs;         // where each raw job's bytes go, as job-N.prn (N from 1)
    const char* reply = nullptr;  // --help or --version: printed instead of serving
};

struct Server {
    Config config;
    FILE* log = nullptr;
    unsigned jobs = 0;  // raw jobs received
};

void Log(Server& s, const std::string& line)
{
    if (!s.log) return;
    fprintf(s.log, "%s\n", line.c_str());
    fflush(s.log);
}

std::string Secret(const Server& s, const std::string& value) { return s.config.showSecrets || value.empty() ? value : "***"; }

bool WaitFd(int fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1;
}

// Reads up to n bytes within the wait; returns how many came before a close,
// an error or silence.
size_t ReadUpTo(int fd, unsigned char* out, size_t n)
{
    size_t got = 0;
    while (got < n && WaitFd(fd, POLLIN, IO_WAIT_MS)) {
        ssize_t r = recv(fd, out + got, n - got, 0);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

bool ReadExact(int fd, unsigned char* out, size_t n) { return ReadUpTo(fd, out, n) == n; }

// Sends the reply, in segments and with delays when told to misbehave.
void SendReply(Server& s, int fd, const std::string& reply)
{
    size_t step = s.config.segmentBytes ? s.config.segmentBytes : reply.size();
    for (size_t at = 0; at < reply.size(); at += step) {
        if (s.config.delayMs) usleep(s.config.delayMs * 1000);
        size_t n = std::min(step, reply.size() - at);
        if (!WaitFd(fd, POLLOUT, IO_WAIT_MS) || send(fd, reply.data() + at, n, MSG_NOSIGNAL) <= 0) return;
    }
}

std::string PolicyReply(const Config& c)
{
    std::string r = "200";
    unsigned char flags[9] = {0, static_cast<unsigned char>(c.enable), c.requireUser, 0, c.requirePassword,
                              c.requireAccount, 0, 0, 0};
    r.append(reinterpret_cast<char*>(flags), 9);
    std::string message = c.adminMessage.substr(0, 255), email = c.adminEmail.substr(0, 255);
    r += message + std::string(256 - message.size(), '\0');
    r += email + std::string(256 - email.size(), '\0');
    return r;
}

// Compares the required fields with the accepted identity that matches most
// of them (the first on a tie): "201" when none differs, else "301" and a
// block with '1' at each required field that differs.
std::string ValidateReply(const Config& c, const std::string& line, std::string* summary)
{
    std::vector<std::string> f = SplitLine(line);
    f.resize(3);
    const bool required[3] = {c.requireUser, c.requirePassword, c.requireAccount};
    bool best[3] = {required[0], required[1], required[2]};  // with no accepted identity: every required field
    int bestCount = -1;
    for (const Identity& id : c.accepted) {
        const std::string want[3] = {id.user, id.password, id.account};
        bool differs[3];
        int matched = 0;
        for (int i = 0; i < 3; i++) {
            differs[i] = required[i] && f[i] != want[i];
            matched += required[i] && !differs[i];
        }
        if (matched > bestCount) {
            bestCount = matched;
            std::copy(differs, differs + 3, best);
        }
    }
    if (!best[0] && !best[1] && !best[2]) {
        *summary = "accepted";
        return "201";
    }
    std::string block = std::string(best[0] ? "1" : "0") + " " + (best[1] ? "1" : "0") + " " + (best[2] ? "1" : "0") + " ";
    *summary = "rejected " + block;
    return "301" + block;
}

void ServeSecureAccess(Server& s, int fd, const std::string& peer)
{
    unsigned char header[8], body[FRAME_MAX];
    std::vector<std::string> fields;
    size_t got = ReadUpTo(fd, header, 8);
    if (got == 0) {
        Log(s, peer + " connected and closed without a request (a reachability probe)");
        return;
    }
    size_t length = 0;
    bool ok = got == 8 && FrameBodyLength(header, &length);
    ok = ok && ReadExact(fd, body, length) && SplitFields(body, length, &fields);
    if (!ok) {
        Log(s, peer + " malformed frame; connection closed");
        return;
    }
    std::string reply, what = "request " + fields[0];
    if (fields[0] == "100") {
        reply = PolicyReply(s.config);
        what += " (settings)";
    } else if (fields[0] == "101" && fields.size() >= 2) {
        std::string summary;
        reply = ValidateReply(s.config, fields[1], &summary);
        std::vector<std::string> f = SplitLine(fields[1]);
        f.resize(3);
        what += " (validate " + f[0] + "/" + Secret(s, f[1]) + "/" + f[2] + ": " + summary + ")";
    } else {
        reply = "406";
    }
    if (!s.config.replyCode.empty()) reply = s.config.replyCode;
    if (fields[0] == "101" && !s.config.validateReplyCode.empty()) reply = s.config.validateReplyCode;
    if (s.config.closeWithoutReply) {
        Log(s, peer + " " + what + "; closed without a reply");
        return;
    }
    SendReply(s, fd, reply);
    Log(s, peer + " " + what + "; answered " + reply.substr(0, 3));
}

// The file the next raw job is kept in, when jobs are kept; else null.
FILE* KeptJob(Server& s)
{
    if (s.config.keepJobs.empty()) return nullptr;
    std::string path = s.config.keepJobs + "/job-" + std::to_string(++s.jobs) + ".prn";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) fprintf(stderr, "umpd-printserver: cannot write %s\n", path.c_str());
    return f;
}

// Prints the options of the job's ticket, one per line, and how the job
// ended when the client reset the connection.
void ServeRawJob(Server& s, int fd, const std::string& peer)
{
    FILE* kept = KeptJob(s);
    std::string line;
    size_t total = 0, options = 0;
    unsigned char buf[65536];
    bool guard = false, paused = s.config.rawPauseSeconds == 0;
    ssize_t n = 0;
    while (total < JOB_MAX && WaitFd(fd, POLLIN, IO_WAIT_MS)) {
        size_t most = paused ? sizeof buf : std::min(sizeof buf, s.config.rawPauseAt - total);
        if ((n = recv(fd, buf, most, 0)) <= 0) break;
        total += static_cast<size_t>(n);
        if (kept) fwrite(buf, 1, static_cast<size_t>(n), kept);
        if (!paused && total >= s.config.rawPauseAt) {
            paused = true;
            printf("raw job paused at %zu bytes for %u s\n", total, s.config.rawPauseSeconds);
            fflush(stdout);
            sleep(s.config.rawPauseSeconds);
        }
        for (ssize_t i = 0; i < n; i++) {
            if (buf[i] != '\n') {
                if (line.size() < 4096) line += static_cast<char>(buf[i]);
                continue;
            }
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("statusdict /Pralix_feat_dict", 0) == 0) guard = true;
            if (line.rfind("%%PRALIX: ", 0) == 0) {
                std::string option = line.substr(10);
                for (const char* key : {"Password ", "SecurePassword "})
                    if (option.rfind(key, 0) == 0) option = key + Secret(s, DecodePassword(option.substr(strlen(key))));
                printf("%s\n", option.c_str());
                options++;
            }
            line.clear();
        }
    }
    if (kept) fclose(kept);
    if (s.config.rawReset) {
        linger hard = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    printf("job from %s: %zu bytes, %zu options%s%s\n", peer.c_str(), total, options, guard ? ", guarded" : "",
           n < 0 && errno == ECONNRESET ? ", reset by the client" : "");
    fflush(stdout);
    Log(s, peer + " raw job of " + std::to_string(total) + " bytes, " + std::to_string(options) + " options");
}

int Listen(const std::string& address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

bool ParseIdentity(const std::string& text, Identity* out)
{
    size_t a = text.find(':'), b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos) return false;
    *out = {text.substr(0, a), text.substr(a + 1, b - a - 1), text.substr(b + 1)};
    return true;
}

bool ParseNumber(const char* text, long lo, long hi, long* out)
{
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (!*text || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// in: the arguments; out: the configuration. False (with a message) when malformed.
bool ParseArgs(int argc, char** argv, Config* c)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool value = i + 1 < argc;
        long n = 0;
        if (a == "--help" || a == "--version") {
            c->reply = a == "--help" ? USAGE : VERSION;
            return true;
        } else if (a == "--enable") c->enable = true;
        else if (a == "--show-secrets") c->showSecrets = true;
        else if (a == "--close-without-reply") c->closeWithoutReply = true;
        else if (a == "--address" && value) c->address = argv[++i];
        else if (a == "--admin-message" && value) c->adminMessage = argv[++i];
        else if (a == "--admin-email" && value) c->adminEmail = argv[++i];
        else if (a == "--log" && value) c->logPath = argv[++i];
        else if (a == "--reply-code" && value) c->replyCode = argv[++i];
        else if (a == "--validate-reply-code" && value) c->validateReplyCode = argv[++i];
        else if ((a == "--port" || a == "--raw-port") && value && ParseNumber(argv[++i], a == "--port" ? 1 : 0, 65535, &n))
            (a == "--port" ? c->port : c->rawPort) = static_cast<int>(n);
        else if (a == "--delay-ms" && value && ParseNumber(argv[++i], 0, 60000, &n)) c->delayMs = static_cast<unsigned>(n);
        else if (a == "--segment-bytes" && value && ParseNumber(argv[++i], 1, 1 << 20, &n)) c->segmentBytes = static_cast<size_t>(n);
        else if (a == "--raw-reset") c->rawReset = true;
        else if (a == "--keep-jobs" && value) c->keepJobs = argv[++i];
        else if (a == "--raw-pause" && value) {
            std::string v = argv[++i];
            size_t colon = v.find(':');
            long seconds = 0;
            if (colon == std::string::npos || !ParseNumber(v.substr(0, colon).c_str(), 1, JOB_MAX, &n) ||
                !ParseNumber(v.c_str() + colon + 1, 1, 3600, &seconds)) {
                fprintf(stderr, "umpd-printserver: --raw-pause takes BYTES:SECONDS\n");
                return false;
            }
            c->rawPauseAt = static_cast<size_t>(n);
            c->rawPauseSeconds = static_cast<unsigned>(seconds);
        }
        else if (a == "--accept" && value) {
            Identity id;
            if (!ParseIdentity(argv[++i], &id)) {
                fprintf(stderr, "umpd-printserver: --accept takes USER:PASSWORD:ACCOUNT\n");
                return false;
            }
            c->accepted.push_back(id);
        } else if (a == "--require" && value) {
            c->enable = true;
            std::string list = std::string(argv[++i]) + ",";
            for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
                std::string f = list.substr(at, comma - at);
                if (f == "user") c->requireUser = true;
                else if (f == "password") c->requirePassword = true;
                else if (f == "account") c->requireAccount = true;
                else {
                    fprintf(stderr, "umpd-printserver: --require takes user, password and account\n");
                    return false;
                }
            }
        } else {
            fprintf(stderr, "umpd-printserver: unknown or incomplete option %s\n%s", a.c_str(), USAGE);
            return false;
        }
    }
    return true;
}

void OnSignal(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv)
{
    Server s;
    if (!ParseArgs(argc, argv, &s.config)) return 1;
    if (s.config.reply) {
        fputs(s.config.reply, stdout);
        return 0;
    }
    if (!s.config.logPath.empty() && !(s.log = fopen(s.config.logPath.c_str(), "a"))) {
        fprintf(stderr, "umpd-printserver: cannot write %s\n", s.config.logPath.c_str());
        return 1;
    }
    int secure = Listen(s.config.address, s.config.port);
    int raw = s.config.rawPort ? Listen(s.config.address, s.config.rawPort) : -1;
    if (secure < 0 || (s.config.rawPort && raw < 0)) {
        fprintf(stderr, "umpd-printserver: cannot listen on %s (%s)\n", s.config.address.c_str(), strerror(errno));
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    printf("listening on %s:%d\n", s.config.address.c_str(), s.config.port);
    if (raw >= 0) printf("raw print port on %s:%d\n", s.config.address.c_str(), s.config.rawPort);
    fflush(stdout);
    while (!gStop) {
        pollfd fds[2] = {{secure, POLLIN, 0}, {raw, POLLIN, 0}};
        if (poll(fds, raw >= 0 ? 2 : 1, 200) <= 0) continue;
        for (int i = 0; i < 2; i++) {
            if (!(fds[i].revents & POLLIN)) continue;
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            int fd = accept(fds[i].fd, reinterpret_cast<sockaddr*>(&peer), &len);
            if (fd < 0) continue;
            char name[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &peer.sin_addr, name, sizeof name);
            std::string who = std::string(name) + ":" + std::to_string(ntohs(peer.sin_port));
            if (i == 0) ServeSecureAccess(s, fd, who);
            else ServeRawJob(s, fd, who);
            close(fd);
        }
    }
    close(secure);
    if (raw >= 0) close(raw);
    if (s.log) fclose(s.log);
    return 0;
}
