// SPDX-License-Identifier: MIT
// What shows that a host is there besides its echo, on the test LAN: the
// links a subnet is directly attached through, ARP requests of our own and
// their replies, the neighbour table's fresh entries, and host names.
#include <gtest/gtest.h>
#include <net/if.h>

#include <chrono>
#include <map>
#include <thread>

#include "platform/net/arp_probe.h"
#include "platform/net/icmp.h"
#include "platform/net/neighbour_evidence.h"
#include "platform/net/reverse_names.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"

using testsupport::TestLan;
using namespace std::chrono_literals;

namespace {

[[maybe_unused]] testing::Environment* const gEnv =
    testing::AddGlobalTestEnvironment(new testsupport::PrivateNetwork);

const platform::Subnet24 kLan{192, 0, 2};

#define SKIP_WITHOUT_LAN()                                        \
    do {                                                          \
        std::string why = testsupport::PrivateNetwork::Failure(); \
        if (why.empty() && !TestLan::Usable(&why)) {              \
        }                                                         \
        if (!why.empty()) GTEST_SKIP() << why;                    \
    } while (0)

// One echo to host n of the LAN: answered within 200 ms?
bool Echo(int n) {
    platform::IcmpHandle h = platform::IcmpCreateFile();
    unsigned char reply[278] = {};
    const auto got = platform::IcmpSendEcho(h, platform::HostAddress(kLan, n), "probe", 5, nullptr,
                                            reply, sizeof reply, 200);
    platform::IcmpCloseHandle(h);
    return got != 0;
}

std::array<unsigned char, 6> Hardware(int n) {
    return {0x02, 0, 0, 0, 0, static_cast<unsigned char>(n)};
}

std::map<int, std::array<unsigned char, 6>> Seen(const std::vector<platform::ArpReply>& replies) {
    std::map<int, std::array<unsigned char, 6>> seen;
    for (const auto& r : replies) seen[r.host] = r.hardware;
    return seen;
}

TEST(Presence, OnlyADirectlyAttachedSubnetHasLinksAndOurRequestsFindEchoDroppingHosts) {
    SKIP_WITHOUT_LAN();
    TestLan lan({3, 5, 7});
    lan.DropEcho(5);
    const auto links = platform::DirectLinks(kLan);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].index, static_cast<int>(if_nametoindex("tlan0")));
    EXPECT_EQ(links[0].source, platform::HostAddress(kLan, TestLan::kScannerHost));
    EXPECT_EQ(links[0].hardware, Hardware(TestLan::kScannerHost));
    // Our own address and the broadcast address are no neighbours.
    const std::set<int> neighbours = TestLan::Range(1, 253);
    EXPECT_EQ(links[0].hosts, std::vector<int>(neighbours.begin(), neighbours.end()));
    EXPECT_TRUE(platform::DirectLinks({127, 0, 0}).empty());     // local
    EXPECT_TRUE(platform::DirectLinks({198, 51, 100}).empty());  // no route
    EXPECT_EQ(platform::ArpProbe({127, 0, 0}).State(), platform::ArpProbe::Start::NotAttached);

    platform::ArpProbe probe(kLan);
    ASSERT_EQ(probe.State(), platform::ArpProbe::Start::Probing);
    EXPECT_EQ(probe.Hosts(), 253);
    const std::map<int, std::array<unsigned char, 6>> all{
        {3, Hardware(3)}, {5, Hardware(5)}, {7, Hardware(7)}};
    ASSERT_TRUE(probe.Send());
    EXPECT_TRUE(testsupport::WaitFor([&] { return Seen(probe.Replies()) == all; }, 5s));
    // Each Send starts afresh: a host gone since is not heard again.
    lan.SetAnswering(7, false);
    ASSERT_TRUE(probe.Send());
    auto two = all;
    two.erase(7);
    EXPECT_TRUE(testsupport::WaitFor([&] { return Seen(probe.Replies()) == two; }, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Seen(probe.Replies()), two);
}

TEST(Presence, TheNeighbourTableCountsOnlyEntriesConfirmedWithinTheBound) {
    SKIP_WITHOUT_LAN();
    TestLan lan({5, 7});
    lan.DropEcho(5);
    const auto links = platform::DirectLinks(kLan);
    const auto since = std::chrono::steady_clock::now();
    auto within = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - since);
    };
    // The echo goes unanswered, but the kernel asked for the host's address
    // first; the never-answering 9 leaves an incomplete or failed entry.
    EXPECT_FALSE(Echo(5));
    EXPECT_FALSE(Echo(9));
    auto sightings = platform::ConfirmedNeighbours(kLan, links, within());
    ASSERT_EQ(sightings.size(), 1u);
    EXPECT_EQ(sightings[0].host, 5);
    EXPECT_EQ(sightings[0].hardware, Hardware(5));
    // Confirmed before the bound: no evidence, however close.
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(platform::ConfirmedNeighbours(kLan, links, 100ms).empty());
    // A host that left keeps its entry, which nothing confirms any more.
    EXPECT_TRUE(Echo(7));
    std::this_thread::sleep_for(100ms);
    lan.SetAnswering(7, false);
    const auto again = std::chrono::steady_clock::now();
    EXPECT_FALSE(Echo(7));
    EXPECT_TRUE(platform::ConfirmedNeighbours(kLan, links,
                                              std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - again))
                    .empty());
    EXPECT_TRUE(platform::ConfirmedNeighbours(kLan, {}, 10s).empty());  // no link: nothing
}

TEST(Presence, NamesComeFromTheHostsFileAndTheNameServerAndASilentServerIsCutShort) {
    SKIP_WITHOUT_LAN();
    TestLan lan({3, 4, 53});
    lan.ServeNames(53, {{3, "three.lan.test"}});
    {
        testsupport::ResolverFiles files("nameserver 192.0.2.53\n", "192.0.2.7 seven-by-file\n");
        ASSERT_EQ(files.Problem(), "");
        platform::ReverseNames names;
        ASSERT_EQ(names.Problem(), "");
        for (int n : {3, 4, 7, 3}) names.Start(platform::HostAddress(kLan, n));
        EXPECT_TRUE(names.Wait(std::chrono::steady_clock::now() + 5s));
        EXPECT_EQ(names.Name(platform::HostAddress(kLan, 3)), "three.lan.test");
        EXPECT_EQ(names.Name(platform::HostAddress(kLan, 4)), "");  // no record
        EXPECT_EQ(names.Name(platform::HostAddress(kLan, 7)), "seven-by-file");
    }
    lan.DropDns(4);
    testsupport::ResolverFiles files("nameserver 192.0.2.4\n", "");
    ASSERT_EQ(files.Problem(), "");
    const auto t0 = std::chrono::steady_clock::now();
    {
        platform::ReverseNames names;
        names.Start(platform::HostAddress(kLan, 3));
        EXPECT_FALSE(names.Wait(t0 + 300ms));
        EXPECT_EQ(names.Name(platform::HostAddress(kLan, 3)), "");
    }  // cancels what is still out
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

}  // namespace
