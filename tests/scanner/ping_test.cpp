// The window's proxy against a real Morvel: slot traffic, the worker's answers
// over loopback and on the test LAN, 255 proxies at once, a second client
// sharing the slots, and what a dead client or a dead Morvel leads to.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contract/CCShareString.h"
#include "contract/slot.h"
#include "platform/doorbell.h"
#include "platform/objects.h"
#include "platform/process.h"
#include "platform/session.h"
#include "scanner/Ping.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using platform::objects::ObjectError;
using testsupport::TestLan;

std::vector<pid_t> MorvelPids() { return testsupport::OwnMorvels(); }

bool NoMorvel() {
    return testsupport::WaitFor([] { return MorvelPids().empty(); }, 20s);
}

void Register() {
    auto started = testsupport::Spawn(platform::ProgramDir() + "/Morvel", {"/regsver"});
    ASSERT_TRUE(started.ok());
    EXPECT_EQ(testsupport::Wait(started.pid, 20s), std::optional<int>(0));
}

// ---- a second client process: this binary re-run on the disabled case below ----

struct ChildClient {
    pid_t pid = -1;
    std::string ready;
};

ChildClient StartChild(const std::string& mode) {
    ChildClient c;
    c.ready = testsupport::MakeTempDir("child") + "/ready";
    testsupport::SpawnOptions options;
    for (char** e = environ; *e; ++e) options.env.emplace_back(*e);
    options.env.push_back("VARNEX_CHILD_MODE=" + mode);
    options.env.push_back("VARNEX_CHILD_READY=" + c.ready);
    options.env.push_back("VARNEX_CHILD_RUNTIME="s + std::getenv("XDG_RUNTIME_DIR"));
    options.env.push_back("VARNEX_CHILD_DATA="s + std::getenv("XDG_DATA_HOME"));
    auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    c.pid =
        testsupport::Spawn(
            self, {"--gtest_filter=DISABLED_Child.Run", "--gtest_also_run_disabled_tests"}, options)
            .pid;
    return c;
}

bool WaitReady(const ChildClient& c) {
    return testsupport::WaitFor([&] { return std::filesystem::exists(c.ready); }, 60s);
}

std::set<int> Round(std::vector<std::unique_ptr<Ping>>& pings, const std::string& subnet);

// The child's side: joins the parent's session and acts as a second window.
TEST(DISABLED_Child, Run) {
    const char* mode = std::getenv("VARNEX_CHILD_MODE");
    if (!mode) GTEST_SKIP() << "only run as a child of another test";
    ::setenv("XDG_RUNTIME_DIR", std::getenv("VARNEX_CHILD_RUNTIME"), 1);
    ::setenv("XDG_DATA_HOME", std::getenv("VARNEX_CHILD_DATA"), 1);
    const std::string ready = std::getenv("VARNEX_CHILD_READY");
    if (std::string(mode) == "share") {
        // A command into the parent's slot, and one into a slot of its own.
        Ping p, own;
        p.SetID(7);
        own.SetID(8);
        p.PingIP("127.0.0.9", false);
        own.PingIP("127.0.0.8", false);
        ASSERT_TRUE(testsupport::WaitFor([&] { return p.GetPing() == 3; }, 20s));
        ASSERT_TRUE(testsupport::WaitFor([&] { return own.GetPing() == 3; }, 20s));
        std::ofstream(ready) << "ready\n";
        return;
    }
    if (std::string(mode) == "sweep") {
        std::vector<std::unique_ptr<Ping>> pings;
        for (int i = 1; i <= 255; ++i) {
            pings.push_back(std::make_unique<Ping>());
            pings.back()->SetID(i);
        }
        std::ofstream(ready) << Round(pings, "127.0.0").size() << "\n";
        return;
    }
    std::vector<std::unique_ptr<Ping>> held;
    for (int i = 1; i <= 3; ++i) {
        held.push_back(std::make_unique<Ping>());
        held.back()->SetID(i);
    }
    std::ofstream(ready) << "ready\n";
    std::this_thread::sleep_for(60s);  // until killed
}

class PingTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { Register(); }

    static bool WaitFinal(Ping& p, std::int32_t want) {
        return testsupport::WaitFor(
                   [&] {
                       auto s = p.GetPing();
                       return s == slot::kStateAnswered || s == slot::kStateSilent ? s == want
                                                                                   : false;
                   },
                   10s) &&
               p.GetPing() == want;
    }
    static bool Stays(Ping& p, std::int32_t want) {
        std::this_thread::sleep_for(250ms);
        return p.GetPing() == want;
    }
};

