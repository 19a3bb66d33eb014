// What the CUPS backend costs: a 256 MiB job without the tag sent through
// the backend (validated by the reference print server, streamed through the
// hooks) to a raw listener on loopback, against the floor, the same file
// copied to the same listener by a plain socket loop. Also the backend's
// peak resident memory (the job is never read whole).
#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

const char ADDRESS[] = "127.0.0.43";
const size_t JOB_BYTES = 256u << 20;

// Accepts connections on ADDRESS:9100 for the whole run and reads each to
// its end, as a raw print port does.
class RawSink {
public:
    RawSink()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(9100);
        inet_pton(AF_INET, ADDRESS, &a.sin_addr);
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0;
        thread_ = std::thread([this] { Serve(); });
    }
    ~RawSink()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    bool ok() const { return ok_; }
    unsigned long long bytes() const { return bytes_; }

private:
    void Serve()
    {
        static char buf[1 << 16];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            int c = accept(fd_, nullptr, nullptr);
            for (ssize_t n; (n = recv(c, buf, sizeof buf, 0)) > 0;) bytes_ += static_cast<unsigned long long>(n);
            close(c);
        }
    }
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long long> bytes_{0};
    std::thread thread_;
};

// The job, once: PostScript-like lines, no "%%EndComments", in tmpfs.
const std::string& JobFile()
{
    static std::string path = [] {
        std::string p = "/dev/shm/pralix-bench-" + std::to_string(getpid()) + ".ps";
        FILE* f = fopen(p.c_str(), "wb");
        const char line[] = "0 0 1 setrgbcolor 100 100 50 50 rectfill % a comment with %% in it\n";
        for (size_t n = 0; f && n < JOB_BYTES; n += sizeof line - 1) fwrite(line, 1, sizeof line - 1, f);
        if (f) fclose(f);
        atexit([] { unlink(path.c_str()); });
        return p;
    }();
    return path;
}

RawSink& Sink()
{
    static RawSink sink;
    return sink;
}

bool Ready()
{
    static ServerProcess server(ADDRESS, {"--raw-port", "0"});
    return server.Ready() && Sink().ok() && !JobFile().empty();
}

// Runs the backend on the job; its exit status and peak resident KiB.
int RunBackend(long* peakKiB)
{
    std::string self = HostUtf8(ExecutableDirectory()) + "pralix", uri = std::string("DEVICE_URI=pralix://") + ADDRESS;
    std::vector<std::string> args = {self, "1", "bench", "bench", "1", "", JobFile()};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp = {&uri[0], nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    rusage usage = {};
    wait4(pid, &status, 0, &usage);
    *peakKiB = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_Backend(benchmark::State& state)
{
    if (!Ready()) return state.SkipWithError("the print server or the raw listener did not start");
    long peak = 0;
    for (auto _ : state)
        if (RunBackend(&peak) != 0) return state.SkipWithError("the backend did not print");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * JOB_BYTES));
    state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024;
}
BENCHMARK(BM_Backend)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The floor: the file read in the backend's chunk size and sent as it is.
void BM_SocketCopy(benchmark::State& state)
{
    if (!Ready()) return state.SkipWithError("the raw listener did not start");
    static char buf[64 * 1024];
    for (auto _ : state) {
        int in = open(JobFile().c_str(), O_RDONLY | O_CLOEXEC), fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(9100);
        inet_pton(AF_INET, ADDRESS, &a.sin_addr);
        bool ok = in >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        for (ssize_t n; ok && (n = read(in, buf, sizeof buf)) > 0;)
            for (ssize_t sent = 0, s; ok && sent < n; sent += s) ok = (s = send(fd, buf + sent, size_t(n - sent), MSG_NOSIGNAL)) > 0;
        shutdown(fd, SHUT_WR);
        char drain;
        while (ok && recv(fd, &drain, 1, 0) > 0) {}
        close(fd);
        if (in >= 0) close(in);
        if (!ok) return state.SkipWithError("the copy failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * JOB_BYTES));
}
BENCHMARK(BM_SocketCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
