// SPDX-License-Identifier: MIT
// What the benchmarks share: medians, and running a peer tool with its output
// discarded, so that only our own figures print.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/children.h"

namespace bench {

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The installed program `name`'s path, or "" when it is not installed.
inline std::string FindTool(const char* name) {
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin", "/usr/local/bin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// Runs `path args...` with stdin, stdout and stderr on /dev/null and waits for
// it: its exit code (128 + the signal that ended it), or -1 when it could not
// be started.
inline int RunQuiet(const std::string& path, const std::vector<std::string>& args) {
    testsupport::SpawnOptions options;
    options.streams = {"/dev/null", "/dev/null", "/dev/null"};
    return testsupport::Run(path, args, options);
}

}  // namespace bench
