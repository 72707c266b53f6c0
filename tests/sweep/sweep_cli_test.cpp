// SPDX-License-Identifier: MIT
// `Tessor --sweep`, the sweep run from a script: the real program as a
// subprocess for its arguments, its exit codes and its reports, and the run
// itself in this process where the test changes the network between rounds.
// Sweeps address only the test LAN 192.0.2 inside the private namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/files/fileio.h"
#include "platform/process/session.h"
#include "settings/ini.h"
#include "sweep/Csv.h"
#include "sweep/Headless.h"
#include "sweep/Sweep.h"
#include "sweep/Workers.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"

namespace {

using namespace settings;

using namespace sweep;

using testsupport::TestLan;
using namespace std::chrono_literals;

// A network of this process's own: a test may change its ping_group_range.
[[maybe_unused]] testing::Environment* const gEnv =
    testing::AddGlobalTestEnvironment(new testsupport::PrivateNetwork);

struct Outcome {
    int code = -1;
    std::string out, err;
};

// Runs `program args...` (found on PATH when it has no slash) with `env` (the
// test's own when empty), its output collected in files.
Outcome Spawn(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {}) {
    const std::string dir = testsupport::MakeTempDir("run");
    testsupport::SpawnOptions options;
    options.env = env;
    options.streams = {"/dev/null", dir + "/out", dir + "/err"};
    Outcome o;
    o.code = testsupport::Run(program, args, options);
    platform::ReadAll(dir + "/out", o.out);
    platform::ReadAll(dir + "/err", o.err);
    return o;
}

// A program folder of its own holding Tessor (a hard link, so that the
// program's folder, where it keeps profile files and sweeps, is this one)
// and, when asked, Morvel beside it.
std::string ProgramFolder(bool withMorvel) {
    const std::string dir = testsupport::MakeTempDir("prog");
    const std::string bin = testsupport::BuildBinDir();
    std::error_code ec;
    std::filesystem::create_hard_link(bin + "/Tessor", dir + "/Tessor", ec);
    if (ec) std::filesystem::copy_file(bin + "/Tessor", dir + "/Tessor");
    if (withMorvel) std::filesystem::create_symlink(bin + "/Morvel", dir + "/Morvel");
    return dir;
}

std::vector<std::vector<std::string>> CsvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    CsvReader reader(text);
    std::vector<std::string> fields;
    while (reader.Next(fields)) rows.push_back(fields);
    EXPECT_FALSE(reader.Malformed());
    return rows;
}

// The hosts a CSV report shows answering every one of `rounds` rounds, and
// whether every other host answered none.
std::set<int> AnsweredAll(const std::string& csv, const std::string& rounds, bool* othersNone) {
    std::set<int> all;
    *othersNone = true;
    auto rows = CsvRows(csv);
    EXPECT_EQ(rows.size(), 256u) << csv;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (rows[i].size() != rows[0].size()) continue;
        if (rows[i][2] == rounds && rows[i][3] == rounds)
            all.insert(std::stoi(rows[i][0]));
        else if (rows[i][2] != "0")
            *othersNone = false;
    }
    return all;
}

// The serving Morvel (not its registration run) that the program `parent`
// started, once there is one.
pid_t MorvelOf(pid_t parent) {
    pid_t found = -1;
    testsupport::WaitFor(
        [&] {
            for (pid_t pid : testsupport::OwnMorvels()) {
                std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
                const std::string args((std::istreambuf_iterator<char>(cmdline)), {});
                if (args.find("-Embedding") == std::string::npos) continue;
                std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
                std::string line;
                std::getline(stat, line);
                const auto close = line.rfind(')');
                if (close != std::string::npos && close + 4 < line.size() &&
                    std::stoi(line.substr(close + 4)) == parent)
                    found = pid;
            }
            return found > 0;
        },
        std::chrono::seconds(20));
    return found;
}

int Threads(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return 0;
}

// Private sessions still in the user's session folder.
int PrivateSessions() {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(
             std::string(std::getenv("XDG_RUNTIME_DIR")) + "/varnex", ec))
        n += e.path().filename().string().rfind("sweep-", 0) == 0;
    return n;
}

