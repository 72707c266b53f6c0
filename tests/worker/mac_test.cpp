// SPDX-License-Identifier: MIT
// LookupMac: the text format from the neighbour lookup's six bytes, the
// failure rule, and real lookups on the test LAN and loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "echo/echo.h"
#include "platform/net/neighbour.h"
#include "tests/support/children.h"
#include "tests/support/testnet.h"
#include "worker/Mac.h"

using testsupport::TestLan;

namespace {

using namespace worker;

[[maybe_unused]] testing::Environment* const privateNetwork =
    testing::AddGlobalTestEnvironment(new testsupport::PrivateNetwork);
const std::string& noNetwork = testsupport::PrivateNetwork::Failure();

// Replaces the neighbour lookup with fixed bytes and records what was asked.
class FakeArpTest : public testing::Test {
  protected:
    void Answer(std::vector<unsigned char> bytes, std::uint32_t rc = 0) {
        platform::SetSendArpForTesting([this, bytes, rc](std::uint32_t dest, std::uint32_t src,
                                                         void* mac, std::uint32_t* len) {
            asked_ = dest;
            source_ = src;
            lengthIn_ = *len;
            if (!bytes.empty()) std::memcpy(mac, bytes.data(), bytes.size());
            return rc;
        });
    }
    void TearDown() override { platform::SetSendArpForTesting({}); }

