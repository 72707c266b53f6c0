// SPDX-License-Identifier: MIT
// What a sweep run from a script adds to the sweep itself: loading the IEEE
// vendor registry (once per run), naming 255 MACs and writing the three report
// forms (recording it is bench_history's). Each is a median over
// several runs in one process, so the registry files sit in the page cache as
// they do after the first run of a cron job. The first load is shown apart.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "sweep/SweepReport.h"
#include "sweep/Vendors.h"
#include "tests/support/isolation.h"

using Clock = std::chrono::steady_clock;

namespace {

using namespace sweep;

constexpr int kRuns = 15;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Median and fastest run: on a busy machine the fastest shows the work itself.
template <typename F>
std::pair<double, double> Times(F&& f) {
    std::vector<double> t;
    for (int i = 0; i < kRuns; ++i) {
        const auto a = Clock::now();
        f();
        t.push_back(Ms(a, Clock::now()));
    }
    std::sort(t.begin(), t.end());
    return {t[t.size() / 2], t.front()};
}

template <typename F>
void Report(const char* what, F&& f) {
    auto [median, fastest] = Times(f);
    std::printf("%s: median %.3f ms, fastest %.3f ms (%d runs)\n", what, median, fastest, kRuns);
}

}  // namespace

int main() {
    testsupport::IsolateProcess();
    auto a = Clock::now();
    Vendors vendors = Vendors::Load(kIeeeDataFolder);
    const double first = Ms(a, Clock::now());
    std::printf("vendor registry %s: %zu prefixes, first load %.1f ms\n", kIeeeDataFolder,
                vendors.Size(), first);
    Report("vendor registry load", [] { Vendors::Load(kIeeeDataFolder); });

    SweepResult r;
    r.subnet = "192.0.2";
    r.rounds = 1;
    r.changes = true;
    char mac[32];
    for (int i = 1; i <= 255; ++i) {
        // Every prefix length occurs: MA-L, MA-M and MA-S prefixes of the real registry.
        std::snprintf(mac, sizeof mac,
                      i % 3 == 0   ? "00-1A-2B-3C-4D-%02X"
                      : i % 3 == 1 ? "70-B3-D5-F2-F0-%02X"
                                   : "74-1A-E0-90-00-%02X",
                      i);
        r.hosts.push_back(HostResult{i, "192.0.2." + std::to_string(i), i % 6 ? 1 : 0, 1, mac, "",
                                     "remark " + std::to_string(i), "", i % 6 ? "echo" : "none",
                                     "host" + std::to_string(i) + ".lan.test"});
    }
    Report("255 vendor lookups", [&] {
        for (HostResult& h : r.hosts) h.vendor = vendors.Lookup(h.mac);
    });
    std::size_t bytes = 0;
    Report("json, csv and text reports",
           [&] { bytes = WriteJson(r).size() + WriteCsv(r).size() + WriteText(r).size(); });
    return bytes > 0 ? 0 : 1;
}