TEST(SweepCli, BadArgumentsGiveUsageAndExitTwo) {
    const std::string tessor = ProgramFolder(false) + "/Tessor";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--sweep", "300.1.1"},
                                                 {"--sweep", "1.2"},
                                                 {"--sweep", "a.b.c"},
                                                 {"--sweep"},
                                                 {"--mac", "--sweep="},
                                                 {"--sweep", "192.0.2", "--format", "xml"},
                                                 {"--sweep", "192.0.2", "--rounds", "abc"},
                                                 {"--sweep", "192.0.2", "--rounds", "0"},
                                                 {"--sweep", "192.0.2", "--rounds=-3"},
                                                 {"--sweep", "192.0.2", "--rounds", "2.6"},
                                                 {"--sweep", "192.0.2", "--fail-on", "gone"},
                                                 {"--sweep", "192.0.2", "--timeout", "3e2"},
                                                 {"--history", "192.0.2.0"}}) {
        Outcome o = Spawn(tessor, args);
        EXPECT_EQ(o.code, 2) << args.back();
        EXPECT_EQ(o.out, "") << args.back();
        const bool history = args[0] == "--history";
        EXPECT_NE(o.err.find(history ? "usage: Tessor --history" : "usage: Tessor --sweep A.B.C"),
                  std::string::npos)
            << o.err;
    }
}

TEST(SweepCli, MissingMorvelGivesItsReasonAndExitOne) {
    // A session of its own: no Morvel running and none registered.
    const std::string root = testsupport::MakeTempDir("session");
    std::filesystem::create_directories(root + "/run");
    std::filesystem::permissions(root + "/run", std::filesystem::perms::owner_all);
    const std::string prog = ProgramFolder(false);
    Outcome o = Spawn(prog + "/Tessor", {"--sweep", "192.0.2"},
                      {"XDG_RUNTIME_DIR=" + root + "/run", "XDG_DATA_HOME=" + root + "/data",
                       "HOME=" + root, "PATH=/usr/bin:/bin"});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find(prog + "/Morvel"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("No such file"), std::string::npos) << o.err;
}

TEST(SweepCli, ClosedStandardStreamsStillSweep) {
    const std::string prog = ProgramFolder(true);
    const std::string dir = testsupport::MakeTempDir("closed");
    testsupport::SpawnOptions options;
    options.streams = {"-", dir + "/out", "-"};
    EXPECT_EQ(testsupport::Run(prog + "/Tessor", {"--sweep", "127.0.0"}, options), 0);
    std::string out;
    platform::ReadAll(dir + "/out", out);
    EXPECT_NE(out.find("127.0.0.0/24: 255 of 255 answered"), std::string::npos) << out;
    EXPECT_EQ(PrivateSessions(), 0);
}

// Where Morvel may open no ICMP socket (ping sockets not allowed for any
// group, no raw-socket right), the script says so instead of "0 answered".
TEST(SweepCli, AMorvelWithoutIcmpRightsExitsOneWithTheReasonAndKeepsNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop the raw-socket right for a child";
    const std::string prog = ProgramFolder(true);
    const std::string tessor = prog + "/Tessor";
    const std::string dir = testsupport::MakeTempDir("noicmp");
    const std::string outPath = dir + "/out", errPath = dir + "/err";
    // Only system calls after the fork: the test has threads.
    pid_t child = testsupport::Fork([&] {
        if (::unshare(CLONE_NEWNET) != 0) return 77;
        const int range = ::open("/proc/sys/net/ipv4/ping_group_range", O_WRONLY | O_CLOEXEC);
        if (range < 0 || ::write(range, "1 0", 3) != 3) return 77;
        ::close(range);
        // Gone from the bounding set, the right cannot come back at exec.
        if (::prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0) != 0) return 77;
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) return 76;
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execl(tessor.c_str(), tessor.c_str(), "--sweep", "127.0.0", static_cast<char*>(nullptr));
        return 127;
    });
    ASSERT_GT(child, 0);
    const int code = testsupport::Wait(child, std::chrono::seconds(60)).value_or(-1);
    if (code == 77) GTEST_SKIP() << "cannot make a network namespace or drop a capability here";
    std::string out, err;
    platform::ReadAll(outPath, out);
    platform::ReadAll(errPath, err);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("cannot send echoes"), std::string::npos) << err;
    EXPECT_NE(err.find("ping_group_range"), std::string::npos) << err;
    EXPECT_NE(err.find("setcap cap_net_raw+ep " + testsupport::BuildBinDir() + "/Morvel"),
              std::string::npos)
        << err;
    EXPECT_FALSE(std::filesystem::exists(prog + "/history.db"));
}