    std::uint32_t asked_ = 1;
    std::uint32_t source_ = 1;
    std::uint32_t lengthIn_ = 0;
};

TEST_F(FakeArpTest, FormatsSixBytesAsUppercaseTwoDigitHex) {
    Answer({0, 17, 34, 51, 68, 85});
    EXPECT_EQ(LookupMac("192.168.1.10"), "00-11-22-33-44-55");
    unsigned char bytes[4];
    std::memcpy(bytes, &asked_, 4);
    EXPECT_EQ(bytes[0], 192);  // network order: first octet first
    EXPECT_EQ(bytes[3], 10);
    EXPECT_EQ(source_, 0u);
    EXPECT_EQ(lengthIn_, 6u);
    Answer({10, 11, 12, 13, 14, 15});
    EXPECT_EQ(LookupMac("192.168.1.10"), "0A-0B-0C-0D-0E-0F");
    Answer({0xFF, 0xFE, 0xAB, 0xCD, 0xEF, 0x01});
    EXPECT_EQ(LookupMac("192.168.1.10"), "FF-FE-AB-CD-EF-01");
}

TEST_F(FakeArpTest, TheBufferAloneDecides) {
    Answer({0, 0, 0, 0, 0x12, 0x34});  // first four bytes zero: failed
    EXPECT_EQ(LookupMac("10.0.0.1"), "00-00-00-00-00-00");
    Answer({0, 0, 0, 1, 0, 0});  // a non-zero fourth byte is enough
    EXPECT_EQ(LookupMac("10.0.0.1"), "00-00-00-01-00-00");
    Answer({2, 0, 0, 0, 0, 9}, 67);  // an error result with bytes still counts
    EXPECT_EQ(LookupMac("10.0.0.1"), "02-00-00-00-00-09");
    Answer({}, 31);  // nothing written: the zeroed buffer fails
    EXPECT_EQ(LookupMac("10.0.0.1"), "00-00-00-00-00-00");
}

TEST_F(FakeArpTest, AnUnparsableTextIsPassedOnAndFails) {
    Answer({});
    EXPECT_EQ(LookupMac("not an address"), "00-00-00-00-00-00");
    EXPECT_EQ(asked_, 0xFFFFFFFFu);  // inet_addr's "none"
}

// Loopback's own address too is looked up on its interface, whose address is
// all zeros.
TEST(MacLookupTest, LoopbackHasNoHardwareAddress) {
    ASSERT_TRUE(echo::PingHost("127.0.0.1"));
    EXPECT_EQ(LookupMac("127.0.0.1"), "00-00-00-00-00-00");
    EXPECT_EQ(LookupMac("127.0.0.99"), "00-00-00-00-00-00");
}

TEST(MacLookupTest, TestLanHostsGiveTheirOwnMacAndSilentOnesZero) {
    if (!noNetwork.empty()) GTEST_SKIP() << noNetwork;
    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    TestLan lan(TestLan::Range(1, 12));
    EXPECT_EQ(LookupMac(TestLan::Address(7)), "00-00-00-00-00-00");  // not asked yet
    ASSERT_TRUE(echo::PingHost(TestLan::Address(7)));
    EXPECT_EQ(LookupMac(TestLan::Address(7)), "02-00-00-00-00-07");

    // Many workers look up at once, each its own host.
    std::vector<std::string> macs(13);
    std::vector<std::thread> threads;
    for (int n = 1; n <= 12; ++n) {
        threads.emplace_back([n, &macs] {
            if (echo::PingHost(TestLan::Address(n))) macs[n] = LookupMac(TestLan::Address(n));
        });
    }
    for (auto& t : threads) t.join();
    for (int n = 1; n <= 12; ++n) EXPECT_EQ(macs[n], TestLan::Mac(n)) << n;

    ASSERT_FALSE(echo::PingHost(TestLan::Address(50)));  // incomplete, then failed
    EXPECT_EQ(LookupMac(TestLan::Address(50)), "00-00-00-00-00-00");
    // Our own address: the MAC of our interface on the LAN.
    EXPECT_EQ(LookupMac(TestLan::Address(TestLan::kScannerHost)),
              TestLan::Mac(TestLan::kScannerHost));
    EXPECT_EQ(LookupMac("198.51.100.1"), "00-00-00-00-00-00");  // off-link, no route
}

TEST(MacLookupTest, HandMadeEntriesCountByTheirStateAndOnlyOnTheHostsLink) {
    if (!noNetwork.empty()) GTEST_SKIP() << noNetwork;
    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    TestLan lan({1});
    // Entries the administrator made by hand: permanent counts, noarp with a
    // zero address does not.
    ASSERT_EQ(testsupport::Run("ip", {"neigh", "add", "192.0.2.60", "lladdr", "02:00:00:00:00:3c",
                                      "dev", "tlan0", "nud", "permanent"}),
              0);
    ASSERT_EQ(testsupport::Run("ip", {"neigh", "add", "192.0.2.61", "lladdr", "00:00:00:00:00:00",
                                      "dev", "tlan0", "nud", "noarp"}),
              0);
    ASSERT_EQ(testsupport::Run("ip", {"neigh", "add", "192.0.2.62", "lladdr", "02:00:00:00:00:3e",
                                      "dev", "tlan0", "nud", "noarp"}),
              0);
    EXPECT_EQ(LookupMac(TestLan::Address(60)), "02-00-00-00-00-3C");
    EXPECT_EQ(LookupMac(TestLan::Address(61)), "00-00-00-00-00-00");
    EXPECT_EQ(LookupMac(TestLan::Address(62)), "02-00-00-00-00-3E");

    // The same addresses known on other links too (a second interface on the
    // subnet, a VPN): only the entry of the link the host is reached through
    // counts, whatever order the table's hash gives them.
    ASSERT_TRUE(echo::PingHost(TestLan::Address(1)));
    for (int d = 1; d <= 8; ++d) {
        const std::string link = "tdum" + std::to_string(d),
                          mac = "02:00:00:00:99:0" + std::to_string(d);
        ASSERT_EQ(testsupport::Run(
                      "ip", {"link", "add", link, "type", "veth", "peer", "name", link + "p"}),
                  0);
        ASSERT_EQ(testsupport::Run("ip", {"link", "set", link, "up"}), 0);
        for (const char* host : {"192.0.2.1", "192.0.2.60", "192.0.2.63"})
            ASSERT_EQ(testsupport::Run("ip", {"neigh", "add", host, "lladdr", mac, "dev", link,
                                              "nud", "permanent"}),
                      0);
    }
    EXPECT_EQ(LookupMac(TestLan::Address(1)), TestLan::Mac(1));
    EXPECT_EQ(LookupMac(TestLan::Address(60)), "02-00-00-00-00-3C");
    EXPECT_EQ(LookupMac(TestLan::Address(63)), "00-00-00-00-00-00");
    for (int d = 1; d <= 8; ++d)
        testsupport::Run("ip", {"link", "del", "tdum" + std::to_string(d)});
}

}  // namespace
