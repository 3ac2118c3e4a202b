#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "tools/capture/program.h"

extern char** environ;

namespace capture {

namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::pair<std::string, std::string>>& env,
                      std::chrono::milliseconds limit, std::size_t maxOut) {
    ProgramRun run;
    if (argv.empty()) {
        run.error = "nothing to run";
        return run;
    }
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        const std::size_t eq = kv.find('=');
        if (eq != std::string::npos) {
            vars[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
    }
    for (const auto& [k, v] : env) {
        vars[k] = v;
    }
    std::vector<std::string> envText;
    envText.reserve(vars.size());
    for (const auto& [k, v] : vars) {
        envText.push_back(k);
        envText.back().append("=").append(v);
    }
    std::vector<char*> envp;
    envp.reserve(envText.size() + 1);
    for (std::string& s : envText) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    argp.reserve(args.size() + 1);
    for (std::string& s : args) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        run.error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return run;
    }
    // In a process group of its own, so that what it starts goes with it at the limit.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argp[0], &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    CloseFd(pipeFds[1]);
    if (rc != 0) {
        CloseFd(pipeFds[0]);
        run.error = "cannot run " + argv[0] + ": " + std::strerror(rc);
        return run;
    }
    run.started = true;
    const auto end = Clock::now() + limit;
    char buffer[4096];
    while (pipeFds[0] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            continue;  // the limit is judged at the top
        }
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            CloseFd(pipeFds[0]);  // it closed its output: it is ending
            break;
        }
        const std::size_t room = maxOut - std::min(maxOut, run.out.size());
        run.out.append(buffer, std::min(room, static_cast<std::size_t>(got)));
    }
    CloseFd(pipeFds[0]);
    if (run.timedOut) {
        kill(-pid, SIGKILL);
    }
    int status = 0;
    bool reaped = false;
    // A program that closed its output lingers a moment at most; past the limit it is killed.
    for (;;) {
        const pid_t w = waitpid(pid, &status, run.timedOut ? 0 : WNOHANG);
        if (w == pid) {
            reaped = true;
            break;
        }
        if (w < 0 && errno != EINTR) {
            break;
        }
        if (w == 0) {
            if (Clock::now() >= end) {
                run.timedOut = true;
                kill(-pid, SIGKILL);
                continue;
            }
            usleep(10000);
        }
    }
    if (!reaped && !run.timedOut) {
        run.error = "lost track of " + argv[0] + ": " + std::strerror(errno);
    }
    if (reaped && !run.timedOut && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    return run;
}

}  // namespace capture