TEST(SweepCli, AStoppedMorvelEndsTheSweepWithExitOneInSeconds) {
    const std::string prog = ProgramFolder(true);
    const std::string dir = testsupport::MakeTempDir("stopped");
    testsupport::SpawnOptions options;
    options.streams = {"/dev/null", dir + "/out", dir + "/err"};
    testsupport::Child tessor =
        testsupport::Spawn(prog + "/Tessor", {"--sweep", "127.0.0", "--rounds", "9999"}, options);
    ASSERT_TRUE(tessor.ok());
    const pid_t morvel = MorvelOf(tessor.pid);
    ASSERT_GT(morvel, 0);
    // Stopped once its 510 objects (threads) exist, while the rounds go on.
    EXPECT_TRUE(
        testsupport::WaitFor([&] { return Threads(morvel) > 510; }, std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(testsupport::Signal(morvel, SIGSTOP));
    const auto stopped = std::chrono::steady_clock::now();
    const auto code = testsupport::Wait(tessor.pid, std::chrono::seconds(30));
    const auto took = std::chrono::steady_clock::now() - stopped;
    if (!code) testsupport::End(tessor.pid);
    std::string err;
    platform::ReadAll(dir + "/err", err);
    EXPECT_EQ(code, std::optional<int>(1)) << err;
    EXPECT_LT(took, std::chrono::seconds(10)) << "the script waited on its stopped Morvel";
    EXPECT_NE(err.find("lost the worker host"), std::string::npos) << err;
    // Its private Morvel, which served no one else, did not stay behind.
    EXPECT_TRUE(testsupport::WaitFor([] { return testsupport::OwnMorvels().empty(); }));
    EXPECT_EQ(PrivateSessions(), 0);
    EXPECT_FALSE(std::filesystem::exists(prog + "/history.db"));
}

// This process's environment with `changes` ("NAME=value") put in.
std::vector<std::string> EnvironWith(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(changes.begin(), changes.end(),
                         [&](const std::string& c) { return c.starts_with(name); }))
            env.push_back(entry);
    }
    env.insert(env.end(), changes.begin(), changes.end());
    return env;
}

// A script reads English under every locale, a Chinese one asking for
// Chinese messages included: the usage, a system error text (no Morvel), a
// refused profile file during a loopback sweep.
TEST(SweepCli, EverythingAScriptReadsIsEnglishUnderEveryLocale) {
    const std::string prog = ProgramFolder(true), alone = ProgramFolder(false);
    std::filesystem::create_directory(prog + "/Ps.ini");
    // Without Morvel: a session of its own, where none runs or is registered.
    const std::string session = testsupport::MakeTempDir("session");
    std::filesystem::create_directories(session + "/run");
    std::filesystem::permissions(session + "/run", std::filesystem::perms::owner_all);
    for (const char* locale : {"zh_CN.GBK", "en_US.UTF-8", "C"}) {
        const std::vector<std::string> lang{std::string("LC_ALL=") + locale, "LANGUAGE=zh_CN:zh"};
        std::vector<std::string> lonely = lang;
        lonely.insert(lonely.end(), {"XDG_RUNTIME_DIR=" + session + "/run",
                                     "XDG_DATA_HOME=" + session + "/data"});
        std::string all;
        for (const auto& [tessor, args, env] : std::vector<
                 std::tuple<std::string, std::vector<std::string>, std::vector<std::string>>>{
                 {prog, {"--help"}, lang},
                 {prog, {"--sweep", "1.2"}, lang},
                 {alone, {"--sweep", "127.0.0"}, lonely},
                 {prog, {"--sweep", "127.0.0"}, lang}}) {
            Outcome o = Spawn(tessor + "/Tessor", args, EnvironWith(env));
            all += o.out + o.err;
        }
        EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](char c) { return c > 0; }))
            << locale << ":\n"
            << all;
        for (const std::string& told : {prog + "/Ps.ini", std::string("No such file")})
            EXPECT_NE(all.find(told), std::string::npos) << locale << ":\n" << all;
    }
}

// The column named `name` of a CSV report's header.
std::size_t Column(const std::vector<std::string>& header, const std::string& name) {
    const auto at = std::find(header.begin(), header.end(), name);
    EXPECT_NE(at, header.end()) << name;
    return static_cast<std::size_t>(at - header.begin());
}

TEST(SweepCli, KeptSweepsAreImportedOnceAndTheHistoryListsThem) {
    const std::string prog = ProgramFolder(false);
    std::filesystem::create_directory(prog + "/sweeps");
    const std::string kept =
        "host,ip,answered,rounds,share,mac,vendor,remark,change\r\n"
        "1,192.0.2.1,1,1,100,00-1B-63-00-00-01,,,\r\n";
    std::string rows = kept;
    for (int i = 2; i <= 255; ++i)
        rows += std::to_string(i) + ",192.0.2." + std::to_string(i) + ",0,1,0,,,,\r\n";
    ASSERT_TRUE(platform::ReplaceFile(prog + "/sweeps/192.0.2.csv", rows));
    for (int run = 0; run < 2; ++run) {
        Outcome subnets = Spawn(prog + "/Tessor", {"--history", "--format", "csv"});
        EXPECT_EQ(subnets.code, 0) << subnets.err;
        EXPECT_EQ(subnets.out.rfind("subnet,sweeps,first,last,devices\r\n192.0.2,1,", 0), 0u)
            << subnets.out;
    }
    Outcome devices = Spawn(prog + "/Tessor", {"--history", "192.0.2"});
    EXPECT_EQ(devices.code, 0) << devices.err;
    EXPECT_EQ(devices.out.rfind("00-1B-63-00-00-01  192.0.2.1 ", 0), 0u) << devices.out;
    EXPECT_NE(devices.out.find("Apple, Inc."), std::string::npos) << devices.out;
    std::string left;
    platform::ReadAll(prog + "/sweeps/192.0.2.csv", left);
    EXPECT_EQ(left, rows);
    // Nothing to show and nothing made where there is no history.
    const std::string empty = ProgramFolder(false);
    Outcome none = Spawn(empty + "/Tessor", {"--history", "10.0.0.1", "--format", "json"});
    EXPECT_EQ(none.code, 0) << none.err;
    EXPECT_EQ(none.out, "{\"ip\": \"10.0.0.1\", \"seen\": [\n]}\n");
    EXPECT_FALSE(std::filesystem::exists(empty + "/history.db"));
}

