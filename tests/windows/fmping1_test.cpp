// SPDX-License-Identifier: MIT
#include "windows/FmPing1.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "echo/echo.h"
#include "platform/net/icmp.h"
#include "platform/net/winsock.h"
#include "platform/process/session.h"
#include "settings/ini.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"

namespace {

using namespace settings;

using windows::FmPing1;

const QString kStart = QStringLiteral("开始");
const QString kStop = QStringLiteral("结束");
const QString kStamp = QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} Ping:");

QString Line(const FmPing1* w, int i) { return w->List1->item(i)->text(); }

bool Matches(const QString& line, const QString& pattern) {
    return QRegularExpression(kStamp + pattern).match(line).hasMatch();
}

// The text an address error carries, as the echo reports it.
QString AddressErrorText(const std::string& address) {
    try {
        echo::PingHost(address);
    } catch (const std::exception& e) {
        return QString::fromStdString(e.what());
    }
    return {};
}

class FmPing1Test : public testing::Test {
  protected:
    void SetUp() override { std::remove(IniPath("set.ini").c_str()); }
    void TearDown() override {
        for (auto& w : windows_)
            if (w) w->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        FmPing1::SetDefaultPingFunction(nullptr);
    }
    // A window as the main window opens it; closed after the test.
    FmPing1* Open() {
        FmPing1* w = windows::OpenPingWindow(nullptr);
        windows_.push_back(w);
        return w;
    }
    std::vector<QPointer<FmPing1>> windows_;
};

TEST_F(FmPing1Test, OpensStoppedWithTheDesignLayout) {
    FmPing1* w = Open();
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->isWindow());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("持续ping"));
    EXPECT_EQ(w->size(), QSize(388, 495));
    EXPECT_EQ(w->Command1->text(), kStart);
    EXPECT_EQ(w->Label1->text(), "IP");
    EXPECT_EQ(w->Text1->text(), "");  // no set.ini yet
    EXPECT_FALSE(w->Timer1->isActive());
    EXPECT_EQ(w->Timer1->interval(), 200);
    EXPECT_EQ(w->List1->count(), 0);
    EXPECT_EQ(w->List1->geometry(), QRect(2, 50, 383, 436));
    EXPECT_EQ(w->palette().color(QPalette::Window), QColor(192, 192, 255));
    EXPECT_EQ(w->List1->palette().color(QPalette::Base), QColor(0, 0, 192));
    EXPECT_EQ(w->List1->palette().color(QPalette::Text), QColor(255, 255, 128));
}

