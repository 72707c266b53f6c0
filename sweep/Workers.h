// SPDX-License-Identifier: MIT
// Reaching the worker host: the start-up that the window and a sweep run
// from a script share. Morvel is run once with "/regsver" to register its
// classes (a bounded wait: activation needs the records), then one proxy per
// host number creates that host's worker, which starts Morvel's server.
// Qt-free; each caller words the failure for its own user.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sweep/Ping.h"

namespace sweep {

// New proxies for hosts 1 to 255 (index 0 stays empty), each in the idle
// colour, their workers' echoes waiting echoTimeoutMs (0: the workers' own
// 200 ms). On failure `fresh` is empty, `failedHost` the host whose worker
// could not be created and `failure` why.
bool MakePings(std::vector<std::unique_ptr<Ping>>& fresh, int& failedHost, std::string& failure,
               std::int32_t echoTimeoutMs = 0);

struct WorkerStart {
    std::string morvel;          // the worker host started: Morvel that comes with this program
    int startError = 0;          // errno when it could not be started at all
    std::optional<int> regCode;  // the registration run's exit code; none: it outlived the wait
    int failedHost = 0;          // with `failure`: the first proxy that could not be made
    std::string failure;
    std::vector<std::unique_ptr<Ping>> pings;  // the 255 proxies on success
    bool ok() const { return !pings.empty(); }
};

WorkerStart StartWorkers(std::chrono::milliseconds registrationWait = std::chrono::seconds(10),
                         std::int32_t echoTimeoutMs = 0);

// Why Morvel may send no echo at all, with the fix, as Morvel itself finds
// (its rights, not this program's); "" when it may. A sweep that went ahead
// would show every host silent. Throws ObjectError when Morvel cannot be asked
// within a second or so.
std::string EchoProblem();

}  // namespace sweep