// A history that is not ours is left as it is, the sweep printing its result
// and exiting 1 with the reason; one that another program holds for a moment
// is waited for (the bound itself: History's own test).
TEST(SweepCli, AForeignHistoryIsLeftAsItIsAndOneHeldForAMomentIsWaitedFor) {
    const std::string prog = ProgramFolder(true);
    ASSERT_TRUE(platform::ReplaceFile(prog + "/history.db", "my own notes\n"));
    Outcome foreign = Spawn(prog + "/Tessor", {"--sweep", "127.0.0", "--changes"});
    EXPECT_EQ(foreign.code, 1);
    EXPECT_NE(foreign.out.find("127.0.0.0/24: 255 of 255 answered"), std::string::npos);
    EXPECT_NE(foreign.err.find(prog + "/history.db is not a history of Varnex"), std::string::npos)
        << foreign.err;
    std::string left;
    platform::ReadAll(prog + "/history.db", left);
    EXPECT_EQ(left, "my own notes\n");

    std::filesystem::remove(prog + "/history.db");
    ASSERT_EQ(Spawn(prog + "/Tessor", {"--sweep", "127.0.0"}).code, 0);
    // Held for a second by another program: the sweep waits and records.
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open((prog + "/history.db").c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([holder] {
        std::this_thread::sleep_for(1s);
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
    });
    Outcome held = Spawn(prog + "/Tessor", {"--sweep", "127.0.0", "--format", "csv"});
    release.join();
    EXPECT_EQ(held.code, 0) << held.err;
    EXPECT_EQ(CsvRows(held.out).size(), 256u);
    Outcome subnets = Spawn(prog + "/Tessor", {"--history"});
    EXPECT_EQ(subnets.out.rfind("127.0.0      2 sweeps ", 0), 0u) << subnets.out;
}

class SweepCliLan : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
        ASSERT_TRUE(testsupport::WaitFor([] { return testsupport::OwnMorvels().empty(); },
                                         std::chrono::seconds(30)));
    }
    static void FlushNeighbours() {
        ASSERT_EQ(Spawn("ip", {"neigh", "flush", "dev", "tlan0"}).code, 0);
    }
};

