// SPDX-License-Identifier: MIT
// The worker host under the sweep's load: command-to-answer latency (rung by
// the proxy, and written as bare bytes that wait for the watcher's scan), full
// rounds of 255 proxies polled every 50 ms (loopback and the test LAN), and
// Morvel's memory, threads, idle CPU and wake-ups with 255 workers serving,
// against 255 apartments on plain 50 ms timers (how every worker used to
// wait) and a bare loop of 255 threads that each wake every 50 ms.
#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "contract/CCShareString.h"
#include "contract/slot.h"
#include "platform/process/process.h"
#include "platform/process/session.h"
#include "platform/threads/apartment.h"
#include "sweep/Ping.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"
#include "worker/Timer.h"

namespace {

using namespace worker;

using namespace sweep;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

pid_t FindMorvel() {
    auto pids = testsupport::OwnMorvels();
    return pids.empty() ? -1 : pids.front();
}

std::string StatusField(pid_t pid, const std::string& key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key + ":", 0) == 0) {
            auto v = line.substr(key.size() + 1);
            return v.substr(v.find_first_not_of(" \t"));
        }
    return "?";
}

// utime + stime of a process, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(f, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Context switches of every thread of a process: each sleep that ends is one.
long long ContextSwitches(pid_t pid) {
    long long total = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream f(dir + "/" + e->d_name + "/status");
            std::string line;
            while (std::getline(f, line))
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                    line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                    total += std::stoll(line.substr(line.find(':') + 1));
        }
        ::closedir(d);
    }
    return total;
}

long long OwnContextSwitches() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw + ru.ru_nivcsw;
}

double ProcessCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One round as the window runs it: command all, poll every 50 ms until none is out.
double Round(std::vector<std::unique_ptr<Ping>>& pings, const std::string& subnet, int* answered) {
    auto start = Clock::now();
    for (std::size_t i = 0; i < pings.size(); ++i) {
        pings[i]->PingIP(subnet + "." + std::to_string(i + 1), false);
        pings[i]->Pinging = true;
    }
    *answered = 0;
    for (bool out = true; out;) {
        std::this_thread::sleep_for(50ms);
        out = false;
        for (auto& p : pings) {
            if (!p->Pinging) continue;
            auto s = p->GetPing();
            if (s == 3 || s == 4) {
                p->Pinging = false;
                if (s == 3) ++*answered;
            } else {
                out = true;
            }
        }
        if (Clock::now() - start > 30s) {
            std::puts("  a round did not end within 30 s");
            break;
        }
    }
    return Ms(Clock::now() - start);
}

void Rounds(std::vector<std::unique_ptr<Ping>>& pings, const std::string& subnet,
            const char* what) {
    std::vector<double> times;
    int answered = 0;
    for (int r = 0; r < 15; ++r) times.push_back(Round(pings, subnet, &answered));
    std::printf("round of 255 on %s (%d answering): median %.1f ms, p95 %.1f ms, max %.1f ms\n",
                what, answered, Percentile(times, 0.5), Percentile(times, 0.95),
                *std::max_element(times.begin(), times.end()));
}

