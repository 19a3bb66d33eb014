// What a job start costs against the reference print server on loopback:
// DrvSplStartDoc (options loaded, validated, stored) for a policy that
// requires nothing and for one that requires a user ID and password (the
// scripted user answers the secure access dialog), against the floor: a
// minimal client making the same connections and exchanges with the same
// server. The registry is in tmpfs (see main).
#include "null_printer.h"
#include "server_process.h"
#include "scripted_user.h"
#include "spdll_framing.h"
#include "umpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

const char OPEN_SERVER[] = "127.0.0.41", IDENTITY_SERVER[] = "127.0.0.42";
const char IDENTITY_ANSWER[] = "Secure Access: 1112=alice, 1113=s3cret, OK";

bool ServersReady()
{
    static ServerProcess open(OPEN_SERVER, {"--raw-port", "0"});
    static ServerProcess identity(IDENTITY_SERVER, {"--raw-port", "0", "--require", "user,password", "--accept", "alice:s3cret:"});
    return open.Ready() && identity.Ready();
}

// --- the floor ------------------------------------------------------------

int Connect(const char* address)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8163);
    inet_pton(AF_INET, address, &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request on its own connection, and its reply of `size` bytes.
bool Exchange(const char* address, const unsigned char* frame, size_t length, char* reply, size_t size)
{
    int fd = Connect(address);
    if (fd < 0) return false;
    bool ok = send(fd, frame, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
    size_t got = 0;
    for (ssize_t r; ok && got < size && (r = recv(fd, reply + got, size - got, 0)) > 0;) got += static_cast<size_t>(r);
    close(fd);
    return ok && got > 0;
}

// The same connections and frames as a job start: the probe, the settings
// request and, when identity is required, the validate-info request.
void BM_JobStartFloor(benchmark::State& state)
{
    const bool identity = state.range(0) != 0;
    const char* address = identity ? IDENTITY_SERVER : OPEN_SERVER;
    if (!ServersReady()) return state.SkipWithError("the reference servers did not start");
    unsigned char settings[FRAME_BUFFER_SIZE], validate[FRAME_BUFFER_SIZE];
    int16_t settingsLength = WritePralixConField(strSP_REQUEST_SETTINGS, settings, 3, 1);
    WritePralixConField(strSP_REQUEST_VALIDATEINFO, validate, 3, 0);
    const char line[] = "alice\ts3cret\t\r";
    int16_t validateLength = WritePralixConField(line, validate, sizeof line - 1, 1);
    char reply[524];
    for (auto _ : state) {
        int probe = Connect(address);
        if (probe >= 0) close(probe);
        bool ok = probe >= 0 && Exchange(address, settings, static_cast<size_t>(settingsLength), reply, 524);
        if (ok && identity) ok = Exchange(address, validate, static_cast<size_t>(validateLength), reply, 3);
        if (!ok || memcmp(reply, identity ? "201" : "200", 3) != 0) return state.SkipWithError("the server did not agree");
    }
    state.SetLabel(identity ? "identity required" : "nothing required");
}

// --- the hook -------------------------------------------------------------

void BM_JobStart(benchmark::State& state)
{
    const bool identity = state.range(0) != 0;
    if (!ServersReady()) return state.SkipWithError("the reference servers did not start");
    NullPrinter p(identity ? TEXT("Pralix PS jobstart identity") : TEXT("Pralix PS jobstart open"));
    _OEM_PRIVDEVMODE options = {};
    SetDefaultPralixOptions(&options);
    options.bInitialConnection = 0;
    swprintf(options.ipAddress, 16, TEXT("%hs"), identity ? IDENTITY_SERVER : OPEN_SERVER);
    SetUserInfo(&options, p.printer, nullptr);
    for (auto _ : state) {
        state.PauseTiming();
        DWORD job = p.Start();
        state.ResumeTiming();
        ScriptedUser user(identity ? std::vector<std::string>{IDENTITY_ANSWER} : std::vector<std::string>{}, nullptr);
        InstallUser(&user);
        HANDLE h = DrvSplStartDoc(p.printer, job);
        UninstallUser();
        state.PauseTiming();
        if (!h) return state.SkipWithError("the job was refused");
        DrvSplClose(h);
        AbortPrinter(p.printer);
        state.ResumeTiming();
    }
    state.SetLabel(identity ? "identity required" : "nothing required");
}

// Bounded: every start opens three or four loopback connections, and each
// closed one lingers in TIME_WAIT for a minute.
BENCHMARK(BM_JobStartFloor)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(0.3);
BENCHMARK(BM_JobStart)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(0.3);

}  // namespace
