// SPDX-License-Identifier: MIT
// Echoes for real, in a network namespace of this test process: loopback
// answers for every 127.0.0.x, the test LAN has answering and silent hosts.
// Every case runs with datagram and with raw ICMP sockets.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "echo/echo.h"
#include "platform/net/icmp.h"
#include "tests/support/children.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"

using testsupport::TestLan;
using Clock = std::chrono::steady_clock;

namespace {

[[maybe_unused]] testing::Environment* const privateNetwork =
    testing::AddGlobalTestEnvironment(new testsupport::PrivateNetwork);
const std::string& noNetwork = testsupport::PrivateNetwork::Failure();

struct Reply {
    bool answered = false;
    std::uint32_t from = 0;
    std::uint16_t dataSize = 0;
    std::string data;
};

Reply Echo(const std::string& address) {
    unsigned char buf[278];
    std::memset(buf, 0, sizeof buf);
    echo::SendEcho(address, buf);
    Reply r;
    std::memcpy(&r.from, buf + platform::echo_reply::kAddress, 4);
    std::memcpy(&r.dataSize, buf + platform::echo_reply::kDataSize, 2);
    r.answered = r.dataSize != 0;
    r.data.assign(reinterpret_cast<const char*>(buf + platform::echo_reply::kData),
                  r.dataSize <= 250 ? r.dataSize : 250);
    return r;
}

std::uint32_t Addr(const std::string& text) {
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return a.s_addr;
}

// The socket kind is chosen per namespace by net.ipv4.ping_group_range: a
// range that covers our group gives datagram sockets, "1 0" (empty) leaves
// raw sockets, which root may open.
class PingTest : public testing::TestWithParam<platform::IcmpSocketKind> {
  protected:
    void SetUp() override {
        if (!noNetwork.empty()) GTEST_SKIP() << noNetwork;
        const bool dgram = GetParam() == platform::IcmpSocketKind::Datagram;
        const std::string gid = std::to_string(getegid());
        // In a user namespace only mapped groups may be written, and "1 0"
        // may not be: then datagram sockets cannot be turned off.
        if (!testsupport::WriteSysctl("net/ipv4/ping_group_range",
                                      dgram ? gid + " " + gid : "1 0")) {
            GTEST_SKIP() << "cannot set net.ipv4.ping_group_range here";
        }
        platform::IcmpHandle h = platform::IcmpCreateFile();
        const auto kind = platform::IcmpKindOf(h);
        platform::IcmpCloseHandle(h);
        if (!dgram && kind != platform::IcmpSocketKind::Raw) GTEST_SKIP() << "no raw sockets here";
        ASSERT_EQ(kind, GetParam());
    }
};

TEST_P(PingTest, LoopbackAnswersWithTheEchoedPayload) {
    for (const char* text : {"127.0.0.1", "127.0.0.7", "127.0.0.255", "  127.0.0.9  "}) {
        EXPECT_TRUE(echo::PingHost(text)) << text;
    }
    const Reply r = Echo("127.0.0.42");
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.from, Addr("127.0.0.42"));
    EXPECT_EQ(r.dataSize, 10);
    EXPECT_EQ(r.data, "My Request");
    EXPECT_TRUE(echo::PingHost("127.0.0.256"));  // sent to 127.0.0.0: answered locally
}

TEST_P(PingTest, EveryConcurrentCallerGetsItsOwnAnswerOnLoopback) {
    std::vector<Reply> replies(256);
    std::vector<char> pinged(256, 0);
    std::vector<std::thread> threads;
    for (int n = 1; n <= 255; ++n) {
        threads.emplace_back([n, &replies, &pinged] {
            const std::string a = "127.0.0." + std::to_string(n);
            pinged[n] = echo::PingHost(a);
            replies[n] = Echo(a);
        });
    }
    for (auto& t : threads) t.join();
    for (int n = 1; n <= 255; ++n) {
        const std::string a = "127.0.0." + std::to_string(n);
        EXPECT_TRUE(pinged[n]) << a;
        EXPECT_TRUE(replies[n].answered) << a;
        EXPECT_EQ(replies[n].from, Addr(a)) << a;  // nobody else's reply
        EXPECT_EQ(replies[n].data, "My Request") << a;
    }
}