// One LAN, three runs of the real program: the JSON of the first, the changes
// in the CSV of the second, the text of the third.
TEST_F(SweepCliLan, ReportsAnsweringHostsTheirMacsVendorsRemarksAndChanges) {
    TestLan lan({3, 7, 9});
    // A globally administered MAC with a registered prefix (Apple's 00-1B-63).
    lan.IpInHosts({"link", "set", "dev", "h9", "address", "00:1b:63:00:00:09"});
    FlushNeighbours();
    const std::string prog = ProgramFolder(true);
    ASSERT_TRUE(WriteIni("PS", "192.0.2.3", "rack 2, \"left\"\r\nsecond line", prog + "/Ps.ini"));

    Outcome first = Spawn(prog + "/Tessor", {"--sweep", "192.0.2", "--mac", "--format", "json"});
    ASSERT_EQ(first.code, 0) << first.err;
    EXPECT_EQ(first.err, "");
    // A real JSON parser reads it back; it prints what the test compares.
    const std::string json = testsupport::MakeTempDir("json") + "/report.json";
    std::ofstream(json) << first.out;
    if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "python3 is not installed";
    Outcome parsed = Spawn(
        "/usr/bin/python3",
        {"-c",
         "import json,sys\n"
         "d=json.load(open(sys.argv[1]))\n"
         "print(d['subnet'], d['rounds'], len(d['hosts']), d['started'][-1])\n"
         "for h in d['hosts']:\n"
         "  if h['answered'] or h['mac'] or h['remark'] or h['seen'] != 'none':\n"
         "    print(h['host'], h['ip'], h['answered'], h['share'], h['mac'], repr(h['vendor']), "
         "repr(h['remark']), h['seen'], repr(h['name']), h['local_mac'])\n",
         json});
    EXPECT_EQ(parsed.out,
              "192.0.2 1 255 Z\n"
              "3 192.0.2.3 1 100 02-00-00-00-00-03 '' 'rack 2, \"left\"\\r\\nsecond line' echo '' "
              "True\n"
              "7 192.0.2.7 1 100 02-00-00-00-00-07 '' '' echo '' True\n"
              "9 192.0.2.9 1 100 00-1B-63-00-00-09 'Apple, Inc.' '' echo '' False\n"
              // Our own side of the LAN answers too, with its interface's MAC.
              "254 192.0.2.254 1 100 02-00-00-00-00-FE '' '' echo '' True\n")
        << parsed.err;
    EXPECT_TRUE(std::filesystem::exists(prog + "/history.db"));

    lan.SetAnswering(3, false);
    lan.SetAnswering(5, true);
    lan.IpInHosts({"link", "set", "dev", "h7", "address", "02:00:00:00:01:07"});
    FlushNeighbours();
    Outcome second =
        Spawn(prog + "/Tessor", {"--sweep", "192.0.2", "--mac", "--format=csv", "--changes"});
    ASSERT_EQ(second.code, 0) << second.err;
    auto rows = CsvRows(second.out);
    ASSERT_EQ(rows.size(), 256u);
    // Today's nine columns first, unchanged; new ones only after them.
    EXPECT_EQ(rows[0], (std::vector<std::string>{"host", "ip", "answered", "rounds", "share", "mac",
                                                 "vendor", "remark", "change", "seen", "name",
                                                 "local_mac", "previous_mac", "previous_ip"}));
    std::map<int, std::string> changed;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 14u);
        EXPECT_EQ(rows[i][0], std::to_string(i));
        if (!rows[i][8].empty()) changed[static_cast<int>(i)] = rows[i][8];
    }
    EXPECT_EQ(changed, (std::map<int, std::string>{{3, "down"}, {5, "up"}, {7, "mac"}}));
    EXPECT_EQ(rows[3][7], "rack 2, \"left\"\r\nsecond line");
    EXPECT_EQ(rows[7][5], "02-00-00-00-01-07");

    Outcome third = Spawn(prog + "/Tessor", {"--sweep", "192.0.2"});
    ASSERT_EQ(third.code, 0) << third.err;
    std::istringstream lines(third.out);
    std::vector<std::string> text;
    for (std::string l; std::getline(lines, l);) text.push_back(l);
    ASSERT_EQ(text.size(), 5u) << third.out;
    EXPECT_EQ(text[0].rfind("192.0.2.5 ", 0), 0u) << third.out;
    EXPECT_EQ(text[4].rfind("192.0.2.0/24: 4 of 255 answered, 1 round, ", 0), 0u) << third.out;
}

// Script sweeps never share slots: two at once, and one beside a window's
// engine in this process, each get what they would get alone.
TEST_F(SweepCliLan, ScriptSweepsAndAWindowSideBySideEachGetTheirOwnResult) {
    TestLan lan({2, 3, 5, 8});
    const std::set<int> lanAnswers{2, 3, 5, 8, TestLan::kScannerHost};
    std::set<int> everyHost;
    for (int i = 1; i <= 255; ++i) everyHost.insert(i);
    const std::string prog = ProgramFolder(true);
    auto start = [&](const std::string& subnet, const std::string& rounds) {
        const std::string dir = testsupport::MakeTempDir("side");
        testsupport::SpawnOptions options;
        options.streams = {"/dev/null", dir + "/out", dir + "/err"};
        auto child = testsupport::Spawn(
            prog + "/Tessor", {"--sweep", subnet, "--rounds", rounds, "--format", "csv"}, options);
        return std::make_pair(child, dir);
    };
    auto finish = [&](const std::pair<testsupport::Child, std::string>& run) {
        Outcome o;
        o.code = run.first.ok() ? testsupport::Wait(run.first.pid).value_or(-1) : -1;
        platform::ReadAll(run.second + "/out", o.out);
        platform::ReadAll(run.second + "/err", o.err);
        return o;
    };
    bool othersNone = false;

    // Two script sweeps of two subnets at once.
    auto a = start("127.0.0", "3");
    auto b = start("192.0.2", "3");
    Outcome loop = finish(a), onLan = finish(b);
    ASSERT_EQ(loop.code, 0) << loop.err;
    ASSERT_EQ(onLan.code, 0) << onLan.err;
    EXPECT_EQ(AnsweredAll(loop.out, "3", &othersNone), everyHost);
    EXPECT_EQ(AnsweredAll(onLan.out, "3", &othersNone), lanAnswers);
    EXPECT_TRUE(othersNone);

    // A window's engine on the LAN while a script sweeps loopback, then once
    // more after the script has closed its own workers.
    struct Owner : sweep::SweepListener {
        std::vector<int> stopped;
        std::string failed;
        void WorkersStopped(const std::vector<int>& hosts) override { stopped = hosts; }
        void SweepFailed(const std::string& what) override { failed = what; }
    } owner;
    sweep::Sweep engine(owner);
    sweep::WorkerStart workers = sweep::StartWorkers();
    ASSERT_TRUE(workers.ok()) << workers.failure;
    engine.SetPings(std::move(workers.pings));
    sweep::SweepInput input;
    input.octets = {192, 0, 2};
    auto sweepOnce = [&](std::int32_t rounds) {
        input.rounds = rounds;
        engine.DoPing(input);
        while (engine.Sweeping()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            engine.Timer1_Timer();
        }
        std::set<int> answered;
        for (int i = 1; i <= 255; ++i) {
            if (engine.Host(i).OKCount == engine.RoundCount()) {
                answered.insert(i);
            } else {
                EXPECT_EQ(engine.Host(i).OKCount, 0) << i;
            }
        }
        return answered;
    };
    auto script = start("127.0.0", "3");
    EXPECT_EQ(sweepOnce(4), lanAnswers);
    Outcome beside = finish(script);
    ASSERT_EQ(beside.code, 0) << beside.err;
    EXPECT_EQ(AnsweredAll(beside.out, "3", &othersNone), everyHost);
    EXPECT_EQ(sweepOnce(1), lanAnswers);
    EXPECT_TRUE(owner.stopped.empty()) << sweep::HostList(owner.stopped);
    EXPECT_EQ(owner.failed, "");
    engine.ClosePings();
    engine.ReleasePings();
    EXPECT_EQ(PrivateSessions(), 0);
}

