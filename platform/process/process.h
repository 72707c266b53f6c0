// SPDX-License-Identifier: MIT
// Starting another program: the stand-in for starting a program by command
// line. The window program starts its worker host this way and never blocks on
// it; where it needs the run to have finished (registration), it waits a
// bounded time and then lets the child finish on its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct StartedProgram {
    pid_t pid = -1;
    int error = 0;  // errno of the failed start (ENOENT for a missing file), else 0
    bool ok() const { return pid > 0; }
};

// How a started program relates to us: Attached inherits the standard streams;
// Detached (a server that outlives this terminal) gets its own session and
// /dev/null for its standard input, output and error.
enum class StartMode { Attached, Detached };

// Starts `path` with `args` (argv[1..]) through posix_spawn, inheriting the
// environment, and returns at once.
StartedProgram StartProgram(const std::string& path, const std::vector<std::string>& args,
                            StartMode mode = StartMode::Attached);

// Waits up to `limit` for a started program to end and reaps it. Its exit code,
// 128 + the signal number when a signal ended it, or nothing when it still runs.
std::optional<int> WaitProgram(pid_t pid, std::chrono::milliseconds limit);

// True when pid is a child of this process (one it started and has not yet
// reaped): the only processes the programs ever signal.
bool IsOwnChild(pid_t pid);

// Leaves a started program running; a background thread reaps it when it ends,
// so no zombie stays behind.
void DetachProgram(pid_t pid);

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, first
// thing in main: a program started with one of them closed (`2>&-`) would
// otherwise get it back from its first socket or file, and a diagnostic line
// meant for stderr would go into that. False when /dev/null cannot be opened.
bool OpenStandardStreams();

// Raises the soft limit on open descriptors to the hard one: the worker host
// holds one per open block, and two windows' slots pass the usual soft 1024.
void RaiseDescriptorLimit();

}  // namespace platform
