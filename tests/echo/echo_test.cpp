// SPDX-License-Identifier: MIT
// Address conversion, the socket start-up messages and their balance: no
// packet leaves in these tests except to loopback.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "echo/echo.h"
#include "platform/net/icmp.h"
#include "platform/net/winsock.h"
#include "platform/process/msgbox.h"

namespace {

std::uint32_t Value(int a, int b, int c, int d) {
    return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 |
           static_cast<std::uint32_t>(c) << 16 | static_cast<std::uint32_t>(d) << 24;
}

TEST(AddressFromTextTest, FirstPartGoesToTheLowestByte) {
    const std::uint32_t v = echo::AddressFromText("192.168.1.10");
    EXPECT_EQ(v, Value(192, 168, 1, 10));
    unsigned char bytes[4];
    std::memcpy(bytes, &v, 4);
    EXPECT_EQ(bytes[0], 0xC0);
    EXPECT_EQ(bytes[1], 0xA8);
    EXPECT_EQ(bytes[2], 0x01);
    EXPECT_EQ(bytes[3], 0x0A);
    EXPECT_EQ(echo::AddressFromText("1.2.3.200"), 0xC8030201u);  // top bit set is kept
}

TEST(AddressFromTextTest, OnlyTheLowestEightBitsOfEachPartCount) {
    EXPECT_EQ(echo::AddressFromText("10.0.0.256"), Value(10, 0, 0, 0));
    EXPECT_EQ(echo::AddressFromText("300.0.0.1"), Value(44, 0, 0, 1));
    EXPECT_EQ(echo::AddressFromText("-1.0.0.1"), Value(255, 0, 0, 1));
    EXPECT_EQ(echo::AddressFromText(" 1 . 2.3 .4 "), Value(1, 2, 3, 4));
    EXPECT_EQ(echo::AddressFromText("+7.0.0.-256"), Value(7, 0, 0, 0));
    EXPECT_EQ(echo::AddressFromText("2147483647.0.0.-2147483648"), Value(255, 0, 0, 0));
}

TEST(AddressFromTextTest, FewerThanThreeDotsGiveZeroWithoutError) {
    for (const char* text : {"", "192.168.1", "1..2", "abc", ".", "..", "x.y"}) {
        EXPECT_EQ(echo::AddressFromText(text), 0u) << text;
    }
}

TEST(AddressFromTextTest, MalformedTextsNameTheirFault) {
    struct Case {
        const char* text;
        const char* fault;
    };
    const Case cases[] = {
        {"1.2.3.4.5", "too many parts"},
        {"1.2.3.4.", "too many parts"},
        {"....", "too many parts"},
        {"1..2.3", "not a number"},
        {".1.2.3", "not a number"},
        {"1.2.3.", "not a number"},
        {"1.2. .3", "not a number"},
        {"1.2.x.3", "not a number"},
        {"1.2.3.4a", "not a number"},
        {"1.2.3.- 4", "not a number"},
        {"1.2.3.0x10", "not a number"},
        {"1.2.3.-", "not a number"},
        {"1.2.3.2147483648", "out of range"},
        {"1.2.3.-2147483649", "out of range"},
        {"1.2.3.99999999999999999999999", "out of range"},
    };
    for (const auto& c : cases) {
        try {
            echo::AddressFromText(c.text);
            ADD_FAILURE() << c.text << " was accepted";
        } catch (const echo::AddressError& e) {
            EXPECT_NE(std::string(e.what()).find(c.fault), std::string::npos)
                << c.text << ": " << e.what();
        }
    }
}

TEST(AddressFromTextTest, AnErrorTextIsBoundedForAHugeInput) {
    const std::string huge = "1.2.3." + std::string(100000, 'z');
    try {
        echo::AddressFromText(huge);
        FAIL();
    } catch (const echo::AddressError& e) {
        EXPECT_LT(std::strlen(e.what()), 200u);
    }
}

TEST(WordBytesTest, LowAndHighByte) {
    EXPECT_EQ(echo::LowByte(0x0102), 0x02);
    EXPECT_EQ(echo::HighByte(0x0102), 0x01);
    EXPECT_EQ(echo::LowByte(0xFF00), 0x00);
    EXPECT_EQ(echo::HighByte(0xFF00), 0xFF);
}

// Collects the shown messages and restores the real Winsock afterwards.
class MessagesTest : public testing::Test {
  protected:
    void SetUp() override {
        previous_ = platform::SetMessageHandler([this](const std::string& t, platform::MsgIcon i) {
            std::lock_guard lock(mutex_);
            shown_.emplace_back(t, i);
        });
    }
    void TearDown() override {
        platform::SetMessageHandler(previous_);
        platform::SetWSAStartupForTesting({});
        platform::SetWSACleanupForTesting({});
        EXPECT_EQ(platform::WinsockStartupCount(), 0) << "start-ups and shutdowns unbalanced";
    }
    std::vector<std::pair<std::string, platform::MsgIcon>> Shown() {
        std::lock_guard lock(mutex_);
        return shown_;
    }

