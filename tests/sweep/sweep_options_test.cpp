// SPDX-License-Identifier: MIT
#include "sweep/SweepOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace sweep;

using Args = std::vector<std::string>;

SweepOptions Parsed(const Args& args) {
    auto r = ParseSweepArgs(args);
    EXPECT_TRUE(std::holds_alternative<SweepOptions>(r)) << std::get<SweepArgsError>(r).message;
    return std::holds_alternative<SweepOptions>(r) ? std::get<SweepOptions>(r) : SweepOptions{};
}

int ExitCodeOf(const Args& args) {
    auto r = ParseSweepArgs(args);
    return std::holds_alternative<SweepArgsError>(r) ? std::get<SweepArgsError>(r).exitCode : 0;
}

TEST(ParseSweepArgs, TakesEveryOptionInAnyOrderAndBothForms) {
    SweepOptions d = Parsed({"--sweep", "192.0.2"});
    EXPECT_EQ(d.subnet.Text(), "192.0.2");
    EXPECT_EQ(d.rounds, 1);
    EXPECT_FALSE(d.mac);
    EXPECT_FALSE(d.changes);
    EXPECT_EQ(d.format, ReportFormat::Text);
    EXPECT_EQ(d.timeoutMs, 200);

    SweepOptions o =
        Parsed({"--changes", "--format", "json", "--rounds=4", "--mac", "--sweep=010.0.001"});
    EXPECT_EQ(o.subnet.Text(), "10.0.1");  // the shortest form, as the remarks' keys are written
    EXPECT_EQ(o.rounds, 4);
    EXPECT_TRUE(o.mac);
    EXPECT_TRUE(o.changes);
    EXPECT_EQ(o.format, ReportFormat::Json);
    EXPECT_EQ(Parsed({"--sweep", "1.2.3", "--format=csv"}).format, ReportFormat::Csv);
    EXPECT_EQ(Parsed({"--timeout", "50", "--sweep", "1.2.3"}).timeoutMs, 50);
    EXPECT_EQ(Parsed({"--sweep", "1.2.3", "--timeout=5000"}).timeoutMs, 5000);
}

TEST(ParseSweepArgs, TakesWholeRoundCountsAndChangeListsOnly) {
    EXPECT_EQ(Parsed({"--sweep", "1.2.3", "--rounds", "9999"}).rounds, 9999);
    EXPECT_EQ(Parsed({"--sweep", "1.2.3", "--rounds=07"}).rounds, 7);
    for (const char* bad : {"abc", "0", "-3", "2.6", "", " 7", "+2", "10000", "1e3", "4294967297"})
        EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "--rounds", bad}), 2) << bad;
    const SweepOptions f = Parsed({"--sweep", "1.2.3", "--fail-on", "new,moved", "--keep-days=7"});
    EXPECT_EQ(f.failOn, (std::vector<std::string>{"new", "moved"}));
    EXPECT_TRUE(f.changes);
    EXPECT_EQ(f.keepDays, 7);
    EXPECT_EQ(Parsed({"--sweep", "1.2.3"}).keepDays, 90);
    for (const char* bad : {"", "new,", "gone", "new,,up", "NEW"})
        EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "--fail-on", bad}), 2) << bad;
    for (const char* bad : {"0", "36501", "x"})
        EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "--keep-days", bad}), 2) << bad;
}

TEST(ParseHistoryArgs, TakesNothingASubnetOrAnAddress) {
    auto parsed = [](const Args& args) {
        auto r = ParseHistoryArgs(args);
        if (const auto* e = std::get_if<SweepArgsError>(&r)) return "error " + e->message;
        const HistoryOptions& o = std::get<HistoryOptions>(r);
        return (o.subnet ? o.subnet->Text() : std::string("-")) + " " + std::to_string(o.host) +
               " " + std::to_string(static_cast<int>(o.format));
    };
    EXPECT_EQ(parsed({"--history"}), "- 0 0");
    EXPECT_EQ(parsed({"--history", "--format", "csv"}), "- 0 1");
    EXPECT_EQ(parsed({"--format=json", "--history", "192.0.2"}), "192.0.2 0 2");
    EXPECT_EQ(parsed({"--history=192.0.02.255"}), "192.0.2 255 0");
    for (const Args& bad : {Args{"--history", "192.0.2.0"}, Args{"--history", "192.0.2.256"},
                            Args{"--history", "1.2"}, Args{"--history", "1.2.3.4.5"},
                            Args{"--history", "x"}, Args{"--history", "1.2.3", "--mac"},
                            Args{"--history", "1.2.3", "extra"}, Args{"--format", "csv"}})
        EXPECT_EQ(parsed(bad).rfind("error ", 0), 0u) << bad.back();
    EXPECT_EQ(HistoryUsage().rfind("usage: Tessor --history", 0), 0u);
}

TEST(ParseSweepArgs, RefusesBadInputWithExitCode2) {
    for (const char* subnet : {"300.1.1", "1.2", "a.b.c", "", "1.2.3.4", "1..3", "1.2.3.", "-1.2.3",
                               "1.2.3 ", "+1.2.3", "0001.2.3", "256.0.0"})
        EXPECT_EQ(ExitCodeOf({"--sweep", subnet}), 2) << subnet;
    EXPECT_EQ(ExitCodeOf({}), 2);
    EXPECT_EQ(ExitCodeOf({"--sweep"}), 2);
    EXPECT_EQ(ExitCodeOf({"--rounds", "3"}), 2);  // no subnet
    EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "--format", "xml"}), 2);
    EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "--format"}), 2);
    EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "--verbose"}), 2);
    EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "--mac=yes"}), 2);
    EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "extra"}), 2);
    for (const char* ms : {"49", "5001", "3e2", "", " 300", "300ms", "-200"})
        EXPECT_EQ(ExitCodeOf({"--sweep", "1.2.3", "--timeout", ms}), 2) << ms;
    auto r = ParseSweepArgs({"--sweep", "300.1.1"});
    EXPECT_NE(std::get<SweepArgsError>(r).message.find("300.1.1"), std::string::npos);
    EXPECT_EQ(SweepUsage().rfind("usage: Tessor --sweep A.B.C", 0), 0u);
}

}  // namespace
