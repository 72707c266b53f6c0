// SPDX-License-Identifier: MIT
// Sweeps with a real Morvel, on 127.0.0 (every host answers) and on the test
// LAN (192.0.2, some hosts silent), and the grid and list interaction after
// them. No sweep runs before the octet boxes name one of these two subnets.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

#include "platform/process/session.h"
#include "scanner/Api.h"
#include "scanner/Fmmain.h"
#include "scanner/cell.h"
#include "settings/ini.h"
#include "sweep/Func.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"

namespace {

using namespace settings;

using namespace sweep;
using namespace scanner;

using testsupport::MessageCatcher;
using testsupport::OwnMorvels;
using testsupport::TestLan;

constexpr int kBoundMs = 60000;

std::string ProgDir() { return platform::ProgramDir(); }
std::string PsIni() { return ProgDir() + "/Ps.ini"; }

class Sweep : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(
            testsupport::WaitFor([] { return OwnMorvels().empty(); }, std::chrono::seconds(30)));
        std::filesystem::remove(ProgDir() + "/set.ini");
        std::filesystem::remove(PsIni());
        w = std::make_unique<Fmmain>();
        ASSERT_TRUE(w->Form_Load());
        // The default subnet is never swept: every test names its own first.
        SetSubnet("127", "0", "0");
    }
    void TearDown() override {
        if (w) w->close();
    }
    void SetSubnet(const char* a, const char* b, const char* c) {
        w->ui().Text1[0]->setText(a);
        w->ui().Text1[1]->setText(b);
        w->ui().Text1[2]->setText(c);
    }
    bool Finish() {
        return QTest::qWaitFor([&] { return !w->Sweeping(); }, kBoundMs);
    }
    bool RunSweep(const char* count) {
        w->ui().Text2->setText(count);
        w->DoPing();
        return Finish();
    }
    QImage Grid() { return w->ui().FG1->grab().toImage().convertToFormat(QImage::Format_RGB32); }
    static QPoint CellCentre(int n) {
        const scanner::Cell c = scanner::CellOf(n);
        return QPoint((c.left + c.right) / 2, (c.top + c.bottom) / 2);
    }
    std::string Row(int n) { return w->ui().List1->item(n - 1)->text().toStdString(); }

    std::unique_ptr<Fmmain> w;
};

TEST_F(Sweep, LoopbackEndsWithEveryCellGreenAndEveryRowFilled) {
    ASSERT_TRUE(RunSweep("1"));
    EXPECT_EQ(w->engine().RoundCount(), 1);
    EXPECT_TRUE(w->ui().Command1->isEnabled());
    EXPECT_EQ(w->ui().PB1->value(), 0);
    EXPECT_EQ(w->ui().PB1->maximum(), 1);
    QImage grid = Grid();
    for (int i = 1; i <= 255; ++i) {
        EXPECT_EQ(w->engine().Host(i).color, Value(kColorGreen)) << i;
        EXPECT_EQ(w->engine().Host(i).OKCount, 1) << i;
        EXPECT_FALSE(w->engine().Host(i).Pinging) << i;
        EXPECT_EQ(w->engine().Host(i).IP, "127.0.0." + std::to_string(i));
        EXPECT_EQ(grid.pixel(scanner::CellOf(i).left + 1, scanner::CellOf(i).top + 1), 0xFF00FF00u)
            << i;
        // Host number and MAC field (empty: no MAC was asked for), then the remark.
        EXPECT_EQ(Row(i), PadRight(Value(i), 4, " ") + std::string(20, ' ')) << i;
    }
}

