// SPDX-License-Identifier: MIT
// A sweep run from a script, `Tessor --sweep 192.0.2`, on the test LAN (40
// answering, 215 silent hosts): one round, from process start to exit, with
// no Morvel running before, median of 7, twice: with names, which a name
// server on the LAN (dnsmasq on host 40) gives all 40, and without, where it
// has no record at all; the same LAN with fping, nmap and arp-scan in the same
// run, where installed, with names where they look them up. Their output goes
// to /dev/null. Run it through scripts/bench.sh (a private network namespace,
// and the resolver files bound in a private mount namespace): nothing but the
// test LAN is ever addressed.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/quiet.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"

using Clock = std::chrono::steady_clock;
using bench::Median;

namespace {

// Milliseconds from start to exit of `program args...`, its output discarded;
// negative when it could not be started or did not exit with 0.
double TimeRun(const std::string& program, const std::vector<std::string>& args) {
    const auto t0 = Clock::now();
    const int code = bench::RunQuiet(program, args);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    // fping exits 1 when some host is silent: that is a finished run too.
    return code == 0 || code == 1 ? ms : -1;
}

void Peer(const char* label, const char* name, const std::vector<std::string>& args) {
    const std::string path = bench::FindTool(name);
    if (path.empty()) {
        std::printf("  %-26s skipped: not installed\n", label);
        return;
    }
    std::vector<double> times;
    for (int k = 0; k < 3; ++k)
        if (double ms = TimeRun(path, args); ms >= 0) times.push_back(ms);
    if (times.empty())
        std::printf("  %-26s failed\n", label);
    else
        std::printf("  %-26s %.0f ms (median of %zu)\n", label, Median(times), times.size());
}

}  // namespace

int main() {
    testsupport::IsolateProcess();
    std::string why;
    if (!testsupport::TestLan::Usable(&why)) {
        std::printf("test LAN: %s\n", why.c_str());
        return 0;
    }
    testsupport::TestLan lan(testsupport::TestLan::Range(1, 40));
    std::map<int, std::string> names;
    for (int n = 1; n <= 40; ++n) names[n] = "host" + std::to_string(n) + ".lan.test";

    // Tessor in a program folder of its own (a hard link keeps that folder
    // its program folder), Morvel beside it.
    const std::string prog = testsupport::MakeTempDir("prog");
    const std::string bin = testsupport::BuildBinDir();
    std::error_code ec;
    std::filesystem::create_hard_link(bin + "/Tessor", prog + "/Tessor", ec);
    if (ec) std::filesystem::copy_file(bin + "/Tessor", prog + "/Tessor");
    std::filesystem::create_symlink(bin + "/Morvel", prog + "/Morvel");

    // With names: the LAN's name server has a record for each host. Without:
    // it has none, and says so at once.
    testsupport::ResolverFiles files("nameserver 192.0.2.40\n", "127.0.0.1 localhost\n");
    if (!files.Problem().empty()) {
        std::printf("resolver files: %s\n", files.Problem().c_str());
        return 0;
    }
    for (const bool named : {true, false}) {
        lan.ServeNames(40, named ? names : std::map<int, std::string>{});
        std::vector<double> times;
        for (int k = 0; k < 7; ++k) {
            testsupport::WaitFor([] { return testsupport::OwnMorvels().empty(); },
                                 std::chrono::seconds(30));
            if (double ms = TimeRun(prog + "/Tessor", {"--sweep", "192.0.2"}); ms >= 0)
                times.push_back(ms);
        }
        const char* how = named ? "40 names from the LAN's name server" : "no names";
        if (times.empty()) {
            std::printf("Tessor --sweep 192.0.2, %s: failed\n", how);
            continue;
        }
        std::printf(
            "Tessor --sweep 192.0.2 (40 answer, 1 round, Morvel not running, %s), start to exit: "
            "median %.0f ms, fastest %.0f ms (of %zu)  target <= 800 ms\n",
            how, Median(times), *std::min_element(times.begin(), times.end()), times.size());
        std::printf("  each run:");
        for (double t : times) std::printf(" %.0f", t);
        std::printf(" ms\n");
        // The peers once, with names where they look them up.
        if (!named || std::getenv("VARNEX_BENCH_NO_PEERS") != nullptr) continue;
        std::printf("the same LAN with other tools:\n");
        Peer("fping -a -g", "fping", {"-a", "-g", "192.0.2.0/24"});
        Peer("fping -a -g -i 0", "fping", {"-a", "-g", "-i", "0", "192.0.2.0/24"});
        Peer("fping -a -g -i 0 -d (names)", "fping", {"-a", "-d", "-g", "-i", "0", "192.0.2.0/24"});
        Peer("nmap -sn -n", "nmap", {"-sn", "-n", "192.0.2.0/24"});
        Peer("nmap -sn (names)", "nmap", {"-sn", "192.0.2.0/24"});
        Peer("arp-scan", "arp-scan", {"-I", "tlan0", "192.0.2.0/24"});
    }
    return 0;
}