TEST_F(FmPing1Test, FirstLineFollowsAboutOneIntervalAfterStart) {
    FmPing1* w = Open();
    w->Text1->setText("127.0.0.1");
    QElapsedTimer since;
    since.start();
    QTest::mouseClick(w->Command1, Qt::LeftButton);
    EXPECT_EQ(w->Command1->text(), kStop);
    EXPECT_TRUE(w->Timer1->isActive());
    EXPECT_EQ(w->List1->count(), 0);
    EXPECT_EQ(ReadIni("Set", "Ping", "set.ini"), "127.0.0.1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->List1->count() >= 1; }, 10000));
    EXPECT_GE(since.elapsed(), 150);  // not before the first tick
    EXPECT_TRUE(Matches(Line(w, 0), QStringLiteral("127\\.0\\.0\\.1: 成功$")))
        << Line(w, 0).toStdString();
}

TEST_F(FmPing1Test, NormalTicksKeepTheNewest500) {
    FmPing1* w = Open();
    int calls = 0;
    w->SetPingFunction([&](const std::string&) { return ++calls % 2 == 0; });
    for (int i = 0; i < 600; ++i) {
        w->Text1->setText(QString::number(i));
        w->Timer1_Timer();
    }
    EXPECT_EQ(calls, 600);
    ASSERT_EQ(w->List1->count(), 500);
    EXPECT_TRUE(Matches(Line(w, 0), QStringLiteral("599: 成功$")));
    EXPECT_TRUE(Matches(Line(w, 1), QStringLiteral("598: 失败:Error$")));
    EXPECT_TRUE(Matches(Line(w, 499), QStringLiteral("100: 失败:Error$")));
}

TEST_F(FmPing1Test, ErrorTicksGrowTheLogWithTheErrorText) {
    FmPing1* w = Open();
    w->Text1->setText("127.0.0.1.5");  // four dots: refused, nothing sent
    const QString error = AddressErrorText("127.0.0.1.5");
    ASSERT_FALSE(error.isEmpty());
    for (int i = 0; i < 3; ++i) w->Timer1_Timer();
    ASSERT_EQ(w->List1->count(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(Line(w, i).endsWith(QStringLiteral(" Ping:127.0.0.1.5: 失败") + error))
            << Line(w, i).toStdString();

    // Errors beyond 500 lines stay; a normal tick then adds one and removes one.
    bool fail = false;
    w->SetPingFunction([&](const std::string&) -> bool {
        if (fail) throw std::runtime_error("bad");
        return true;
    });
    for (int i = 0; i < 600; ++i) w->Timer1_Timer();
    ASSERT_EQ(w->List1->count(), 500);
    fail = true;
    for (int i = 0; i < 20; ++i) w->Timer1_Timer();
    EXPECT_EQ(w->List1->count(), 520);
    EXPECT_TRUE(Line(w, 0).endsWith(QStringLiteral(": 失败bad")));
    fail = false;
    w->Timer1_Timer();
    EXPECT_EQ(w->List1->count(), 520);
}

TEST_F(FmPing1Test, ErrorTicksNeverGrowTheLogBeyond5000) {
    FmPing1* w = Open();
    int n = 0;
    w->SetPingFunction(
        [&](const std::string&) -> bool { throw std::runtime_error(std::to_string(n++)); });
    for (int i = 0; i < FmPing1::kMaxLines + 100; ++i) w->Timer1_Timer();
    ASSERT_EQ(w->List1->count(), FmPing1::kMaxLines);
    EXPECT_TRUE(Line(w, 0).endsWith(QStringLiteral(": 失败5099")));
    EXPECT_TRUE(Line(w, FmPing1::kMaxLines - 1).endsWith(QStringLiteral(": 失败100")));
}

TEST_F(FmPing1Test, StopAndStartKeepsTheLogAndStoresTheAddressAgain) {
    FmPing1* w = Open();
    std::vector<std::string> pinged;
    w->SetPingFunction([&](const std::string& a) {
        pinged.push_back(a);
        return true;
    });
    w->Text1->setText("127.0.0.5");
    w->Command1->click();
    for (int i = 0; i < 3; ++i) w->Timer1_Timer();
    w->Command1->click();
    EXPECT_EQ(w->Command1->text(), kStart);
    EXPECT_FALSE(w->Timer1->isActive());
    EXPECT_EQ(w->List1->count(), 3);

    w->Text1->setText("127.0.0.6");
    EXPECT_EQ(ReadIni("Set", "Ping", "set.ini"), "127.0.0.5");  // stored only at start
    w->Command1->click();
    EXPECT_EQ(ReadIni("Set", "Ping", "set.ini"), "127.0.0.6");
    w->Timer1_Timer();
    ASSERT_EQ(w->List1->count(), 4);
    EXPECT_TRUE(Matches(Line(w, 0), QStringLiteral("127\\.0\\.0\\.6: 成功$")));
    EXPECT_TRUE(Matches(Line(w, 1), QStringLiteral("127\\.0\\.0\\.5: 成功$")));
    EXPECT_EQ(pinged.back(), "127.0.0.6");
}

TEST_F(FmPing1Test, TwoWindowsLogApart) {
    FmPing1* a = Open();
    FmPing1* b = Open();
    a->Text1->setText("127.0.0.1");
    b->Text1->setText("127.0.0.2");
    a->Command1->click();
    b->Command1->click();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return a->List1->count() >= 3 && b->List1->count() >= 3; }, 20000));
    a->Command1->click();
    b->Command1->click();
    for (int i = 0; i < a->List1->count(); ++i)
        EXPECT_TRUE(Matches(Line(a, i), QStringLiteral("127\\.0\\.0\\.1: 成功$")));
    for (int i = 0; i < b->List1->count(); ++i)
        EXPECT_TRUE(Matches(Line(b, i), QStringLiteral("127\\.0\\.0\\.2: 成功$")));
    // The last one started is the one remembered.
    EXPECT_EQ(ReadIni("Set", "Ping", "set.ini"), "127.0.0.2");
}

TEST_F(FmPing1Test, AnAddressWithSpacesIsPingedBareButLoggedAsTyped) {
    FmPing1* w = Open();
    w->Text1->setText("  127.0.0.1 ");
    w->Timer1_Timer();
    ASSERT_EQ(w->List1->count(), 1);
    EXPECT_TRUE(Line(w, 0).endsWith(QStringLiteral(" Ping:  127.0.0.1 : 成功")))
        << Line(w, 0).toStdString();
}