TEST_F(Sweep, CountsAreRoundedHalfToEvenAndBadCountsRunOnce) {
    for (auto [typed, rounds, shown] :
         {std::tuple{"abc", 1, "1"}, std::tuple{"", 1, "1"}, std::tuple{"0", 1, "1"},
          std::tuple{"-3", 1, "1"}, std::tuple{"1e10", 1, "1"}, std::tuple{"2.5", 2, "2.5"},
          std::tuple{"3.5", 4, "3.5"}}) {
        w->ui().Text2->setText(typed);
        w->DoPing();
        EXPECT_EQ(w->engine().RoundCount(), rounds) << typed;
        EXPECT_EQ(w->ui().Text2->text().toStdString(), shown) << typed;
        EXPECT_EQ(w->ui().PB1->maximum(), rounds) << typed;
        ASSERT_TRUE(Finish());
        EXPECT_EQ(w->engine().Host(77).OKCount, rounds) << typed;
        EXPECT_EQ(w->engine().Host(77).color, Value(kColorGreen)) << typed;
        // The settings file has the count as typed, written before it was checked.
        EXPECT_EQ(ReadIni("Set", "count", ProgDir() + "/set.ini"), typed);
    }
}

TEST_F(Sweep, SettingsAreStoredAsTypedAndRemarksKeyedByTheNumbers) {
    SetSubnet("127", "000", "001");
    testsupport::WriteText(PsIni(), "[PS]\r\n127.0.1.5=five\r\n127.000.001.6=not this\r\n");
    ASSERT_TRUE(RunSweep("1"));
    const std::string set = ProgDir() + "/set.ini";
    EXPECT_EQ(ReadIni("Set", "1", set), "127");
    EXPECT_EQ(ReadIni("Set", "2", set), "000");
    EXPECT_EQ(ReadIni("Set", "3", set), "001");
    EXPECT_EQ(w->engine().Host(5).IP, "127.0.1.5");
    EXPECT_EQ(w->engine().Host(5).Ps, "five");
    EXPECT_EQ(w->engine().Host(6).Ps, "");
    EXPECT_EQ(Row(5), "5   " + std::string(20, ' ') + "five");

    // A remark edited now is stored under the same key.
    w->SetCurHost(9);
    w->InputBox = [](const std::string&, const std::string&, const std::string&) {
        return std::optional<std::string>("nine");
    };
    w->EditRemark();
    EXPECT_EQ(ReadIni("PS", "127.0.1.9", PsIni()), "nine");
}

TEST_F(Sweep, EnterDuringASweepRestartsIt) {
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->ui().Text2->setText("4");
    w->DoPing();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->engine().RoundNo() >= 2; }, kBoundMs));
    ASSERT_TRUE(w->Sweeping());
    w->ui().Text2->setText("1");
    w->ui().Text1[2]->setFocus();
    QApplication::processEvents();
    QTest::keyClick(w->ui().Text1[2], Qt::Key_Return);
    EXPECT_EQ(w->engine().RoundNo(), 1);
    EXPECT_EQ(w->engine().RoundCount(), 1);
    for (int i = 1; i <= 255; ++i) {
        EXPECT_EQ(w->engine().Host(i).OKCount, 0);
        EXPECT_EQ(Row(i), PadRight(Value(i), 4, " "));
    }
    ASSERT_TRUE(Finish());
    for (int i = 1; i <= 255; ++i) {
        EXPECT_EQ(w->engine().Host(i).OKCount, 1) << i;
        EXPECT_EQ(w->engine().Host(i).color, Value(kColorGreen)) << i;
    }
    EXPECT_TRUE(w->ui().Command1->isEnabled());
    EXPECT_TRUE(w->ui().Text1[2]->hasFocus());
}