// In this process, so that the host can come and go between the engine's
// rounds: it answers rounds 1 and 3 of 4.
TEST_F(SweepCliLan, HostAnsweringEverySecondRoundHasShareFifty) {
    TestLan lan({4, 5});
    SweepOptions o;
    o.subnet = Subnet{{192, 0, 2}};
    o.rounds = 4;
    o.format = ReportFormat::Csv;
    std::ostringstream out, err;
    int code =
        sweep::RunSweep(o, out, err, [&](int round) { lan.SetAnswering(5, round % 2 == 1); });
    ASSERT_EQ(code, 0) << err.str();
    auto rows = CsvRows(out.str());
    ASSERT_EQ(rows.size(), 256u);
    EXPECT_EQ(std::vector<std::string>(rows[4].begin() + 2, rows[4].begin() + 5),
              (std::vector<std::string>{"4", "4", "100"}));
    EXPECT_EQ(std::vector<std::string>(rows[5].begin() + 2, rows[5].begin() + 5),
              (std::vector<std::string>{"2", "4", "50"}));
    EXPECT_EQ(rows[6][2], "0");
}

// A sequence of sweeps of the test LAN and the changes each finds. The MACs
// of the documentation range are globally administered, the LAN's own
// 02-00-... ones are not.
TEST_F(SweepCliLan, ChangesComeFromTheHistoryAndFailOnExitsThreeForThem) {
    TestLan lan({3, 7, 9});
    auto mac = [&](int host, int last) {
        char text[18];
        std::snprintf(text, sizeof text, "00:00:5e:00:53:%02x", last);
        std::string link = "h";
        link += std::to_string(host);
        lan.IpInHosts({"link", "set", "dev", link, "address", text});
    };
    mac(3, 3);
    mac(7, 7);
    mac(9, 9);
    FlushNeighbours();
    const std::string prog = ProgramFolder(true);
    // Each sweep's exit code and its changes, "host:change[:before]".
    auto sweep = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--sweep", "192.0.2", "--format", "csv", "--changes"});
        Outcome o = Spawn(prog + "/Tessor", args);
        auto rows = CsvRows(o.out);
        std::string changes = std::to_string(o.code);
        if (rows.size() != 256) return changes + " " + o.err;
        const std::size_t change = Column(rows[0], "change"), mac = Column(rows[0], "previous_mac"),
                          ip = Column(rows[0], "previous_ip");
        for (std::size_t i = 1; i < rows.size(); ++i)
            if (!rows[i][change].empty())
                changes += " " + rows[i][0] + ":" + rows[i][change] + rows[i][mac] + rows[i][ip];
        return changes;
    };
    EXPECT_EQ(sweep({"--mac", "--fail-on", "new"}), "0");
    lan.SetAnswering(5, true);
    mac(5, 5);
    lan.SetAnswering(3, false);
    FlushNeighbours();
    EXPECT_EQ(sweep({"--mac", "--fail-on", "new"}), "3 3:down 5:new");
    lan.SetAnswering(5, false);
    EXPECT_EQ(sweep({"--mac", "--fail-on", "new"}), "0 5:down");
    // Back: "up", not new. Host 7 with the MAC that host 3 had two sweeps ago.
    lan.SetAnswering(5, true);
    mac(5, 5);
    mac(7, 3);
    FlushNeighbours();
    EXPECT_EQ(sweep({"--mac", "--fail-on", "new"}), "0 5:up 7:mac00-00-5E-00-53-07");
    // 9's MAC now at 11; a privacy MAC never seen before at 20 is only up.
    lan.SetAnswering(9, false);
    lan.SetAnswering(11, true);
    mac(11, 9);
    lan.SetAnswering(20, true);
    FlushNeighbours();
    EXPECT_EQ(sweep({"--mac", "--fail-on=new"}), "0 9:down 11:moved192.0.2.9 20:up");
    // MACs not read, then read again: never a change of MAC.
    EXPECT_EQ(sweep({"--fail-on", "new,moved,mac,up,down"}), "0");
    EXPECT_EQ(sweep({"--mac", "--fail-on", "new,moved,mac,up,down"}), "0");
    // 11 drops echoes now: seen by ARP, with the MAC of its reply, unchanged.
    lan.DropEcho(11);
    EXPECT_EQ(sweep({"--fail-on", "new,moved,mac,up,down"}), "0");

    Outcome devices = Spawn(prog + "/Tessor", {"--history", "192.0.2", "--format", "csv"});
    ASSERT_EQ(devices.code, 0) << devices.err;
    std::map<std::string, std::string> where;  // MAC: ip, sweeps
    for (const auto& row : CsvRows(devices.out))
        if (row.size() > 6) where[row[0]] = row[2] + " " + row[6];
    EXPECT_EQ(where["00-00-5E-00-53-03"], "192.0.2.7 4");  // not read in the sixth and eighth
    EXPECT_EQ(where["00-00-5E-00-53-07"], "192.0.2.7 3");
    EXPECT_EQ(where["00-00-5E-00-53-09"], "192.0.2.11 7");
    EXPECT_EQ(where["02-00-00-00-00-14"], "192.0.2.20 2");
    Outcome timeline = Spawn(prog + "/Tessor", {"--history", "192.0.2.7", "--format", "csv"});
    auto spans = CsvRows(timeline.out);
    ASSERT_EQ(spans.size(), 3u) << timeline.out;
    EXPECT_EQ(spans[1][2] + " " + spans[1][3], "3 00-00-5E-00-53-07");
    EXPECT_EQ(spans[2][2] + " " + spans[2][3], "5 00-00-5E-00-53-03");
}