TEST_P(PingTest, TheTestLanGivesTheSameAnswersRoundAfterRound) {
    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    TestLan lan(TestLan::Range(1, 40));
    for (int round = 0; round < 3; ++round) {
        std::vector<Reply> replies(256);
        std::vector<double> seconds(256);
        std::vector<std::thread> threads;
        for (int n = 1; n <= 255; ++n) {
            threads.emplace_back([n, &replies, &seconds] {
                const auto start = Clock::now();
                replies[n] = Echo(TestLan::Address(n));
                seconds[n] = std::chrono::duration<double>(Clock::now() - start).count();
            });
        }
        for (auto& t : threads) t.join();
        for (int n = 1; n <= 255; ++n) {
            // .254 is our own side; .255 is the broadcast address, refused.
            const bool expected = n <= 40 || n == TestLan::kScannerHost;
            EXPECT_EQ(replies[n].answered, expected) << "round " << round << " host " << n;
            if (expected) {
                EXPECT_EQ(replies[n].from, Addr(TestLan::Address(n))) << n;
            }
            EXPECT_LT(seconds[n], 2.0) << "host " << n << " hung";
        }
    }
}

TEST_P(PingTest, ASilentHostGivesFalseAfterTheTimeOut) {
    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    TestLan lan({1});
    for (const int n : {100, 100, 2}) {  // a fresh and a known-silent neighbour
        const auto start = Clock::now();
        EXPECT_FALSE(echo::PingHost(TestLan::Address(n)));
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(s, 0.15) << "gave up before the time-out";
        EXPECT_LT(s, 2.0) << "hung";
    }
    const auto start = Clock::now();
    EXPECT_FALSE(echo::PingHost(TestLan::Address(255)));  // broadcast: refused at once
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.15);
    EXPECT_TRUE(echo::PingHost(TestLan::Address(1)));
}

TEST_P(PingTest, AHostThatWentSilentStopsAnswering) {
    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    TestLan lan({3, 4});
    EXPECT_TRUE(echo::PingHost(TestLan::Address(3)));
    lan.SetAnswering(3, false);
    EXPECT_FALSE(echo::PingHost(TestLan::Address(3)));
    EXPECT_TRUE(echo::PingHost(TestLan::Address(4)));
    lan.SetAnswering(3, true);
    EXPECT_TRUE(echo::PingHost(TestLan::Address(3)));
}

// A responder of our own on loopback: with the kernel's echo replies off, a
// raw socket sees each request and answers it with whatever a case forges.
class Forger {
  public:
    struct Request {
        std::uint32_t from = 0, to = 0;  // network order
        std::uint16_t id = 0, seq = 0;   // as on the wire
    };

    ~Forger() {
        if (listen_ >= 0) close(listen_);
        if (send_ >= 0) close(send_);
    }
    bool Open(std::string* why) {
        listen_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        send_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);  // we write the IP header
        if (listen_ < 0 || send_ < 0) *why = std::string("no raw socket: ") + std::strerror(errno);
        return listen_ >= 0 && send_ >= 0;
    }
    // The echo request that carries `payload`, waiting at most 5 s.
    bool WaitRequest(const std::string& payload, Request& out) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        unsigned char in[1500];
        while (Clock::now() < deadline) {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = recv(listen_, in, sizeof in, 0);
            if (n < 28) continue;
            const size_t off = static_cast<size_t>(in[0] & 0x0f) * 4;
            if (static_cast<size_t>(n) < off + 8 || in[off] != ICMP_ECHO ||
                std::string(reinterpret_cast<char*>(in + off + 8), n - off - 8) != payload) {
                continue;
            }
            std::memcpy(&out.from, in + 12, 4);
            std::memcpy(&out.to, in + 16, 4);
            std::memcpy(&out.id, in + off + 4, 2);
            std::memcpy(&out.seq, in + off + 6, 2);
            return true;
        }
        return false;
    }
    // An echo reply to `rq`'s sender, from `source`, with sequence `seq`.
    void Reply(const Request& rq, std::uint32_t source, std::uint16_t seq, bool badChecksum,
               const std::string& data) {
        std::vector<unsigned char> pkt(20 + 8 + data.size());
        pkt[0] = 0x45;  // IPv4, 20-byte header; the kernel fills length, id and checksum
        pkt[8] = 64;
        pkt[9] = IPPROTO_ICMP;
        std::memcpy(&pkt[12], &source, 4);
        std::memcpy(&pkt[16], &rq.from, 4);
        unsigned char* icmp = &pkt[20];
        icmp[0] = ICMP_ECHOREPLY;
        std::memcpy(icmp + 4, &rq.id, 2);
        std::memcpy(icmp + 6, &seq, 2);
        std::memcpy(icmp + 8, data.data(), data.size());
        std::uint32_t sum = 0;
        for (size_t i = 0; i < 8 + data.size(); i += 2)
            sum += static_cast<std::uint32_t>(icmp[i] << 8 |
                                              (i + 1 < 8 + data.size() ? icmp[i + 1] : 0));
        while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
        const std::uint16_t check = htons(static_cast<std::uint16_t>(~sum ^ (badChecksum ? 1 : 0)));
        std::memcpy(icmp + 2, &check, 2);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = rq.from;
        ASSERT_EQ(
            sendto(send_, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(pkt.size()))
            << std::strerror(errno);
    }

  private:
    int listen_ = -1;
    int send_ = -1;
};

