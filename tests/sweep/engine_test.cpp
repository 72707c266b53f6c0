// SPDX-License-Identifier: MIT
// The sweep engine without a window or Morvel: every host's slot is scripted,
// and a recording listener stands for the window.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <stdexcept>

#include "contract/slot.h"
#include "sweep/Func.h"
#include "sweep/Sweep.h"

namespace {

using namespace sweep;

// A proxy whose slot answers from a script: each poll takes the next state,
// the last one repeats.
class ScriptedPing : public Ping {
  public:
    std::deque<std::int32_t> states{slot::kStateAnswered};
    std::string macField;
    std::vector<std::string> commands;  // "P 1.2.3.4" or "M 1.2.3.4"
    int polls = 0;
    int restarts = 0;

    void PingIP(const std::string& ip, bool mac) override {
        commands.push_back((mac ? "M " : "P ") + ip);
    }
    std::int32_t GetPing() override {
        ++polls;
        std::int32_t s = states.front();
        if (states.size() > 1) states.pop_front();
        return s;
    }
    void GetMac() override { Mac = macField; }
    void RestartWorker() override { ++restarts; }
};

struct Recorder : sweep::SweepListener {
    std::map<int, std::string> rows;
    int repaints = 0, refreshes = 0, focus = 0;
    std::int32_t progress = -1, progressMax = -1;
    std::vector<std::int32_t> progressShown;
    bool command = true, timer = false;
    std::string count;
    std::array<std::string, 3> octets{"127", "0", "0"};
    bool mac = false;

    void RefreshInput(SweepInput& in) override {
        for (std::size_t i = 0; i < octets.size(); ++i) in.octets[i] = sweep::OctetOf(octets[i]);
        in.mac = mac;
    }
    void ShowCount(const std::string& t) override { count = t; }
    void ShowRow(int host, const std::string& row) override { rows[host] = row; }
    std::string Remark(const std::string& ip) override { return "remark of " + ip; }
    void ShowProgressMax(std::int32_t m) override { progressMax = m; }
    void ShowProgress(std::int32_t v) override {
        progress = v;
        progressShown.push_back(v);
    }
    void RefreshGrid() override { ++refreshes; }
    void RepaintGrid() override { ++repaints; }
    void EnableCommand(bool on) override { command = on; }
    void EnableTimer(bool on) override { timer = on; }
    void FocusLastOctet() override { ++focus; }
    std::vector<std::vector<int>> stopped;
    void WorkersStopped(const std::vector<int>& hosts) override { stopped.push_back(hosts); }
    std::vector<int> seen;
    void HostSeen(int host) override { seen.push_back(host); }
    std::string failed;
    void SweepFailed(const std::string& what) override { failed = what; }
};

// Who answered ARP, round by round; it may fail as Morvel gone would.
struct ScriptedPresence : sweep::Presence {
    std::deque<std::map<int, std::string>> rounds;
    int starts = 0;
    bool fail = false;
    void RoundStarts() override { ++starts; }
    std::map<int, std::string> RoundSeen() override {
        if (fail) throw std::runtime_error("Morvel is gone");
        auto seen = rounds.front();
        rounds.pop_front();
        return seen;
    }
};

class Engine : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<std::unique_ptr<Ping>> pings(256);
        for (int i = 1; i <= 255; ++i) {
            auto p = std::make_unique<ScriptedPing>();
            hosts[i] = p.get();
            pings[i] = std::move(p);
        }
        sweep.SetPings(std::move(pings));
    }
    void Start(const std::string& count) {
        SweepInput in;
        ui.RefreshInput(in);
        in.rounds = sweep::RoundCountOf(count);
        in.mac = false;
        sweep.DoPing(in);
    }
    // Polls until the sweep ends; the number of polls it took.
    int RunOut() {
        int n = 0;
        while (sweep.Sweeping() && n < 1000) {
            sweep.Timer1_Timer();
            ++n;
        }
        return n;
    }

    Recorder ui;
    Sweep sweep{ui};
    std::array<ScriptedPing*, 256> hosts{};
};

