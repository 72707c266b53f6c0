// SPDX-License-Identifier: MIT
// Starting and ending the processes a test or a benchmark makes. Every child
// is started, signalled and reaped here, and every signal is checked first: a
// pid of 0 or below is refused (as root, kill(-1, ...) ends every process on
// the machine), and so is any process that is not a descendant of this one.
// A refusal or a failed start is a failure of the running test (and a line on
// stderr), never a signal to someone else.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct SpawnOptions {
    // The child's environment; this process's own when empty.
    std::vector<std::string> env;
    // Per standard stream 0, 1, 2: "" inherits ours, "-" leaves it closed,
    // anything else is a file opened for it (read for 0, created for 1 and 2).
    std::array<std::string, 3> streams;
    // Standard output into a pipe whose reading end comes back as Child::out.
    bool pipeOut = false;
};

struct Child {
    pid_t pid = -1;
    int out = -1;  // the pipe's reading end (SpawnOptions::pipeOut), else -1
    bool ok() const { return pid > 0; }
};

// Starts `program` (looked up on PATH when it has no slash) with `args`.
// A failed start gives pid -1.
Child Spawn(const std::string& program, const std::vector<std::string>& args,
            const SpawnOptions& options = {});

// Runs fn in a forked child, which exits with fn's result (99 when it throws).
// -1 when fork fails.
pid_t Fork(const std::function<int()>& fn);

inline constexpr std::chrono::milliseconds kNoLimit = std::chrono::hours(24);

// Reaps the child: its exit code, or 128 + the signal that ended it. Nothing
// when it still runs after `limit` (it is left running) or is not ours.
std::optional<int> Wait(pid_t pid, std::chrono::milliseconds limit = kNoLimit);

// Sends `sig` to a descendant of this process. False (a failure) for a pid of
// 0 or below and for any other process.
bool Signal(pid_t pid, int sig);

// SIGKILL to a child of ours (checked as Signal does), then reaps it.
void End(pid_t pid);

// Spawn and Wait in one: the exit code, or -1 when it could not be started.
int Run(const std::string& program, const std::vector<std::string>& args,
        const SpawnOptions& options = {});

// True when pid is this process or one of its descendants.
bool IsDescendant(pid_t pid);

}  // namespace testsupport
