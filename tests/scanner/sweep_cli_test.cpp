// `Tessor --sweep`, the sweep run from a script: the real program as a
// subprocess for its arguments, its exit codes and its reports, and the run
// itself in this process where the test changes the network between rounds.
// Sweeps address only the test LAN 192.0.2 inside the private namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/fileio.h"
#include "platform/session.h"
#include "scanner/Csv.h"
#include "scanner/Headless.h"
#include "settings/ini.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"

extern char** environ;

namespace {

using testsupport::TestLan;

struct Outcome {
    int code = -1;
    std::string out, err;
};

// Runs `program args...` (found on PATH when it has no slash) with `env` (the
// test's own when empty), its output collected in files.
Outcome Spawn(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {}) {
    const std::string dir = testsupport::MakeTempDir("run");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (dir + "/out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (dir + "/err").c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    Outcome o;
    if (posix_spawnp(&pid, program.c_str(), &fa, nullptr, argv.data(),
                     env.empty() ? environ : envp.data()) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        o.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&fa);
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

TEST(SweepCli, BadArgumentsGiveUsageAndExitTwo) {
    const std::string tessor = ProgramFolder(false) + "/Tessor";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--sweep", "300.1.1"},
                                                 {"--sweep", "1.2"},
                                                 {"--sweep", "a.b.c"},
                                                 {"--sweep"},
                                                 {"--mac", "--sweep="},
                                                 {"--sweep", "192.0.2", "--format", "xml"}}) {
        Outcome o = Spawn(tessor, args);
        EXPECT_EQ(o.code, 2) << args.back();
        EXPECT_EQ(o.out, "") << args.back();
        EXPECT_NE(o.err.find("usage: Tessor --sweep A.B.C"), std::string::npos) << o.err;
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
    Outcome parsed = Spawn(
        "python3",
        {"-c",
         "import json,sys\n"
         "d=json.load(open(sys.argv[1]))\n"
         "print(d['subnet'], d['rounds'], len(d['hosts']), d['started'][-1])\n"
         "for h in d['hosts']:\n"
         "  if h['answered'] or h['mac'] or h['remark']:\n"
         "    print(h['host'], h['ip'], h['answered'], h['share'], h['mac'], repr(h['vendor']), "
         "repr(h['remark']))\n",
         json});
    if (parsed.code == 127 || parsed.code == -1) GTEST_SKIP() << "python3 is not installed";
    EXPECT_EQ(parsed.out,
              "192.0.2 1 255 Z\n"
              "3 192.0.2.3 1 100 02-00-00-00-00-03 '' 'rack 2, \"left\"\\r\\nsecond line'\n"
              "7 192.0.2.7 1 100 02-00-00-00-00-07 '' ''\n"
              "9 192.0.2.9 1 100 00-1B-63-00-00-09 'Apple, Inc.' ''\n"
              // Our own side of the LAN answers too, with its interface's MAC.
              "254 192.0.2.254 1 100 02-00-00-00-00-FE '' ''\n")
        << parsed.err;
    EXPECT_TRUE(std::filesystem::exists(prog + "/sweeps/192.0.2.csv"));

    lan.SetAnswering(3, false);
    lan.SetAnswering(5, true);
    lan.IpInHosts({"link", "set", "dev", "h7", "address", "02:00:00:00:01:07"});
    FlushNeighbours();
    Outcome second =
        Spawn(prog + "/Tessor", {"--sweep", "192.0.2", "--mac", "--format=csv", "--changes"});
    ASSERT_EQ(second.code, 0) << second.err;
    auto rows = CsvRows(second.out);
    ASSERT_EQ(rows.size(), 256u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"host", "ip", "answered", "rounds", "share", "mac",
                                                 "vendor", "remark", "change"}));
    std::map<int, std::string> changed;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 9u);
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

// In this process, so that the host can come and go between the engine's
// rounds: it answers rounds 1 and 3 of 4.
TEST_F(SweepCliLan, HostAnsweringEverySecondRoundHasShareFifty) {
    TestLan lan({4, 5});
    SweepOptions o;
    o.subnet = "192.0.2";
    o.rounds = 4;
    o.format = ReportFormat::Csv;
    std::ostringstream out, err;
    int code =
        scanner::RunSweep(o, out, err, [&](int round) { lan.SetAnswering(5, round % 2 == 1); });
    ASSERT_EQ(code, 0) << err.str();
    auto rows = CsvRows(out.str());
    ASSERT_EQ(rows.size(), 256u);
    EXPECT_EQ(std::vector<std::string>(rows[4].begin() + 2, rows[4].begin() + 5),
              (std::vector<std::string>{"4", "4", "100"}));
    EXPECT_EQ(std::vector<std::string>(rows[5].begin() + 2, rows[5].begin() + 5),
              (std::vector<std::string>{"2", "4", "50"}));
    EXPECT_EQ(rows[6][2], "0");
}

}  // namespace
