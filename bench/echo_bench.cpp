// SPDX-License-Identifier: MIT
// One sweep round = 255 concurrent PingHost calls, one thread each, as the
// workers make them. Median wall time over 10 rounds on loopback (all answer)
// and on the test LAN (40 answer, the rest are silent: the floor is the
// 200 ms time-out). Compared with fping measured the same way where installed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/quiet.h"
#include "echo/echo.h"
#include "tests/support/testnet.h"

using Clock = std::chrono::steady_clock;
using bench::Median;

namespace {

constexpr int kRounds = 10;

// Returns the median round time in ms; `answered` gets the last round's count.
double SweepRounds(const std::string& net, int* answered) {
    std::vector<double> times;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<char> ok(256, 0);
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int n = 1; n <= 255; ++n) {
            threads.emplace_back(
                [n, &ok, &net] { ok[n] = echo::PingHost(net + "." + std::to_string(n)); });
        }
        for (auto& t : threads) t.join();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        *answered = static_cast<int>(std::count(ok.begin(), ok.end(), 1));
    }
    return Median(times);
}

// fping over the same /24 with the same time-out, no retries, no pacing.
double FpingRounds(const std::string& fping, const std::string& net) {
    std::vector<double> times;
    const std::string range = net + ".0/24";
    for (int round = 0; round < kRounds; ++round) {
        const auto start = Clock::now();
        // fping's own output would mix with our figures.
        bench::RunQuiet(fping, {"-a", "-q", "-g", range, "-t", "200", "-r", "0", "-i", "0"});
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return Median(times);
}

void Report(const char* what, const std::string& net, const std::string& fping) {
    int answered = 0;
    const double ms = SweepRounds(net, &answered);
    std::printf("%-10s 255 concurrent PingHost: median %.1f ms over %d rounds (%d answered)\n",
                what, ms, kRounds, answered);
    if (fping.empty()) {
        std::printf("%-10s fping not installed\n", what);
    } else {
        const double f = FpingRounds(fping, net);
        std::printf("%-10s fping: median %.1f ms; ours/fping = %.2f\n", what, f, ms / f);
    }
}

}  // namespace

int main() {
    std::string why;
    if (!testsupport::EnterPrivateNetwork(&why)) {
        std::printf("note: staying in this network namespace (%s)\n", why.c_str());
    }
    const std::string fping = bench::FindTool("fping");
    Report("loopback", "127.0.0", fping);
    if (!testsupport::TestLan::Usable(&why)) {
        std::printf("test LAN skipped: %s\n", why.c_str());
        return 0;
    }
    testsupport::TestLan lan(testsupport::TestLan::Range(1, 40));
    Report("test LAN", testsupport::TestLan::kSubnet, fping);
    return 0;
}
