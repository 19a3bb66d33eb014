// A reference print server process for a benchmark run, started on a
// loopback address and stopped by its process id (Linux).
#pragma once

#include "hostglue.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

// One reference server process for the whole run.
class ServerProcess {
public:
    ServerProcess(const char* address, std::vector<std::string> options)
    {
        std::string path = HostUtf8(ExecutableDirectory()) + "umpd-printserver";
        options.insert(options.begin(), {path, "--address", address});
        std::vector<char*> argv;
        for (std::string& a : options) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string said;
        char buf[256];
        for (int i = 0; i < 50 && said.find("listening on") == std::string::npos; i++) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            ssize_t r = read(out[0], buf, sizeof buf);
            if (r <= 0) break;
            said.append(buf, static_cast<size_t>(r));
        }
        close(out[0]);
        ready_ = said.find("listening on") != std::string::npos;
    }
    ~ServerProcess()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool Ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