TEST_F(PingTest, SetIdOpensTheWorkersThousandByteSlot) {
    Ping p;
    EXPECT_EQ(p.ID(), 0);
    EXPECT_EQ(p.GetPing(), 0);  // no slot yet
    EXPECT_THROW(p.PingIP("127.0.0.7", false), ObjectError);
    p.SetID(7);
    EXPECT_EQ(p.ID(), 7);
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP7", 1));
    EXPECT_EQ(probe.getStr(1000, 1), std::string(1, '\0'));
    EXPECT_EQ(probe.getStr(1001, 1), "");
    EXPECT_EQ(p.GetPing(), 0);  // fresh slot
    p.GetMac();
    EXPECT_EQ(p.Mac, "");
    EXPECT_EQ(p.color, Value());
    EXPECT_FALSE(p.Pinging);
    EXPECT_EQ(p.OKCount, 0);
}

TEST_F(PingTest, CommandsWriteTheAddressFieldAndEndInAFinalState) {
    Ping p;
    p.SetID(7);
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP7", 1000));
    // Each command and close rings the session's doorbell after its byte.
    auto bell = platform::Doorbell::Open();
    ASSERT_NE(bell, nullptr);
    auto rings = bell->Rings();
    p.PingIP("127.0.0.7", false);
    EXPECT_NE(bell->Rings(), rings);
    EXPECT_EQ(probe.getStr(2, 30), "127.0.0.7" + std::string(21, ' '));
    EXPECT_TRUE(WaitFinal(p, 3));
    // Cut to 30: the worker pings what is left without the spaces.
    p.PingIP("127.0.0.8" + std::string(21, ' ') + "9.9.9.9", true);
    EXPECT_EQ(probe.getStr(2, 30), "127.0.0.8" + std::string(21, ' '));
    EXPECT_TRUE(WaitFinal(p, 3));
    // A malformed address ends in 4 and the worker takes the next command.
    p.PingIP("127.0.0.1.5", false);
    EXPECT_TRUE(WaitFinal(p, 4));
    p.PingIP("127.0.0.9", false);
    EXPECT_TRUE(WaitFinal(p, 3));
}

TEST_F(PingTest, StateCharactersMapToTheirNumbers) {
    Ping p;
    p.SetID(9);
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP9", 1000));
    // Characters the worker leaves alone.
    const std::pair<char, int> cases[] = {{'0', 3}, {'1', 4}, {'D', 1}, {'X', 2},
                                          {'a', 0}, {'7', 0}, {'p', 0}, {'\0', 0}};
    for (auto [c, n] : cases) {
        probe.setStr(std::string(1, c), 1);
        EXPECT_EQ(p.GetPing(), n) << c;
    }
    // Close: "A" (6) becomes "X" (2); later commands stay (5 and 7), a close too.
    auto bell = platform::Doorbell::Open();
    ASSERT_NE(bell, nullptr);
    auto rings = bell->Rings();
    p.ClosePing();
    EXPECT_NE(bell->Rings(), rings);
    EXPECT_TRUE(testsupport::WaitFor([&] { return p.GetPing() == 2; }));
    p.PingIP("127.0.0.9", false);
    EXPECT_TRUE(Stays(p, 5));
    p.PingIP("127.0.0.9", true);
    EXPECT_TRUE(Stays(p, 7));
    // Started again, the worker takes the command waiting in its slot.
    p.RestartWorker();
    EXPECT_TRUE(WaitFinal(p, 3));
    p.ClosePing();
    EXPECT_TRUE(testsupport::WaitFor([&] { return p.GetPing() == 2; }));
    p.ClosePing();
    EXPECT_TRUE(Stays(p, 6));
    // Setting the ID again restarts the worker.
    p.SetID(9);
    p.PingIP("127.0.0.9", false);
    EXPECT_TRUE(WaitFinal(p, 3));
}

TEST_F(PingTest, MacOfAnAnsweringTestHostAndSilence) {
    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    TestLan lan({7});
    Ping p;
    p.SetID(7);
    p.PingIP(TestLan::Address(7), true);
    ASSERT_TRUE(WaitFinal(p, 3));
    p.GetMac();
    EXPECT_EQ(p.Mac, TestLan::Mac(7));
    // A silent host: 4, the MAC field keeps the earlier answer.
    p.PingIP(TestLan::Address(8), true);
    EXPECT_TRUE(WaitFinal(p, 4));
    p.GetMac();
    EXPECT_EQ(p.Mac, TestLan::Mac(7));
    // "P" after the answered "M" keeps it as well.
    p.PingIP(TestLan::Address(7), false);
    EXPECT_TRUE(WaitFinal(p, 3));
    p.GetMac();
    EXPECT_EQ(p.Mac, TestLan::Mac(7));
}