// The fields of host n in a CSV report: seen, mac, answered, name.
struct Row {
    std::string seen, mac, answered, name;
    bool operator==(const Row&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Row& r) {
    return o << r.seen << " " << r.mac << " " << r.answered << " '" << r.name << "'";
}
Row RowOf(const std::vector<std::vector<std::string>>& rows, int n) {
    if (rows.size() != 256u || rows[static_cast<std::size_t>(n)].size() != 14u) return {};
    const auto& f = rows[static_cast<std::size_t>(n)];
    return {f[9], f[5], f[2], f[10]};
}

std::vector<std::vector<std::string>> CsvSweep(const std::string& prog,
                                               std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--sweep", "192.0.2", "--format", "csv"};
    args.insert(args.end(), more.begin(), more.end());
    Outcome o = Spawn(prog + "/Tessor", args);
    EXPECT_EQ(o.code, 0) << o.err;
    return CsvRows(o.out);
}

// A host that drops echoes is found by Morvel's ARP requests, in every
// sweep, with the MAC of its reply; one gone since is not, although the
// kernel still holds its entry.
TEST_F(SweepCliLan, AHostThatDropsEchoesIsSeenByArpAndOneGoneIsNone) {
    TestLan lan({3, 5});
    lan.DropEcho(5);
    const std::string prog = ProgramFolder(true);
    const Row arp{"arp", TestLan::Mac(5), "0", ""};
    for (int sweep = 0; sweep < 2; ++sweep) {
        if (sweep) std::this_thread::sleep_for(1s);
        const auto rows = CsvSweep(prog);
        EXPECT_EQ(RowOf(rows, 5), arp) << sweep;
        EXPECT_EQ(RowOf(rows, 3), (Row{"echo", "", "1", ""})) << sweep;
        EXPECT_EQ(RowOf(rows, 4), (Row{"none", "", "0", ""})) << sweep;
        EXPECT_EQ(rows[5][11], "true");
    }
    Outcome text = Spawn(prog + "/Tessor", {"--sweep", "192.0.2"});
    EXPECT_NE(text.out.find("\n192.0.2.5         arp  02-00-00-00-00-05*\n192.0.2.0/24: 2 of 255 "
                            "answered, 1 by ARP only, 1 round, "),
              std::string::npos)
        << text.out;

    lan.SetAnswering(5, false);
    EXPECT_NE(Spawn("ip", {"neigh", "show", "192.0.2.5", "dev", "tlan0"}).out.find("lladdr"),
              std::string::npos);
    EXPECT_EQ(RowOf(CsvSweep(prog), 5), (Row{"none", "", "0", ""}));
}

// Where Morvel may not send ARP (ping sockets, no raw-socket right), the
// kernel's neighbour entry, confirmed when it asked for the echo, shows the
// host.
TEST_F(SweepCliLan, WithoutTheRightToSendArpTheNeighbourTableShowsAHostThatDropsEchoes) {
    if (!testsupport::PrivateNetwork::Failure().empty() || ::geteuid() != 0)
        GTEST_SKIP() << "needs root and a network of this test's own";
    TestLan lan({3, 5});
    lan.DropEcho(5);
    ASSERT_TRUE(testsupport::WriteSysctl("net/ipv4/ping_group_range", "0 2147483647"));
    const std::string tessor = ProgramFolder(true) + "/Tessor";
    const std::string out = testsupport::MakeTempDir("nocap") + "/out";
    pid_t child = testsupport::Fork([&] {
        // Gone from the bounding set, the right cannot come back at exec.
        if (::prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0) != 0) return 77;
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) return 76;
        ::dup2(fd, 1);
        ::execl(tessor.c_str(), tessor.c_str(), "--sweep", "192.0.2", "--format", "csv",
                static_cast<char*>(nullptr));
        return 127;
    });
    ASSERT_GT(child, 0);
    const int code = testsupport::Wait(child, std::chrono::seconds(60)).value_or(-1);
    testsupport::WriteSysctl("net/ipv4/ping_group_range", "1 0");
    ASSERT_EQ(code, 0);
    std::string csv;
    platform::ReadAll(out, csv);
    const auto rows = CsvRows(csv);
    EXPECT_EQ(RowOf(rows, 5), (Row{"arp", TestLan::Mac(5), "0", ""}));
    EXPECT_EQ(RowOf(rows, 3), (Row{"echo", "", "1", ""}));
}