TEST_F(Sweep, DetailsBeforeTheFirstSweepAndAfterIt) {
    w->SetCurHost(5);
    w->ShowText();
    EXPECT_EQ(w->ui().Text3->toPlainText(), "IP: 127.0.0.5");
    ASSERT_TRUE(RunSweep("2"));
    w->ShowText();
    EXPECT_EQ(w->ui().Text3->toPlainText().toStdString(),
              "IP: 127.0.0.5\n\nPing成功: 2/2\n成功率: 100%\nMac:\n备注:");
    // Outside 1..255 nothing changes.
    w->SetCurHost(0);
    w->ShowText();
    EXPECT_EQ(w->ui().Text3->toPlainText().toStdString().substr(0, 13), "IP: 127.0.0.5");

    EXPECT_EQ(HostDetails("192.168.0.5", 3, 4, "AA-BB-CC-DD-EE-FF", "r"),
              "IP: 192.168.0.5\r\n\r\nPing成功: 3/4\r\n成功率: 75%\r\nMac:AA-BB-CC-DD-EE-FF\r\n"
              "备注:r");
    EXPECT_NE(HostDetails("a", 2, 3, "", "").find("成功率: 66%"), std::string::npos);
    EXPECT_NE(HostDetails("a", 29, 100, "", "").find("成功率: 28%"), std::string::npos);
    EXPECT_EQ(HostDetails("a", 0, 0, "m", "r"), "IP: a");
}

TEST_F(Sweep, PointingClickingAndTheListFollowTheGrid) {
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    ASSERT_TRUE(RunSweep("1"));
    QScrollBar* bar = w->ui().List1->verticalScrollBar();
    ASSERT_EQ(bar->value(), 0);

    QTest::mouseMove(w->ui().FG1, CellCentre(5));
    EXPECT_EQ(w->CurHost(), 5);
    EXPECT_TRUE(w->ui().Text3->toPlainText().startsWith("IP: 127.0.0.5\n"));
    QTest::mouseClick(w->ui().FG1, Qt::LeftButton, {}, CellCentre(5));
    EXPECT_EQ(w->ui().List1->currentRow(), 4);
    EXPECT_EQ(bar->value(), 0);  // no first-visible line set for host 5

    QTest::mouseMove(w->ui().FG1, CellCentre(11));
    QTest::mouseClick(w->ui().FG1, Qt::LeftButton, {}, CellCentre(11));
    EXPECT_EQ(w->ui().List1->currentRow(), 10);
    EXPECT_EQ(bar->value(), 1);

    QTest::mouseMove(w->ui().FG1, CellCentre(200));
    QTest::mouseClick(w->ui().FG1, Qt::LeftButton, {}, CellCentre(200));
    EXPECT_EQ(w->ui().List1->currentRow(), 199);
    EXPECT_EQ(bar->value(), 190);
    EXPECT_TRUE(w->ui().Text3->toPlainText().startsWith("IP: 127.0.0.200\n"));

    // The margin and the space past the table change nothing; host 0's place
    // points at no host, and a click there does nothing.
    for (QPoint p : {QPoint(2, 2), QPoint(437, 100), QPoint(100, 325)}) {
        w->FG1_MouseMove(0, 0, p.x(), p.y());
        EXPECT_EQ(w->CurHost(), 200) << p.x() << "," << p.y();
    }
    w->FG1_MouseMove(0, 0, 32, 5);  // the shared line belongs to the cell right of it
    EXPECT_EQ(w->CurHost(), 1);
    w->FG1_MouseMove(0, 0, 31, 24);
    EXPECT_EQ(w->CurHost(), 0);
    EXPECT_TRUE(w->ui().Text3->toPlainText().startsWith("IP: 127.0.0.1\n"));
    w->FG1_Click();
    EXPECT_EQ(w->ui().List1->currentRow(), 199);

    // A list click shows that host; the pointer resting in its cell does not
    // redraw, entering another one does.
    w->ui().List1->setCurrentRow(30);
    EXPECT_EQ(w->CurHost(), 31);
    EXPECT_TRUE(w->ui().Text3->toPlainText().startsWith("IP: 127.0.0.31\n"));
    w->FG1_MouseMove(0, 0, 10, 10);
    EXPECT_TRUE(w->ui().Text3->toPlainText().startsWith("IP: 127.0.0.31\n"));
    w->FG1_MouseMove(0, 0, 40, 10);
    EXPECT_TRUE(w->ui().Text3->toPlainText().startsWith("IP: 127.0.0.1\n"));
}

