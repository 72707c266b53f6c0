// SPDX-License-Identifier: MIT
#include "tests/support/children.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

// A failure of the running test where there is one; always a line on stderr.
void Complain(const std::string& what) {
    std::fprintf(stderr, "test children: %s\n", what.c_str());
    if (testing::UnitTest::GetInstance()->current_test_info() != nullptr) ADD_FAILURE() << what;
}

// The parent of pid from /proc, or 0 when it cannot be read.
pid_t ParentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return 0;
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 4 >= line.size()) return 0;
    return static_cast<pid_t>(std::strtol(line.c_str() + close + 4, nullptr, 10));
}

}  // namespace

bool IsDescendant(pid_t pid) {
    const pid_t self = ::getpid();
    // Bounded: a chain through a reused pid could otherwise loop.
    for (int depth = 0; depth < 64; ++depth) {
        if (pid == self) return true;
        if (pid <= 1) return false;
        pid = ParentOf(pid);
    }
    return false;
}

Child Spawn(const std::string& program, const std::vector<std::string>& args,
            const SpawnOptions& options) {
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText = options.env;
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (int fd = 0; fd < 3; ++fd) {
        const std::string& s = options.streams[static_cast<std::size_t>(fd)];
        if (s == "-")
            posix_spawn_file_actions_addclose(&files, fd);
        else if (!s.empty())
            posix_spawn_file_actions_addopen(
                &files, fd, s.c_str(), fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    int pipeFds[2] = {-1, -1};
    if (options.pipeOut) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&files);
            Complain("pipe: " + std::string(std::strerror(errno)));
            return {};
        }
        posix_spawn_file_actions_adddup2(&files, pipeFds[1], 1);
    }
    Child child;
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, program.c_str(), &files, nullptr, argv.data(),
                                  options.env.empty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (options.pipeOut) {
        ::close(pipeFds[1]);
        if (rc == 0)
            child.out = pipeFds[0];
        else
            ::close(pipeFds[0]);
    }
    if (rc != 0 || pid <= 0) {
        Complain("cannot start " + program + ": " + std::strerror(rc));
        return Child{-1, -1};
    }
    child.pid = pid;
    return child;
}

pid_t Fork(const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = fn();
        } catch (...) {
        }
        ::_exit(code);
    }
    if (pid < 0) Complain("fork: " + std::string(std::strerror(errno)));
    return pid;
}

std::optional<int> Wait(pid_t pid, std::chrono::milliseconds limit) {
    if (pid <= 0) {
        Complain("refused to wait for pid " + std::to_string(pid));
        return std::nullopt;
    }
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, limit >= kNoLimit ? 0 : WNOHANG);
        if (r == pid && (WIFEXITED(status) || WIFSIGNALED(status)))
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR) return std::nullopt;  // not our child, or reaped elsewhere
        if (std::chrono::steady_clock::now() >= end) return std::nullopt;
        if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool Signal(pid_t pid, int sig) {
    if (pid <= 0 || pid == ::getpid() || !IsDescendant(pid)) {
        Complain("refused to send signal " + std::to_string(sig) + " to pid " +
                 std::to_string(pid) + ": not a process this test started");
        return false;
    }
    return ::kill(pid, sig) == 0;
}

void End(pid_t pid) {
    if (Signal(pid, SIGKILL)) Wait(pid, std::chrono::seconds(10));
}

int Run(const std::string& program, const std::vector<std::string>& args,
        const SpawnOptions& options) {
    Child c = Spawn(program, args, options);
    if (!c.ok()) return -1;
    return Wait(c.pid).value_or(-1);
}

}  // namespace testsupport