TEST_F(FmPing1Test, FewerThanThreeDotsPingsNothingAndLogsError) {
    FmPing1* w = Open();
    for (const char* text : {"", "127.0.1"}) {
        w->Text1->setText(text);
        w->Timer1_Timer();
        EXPECT_TRUE(Line(w, 0).endsWith(QStringLiteral(": 失败:Error"))) << text;
    }
}

TEST_F(FmPing1Test, ANewWindowOffersTheAddressStartedLast) {
    FmPing1::SetDefaultPingFunction([](const std::string&) { return true; });
    FmPing1* first = Open();
    first->Text1->setText("127.0.0.3");
    first->Command1->click();
    FmPing1* second = Open();
    EXPECT_EQ(second->Text1->text(), "127.0.0.3");
    second->Text1->setText("127.0.0.4");
    second->Command1->click();
    EXPECT_EQ(Open()->Text1->text(), "127.0.0.4");
    EXPECT_EQ(first->Text1->text(), "127.0.0.3");  // open windows stay as they are
}

TEST_F(FmPing1Test, ATickNeverRunsInsideAnotherOrOnAClosedWindow) {
    FmPing1* w = Open();
    int calls = 0;
    // Like a Winsock message box: a nested event loop inside the echo, long
    // enough for several timer intervals.
    w->SetPingFunction([&](const std::string&) {
        ++calls;
        QTest::qWait(700);
        return true;
    });
    w->Text1->setText("127.0.0.1");
    w->Command1->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->List1->count() >= 2; }, 20000));
    w->Command1->click();
    QTest::qWait(50);
    EXPECT_EQ(calls, w->List1->count());  // every echo logged once, none nested

    // Closed while the echo is out: the window goes, the tick does not crash.
    QPointer<FmPing1> gone(w);
    w->SetPingFunction([&](const std::string&) {
        gone->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return true;
    });
    w->Timer1_Timer();
    EXPECT_TRUE(gone.isNull());
}

TEST_F(FmPing1Test, ClosingARunningWindowStopsIt) {
    FmPing1::SetDefaultPingFunction([](const std::string&) { return true; });
    FmPing1* w = Open();
    w->Command1->click();
    QPointer<FmPing1> p(w);
    w->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(p.isNull());
    QTest::qWait(450);  // a timer left behind would tick on a dead window
}

// Where this program may not open an ICMP socket (it is never given
// cap_net_raw), Morvel sends the echo; the window's ticks, log lines and
// messages stay as they are.
TEST_F(FmPing1Test, WithoutAnIcmpSocketOfItsOwnMorvelSendsTheEcho) {
    auto reg = testsupport::Spawn(platform::ProgramDir() + "/Morvel", {"/regsver"});
    ASSERT_TRUE(reg.ok());
    ASSERT_EQ(testsupport::Wait(reg.pid, std::chrono::seconds(20)), std::optional<int>(0));
    platform::SetIcmpDeniedForTesting(true);
    const std::uint64_t sentHere = platform::IcmpRequestsSent();
    const QString malformed = AddressErrorText("127.0.0.1.5");
    testsupport::MessageCatcher messages;
    platform::SetWSAStartupForTesting([](std::uint16_t, platform::WSADATA*) { return 10091; });

    FmPing1* w = Open();
    w->Text1->setText("127.0.0.1");
    w->Command1->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->List1->count() >= 2; }, 20000));
    w->Command1->click();
    for (const char* text : {"127.0.1", "127.0.0.1.5"}) {
        w->Text1->setText(text);
        w->Timer1_Timer();
    }
    platform::SetWSAStartupForTesting(nullptr);
    platform::SetIcmpDeniedForTesting(false);

    const int n = w->List1->count();
    ASSERT_GE(n, 4);
    EXPECT_TRUE(Matches(Line(w, n - 1), QStringLiteral("127\\.0\\.0\\.1: 成功$")))
        << Line(w, n - 1).toStdString();
    EXPECT_TRUE(Line(w, 1).endsWith(QStringLiteral("127.0.1: 失败:Error")))
        << Line(w, 1).toStdString();
    EXPECT_TRUE(Line(w, 0).endsWith(QStringLiteral(": 失败") + malformed))
        << Line(w, 0).toStdString();
    EXPECT_EQ(platform::IcmpRequestsSent(), sentHere) << "the window sent an echo itself";
    EXPECT_EQ(testsupport::OwnMorvels().size(), 1u);
    // The Winsock messages are still this window's: per echo two failed
    // start-ups and two refused shutdowns, and one of each for the malformed text.
    EXPECT_EQ(messages.Texts().size(), 4u * static_cast<std::size_t>(n - 1) + 2u);
}

}  // namespace