TEST_F(Engine, EachStateOfThePollTable) {
    hosts[1]->states = {slot::kStateAnswered};
    hosts[1]->macField = "AA-BB-CC-DD-EE-01";
    hosts[2]->states = {slot::kStateSilent};
    hosts[2]->macField = "stale";
    hosts[3]->states = {slot::kStatePing, slot::kStateAnswered};
    hosts[4]->states = {slot::kStateClose, slot::kStateAnswered};
    hosts[5]->states = {slot::kStateBusy, slot::kStateAnswered};
    hosts[6]->states = {slot::kStateStopped};
    hosts[7]->states = {slot::kStatePingMac, slot::kStateNone, slot::kStateAnswered};
    for (int i = 1; i <= 7; ++i) hosts[i]->color = Value(0x123456);
    Start("2");
    sweep.Timer1_Timer();
    EXPECT_EQ(hosts[1]->color, Value(kColorGreen));
    EXPECT_EQ(hosts[1]->OKCount, 1);
    EXPECT_EQ(hosts[1]->Mac, "AA-BB-CC-DD-EE-01");
    EXPECT_EQ(ui.rows[1], "1   AA-BB-CC-DD-EE-01   remark of 127.0.0.1");
    EXPECT_EQ(hosts[2]->color, Value(kColorRed));
    EXPECT_EQ(hosts[2]->Mac, "stale");  // read, but the row stays bare
    EXPECT_EQ(ui.rows[2], "2   ");
    EXPECT_EQ(hosts[3]->color, Value(kColorBusy));
    EXPECT_EQ(hosts[4]->color, Value(kColorBusy));
    EXPECT_EQ(hosts[5]->color, Value(kColorYellow));
    EXPECT_EQ(hosts[6]->color, Value(0x123456));  // "X": out of the round, colour kept
    EXPECT_FALSE(hosts[6]->Pinging);
    EXPECT_EQ(hosts[7]->color, Value(0x123456));
    EXPECT_TRUE(hosts[7]->Pinging);
    EXPECT_EQ(ui.progress, 1);
    EXPECT_EQ(ui.repaints, 0);  // a plain poll never repaints

    // The round closes one poll after the last final state; the second round
    // goes to every host again.
    sweep.Timer1_Timer();
    sweep.Timer1_Timer();  // host 7's final state
    EXPECT_EQ(sweep.RoundNo(), 1);
    sweep.Timer1_Timer();
    EXPECT_EQ(sweep.RoundNo(), 2);
    EXPECT_EQ(ui.repaints, 1);
    EXPECT_EQ(hosts[6]->commands.size(), 2u);

    RunOut();
    EXPECT_FALSE(ui.timer);
    EXPECT_TRUE(ui.command);
    EXPECT_EQ(ui.focus, 1);
    EXPECT_EQ(ui.progress, 0);
    EXPECT_EQ(hosts[1]->color, Value(kColorGreen));
    EXPECT_EQ(hosts[2]->color, Value(kColorRed));
    EXPECT_EQ(hosts[6]->color, Value(kColorRed));  // never counted as answered
    EXPECT_EQ(hosts[3]->OKCount, 2);
}

TEST_F(Engine, RoundsCountsAndTheFinalBlend) {
    // Host 9 answers in the first round only; a round needs two polls.
    hosts[9]->states = {slot::kStateAnswered, slot::kStateAnswered, slot::kStateSilent};
    Start("abc");
    EXPECT_EQ(sweep.RoundCount(), 1);
    EXPECT_EQ(ui.count, "1");
    EXPECT_EQ(ui.progressMax, 1);
    EXPECT_FALSE(ui.command);
    EXPECT_EQ(ui.refreshes, 1);
    EXPECT_EQ(RunOut(), 2);

    Start("2.5");  // half to even: 2 rounds, the text stays
    EXPECT_EQ(sweep.RoundCount(), 2);
    EXPECT_EQ(ui.count, "1");
    EXPECT_EQ(hosts[9]->OKCount, 0);
    ui.progressShown.clear();
    EXPECT_EQ(RunOut(), 4);
    // PB1: the round in progress at every poll, 0 at the end.
    EXPECT_EQ(ui.progressShown, (std::vector<std::int32_t>{1, 1, 2, 2, 0}));
    EXPECT_EQ(hosts[9]->OKCount, 1);
    EXPECT_EQ(hosts[9]->color, Value(MixColor(kColorRed, kColorGreen, 50)));
    EXPECT_EQ(ui.repaints, 1 + 2);
}

TEST_F(Engine, LaterRoundsTakeTheBoxesAsTheyAreNow) {
    Start("3");
    EXPECT_EQ(hosts[5]->commands.back(), "P 127.0.0.5");
    ui.octets = {"127", "abc", "1"};
    ui.mac = true;
    sweep.Timer1_Timer();  // the round in progress keeps its commands
    EXPECT_EQ(hosts[5]->commands.size(), 1u);
    sweep.Timer1_Timer();
    EXPECT_EQ(hosts[5]->commands.back(), "M 127.0.1.5");
    ui.mac = false;
    RunOut();
    EXPECT_EQ(hosts[5]->commands,
              (std::vector<std::string>{"P 127.0.0.5", "M 127.0.1.5", "P 127.0.1.5"}));
    // The address and the remark stay those of the sweep's start.
    EXPECT_EQ(hosts[5]->IP, "127.0.0.5");
    EXPECT_EQ(hosts[5]->Ps, "remark of 127.0.0.5");
}