// 255 threads that each wake every 50 ms and read one byte.
double BareLoopShare(double seconds) {
    std::vector<unsigned char> bytes(255, 0);
    std::atomic<bool> stop{false};
    std::atomic<unsigned> sink{0};
    std::vector<std::thread> threads;
    double before = ProcessCpuSeconds();
    for (int i = 0; i < 255; ++i)
        threads.emplace_back([&, i] {
            auto next = Clock::now();
            while (!stop.load(std::memory_order_relaxed)) {
                next += 50ms;
                std::this_thread::sleep_until(next);
                sink += reinterpret_cast<volatile unsigned char&>(bytes[i]);
            }
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    return (ProcessCpuSeconds() - before) / seconds;
}

// 255 apartments whose 50 ms timers tick an empty handler: how every idle
// worker used to wait. Its CPU share, and its wake-ups per second in *wakeups.
double ApartmentTimerShare(double seconds, double* wakeups) {
    std::vector<std::unique_ptr<platform::Apartment>> apartments;
    std::vector<std::unique_ptr<Timer>> timers(255);
    for (int i = 0; i < 255; ++i) {
        apartments.push_back(std::make_unique<platform::Apartment>());
        apartments.back()->Run([&, i] {
            timers[i] = std::make_unique<Timer>();
            timers[i]->OnTimer([] {});
            timers[i]->Interval(50);
            timers[i]->Enabled(true);
        });
    }
    double before = ProcessCpuSeconds();
    long long switches = OwnContextSwitches();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double share = (ProcessCpuSeconds() - before) / seconds;
    *wakeups = static_cast<double>(OwnContextSwitches() - switches) / seconds;
    for (int i = 0; i < 255; ++i) apartments[i]->Run([&, i] { timers[i].reset(); });
    return share;
}

}  // namespace

int main() {
    testsupport::IsolateProcess();
    auto reg = testsupport::Spawn(platform::ProgramDir() + "/Morvel", {"/regsver"});
    if (!reg.ok() || testsupport::Wait(reg.pid, 20s) != std::optional<int>(0)) {
        std::puts("cannot register Morvel (is it built?)");
        return 1;
    }

    auto t0 = Clock::now();
    std::vector<std::unique_ptr<Ping>> pings;
    for (int i = 1; i <= 255; ++i) {
        pings.push_back(std::make_unique<Ping>());
        pings.back()->SetID(i);
    }
    std::printf("255 proxies created (510 objects, Morvel started): %.1f ms\n",
                Ms(Clock::now() - t0));
    pid_t morvel = FindMorvel();
    std::printf("Morvel pid %d\n", static_cast<int>(morvel));
    std::printf(
        "Morvel's descriptors with 255 slots held twice: %zu  target <= 255 + 24\n",
        morvel > 0
            ? static_cast<std::size_t>(std::distance(
                  std::filesystem::directory_iterator("/proc/" + std::to_string(morvel) + "/fd"),
                  std::filesystem::directory_iterator()))
            : 0);
    std::fflush(stdout);

    // Latency of one command, seen by a tight GetPing poll.
    std::vector<double> lat;
    Ping& one = *pings[6];
    for (int i = 0; i < 200; ++i) {
        // Commands come at any phase of the worker's tick, as a sweep's do.
        std::this_thread::sleep_for(std::chrono::microseconds(i * 50000 / 200));
        auto start = Clock::now();
        one.PingIP("127.0.0.7", false);
        while (one.GetPing() != 3) std::this_thread::sleep_for(200us);
        lat.push_back(Ms(Clock::now() - start));
    }
    std::printf(
        "PingIP to final state (loopback, 200 commands): median %.2f ms, p95 %.2f ms  target "
        "median <= 3 ms\n",
        Percentile(lat, 0.5), Percentile(lat, 0.95));

    // The same written as bare bytes, without a ring: the watcher's scan takes it.
    std::vector<double> bare;
    CCShareString writer;
    writer.Create(slot::Name(7), slot::kSize);
    for (int i = 0; i < 60; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(i * 50000 / 60));
        auto start = Clock::now();
        writer.setStr(slot::AddressField("127.0.0.7"), slot::kAddressPos);
        writer.WriteByte(slot::kPing, slot::kStatePos);
        while (one.GetPing() != 3) std::this_thread::sleep_for(200us);
        bare.push_back(Ms(Clock::now() - start));
    }
    std::printf(
        "  the same written as bare bytes, no ring (60 commands): median %.1f ms, p95 %.1f ms, max "
        "%.1f ms\n",
        Percentile(bare, 0.5), Percentile(bare, 0.95), *std::max_element(bare.begin(), bare.end()));

    // The cost of one poll on the window's thread.
    std::vector<double> polls;
    for (int r = 0; r < 1000; ++r) {
        auto start = Clock::now();
        int sum = 0;
        for (auto& p : pings) sum += p->GetPing();
        polls.push_back(Ms(Clock::now() - start) * 1000.0);
        if (sum < 0) std::puts("");
    }
    std::printf("one poll of 255 GetPing: median %.1f us, p95 %.1f us\n", Percentile(polls, 0.5),
                Percentile(polls, 0.95));

    Rounds(pings, "127.0.0", "loopback");
    std::string why;
    if (testsupport::TestLan::Usable(&why)) {
        std::set<int> answering;
        for (int i = 1; i <= 40; ++i) answering.insert(i * 6);  // 6, 12, ..., 240
        testsupport::TestLan lan(answering);
        Rounds(pings, testsupport::TestLan::kSubnet, "the test LAN (+1 local)");
    } else {
        std::printf("test LAN skipped: %s\n", why.c_str());
    }

    if (morvel > 0) {
        std::this_thread::sleep_for(1s);
        const double idle = 10.0;
        double c0 = CpuSeconds(morvel);
        long long s0 = ContextSwitches(morvel);
        std::this_thread::sleep_for(std::chrono::duration<double>(idle));
        double share = (CpuSeconds(morvel) - c0) / idle;
        double wakeups = static_cast<double>(ContextSwitches(morvel) - s0) / idle;
        double timerWakeups = 0;
        double timers = ApartmentTimerShare(5.0, &timerWakeups);
        double bareLoop = BareLoopShare(5.0);
        std::printf("Morvel with 255 workers serving: RSS %s, threads %s\n",
                    StatusField(morvel, "VmRSS").c_str(), StatusField(morvel, "Threads").c_str());
        std::printf(
            "idle Morvel over %.0f s: %.2f %% of a core, %.0f wake-ups/s  target <= 0.5 %%, <= "
            "50/s\n",
            idle, share * 100, wakeups);
        std::printf(
            "  255 apartments on plain 50 ms timers (the old idle): %.1f %% of a core, %.0f "
            "wake-ups/s\n",
            timers * 100, timerWakeups);
        std::printf("  a bare loop of 255 threads waking every 50 ms: %.1f %% of a core\n",
                    bareLoop * 100);
    } else {
        std::puts("Morvel's process not found: no memory or CPU figures");
    }
    for (auto& p : pings) p->ClosePing();
    pings.clear();
    return 0;
}
