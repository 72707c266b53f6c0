// SPDX-License-Identifier: MIT
#include "tests/support/isolation.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/process/session.h"
#include "platform/threads/shared_block.h"
#include "tests/support/children.h"

namespace testsupport {
namespace {

std::string testRoot;
std::string binDir;
pid_t owner = 0;

void RemoveRoot() {
    // Forked children exit through here too; only the process that made it cleans up.
    if (!testRoot.empty() && ::getpid() == owner) {
        std::error_code ec;
        std::filesystem::remove_all(testRoot, ec);
    }
}

}  // namespace

void IsolateProcess() {
    if (!testRoot.empty()) return;
    std::error_code ec;
    binDir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
    std::string tmpl = (std::filesystem::temp_directory_path() / "varnex-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    testRoot = tmpl;
    owner = ::getpid();
    std::filesystem::create_directories(testRoot + "/run");
    std::filesystem::create_directories(testRoot + "/data");
    std::filesystem::create_directories(testRoot + "/prog");
    std::filesystem::create_directories(testRoot + "/config");
    std::filesystem::permissions(testRoot + "/run", std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (testRoot + "/run").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (testRoot + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (testRoot + "/config").c_str(), 1);
    // A child test process (killed outright by some tests) makes its own
    // root inside ours, so that ours takes it along when it is removed.
    ::setenv("TMPDIR", testRoot.c_str(), 1);
    for (const char* prog : {"Morvel", "Tessor"}) {
        std::string target = binDir + "/" + prog;
        if (std::filesystem::exists(target))
            std::filesystem::create_symlink(target, testRoot + "/prog/" + prog, ec);
    }
    platform::SetProgramDirForTesting(testRoot + "/prog");
    std::atexit(RemoveRoot);
}

const std::string& TestRoot() { return testRoot; }

std::string MakeTempDir(const std::string& prefix) {
    static std::atomic<int> counter{0};
    std::string d = testRoot + "/" + prefix + "-" + std::to_string(counter++);
    std::filesystem::create_directories(d);
    return d;
}

std::string BuildBinDir() { return binDir; }

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int InChild(const std::function<int()>& fn) {
    const pid_t pid = Fork(fn);
    return pid > 0 ? Wait(pid).value_or(-1) : -1;
}

std::string ShmPath(const std::string& name) { return platform::FileMapping::Path(name); }

}  // namespace testsupport
