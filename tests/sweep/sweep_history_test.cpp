#include "sweep/SweepHistory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/isolation.h"

namespace {

using namespace sweep;

SweepResult Sweep(std::initializer_list<std::pair<int, const char*>> up) {
    SweepResult r;
    r.subnet = "192.0.2";
    r.rounds = 1;
    for (int i = 1; i <= 255; ++i)
        r.hosts.push_back(
            HostResult{i, "192.0.2." + std::to_string(i), 0, 1, "", "", "", "", "none", ""});
    for (auto [host, mac] : up) {
        r.hosts[static_cast<std::size_t>(host - 1)].answered = 1;
        r.hosts[static_cast<std::size_t>(host - 1)].mac = mac;
    }
    return r;
}

std::string ReadFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

TEST(SweepHistory, TellsUpDownAndANewMacAgainstTheKeptSweep) {
    const std::string dir = testsupport::MakeTempDir("kept") + "/sweeps";
    std::string problem;
    // Nothing kept yet: no change at all, and nothing to complain of.
    SweepResult first = Sweep({{1, "00-1A-2B-3C-4D-5E"},
                               {2, "00-1A-2B-3C-4D-01"},
                               {3, "00-00-00-00-00-00"},
                               {4, ""},
                               {5, "00-1A-2B-3C-4D-05"}});
    auto kept = ReadKeptSweep(dir, "192.0.2", problem);
    EXPECT_FALSE(kept.has_value());
    EXPECT_EQ(problem, "");
    MarkChanges(first.hosts, kept);
    for (const HostResult& h : first.hosts) EXPECT_EQ(h.change, "");
    ASSERT_TRUE(KeepSweep(dir, first, problem)) << problem;

    // Host 1 kept its MAC (other letter case), 2 went down, 3 and 4 had no
    // known MAC before, 5 got a new MAC, 6 came up.
    SweepResult second = Sweep({{1, "00-1a-2b-3c-4d-5e"},
                                {3, "00-1A-2B-3C-4D-03"},
                                {4, "00-1A-2B-3C-4D-04"},
                                {5, "00-1A-2B-3C-4D-55"},
                                {6, ""}});
    kept = ReadKeptSweep(dir, "192.0.2", problem);
    ASSERT_TRUE(kept.has_value()) << problem;
    MarkChanges(second.hosts, kept);
    std::string changes;
    for (const HostResult& h : second.hosts)
        if (!h.change.empty()) changes += std::to_string(h.host) + h.change + " ";
    EXPECT_EQ(changes, "2down 5mac 6up ");

    // Another subnet has a file of its own, and no file of its own yet.
    EXPECT_FALSE(ReadKeptSweep(dir, "192.0.3", problem).has_value());
    EXPECT_EQ(problem, "");
}

TEST(SweepHistory, AnUnreadableKeptSweepIsPassedOverWithOneLineAndThenReplaced) {
    const std::string dir = testsupport::MakeTempDir("bad");
    const std::string path = dir + "/192.0.2.csv";
    const std::string whole = [] {
        std::string c = WriteCsv(Sweep({{1, ""}}));
        return c;
    }();
    for (const std::string& junk :
         {std::string("not,a,sweep\r\n"), std::string(""), whole.substr(0, whole.size() / 2),
          whole + "1,192.0.2.1,0,1,0,,,,\r\n",
          std::string("host,ip,answered,rounds,share,mac,vendor,remark,change\r\n\"x")}) {
        std::ofstream(path, std::ios::binary) << junk;
        std::string problem;
        EXPECT_FALSE(ReadKeptSweep(dir, "192.0.2", problem).has_value());
        EXPECT_NE(problem.find(path), std::string::npos) << junk.size();
        EXPECT_EQ(problem.find('\n'), std::string::npos);
    }
    std::string problem;
    ASSERT_TRUE(KeepSweep(dir, Sweep({{7, ""}}), problem)) << problem;
    EXPECT_EQ(ReadFile(path), WriteCsv(Sweep({{7, ""}})));
    auto kept = ReadKeptSweep(dir, "192.0.2", problem);
    ASSERT_TRUE(kept.has_value()) << problem;
    EXPECT_TRUE((*kept)[7].answered);
    EXPECT_FALSE((*kept)[1].answered);
    // One kept by an earlier version, nine columns wide, is read all the same.
    std::string nine = "host,ip,answered,rounds,share,mac,vendor,remark,change\r\n";
    for (int i = 1; i <= 255; ++i)
        nine += std::to_string(i) + ",192.0.2." + std::to_string(i) +
                (i == 3 ? ",1,1,100" : ",0,1,0") + ",,,,\r\n";
    std::ofstream(path, std::ios::binary) << nine;
    kept = ReadKeptSweep(dir, "192.0.2", problem);
    ASSERT_TRUE(kept.has_value()) << problem;
    EXPECT_TRUE((*kept)[3].answered);
    EXPECT_FALSE((*kept)[7].answered);
    // No temporary file is left beside it.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
}

TEST(SweepHistory, AFailedKeepSaysWhyAndLeavesNoTemporaryFile) {
    const std::string dir = testsupport::MakeTempDir("nokeep");
    std::string problem;
    // The folder is a file; the result's name is taken by a folder.
    std::ofstream(dir + "/file") << "x";
    EXPECT_FALSE(KeepSweep(dir + "/file", Sweep({}), problem));
    EXPECT_NE(problem, "");
    std::filesystem::create_directory(dir + "/192.0.2.csv");
    EXPECT_FALSE(KeepSweep(dir, Sweep({}), problem));
    EXPECT_NE(problem.find("192.0.2.csv"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);
    // A subnet that is not one never names a file.
    SweepResult odd = Sweep({});
    odd.subnet = "../x";
    EXPECT_FALSE(KeepSweep(dir, odd, problem));
}

}  // namespace
