// SPDX-License-Identifier: MIT
#include "platform/process/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace platform {

StartedProgram StartProgram(const std::string& path, const std::vector<std::string>& args,
                            StartMode mode) {
    std::vector<std::string> argvText;
    argvText.reserve(args.size() + 1);
    argvText.push_back(path);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The child must not inherit a blocked signal mask or an ignored SIGPIPE/SIGCHLD
    // from this process's threads: it is a server with its own signal handling.
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return {-1, ENOMEM};
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (mode == StartMode::Detached) {
        flags |= POSIX_SPAWN_SETSID;
        // A server outlives the terminal or pipe it was started from: writing
        // to a closed one would stop it, so it keeps none of our streams (its
        // messages go to the system log).
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_setflags(&attr, flags);

    pid_t pid = -1;
    // glibc reports a failed exec (missing file, no permission) through the result.
    int rc = posix_spawn(&pid, path.c_str(), &files, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return {-1, rc};
    return {pid, 0};
}

namespace {

std::optional<int> Decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return std::nullopt;
}

}  // namespace

std::optional<int> WaitProgram(pid_t pid, std::chrono::milliseconds limit) {
    if (pid <= 0) return std::nullopt;
    auto end = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (auto code = Decode(status)) return code;
        } else if (r < 0 && errno != EINTR) {
            return std::nullopt;  // not our child (already reaped elsewhere)
        }
        if (std::chrono::steady_clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(5)) pause *= 2;
    }
}

bool IsOwnChild(pid_t pid) {
    if (pid <= 0 || pid == ::getpid()) return false;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    char line[512] = {};
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = ::read(fd, line, sizeof line - 1);
    ::close(fd);
    if (n <= 0) return false;
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
    const char* close = std::strrchr(line, ')');
    if (!close || std::strlen(close) < 5) return false;
    return std::strtol(close + 4, nullptr, 10) == ::getpid();
}

void DetachProgram(pid_t pid) {
    if (pid <= 0) return;
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

bool OpenStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one: every lower one is open by now.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) return false;
        if (opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    return true;
}

void RaiseDescriptorLimit() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= lim.rlim_max) return;
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);  // a failure leaves the old limit, which may still do
}

}  // namespace platform
