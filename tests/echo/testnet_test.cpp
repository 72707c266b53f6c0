// SPDX-License-Identifier: MIT
// The test LAN itself: exactly the configured hosts answer, the neighbour
// table learns their MACs, hosts can be switched between rounds, and the
// fixture leaves nothing behind and refuses where packets could leave.
#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "echo/echo.h"
#include "platform/net/neighbour.h"
#include "tests/support/children.h"
#include "tests/support/testnet.h"

using testsupport::TestLan;

namespace {

[[maybe_unused]] testing::Environment* const privateNetwork =
    testing::AddGlobalTestEnvironment(new testsupport::PrivateNetwork);
const std::string& noNetwork = testsupport::PrivateNetwork::Failure();

#define SKIP_WITHOUT_LAN()                           \
    do {                                             \
        std::string why = noNetwork;                 \
        if (why.empty() && !TestLan::Usable(&why)) { \
        }                                            \
        if (!why.empty()) GTEST_SKIP() << why;       \
    } while (0)

// Pings 1..253 at once; returns the answering host numbers.
std::set<int> Sweep() {
    std::vector<char> answered(254, 0);
    std::vector<std::thread> threads;
    for (int n = 1; n <= 253; ++n) {
        threads.emplace_back([n, &answered] { answered[n] = echo::PingHost(TestLan::Address(n)); });
    }
    for (auto& t : threads) t.join();
    std::set<int> result;
    for (int n = 1; n <= 253; ++n) {
        if (answered[n]) result.insert(n);
    }
    return result;
}

std::string NeighbourMac(int n) {
    in_addr a{};
    inet_pton(AF_INET, TestLan::Address(n).c_str(), &a);
    unsigned char mac[6] = {};
    std::uint32_t len = 6;
    if (platform::SendARP(a.s_addr, 0, mac, &len) != platform::kNoError) return "none";
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

TEST(TestLanTest, ExactlyTheConfiguredHostsAnswerAndTheirMacsAreLearned) {
    SKIP_WITHOUT_LAN();
    const std::set<int> hosts{1, 2, 3, 7, 10, 100, 200, 253};
    TestLan lan(hosts);
    EXPECT_EQ(Sweep(), hosts);
    for (int n : hosts) EXPECT_EQ(NeighbourMac(n), TestLan::Mac(n)) << n;
    EXPECT_EQ(NeighbourMac(4), "none");  // asked, never answered: incomplete or failed
    EXPECT_EQ(TestLan::Mac(10), "02-00-00-00-00-0A");

    // Between rounds a host goes silent and another one comes up.
    lan.SetAnswering(7, false);
    lan.SetAnswering(8, true);
    std::set<int> now = hosts;
    now.erase(7);
    now.insert(8);
    EXPECT_EQ(lan.Answering(), now);
    EXPECT_EQ(Sweep(), now);
    EXPECT_EQ(NeighbourMac(8), TestLan::Mac(8));
    EXPECT_THROW(lan.SetAnswering(254, true), std::invalid_argument);
}

// A host that drops echoes still answers ARP; one that answers late is
// found only by an echo that waits long enough.
TEST(TestLanTest, HostsDropOrDelayTheirEchoesAndStillAnswerArp) {
    SKIP_WITHOUT_LAN();
    TestLan lan({4, 6, 8});
    lan.DropEcho(4);
    lan.AnswerEchoAfter(6, std::chrono::milliseconds(300));
    EXPECT_FALSE(echo::PingHost(TestLan::Address(4), 500));
    EXPECT_EQ(NeighbourMac(4), TestLan::Mac(4));
    EXPECT_FALSE(echo::PingHost(TestLan::Address(6)));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(echo::PingHost(TestLan::Address(6), 500));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_TRUE(echo::PingHost(TestLan::Address(8)));
    // A dropping host comes back after a while away without an echo wait.
    lan.SetAnswering(4, false);
    lan.SetAnswering(4, true);
    EXPECT_FALSE(echo::PingHost(TestLan::Address(4)));
}

TEST(TestLanTest, LeavesNothingBehindAndCanBeBuiltAgain) {
    SKIP_WITHOUT_LAN();
    for (int round = 0; round < 2; ++round) {
        {
            TestLan lan({5});
            EXPECT_NE(if_nametoindex("tlan0"), 0u);
            EXPECT_TRUE(echo::PingHost(TestLan::Address(5)));
        }
        EXPECT_EQ(if_nametoindex("tlan0"), 0u);
        EXPECT_FALSE(echo::PingHost(TestLan::Address(5)));  // no route any more
    }
}

TEST(TestLanTest, ALanOfAKilledProcessDoesNotBlockTheNext) {
    SKIP_WITHOUT_LAN();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = testsupport::Fork([&] {
        close(ready[0]);
        try {
            TestLan lan({9});
            (void)!write(ready[1], "y", 1);
            pause();
        } catch (...) {
            (void)!write(ready[1], "n", 1);
        }
        return 1;
    });
    ASSERT_GT(child, 0);
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    ASSERT_EQ(c, 'y');
    testsupport::End(child);  // no destructor runs

    TestLan lan({9, 11});
    EXPECT_TRUE(echo::PingHost(TestLan::Address(11)));
    EXPECT_TRUE(echo::PingHost(TestLan::Address(9)));
}

TEST(TestLanTest, ConcurrentLansTakeTurns) {
    SKIP_WITHOUT_LAN();
    std::atomic<bool> firstUp{false}, firstGone{false}, secondSawFirstGone{false};
    std::thread first([&] {
        TestLan lan({1});
        firstUp = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        firstGone = true;
    });
    while (!firstUp) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::thread second([&] {
        TestLan lan({2});
        secondSawFirstGone = firstGone.load();
        EXPECT_TRUE(echo::PingHost(TestLan::Address(2)));
    });
    first.join();
    second.join();
    EXPECT_TRUE(secondSawFirstGone);
}

TEST(TestLanTest, RefusesWhereADefaultRouteExists) {
    SKIP_WITHOUT_LAN();
    TestLan lan({1});
    lan.IpInHosts({"link", "show", "tlan1"});  // the hosts' side is reachable for tests
    std::string why;
    EXPECT_TRUE(TestLan::Usable(&why)) << why;
    ASSERT_EQ(
        testsupport::Run("ip", {"route", "add", "default", "via", "192.0.2.1", "dev", "tlan0"}), 0);
    // The refusal is what this test wants, also where a run requires the LAN.
    const char* set = std::getenv("VARNEX_REQUIRE_LAN");
    const std::string required = set ? set : "";
    ::unsetenv("VARNEX_REQUIRE_LAN");
    EXPECT_FALSE(TestLan::Usable(&why));
    EXPECT_NE(why.find("default route"), std::string::npos) << why;
    EXPECT_THROW(TestLan({3}), std::runtime_error);
    if (!required.empty()) ::setenv("VARNEX_REQUIRE_LAN", required.c_str(), 1);
    ASSERT_EQ(testsupport::Run("ip", {"route", "del", "default"}), 0);
}

TEST(TestLanTest, RejectsHostNumbersOutsideTheLan) {
    EXPECT_THROW(TestLan({0}), std::invalid_argument);
    EXPECT_THROW(TestLan({254}), std::invalid_argument);
}

}  // namespace