// While an echo to a host that never answers is pending, replies with the
// right identifier but the wrong sequence, from a spoofed source, or with a
// bad checksum arrive before the genuine one: only the genuine one counts.
TEST_P(PingTest, ForgedRepliesAreNeverCounted) {
    std::string why;
    if (!testsupport::Isolated(&why)) GTEST_SKIP() << why;
    Forger forger;
    if (!forger.Open(&why)) GTEST_SKIP() << why;
    if (!testsupport::WriteSysctl("net/ipv4/icmp_echo_ignore_all", "1"))
        GTEST_SKIP() << "cannot switch the kernel's echo replies off here";
    struct Restore {
        ~Restore() { testsupport::WriteSysctl("net/ipv4/icmp_echo_ignore_all", "0"); }
    } restore;
    EXPECT_FALSE(echo::PingHost("127.0.0.5"));  // nobody answers now

    const std::uint32_t silent = Addr("127.0.0.5");
    const std::string payload = "forge me";
    unsigned char reply[278] = {};
    std::uint32_t got = 0;
    std::thread echoer([&] {
        platform::IcmpHandle h = platform::IcmpCreateFile();
        got = platform::IcmpSendEcho(h, silent, payload.data(),
                                     static_cast<std::uint16_t>(payload.size()), nullptr, reply,
                                     sizeof reply, 10000);
        platform::IcmpCloseHandle(h);
    });
    Forger::Request rq;
    const bool seen = forger.WaitRequest(payload, rq);
    if (seen) {
        EXPECT_EQ(rq.to, silent);
        const std::uint16_t nextSeq = htons(static_cast<std::uint16_t>(ntohs(rq.seq) + 1));
        forger.Reply(rq, silent, nextSeq, false, "wrong sequence");
        forger.Reply(rq, Addr("127.0.0.6"), rq.seq, false, "spoofed source");
        forger.Reply(rq, silent, rq.seq, true, "bad checksum");
        // Sent in one order, they reach the echo's socket in that order; the
        // pause keeps the genuine one last even if this thread moves CPUs.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        forger.Reply(rq, silent, rq.seq, false, "genuine");
    }
    echoer.join();
    ASSERT_TRUE(seen) << "the echo request never showed";
    ASSERT_EQ(got, 1u);
    std::uint16_t dataSize = 0;
    std::memcpy(&dataSize, reply + platform::echo_reply::kDataSize, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply + platform::echo_reply::kData), dataSize),
              "genuine");
    std::uint32_t from = 0;
    std::memcpy(&from, reply + platform::echo_reply::kAddress, 4);
    EXPECT_EQ(from, silent);
}

INSTANTIATE_TEST_SUITE_P(Sockets, PingTest,
                         testing::Values(platform::IcmpSocketKind::Datagram,
                                         platform::IcmpSocketKind::Raw),
                         [](const auto& info) {
                             return info.param == platform::IcmpSocketKind::Datagram ? "Datagram"
                                                                                     : "Raw";
                         });

// Neither kind available: no reply, no crash, and the fault is reported.
TEST(NoIcmpSocketTest, EchoesFailQuietlyForTheCallerButAreLogged) {
    if (!noNetwork.empty()) GTEST_SKIP() << noNetwork;
    if (!testsupport::WriteSysctl("net/ipv4/ping_group_range", "1 0")) {
        GTEST_SKIP() << "cannot turn datagram ICMP sockets off here";
    }
    // Dropping the raw-socket right for good is only safe in a child process.
    const int code = testsupport::InChild([] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 3;
        int err[2];
        if (pipe(err) != 0) return 4;
        dup2(err[1], 2);
        const bool answered = echo::PingHost("127.0.0.1") || echo::PingHost("127.0.0.2");
        close(err[1]);
        close(2);
        char buf[4096] = {};
        const ssize_t n = read(err[0], buf, sizeof buf - 1);
        const std::string text = n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
        const bool logged = text.find("ping_group_range") != std::string::npos &&
                            text.find("cap_net_raw") != std::string::npos;
        const bool once = text.find("Fix:") == text.rfind("Fix:");
        return answered ? 5 : !logged ? 6 : !once ? 7 : 0;
    });
    if (code == 3) GTEST_SKIP() << "cannot switch user here";
    EXPECT_EQ(code, 0) << "5 answered, 6 not logged, 7 logged twice";
}

}  // namespace