TEST_F(Sweep, RemarkEditCancelEmptyAndTwoLines) {
    ASSERT_TRUE(RunSweep("1"));
    std::string shown;
    std::optional<std::string> answer;
    int asked = 0;
    w->InputBox = [&](const std::string& prompt, const std::string& title,
                      const std::string& initial) {
        ++asked;
        EXPECT_EQ(prompt, "请输入要修改的备注:");
        EXPECT_EQ(title, "备注");
        shown = initial;
        return answer;
    };
    const std::string bare5 = "5   " + std::string(20, ' ');

    // Cancel: nothing changes, nothing is written.
    w->SetCurHost(5);
    answer.reset();
    w->FG1_DblClick();
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(std::filesystem::exists(PsIni()));
    EXPECT_EQ(w->engine().Host(5).Ps, "");

    // Two lines: stored on one line, shown in the row.
    answer = "first\r\nsecond";
    w->FG1_DblClick();
    EXPECT_EQ(w->engine().Host(5).Ps, "first\r\nsecond");
    EXPECT_NE(testsupport::ReadText(PsIni()).find("127.0.0.5=first&chr13;&chr10;second"),
              std::string::npos);
    EXPECT_EQ(Row(5), bare5 + "first\r\nsecond");
    EXPECT_EQ(ReadIni("PS", "127.0.0.5", PsIni()), "first\r\nsecond");

    // The next edit starts from it; an empty confirmed text clears it.
    answer = "";
    w->ui().List1->setCurrentRow(4);
    w->List1_DblClick();
    EXPECT_EQ(shown, "first\r\nsecond");
    EXPECT_EQ(w->engine().Host(5).Ps, "");
    EXPECT_EQ(Row(5), bare5);
    // The key stays, with an empty value.
    const std::string file = testsupport::ReadText(PsIni());
    EXPECT_TRUE(file.find("127.0.0.5=\r\n") != std::string::npos ||
                file.find("127.0.0.5=\n") != std::string::npos)
        << file;

    // Outside 1..255 no box opens.
    w->SetCurHost(0);
    w->FG1_DblClick();
    EXPECT_EQ(asked, 3);
}

TEST_F(Sweep, AnEditBeforeTheFirstSweepStartsFromTheStoredRemark) {
    testsupport::WriteText(PsIni(), "[PS]\r\n127.0.0.8=kept\r\n");
    std::string shown = "(not asked)";
    w->InputBox = [&](const std::string&, const std::string&, const std::string& initial) {
        shown = initial;
        return std::optional<std::string>(initial + "+");
    };
    w->SetCurHost(8);
    w->EditRemark();
    EXPECT_EQ(shown, "kept");
    EXPECT_EQ(ReadIni("PS", "127.0.0.8", PsIni()), "kept+");

    // Changed boxes: the key of the new subnet, the old remark left alone.
    SetSubnet("127", "0", "3");
    w->engine().Host(8).Ps = "old subnet's";
    w->EditRemark();
    EXPECT_EQ(shown, "");  // nothing stored under 127.0.3.8; Ps is another host's
    EXPECT_EQ(ReadIni("PS", "127.0.3.8", PsIni()), "+");
    EXPECT_EQ(ReadIni("PS", "127.0.0.8", PsIni()), "kept+");
}

