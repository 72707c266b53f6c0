// SPDX-License-Identifier: MIT
// Every test process gets a session of its own: a fresh temporary folder that
// holds $XDG_RUNTIME_DIR (named blocks, the object server's socket) and
// $XDG_DATA_HOME (registration records), so tests that run side by side never
// share slots or a Morvel. The program directory (set.ini, Ps.ini) is a
// temporary folder too, with the built Morvel linked into it. TMPDIR points
// into the root, so whatever a child makes there goes with it.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

// Called by the test mains before any test runs.
void IsolateProcess();

// The process's temporary root folder.
const std::string& TestRoot();

// A fresh empty folder below TestRoot().
std::string MakeTempDir(const std::string& prefix = "dir");

// Folder of the built programs (Morvel, Tessor): the test executables' own.
std::string BuildBinDir();

// Polls `cond` every few milliseconds until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds limit = std::chrono::seconds(5));

// The file of this session's named block `name`.
std::string ShmPath(const std::string& name);

// Runs fn in a forked child and returns its exit code, or 128 + the signal that
// ended it (-1 when no child could be made). Used where a test must act as
// another user or die mid-operation.
int InChild(const std::function<int()>& fn);

}  // namespace testsupport