// One round of 255 proxies, polled as the window polls.
std::set<int> Round(std::vector<std::unique_ptr<Ping>>& pings, const std::string& subnet) {
    for (int i = 1; i <= 255; ++i) {
        pings[i - 1]->PingIP(subnet + "." + std::to_string(i), false);
        pings[i - 1]->Pinging = true;
    }
    std::set<int> answered;
    auto end = std::chrono::steady_clock::now() + 60s;
    for (bool outstanding = true; outstanding && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(50ms);
        outstanding = false;
        for (int i = 1; i <= 255; ++i) {
            Ping& p = *pings[i - 1];
            if (!p.Pinging) continue;
            auto s = p.GetPing();
            if (s == 3 || s == 4) {
                p.Pinging = false;
                if (s == 3) answered.insert(i);
            } else {
                outstanding = true;
            }
        }
    }
    for (auto& p : pings) EXPECT_FALSE(p->Pinging) << "host " << p->ID() << " never finished";
    return answered;
}

TEST_F(PingTest, TwoHundredFiftyFiveProxiesAtOnce) {
    std::vector<std::unique_ptr<Ping>> pings;
    for (int i = 1; i <= 255; ++i) {
        pings.push_back(std::make_unique<Ping>());
        pings.back()->SetID(i);
    }
    auto all = Round(pings, "127.0.0");
    EXPECT_EQ(all.size(), 255u);

    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    std::set<int> answering = TestLan::Range(1, 20);
    for (int i = 100; i < 120; ++i) answering.insert(i);
    TestLan lan(answering);
    auto expected = answering;
    expected.insert(TestLan::kScannerHost);  // our own side of the LAN answers too
    EXPECT_EQ(Round(pings, TestLan::kSubnet), expected);
}

TEST_F(PingTest, TwoWindowsSweepUnderADesktopsSoftDescriptorLimit) {
    // Morvel then holds 765 blocks and up to 255 echo sockets: more than 1024.
    rlimit lim{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < 2048) GTEST_SKIP() << "the hard descriptor limit is below 2048 here";
    lim.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);  // inherited by Morvel and the child
    std::vector<std::unique_ptr<Ping>> pings;
    for (int i = 1; i <= 255; ++i) {
        pings.push_back(std::make_unique<Ping>());
        pings.back()->SetID(i);
    }
    auto child = StartChild("sweep");
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(Round(pings, "127.0.0").size(), 255u);
    EXPECT_EQ(testsupport::Wait(child.pid, 120s), std::optional<int>(0));
    EXPECT_EQ(testsupport::ReadText(child.ready), "255\n");
}

TEST_F(PingTest, SecondClientProcessSharesTheSlots) {
    Ping p;
    p.SetID(7);
    p.PingIP("127.0.0.7", false);
    ASSERT_TRUE(WaitFinal(p, 3));
    auto child = StartChild("share");
    ASSERT_GT(child.pid, 0);
    // Both processes command their own slots meanwhile, and both are served.
    Ping mine;
    mine.SetID(6);
    do {
        mine.PingIP("127.0.0.6", false);
        ASSERT_TRUE(WaitFinal(mine, 3));
    } while (!std::filesystem::exists(child.ready) &&
             testsupport::Wait(child.pid, 0ms) == std::nullopt);
    ASSERT_TRUE(WaitReady(child));
    EXPECT_EQ(testsupport::Wait(child.pid, 20s), std::optional<int>(0));
    // The child's command is in our slot.
    CCShareString probe;
    ASSERT_TRUE(probe.Create("PingIP7", 1000));
    EXPECT_EQ(probe.getStr(2, 30), slot::AddressField("127.0.0.9"));
    EXPECT_EQ(p.GetPing(), 3);
}

TEST_F(PingTest, KilledClientReleasesEverythingAndMorvelExits) {
    ASSERT_TRUE(NoMorvel());
    auto child = StartChild("hold");
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(WaitReady(child));
    ASSERT_EQ(MorvelPids().size(), 1u);
    testsupport::End(child.pid);
    EXPECT_TRUE(NoMorvel());
}

TEST_F(PingTest, KilledMorvelEndsTheWaitWithAnError) {
    Ping p;
    p.SetID(5);
    auto pids = MorvelPids();
    ASSERT_EQ(pids.size(), 1u);
    testsupport::Signal(pids[0], SIGKILL);
    ASSERT_TRUE(NoMorvel());
    p.PingIP("127.0.0.5", false);
    std::string error;
    EXPECT_TRUE(testsupport::WaitFor(
        [&] {
            try {
                p.GetPing();
            } catch (const ObjectError& e) {
                error = e.what();
                return true;
            }
            return false;
        },
        20s));
    EXPECT_NE(error, "");
    // A new proxy starts a new Morvel.
    Ping q;
    q.SetID(6);
    q.PingIP("127.0.0.6", false);
    EXPECT_TRUE(WaitFinal(q, 3));
}

}  // namespace