TEST_F(Sweep, ARemarkThatCannotBeStoredIsReportedWithTheFile) {
    // Neither the program's folder nor the config folder takes it.
    const std::string config = std::getenv("XDG_CONFIG_HOME");
    std::string why;
    if (!testsupport::MakeReadOnly(ProgDir(), &why)) GTEST_SKIP() << why;
    if (!testsupport::MakeReadOnly(config, &why)) {
        testsupport::UndoReadOnly(ProgDir());
        GTEST_SKIP() << why;
    }
    const std::string ps = IniPath("Ps.ini");
    MessageCatcher messages;
    w->InputBox = [](const std::string&, const std::string&, const std::string&) {
        return std::optional<std::string>("lost?");
    };
    w->SetCurHost(12);
    w->EditRemark();
    testsupport::UndoReadOnly(config);
    testsupport::UndoReadOnly(ProgDir());
    ASSERT_EQ(messages.Texts().size(), 1u);
    EXPECT_EQ(ps, config + "/varnex/Ps.ini");
    EXPECT_NE(messages.Texts()[0].find(ps), std::string::npos) << messages.Texts()[0];
    EXPECT_NE(messages.Texts()[0].find("未能保存"), std::string::npos);
    // The window still has the remark.
    EXPECT_EQ(w->engine().Host(12).Ps, "lost?");
    EXPECT_EQ(Row(12), "12  " + std::string(20, ' ') + "lost?");
    EXPECT_FALSE(std::filesystem::exists(PsIni()));
    EXPECT_FALSE(std::filesystem::exists(ps));
}

TEST_F(Sweep, AReadOnlyProgramFolderKeepsSettingsAndRemarksInTheConfigFolder) {
    // An installed copy: its folder is read-only even for root (a read-only mount).
    std::string why;
    if (!testsupport::MakeReadOnly(ProgDir(), &why)) GTEST_SKIP() << why;
    const std::string dir = std::string(std::getenv("XDG_CONFIG_HOME")) + "/varnex";
    ASSERT_TRUE(RunSweep("2"));
    w->SetCurHost(9);
    w->InputBox = [](const std::string&, const std::string&, const std::string&) {
        return std::optional<std::string>("nine");
    };
    w->EditRemark();
    EXPECT_EQ(ReadIni("Set", "count", dir + "/set.ini"), "2");
    EXPECT_EQ(ReadIni("PS", "127.0.0.9", dir + "/Ps.ini"), "nine");
    EXPECT_FALSE(std::filesystem::exists(ProgDir() + "/set.ini"));
    EXPECT_FALSE(std::filesystem::exists(PsIni()));

    // The next start reads both back from there.
    w->close();
    w.reset();
    ASSERT_TRUE(
        testsupport::WaitFor([] { return OwnMorvels().empty(); }, std::chrono::seconds(30)));
    w = std::make_unique<Fmmain>();
    ASSERT_TRUE(w->Form_Load());
    EXPECT_EQ(w->ui().Text1[0]->text(), "127");
    EXPECT_EQ(w->ui().Text1[2]->text(), "0");
    EXPECT_EQ(w->ui().Text2->text(), "2");
    std::string shown;
    w->SetCurHost(9);
    w->InputBox = [&](const std::string&, const std::string&, const std::string& initial) {
        shown = initial;
        return std::nullopt;
    };
    w->EditRemark();
    testsupport::UndoReadOnly(ProgDir());
    EXPECT_EQ(shown, "nine");
}

TEST_F(Sweep, AFifoForTheRemarksFileIsToldOnceAndTheSweepRuns) {
    ASSERT_EQ(::mkfifo(PsIni().c_str(), 0600), 0);
    MessageCatcher messages;
    ASSERT_TRUE(RunSweep("1"));
    ASSERT_EQ(messages.Texts().size(), 1u);
    EXPECT_NE(messages.Texts()[0].find(PsIni()), std::string::npos) << messages.Texts()[0];
    EXPECT_EQ(w->engine().Host(9).color, Value(kColorGreen));
    EXPECT_TRUE(std::filesystem::is_fifo(PsIni()));
}