TEST_F(Engine, AHostWithoutAFinalStateIsGivenUpAndAStoppedWorkerReportedAndRestarted) {
    Sweep::Clock::time_point now{};
    sweep.SetClockForTesting([&] { return now; });
    hosts[5]->states = {slot::kStatePing};  // never taken: no worker serves it
    hosts[6]->states = {slot::kStateBusy};  // an echo that does not end
    hosts[7]->states = {slot::kStateStopped};
    hosts[8]->states = {slot::kStatePingMac};
    Start("2");
    for (int i = 0; i < 5; ++i) sweep.Timer1_Timer();
    now += sweep.LateLimit();
    sweep.Timer1_Timer();
    EXPECT_EQ(sweep.RoundNo(), 1) << "given up before the limit";
    EXPECT_TRUE(hosts[5]->Pinging);
    now += std::chrono::milliseconds(1);
    sweep.Timer1_Timer();
    for (int i : {5, 6, 8}) {
        EXPECT_FALSE(hosts[i]->Pinging) << i;
        EXPECT_EQ(hosts[i]->color, Value(kColorRed)) << i;
    }
    // Still one poll after the last host left the round.
    EXPECT_EQ(sweep.RoundNo(), 1);
    sweep.Timer1_Timer();
    EXPECT_EQ(sweep.RoundNo(), 2);
    // Stopped workers serve again from the next command on; a late echo's does not need to.
    for (int i : {5, 7, 8}) EXPECT_EQ(hosts[i]->restarts, 1) << i;
    EXPECT_EQ(hosts[6]->restarts, 0);
    EXPECT_TRUE(ui.stopped.empty());

    now += sweep.LateLimit() + std::chrono::milliseconds(1);
    RunOut();
    EXPECT_FALSE(sweep.Sweeping());
    EXPECT_EQ(ui.stopped, (std::vector<std::vector<int>>{{5, 7, 8}}));
    for (int i : {5, 6, 7, 8}) EXPECT_EQ(hosts[i]->OKCount, 0) << i;
    EXPECT_EQ(hosts[9]->color, Value(kColorGreen));
    EXPECT_EQ(sweep::HostList({3, 7}), "3, 7");
    std::vector<int> many(25);
    for (int i = 0; i < 25; ++i) many[static_cast<std::size_t>(i)] = i + 1;
    EXPECT_EQ(sweep::HostList(many).substr(sweep::HostList(many).size() - 13), "20 and 5 more");
}

// A round counts for ARP only where the host did not answer the echo; its
// colour stays red; every host is reported seen once, at first sight.
TEST_F(Engine, ArpCountsTheRoundsWithoutAnEchoAndEachHostIsSeenOnce) {
    for (int i = 2; i <= 255; ++i) hosts[i]->states = {slot::kStateSilent};
    ScriptedPresence presence;
    presence.rounds = {{{1, "02-00-00-00-00-01"}, {2, "02-00-00-00-00-02"}},
                       {{2, "02-00-00-00-00-22"}},
                       {{3, "02-00-00-00-00-03"}, {2, "02-00-00-00-00-02"}}};
    sweep.SetPresence(&presence);
    Start("3");
    RunOut();
    EXPECT_EQ(presence.starts, 3);
    EXPECT_EQ(sweep.ArpRounds(1), 0);  // it answered the echo each time
    EXPECT_EQ(sweep.ArpRounds(2), 3);
    EXPECT_EQ(sweep.ArpMac(2), "02-00-00-00-00-02");
    EXPECT_EQ(sweep.ArpRounds(3), 1);
    EXPECT_EQ(sweep.ArpRounds(4), 0);
    EXPECT_EQ(ui.seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(hosts[2]->color, Value(kColorRed));
    // The next sweep starts from nothing; a failing presence stops it.
    presence.fail = true;
    Start("1");
    RunOut();
    EXPECT_TRUE(sweep.Broken());
    EXPECT_EQ(ui.failed, "Morvel is gone");
    EXPECT_EQ(sweep.ArpRounds(2), 0);
    EXPECT_EQ(ui.seen, (std::vector<int>{1, 2, 3, 1}));
}

TEST(FinalColour, BlendsByTheShareOfAnsweredRounds) {
    EXPECT_EQ(FinalColor(3, 3), kColorGreen);
    EXPECT_EQ(FinalColor(0, 3), kColorRed);
    EXPECT_EQ(FinalColor(2, 3), MixColor(kColorRed, kColorGreen, 63));
    EXPECT_EQ(FinalColor(1, 3), MixColor(kColorRed, kColorGreen, 36));
    EXPECT_EQ(FinalColor(3, 5), MixColor(kColorRed, kColorGreen, 57));
}

}  // namespace