// A phone waking its radio answers late: missed at the window's 200 ms (ARP
// still shows it), found with --timeout 500.
TEST_F(SweepCliLan, AHostAnsweringAfter300MsIsMissedAtTheDefaultAndFoundWithATimeoutOf500) {
    TestLan lan({6});
    lan.AnswerEchoAfter(6, 300ms);
    const std::string prog = ProgramFolder(true);
    EXPECT_EQ(RowOf(CsvSweep(prog), 6), (Row{"arp", TestLan::Mac(6), "0", ""}));
    EXPECT_EQ(RowOf(CsvSweep(prog, {"--timeout", "500"}), 6), (Row{"echo", "", "1", ""}));
}

// Names of the hosts seen, from the hosts file and the LAN's name server; a
// name server that never answers holds the sweep a second at most.
TEST_F(SweepCliLan, HostsSeenGetTheirNamesAndASilentNameServerCostsAtMostASecond) {
    TestLan lan({3, 4, 53});
    lan.DropEcho(4);
    lan.ServeNames(53, {{3, "three.lan.test"}, {9, "nine.lan.test"}});
    const std::string prog = ProgramFolder(true);
    {
        testsupport::ResolverFiles files("nameserver 192.0.2.53\n", "192.0.2.4 four-by-file\n");
        ASSERT_EQ(files.Problem(), "");
        const auto rows = CsvSweep(prog);
        EXPECT_EQ(RowOf(rows, 3), (Row{"echo", "", "1", "three.lan.test"}));
        EXPECT_EQ(RowOf(rows, 4), (Row{"arp", TestLan::Mac(4), "0", "four-by-file"}));
        EXPECT_EQ(RowOf(rows, 53), (Row{"echo", "", "1", ""}));  // no record
        EXPECT_EQ(RowOf(rows, 9), (Row{"none", "", "0", ""}));   // not seen: not asked
    }
    lan.DropDns(53);
    testsupport::ResolverFiles files("nameserver 192.0.2.53\n", "");
    ASSERT_EQ(files.Problem(), "");
    SweepOptions o;
    o.subnet = Subnet{{192, 0, 2}};
    o.format = ReportFormat::Csv;
    std::ostringstream out, err;
    std::chrono::steady_clock::time_point roundStart;
    ASSERT_EQ(
        sweep::RunSweep(o, out, err, [&](int) { roundStart = std::chrono::steady_clock::now(); }),
        0)
        << err.str();
    // The round itself, then at most the second for the names.
    EXPECT_LT(std::chrono::steady_clock::now() - roundStart, 2s);
    EXPECT_EQ(RowOf(CsvRows(out.str()), 3), (Row{"echo", "", "1", ""}));
}

}  // namespace