TEST_F(Sweep, AMorvelKilledMidSweepIsReportedAndTheNextSweepWorks) {
    MessageCatcher messages;
    w->ui().Text2->setText("1000");
    w->DoPing();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->engine().RoundNo() >= 2; }, kBoundMs));
    for (pid_t pid : OwnMorvels()) testsupport::Signal(pid, SIGKILL);
    ASSERT_TRUE(Finish()) << "the sweep waited on a dead Morvel";
    ASSERT_EQ(messages.Texts().size(), 1u);
    EXPECT_NE(messages.Texts()[0].find("Morvel"), std::string::npos);
    EXPECT_TRUE(w->ui().Command1->isEnabled());
    EXPECT_EQ(w->ui().PB1->value(), 0);

    ASSERT_TRUE(RunSweep("1"));
    EXPECT_EQ(messages.Texts().size(), 1u);
    for (int i = 1; i <= 255; ++i) EXPECT_EQ(w->engine().Host(i).color, Value(kColorGreen)) << i;
    EXPECT_FALSE(OwnMorvels().empty());
}

TEST_F(Sweep, AStoppedMorvelIsReportedAsLostWithoutFreezingTheWindow) {
    MessageCatcher messages;
    w->ui().Text2->setText("1000");
    w->DoPing();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->engine().RoundNo() >= 2; }, kBoundMs));
    const std::vector<pid_t> stopped = OwnMorvels();
    for (pid_t pid : stopped) testsupport::Signal(pid, SIGSTOP);
    // The event loop's longest pause shows whether the window froze; a
    // check that waited for the 30 s call limit would show here.
    QElapsedTimer sinceTurn, sinceStop;
    qint64 longestPause = 0;
    QTimer turns;
    QObject::connect(&turns, &QTimer::timeout,
                     [&] { longestPause = std::max(longestPause, sinceTurn.restart()); });
    sinceTurn.start();
    sinceStop.start();
    turns.start(10);
    const bool finished = Finish();
    const qint64 reportedAfter = sinceStop.elapsed();
    turns.stop();
    // Ping pressed while Morvel is still stopped: told at once, no sweep.
    QElapsedTimer press;
    press.start();
    if (finished) w->ui().Command1->click();
    const qint64 pressTook = press.elapsed();
    for (pid_t pid : stopped) testsupport::Signal(pid, SIGCONT);
    ASSERT_TRUE(finished);
    EXPECT_LT(reportedAfter, 15000) << "the lost Morvel was reported late";
    EXPECT_LT(longestPause, 10000) << "the window froze";
    EXPECT_LT(pressTook, 5000) << "the press waited on the stopped Morvel";
    EXPECT_FALSE(w->Sweeping());
    ASSERT_EQ(messages.Texts().size(), 2u);
    EXPECT_NE(messages.Texts()[0].find("Morvel"), std::string::npos) << messages.Texts()[0];
    EXPECT_NE(messages.Texts()[1].find("Morvel"), std::string::npos) << messages.Texts()[1];

    // Resumed, it serves the next sweep.
    ASSERT_TRUE(RunSweep("1"));
    EXPECT_EQ(messages.Texts().size(), 2u);
    for (int i = 1; i <= 255; ++i) EXPECT_EQ(w->engine().Host(i).color, Value(kColorGreen)) << i;
}

TEST_F(Sweep, ClosingTheWindowDoesNotWaitOnAStoppedMorvel) {
    ASSERT_TRUE(RunSweep("1"));
    const std::vector<pid_t> stopped = OwnMorvels();
    for (pid_t pid : stopped) testsupport::Signal(pid, SIGSTOP);
    QElapsedTimer closing;
    closing.start();
    w->close();
    const qint64 took = closing.elapsed();
    w.reset();
    for (pid_t pid : stopped) testsupport::Signal(pid, SIGCONT);
    EXPECT_LT(took, 5000) << "closing waited on the stopped Morvel";
    // Its connection was dropped, which released every object: Morvel ends.
    EXPECT_TRUE(
        testsupport::WaitFor([] { return OwnMorvels().empty(); }, std::chrono::seconds(20)));
}