    platform::MessageHandler previous_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, platform::MsgIcon>> shown_;
};

const std::string kMsg1 =
    "Windows Sockets for 32 bit Windows environments is not successfully responding.";
const std::string kMsg4 = "Windows Sockets error -1 occurred in Cleanup.";

TEST_F(MessagesTest, AWorkingStartUpShowsNothingAndIsBalanced) {
    EXPECT_TRUE(echo::PingHost("127.0.0.1"));
    EXPECT_FALSE(echo::PingHost("1.2"));
    EXPECT_TRUE(Shown().empty());
    EXPECT_TRUE(echo::StartSockets());
    EXPECT_TRUE(echo::StopSockets());
}

TEST_F(MessagesTest, AFailedStartUpShowsMessageOneAndFourTwiceAndStillPings) {
    platform::SetWSAStartupForTesting([](std::uint16_t, platform::WSADATA*) { return 10091; });
    EXPECT_TRUE(echo::PingHost("127.0.0.1"));  // the echo is still attempted
    const auto shown = Shown();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].first, kMsg1);
    EXPECT_EQ(shown[0].second, platform::MsgIcon::None);
    EXPECT_EQ(shown[1].first, kMsg1);
    EXPECT_EQ(shown[2].first, kMsg4);
    EXPECT_EQ(shown[2].second, platform::MsgIcon::Warning);
    EXPECT_EQ(shown[3].first, kMsg4);
}

TEST_F(MessagesTest, AnOldVersionShowsMessageTwoAndIsStillBalanced) {
    platform::SetWSAStartupForTesting([](std::uint16_t v, platform::WSADATA* d) {
        const int rc = platform::DefaultWSAStartup(v, d);
        d->wVersion = 0x0001;  // granted 1.0
        return rc;
    });
    EXPECT_FALSE(echo::StartSockets());
    EXPECT_TRUE(echo::StopSockets());
    platform::SetWSAStartupForTesting([](std::uint16_t v, platform::WSADATA* d) {
        const int rc = platform::DefaultWSAStartup(v, d);
        d->wVersion = 0x0200;  // 0.2: major below 1, whatever the minor
        return rc;
    });
    EXPECT_FALSE(echo::StartSockets());
    EXPECT_TRUE(echo::StopSockets());
    const auto shown = Shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].first,
              "Windows Sockets Version 1.0 is not supported by Windows Sockets for 32 bit Windows "
              "environments.");
    EXPECT_EQ(shown[0].second, platform::MsgIcon::Warning);
    EXPECT_EQ(shown[1].first,
              "Windows Sockets Version 0.2 is not supported by Windows Sockets for 32 bit Windows "
              "environments.");
}

