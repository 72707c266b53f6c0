// SPDX-License-Identifier: MIT
// The history of sweeps, on generated histories of one subnet with 40 devices
// (30 always there, 6 by day, 2 phones whose privacy MAC changes every day, 2
// that miss one sweep in five), swept every 5 minutes:
// - the size of 90 days of it (25,920 sweeps);
// - with 100,000 sweeps: recording one more sweep, marking a sweep's changes,
//   and `Tessor --history A.B.C.N` (in this process, and the whole program
//   from start to exit) for a host always there, one there by day and one
//   that misses sweeps; what the window reads of every address;
// - recording a sweep in a new history.
// Medians of several runs; the histories live in this run's temporary folder.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/quiet.h"
#include "sweep/History.h"
#include "sweep/HistoryReport.h"
#include "tests/support/isolation.h"

using Clock = std::chrono::steady_clock;
using bench::Median;
using namespace sweep;

namespace {

constexpr auto kEvery = std::chrono::minutes(5);
constexpr int kRuns = 21;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

template <typename F>
double MedianMs(int runs, F&& f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto a = Clock::now();
        f(i);
        t.push_back(Ms(a, Clock::now()));
    }
    return Median(t);
}

// Sweep number i of the generated LAN, which starts at `first`.
SweepResult Generated(long i, TimePoint first, std::mt19937& random) {
    SweepResult r;
    r.subnet = "192.0.2";
    r.rounds = 1;
    r.started = first + i * kEvery;
    const long minuteOfDay = (i * 5) % (24 * 60), day = i * 5 / (24 * 60);
    char mac[18];
    for (int n = 1; n <= 255; ++n) {
        HostResult h;
        h.host = n;
        h.ip = "192.0.2." + std::to_string(n);
        h.rounds = 1;
        bool there = false;
        if (n <= 30) {
            there = true;
            std::snprintf(mac, sizeof mac, "00-1B-63-00-00-%02X", n);
        } else if (n <= 36) {
            there = minuteOfDay >= 8 * 60 && minuteOfDay < 18 * 60;
            std::snprintf(mac, sizeof mac, "00-1B-63-00-00-%02X", n);
        } else if (n <= 38) {
            there = minuteOfDay >= 7 * 60;
            std::snprintf(mac, sizeof mac, "06-%02X-%02X-00-00-%02X",
                          static_cast<unsigned>(day >> 8 & 0xFF), static_cast<unsigned>(day & 0xFF),
                          n);
        } else if (n <= 40) {
            there = random() % 5 != 0;
            std::snprintf(mac, sizeof mac, "00-1B-63-00-00-%02X", n);
        }
        if (there) {
            h.answered = 1;
            h.seen = "echo";
            h.mac = mac;
            if (n % 2 == 0) h.name = "host" + std::to_string(n) + ".lan.example";
        }
        r.hosts.push_back(std::move(h));
    }
    return r;
}

// Records `count` generated sweeps ending now into a new history at path.
void Generate(const std::string& path, long count) {
    History::Options o;
    o.keepDays = kMaxKeepDays;
    History h(path, o);
    const TimePoint first = std::chrono::system_clock::now() - count * kEvery;
    std::mt19937 random(25);
    std::vector<SweepResult> day;
    for (long i = 0; i < count; ++i) {
        day.push_back(Generated(i, first, random));
        if (day.size() == 288 || i + 1 == count) {
            h.RecordAll(day, SweepSource::Script);
            day.clear();
        }
    }
}

double FileMb(const std::string& path) {
    struct stat st {};
    double bytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"})
        if (::stat((path + suffix).c_str(), &st) == 0) bytes += static_cast<double>(st.st_size);
    return bytes / (1024 * 1024);
}

}  // namespace

int main() {
    testsupport::IsolateProcess();
    const Subnet subnet{{192, 0, 2}};

    // 90 days of one subnet.
    const std::string season = testsupport::MakeTempDir("season") + "/history.db";
    auto t0 = Clock::now();
    Generate(season, 90L * 24 * 12);
    std::printf(
        "90 days of 5-minute sweeps of one subnet (25920 sweeps, 40 devices): %.1f MB, "
        "generated in %.0f s\n",
        FileMb(season), Ms(t0, Clock::now()) / 1000);

    // 100,000 sweeps, in the profile folder of a Tessor of its own.
    const std::string prog = testsupport::MakeTempDir("prog");
    std::filesystem::create_hard_link(testsupport::BuildBinDir() + "/Tessor", prog + "/Tessor");
    const std::string big = prog + "/history.db";
    t0 = Clock::now();
    Generate(big, 100000);
    std::printf("100000 sweeps: %.1f MB, generated in %.0f s\n", FileMb(big),
                Ms(t0, Clock::now()) / 1000);
    {
        History::Options o;
        o.keepDays = kMaxKeepDays;
        History h(big, o);
        std::mt19937 random(26);
        const TimePoint next = std::chrono::system_clock::now();
        std::vector<SweepResult> sweeps;
        for (int i = 0; i < kRuns; ++i)
            sweeps.push_back(Generated(100000 + i, next - 100000L * kEvery, random));
        std::printf("  record a sweep: median %.2f ms\n", MedianMs(kRuns, [&](int i) {
                        h.Record(sweeps[static_cast<std::size_t>(i)], SweepSource::Script);
                    }));
        SweepResult probe = Generated(100000 + kRuns, next - 100000L * kEvery, random);
        std::printf("  mark a sweep's changes: median %.2f ms\n",
                    MedianMs(kRuns, [&](int) { h.MarkChanges(probe); }));
        std::printf(
            "  every address's first and last sighting and change (the window's): "
            "median %.2f ms\n",
            MedianMs(kRuns, [&](int) { h.Addresses(subnet); }));
    }
    for (const auto& [n, what] : std::vector<std::pair<int, const char*>>{
             {7, "always there"}, {33, "there by day"}, {39, "misses 1 sweep in 5"}}) {
        const int host = n;  // clang before 16 lets no lambda capture a structured binding
        std::size_t spans = 0, bytes = 0;
        const double inside = MedianMs(kRuns, [&](int) {
            History h(big);
            const auto timeline = h.Timeline(subnet, host);
            spans = timeline.size();
            bytes = WriteTimeline(subnet, host, timeline, ReportFormat::Text).size();
        });
        const std::string ip = "192.0.2." + std::to_string(host);
        std::vector<double> whole;
        for (int i = 0; i < 11; ++i) {
            const auto a = Clock::now();
            if (bench::RunQuiet(prog + "/Tessor", {"--history", ip}) == 0)
                whole.push_back(Ms(a, Clock::now()));
        }
        std::printf(
            "  --history %s (%s, %zu spans, %zu bytes): median %.1f ms in process, "
            "%.1f ms from start to exit\n",
            ip.c_str(), what, spans, bytes, inside, Median(whole));
    }

    // A new history: the first sweeps of a subnet.
    const std::string fresh = testsupport::MakeTempDir("fresh") + "/history.db";
    History h(fresh);
    std::mt19937 random(27);
    const TimePoint first = std::chrono::system_clock::now() - kRuns * kEvery;
    std::vector<SweepResult> sweeps;
    for (int i = 0; i < kRuns; ++i) sweeps.push_back(Generated(i, first, random));
    std::printf("record a sweep in a new history: median %.2f ms\n", MedianMs(kRuns, [&](int i) {
                    h.Record(sweeps[static_cast<std::size_t>(i)], SweepSource::Script);
                }));
    return 0;
}