// Where Morvel may open no ICMP socket, a press tells the user why and how to
// fix it, once, and starts no sweep that would paint every host red.
TEST(SweepWithoutIcmp, AMorvelThatMaySendNoEchoIsToldOnceInsteadOfARedGrid) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to take the raw-socket right from Morvel";
    ASSERT_TRUE(
        testsupport::WaitFor([] { return OwnMorvels().empty(); }, std::chrono::seconds(30)));
    // This thread starts Morvel: a network of its own where ping sockets are
    // allowed to no group, and no raw-socket right for what it starts.
    std::string why;
    if (!testsupport::EnterPrivateNetwork(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(testsupport::WriteSysctl("net/ipv4/ping_group_range", "1 0"));
    ASSERT_EQ(::prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0), 0);
    std::filesystem::remove(ProgDir() + "/set.ini");
    Fmmain w;
    ASSERT_TRUE(w.Form_Load());
    w.ui().Text1[0]->setText("127");
    w.ui().Text1[1]->setText("0");
    w.ui().Text1[2]->setText("0");
    MessageCatcher messages;
    w.ui().Command1->click();
    EXPECT_FALSE(w.Sweeping());
    EXPECT_TRUE(w.ui().Command1->isEnabled());
    ASSERT_EQ(messages.Texts().size(), 1u);
    EXPECT_NE(messages.Texts()[0].find("ping_group_range"), std::string::npos);
    EXPECT_NE(messages.Texts()[0].find("setcap cap_net_raw+ep"), std::string::npos);
    for (int i = 1; i <= 255; ++i) EXPECT_EQ(w.engine().Host(i).color, Value(kColorIdle)) << i;
    w.close();
}

// ---- the test LAN ----

class LanSweep : public Sweep {
  protected:
    void SetUp() override {
        std::string why;
        if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
        Sweep::SetUp();
    }
};

TEST_F(LanSweep, ExactlyTheAnsweringHostsAreGreenWithTheirMacs) {
    TestLan lan(TestLan::Range(1, 40));
    SetSubnet("192", "0", "2");
    w->ui().Check1->setChecked(true);
    ASSERT_TRUE(RunSweep("1"));
    std::set<int> green;
    for (int i = 1; i <= 255; ++i) {
        const Value& c = w->engine().Host(i).color;
        if (c == Value(kColorGreen))
            green.insert(i);
        else
            EXPECT_EQ(c, Value(kColorRed)) << i;
    }
    std::set<int> expected = lan.Answering();
    expected.insert(TestLan::kScannerHost);  // our own address answers too
    EXPECT_EQ(green, expected);
    for (int n : lan.Answering())
        EXPECT_EQ(Row(n), PadRight(Value(n), 4, " ") + TestLan::Mac(n) + "   ");
    // A silent host keeps its bare row.
    EXPECT_EQ(Row(100), "100 ");
}

TEST_F(LanSweep, AHostAnsweringTwoOfThreeRoundsEndsInTheBlend) {
    TestLan lan(TestLan::Range(1, 10));
    SetSubnet("192", "0", "2");
    w->ui().Text2->setText("3");
    w->DoPing();
    // Host 7 goes silent once it has answered the second round, while the
    // silent hosts still hold that round open.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w->engine().RoundNo() == 2 && w->engine().Host(7).OKCount == 2; }, kBoundMs));
    ASSERT_TRUE(w->Sweeping());
    lan.SetAnswering(7, false);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(w->engine().Host(7).OKCount, 2);
    EXPECT_EQ(w->engine().Host(7).color, Value(MixColor(kColorRed, kColorGreen, 63)));
    EXPECT_EQ(w->engine().Host(6).color, Value(kColorGreen));
    EXPECT_EQ(w->engine().Host(11).color, Value(kColorRed));
    QImage grid = Grid();
    EXPECT_EQ(grid.pixel(scanner::CellOf(7).left + 1, scanner::CellOf(7).top + 1),
              scanner::BgrToRgb(MixColor(kColorRed, kColorGreen, 63)));
    w->SetCurHost(7);
    w->ShowText();
    EXPECT_TRUE(
        w->ui().Text3->toPlainText().contains(QStringLiteral("Ping成功: 2/3\n成功率: 66%")));
}

}  // namespace