TEST_F(MessagesTest, TooFewSocketsShowsMessageThree) {
    platform::SetWSAStartupForTesting([](std::uint16_t v, platform::WSADATA* d) {
        const int rc = platform::DefaultWSAStartup(v, d);
        d->iMaxSockets = -5;  // read as signed: a huge unsigned count would pass
        return rc;
    });
    EXPECT_FALSE(echo::StartSockets());
    EXPECT_TRUE(echo::StopSockets());
    const auto shown = Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, "This application requires a minimum of 1 supported sockets.");
    EXPECT_EQ(shown[0].second, platform::MsgIcon::Warning);
}

TEST_F(MessagesTest, AFailingShutdownShowsItsResultAndKeepsTheAnswer) {
    platform::SetWSACleanupForTesting([] {
        platform::DefaultWSACleanup();
        return -7;
    });
    EXPECT_TRUE(echo::PingHost("127.0.0.1"));
    EXPECT_FALSE(echo::PingHost("1.2"));
    const auto shown = Shown();
    ASSERT_EQ(shown.size(), 4u);
    for (const auto& s : shown) EXPECT_EQ(s.first, "Windows Sockets error -7 occurred in Cleanup.");
}

TEST_F(MessagesTest, AMalformedTextThrowsSendsNothingAndStaysBalanced) {
    const auto before = platform::IcmpRequestsSent();
    for (const char* text : {"1.2.3.4.5", " 1..2.3 ", "1.2.3.x", "1.2.3.4294967296"}) {
        EXPECT_THROW(echo::PingHost(text), echo::AddressError) << text;
        unsigned char reply[278] = {};
        EXPECT_THROW(echo::SendEcho(text, reply), echo::AddressError) << text;
        EXPECT_EQ(platform::WinsockStartupCount(), 0) << text;
    }
    EXPECT_EQ(platform::IcmpRequestsSent(), before);
    EXPECT_TRUE(Shown().empty());
}

TEST_F(MessagesTest, FewerThanThreeDotsSendNothingAndGiveFalse) {
    const auto before = platform::IcmpRequestsSent();
    for (const char* text : {"", "   ", "127.0.0", "1", "1.2.x"}) {
        EXPECT_FALSE(echo::PingHost(text)) << text;
    }
    EXPECT_EQ(platform::IcmpRequestsSent(), before);  // address 0 is never sent
}

// Without a window the message must still reach someone: standard error (and
// the system log), never a block on a box nobody sees.
TEST(DefaultMessageTest, GoesToStandardErrorWithoutBlocking) {
    const platform::MessageHandler previous = platform::SetMessageHandler({});
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const int savedErr = dup(2);
    dup2(pipeFds[1], 2);
    platform::ShowMessage(kMsg4, platform::MsgIcon::Warning);
    dup2(savedErr, 2);
    close(savedErr);
    close(pipeFds[1]);
    char buf[512] = {};
    const ssize_t n = read(pipeFds[0], buf, sizeof buf - 1);
    close(pipeFds[0]);
    platform::SetMessageHandler(previous);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(buf).find(kMsg4), std::string::npos) << buf;
}

TEST(WinsockTest, CountsStartUpsPerProcess) {
    platform::WSADATA d{};
    EXPECT_EQ(platform::WSACleanup(), -1);  // nothing started
    ASSERT_EQ(platform::WSAStartup(0x0101, &d), 0);
    EXPECT_EQ(d.wVersion, 0x0101);
    EXPECT_GE(d.iMaxSockets, 1);
    ASSERT_EQ(platform::WSAStartup(0x0303, &d), 0);
    EXPECT_EQ(d.wVersion, 0x0202);  // the highest we have
    EXPECT_EQ(platform::WSAStartup(0x0000, &d), platform::kWsaVerNotSupported);
    EXPECT_EQ(platform::WinsockStartupCount(), 2);
    EXPECT_EQ(platform::WSACleanup(), 0);
    EXPECT_EQ(platform::WSACleanup(), 0);
    EXPECT_EQ(platform::WSACleanup(), -1);
}

}  // namespace
