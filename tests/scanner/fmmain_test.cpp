// The main window with a real Morvel: start-up from set.ini, the host rows,
// the subnet entry keys, shutdown, and a start-up that cannot reach Morvel.
// Every sweep here runs on 127.0.0 only.
#include "scanner/Fmmain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>

#include "contract/CCShareString.h"
#include "contract/slot.h"
#include "platform/session.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"

namespace {

using testsupport::MessageCatcher;
using testsupport::OwnMorvels;
using testsupport::WaitFor;

const std::chrono::seconds kBound(30);

void NoMorvelRunning() {
    ASSERT_TRUE(WaitFor([] { return OwnMorvels().empty(); }, kBound))
        << "a Morvel of an earlier test is still running";
}

std::string SetIni() { return platform::ProgramDir() + "/set.ini"; }

class FmmainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        NoMorvelRunning();
        std::filesystem::remove(SetIni());
        std::filesystem::remove(platform::ProgramDir() + "/Ps.ini");
    }
};

std::unique_ptr<Fmmain> Loaded() {
    auto w = std::make_unique<Fmmain>();
    if (!w->Form_Load()) return nullptr;
    return w;
}

TEST_F(FmmainTest, FirstStartWithoutSetIniShowsTheDefaultsAndTheHostRows) {
    MessageCatcher messages;
    auto w = Loaded();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->ui().Text1[0]->text(), "192");
    EXPECT_EQ(w->ui().Text1[1]->text(), "168");
    EXPECT_EQ(w->ui().Text1[2]->text(), "0");
    EXPECT_EQ(w->ui().Text2->text(), "1");
    EXPECT_TRUE(messages.Texts().empty());

    ASSERT_TRUE(w->engine().HasHosts());
    ASSERT_EQ(w->ui().List1->count(), 255);
    for (int i = 1; i <= 255; ++i) {
        EXPECT_EQ(w->engine().Host(i).ID(), i);
        EXPECT_EQ(w->engine().Host(i).color, Value(kColorIdle));
        EXPECT_EQ(w->ui().List1->item(i - 1)->text().toStdString(),
                  (std::to_string(i) + "    ").substr(0, 4));
    }
    EXPECT_EQ(w->engine().RoundNo(), 0);
    EXPECT_EQ(w->engine().RoundCount(), 0);
    EXPECT_FALSE(w->Sweeping());
    EXPECT_EQ(w->ui().Text3->toPlainText(), "...");
    // The workers serve their slots: a fresh command to 127.0.0.9 is answered.
    w->engine().Host(9).PingIP("127.0.0.9", false);
    EXPECT_TRUE(WaitFor([&] { return w->engine().Host(9).GetPing() == 3; }, kBound));
    w->close();
}

TEST_F(FmmainTest, SetIniValuesAreRestoredAsTypedAndOnlyEmptyOnesDefaulted) {
    testsupport::WriteText(SetIni(), "[Set]\r\n1=10\r\n2=0\r\n3=5\r\ncount=3\r\n");
    {
        auto w = Loaded();
        ASSERT_TRUE(w);
        EXPECT_EQ(w->ui().Text1[0]->text(), "10");
        EXPECT_EQ(w->ui().Text1[1]->text(), "0");
        EXPECT_EQ(w->ui().Text1[2]->text(), "5");
        EXPECT_EQ(w->ui().Text2->text(), "3");
        w->close();
    }
    NoMorvelRunning();
    testsupport::WriteText(SetIni(), "[set]\r\n1=abc\r\n2=\r\ncount=x\r\n");
    auto w = Loaded();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->ui().Text1[0]->text(), "abc");
    EXPECT_EQ(w->ui().Text1[1]->text(), "168");
    EXPECT_EQ(w->ui().Text1[2]->text(), "0");
    EXPECT_EQ(w->ui().Text2->text(), "x");
    // abc stays in the box; the addresses use 0 for it.
    EXPECT_EQ(w->HostAddress(7), "0.168.0.7");
    w->close();
}

TEST_F(FmmainTest, ClosingSendsTheStopCommandToEverySlotAndMorvelEnds) {
    auto w = Loaded();
    ASSERT_TRUE(w);
    ASSERT_FALSE(OwnMorvels().empty());
    // Our own views keep the blocks alive after the window released its proxies.
    std::vector<std::unique_ptr<CCShareString>> blocks(256);
    for (int i = 1; i <= 255; ++i) {
        blocks[i] = std::make_unique<CCShareString>();
        ASSERT_TRUE(blocks[i]->Create(slot::Name(i), slot::kSize));
    }
    w->ui().Text1[0]->setText("127");
    w->ui().Text1[1]->setText("0");
    w->ui().Text1[2]->setText("0");
    w->ui().Text2->setText("50");
    w->DoPing();
    ASSERT_TRUE(w->Sweeping());
    w->close();  // during the sweep

    EXPECT_FALSE(w->Sweeping());
    EXPECT_FALSE(w->engine().HasHosts());
    for (int i = 1; i <= 255; ++i) {
        // "A", or the worker's "X" in reply to it; a worker still in "D" when
        // the "A" came may have overwritten it with its final state, and then
        // the block must not hold a command any more.
        char c = blocks[i]->ReadByte(slot::kStatePos);
        EXPECT_TRUE(c == 'A' || c == 'X' || c == '0' || c == '1') << "slot " << i << ": " << c;
    }
    EXPECT_TRUE(WaitFor([] { return OwnMorvels().empty(); }, kBound)) << "Morvel did not end";
    // No final colouring took place and nothing polls any more.
    QTest::qWait(150);
}

TEST_F(FmmainTest, StopCommandsReachEverySlotBeforeTheProxiesGo) {
    auto w = Loaded();
    ASSERT_TRUE(w);
    std::vector<std::unique_ptr<CCShareString>> blocks(256);
    for (int i = 1; i <= 255; ++i) {
        blocks[i] = std::make_unique<CCShareString>();
        ASSERT_TRUE(blocks[i]->Create(slot::Name(i), slot::kSize));
    }
    // The query-close alone, read at once: every slot holds "A" or the worker's reply.
    w->Form_QueryUnload();
    int closed = 0;
    for (int i = 1; i <= 255; ++i) {
        char c = blocks[i]->ReadByte(slot::kStatePos);
        closed += c == 'A' || c == 'X';
    }
    EXPECT_EQ(closed, 255);
    EXPECT_TRUE(WaitFor(
        [&] {
            for (int i = 1; i <= 255; ++i)
                if (blocks[i]->ReadByte(slot::kStatePos) != 'X') return false;
            return true;
        },
        kBound))
        << "the workers did not acknowledge the stop";
    w->close();
    EXPECT_TRUE(WaitFor([] { return OwnMorvels().empty(); }, kBound));
}

TEST_F(FmmainTest, SubnetEntryKeys) {
    auto w = Loaded();
    ASSERT_TRUE(w);
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    QLineEdit* box0 = w->ui().Text1[0];
    QLineEdit* box1 = w->ui().Text1[1];
    QLineEdit* box2 = w->ui().Text1[2];

    // Focus selects the whole text.
    box2->setFocus();
    ASSERT_TRUE(WaitFor([&] { return box2->hasFocus(); }));
    QApplication::processEvents();
    EXPECT_EQ(box2->selectedText(), "0");

    // Typing 10 and the keypad point in box 0: 10 stays, box 1 is selected.
    box0->setFocus();
    QApplication::processEvents();
    QTest::keyClicks(box0, "10");
    QTest::keyClick(box0, Qt::Key_Period, Qt::KeypadModifier);
    EXPECT_EQ(box0->text(), "10");
    EXPECT_TRUE(box1->hasFocus());
    EXPECT_EQ(box1->selectedText(), "168");
    EXPECT_FALSE(w->Sweeping());

    // The main keyboard's point stays in the text and the focus stays.
    box0->setFocus();
    QApplication::processEvents();
    box0->setText("1.2");
    QTest::keyClick(box0, Qt::Key_Period);
    EXPECT_EQ(box0->text(), "1.2.");
    EXPECT_TRUE(box0->hasFocus());

    // Box 2 has no point rule.
    box2->setFocus();
    QApplication::processEvents();
    box2->setText("0.");
    QTest::keyClick(box2, Qt::Key_Period, Qt::KeypadModifier);
    EXPECT_EQ(box2->text(), "0..");
    EXPECT_TRUE(box2->hasFocus());

    // Enter in box 1 removes every point, moves on, and starts a sweep (of 127.0.0).
    box0->setText("127");
    box2->setText("0");
    box1->setFocus();
    QApplication::processEvents();
    box1->setText("0.0.");
    QTest::keyClick(box1, Qt::Key_Return);
    EXPECT_EQ(box1->text(), "00");
    EXPECT_TRUE(box2->hasFocus());
    EXPECT_TRUE(w->Sweeping());
    EXPECT_FALSE(w->ui().Command1->isEnabled());
    ASSERT_TRUE(WaitFor(
        [&] {
            QApplication::processEvents();
            return !w->Sweeping();
        },
        kBound));
    EXPECT_EQ(w->engine().Host(1).IP, "127.0.0.1");

    // Enter in box 2 starts a sweep and keeps the focus there.
    QTest::keyClick(box2, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(w->Sweeping());
    EXPECT_TRUE(box2->hasFocus());
    ASSERT_TRUE(WaitFor(
        [&] {
            QApplication::processEvents();
            return !w->Sweeping();
        },
        kBound));
    w->close();
}

TEST_F(FmmainTest, TheOtherWindowsOpenFromTheButtonsAndOutliveTheMainWindow) {
    auto w = Loaded();
    ASSERT_TRUE(w);
    w->show();
    auto open = [](const char* className) {
        QList<QWidget*> found;
        for (QWidget* t : QApplication::topLevelWidgets())
            if (t->isVisible() && t->inherits(className)) found.append(t);
        return found;
    };
    QTest::mouseClick(w->ui().Command2, Qt::LeftButton);
    QTest::mouseClick(w->ui().Command2, Qt::LeftButton);
    QTest::mouseClick(w->ui().Command3, Qt::LeftButton);
    QTest::mouseClick(w->ui().Command3, Qt::LeftButton);
    EXPECT_EQ(open("windows::FmPing1").size(), 2);
    EXPECT_EQ(open("windows::Fmshow").size(), 1);
    w->close();
    w.reset();
    QApplication::processEvents();
    EXPECT_EQ(open("windows::FmPing1").size(), 2);
    EXPECT_EQ(open("windows::Fmshow").size(), 1);
    for (QWidget* t : open("windows::FmPing1") + open("windows::Fmshow")) t->close();
    EXPECT_TRUE(WaitFor([] { return OwnMorvels().empty(); }, kBound));
}

TEST_F(FmmainTest, AMissingMorvelIsReportedByNameAndNothingIsLeftRunning) {
    std::string empty = testsupport::MakeTempDir("nomorvel");
    platform::SetProgramDirForTesting(empty);
    MessageCatcher messages;
    auto w = std::make_unique<Fmmain>();
    EXPECT_FALSE(w->Form_Load());
    platform::SetProgramDirForTesting(testsupport::TestRoot() + "/prog");
    ASSERT_EQ(messages.Texts().size(), 1u);
    EXPECT_NE(messages.Texts()[0].find(empty + "/Morvel"), std::string::npos)
        << messages.Texts()[0];
    EXPECT_NE(messages.Texts()[0].find("无法启动"), std::string::npos);
    EXPECT_FALSE(w->engine().HasHosts());
    EXPECT_TRUE(OwnMorvels().empty());
    // The window can still go without harm.
    w->close();
    w.reset();
}

TEST_F(FmmainTest, ClassesThatCannotBeCreatedAreReportedAndNothingIsLeft) {
    // A "Morvel" that registers nothing: activation finds no class.
    std::string dir = testsupport::MakeTempDir("fakemorvel");
    testsupport::WriteText(dir + "/Morvel", "#!/bin/sh\nexit 3\n");
    ::chmod((dir + "/Morvel").c_str(), 0755);
    std::string data = testsupport::MakeTempDir("emptydata");
    std::string oldData = std::getenv("XDG_DATA_HOME");
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    platform::SetProgramDirForTesting(dir);
    MessageCatcher messages;
    auto w = std::make_unique<Fmmain>();
    bool loaded = w->Form_Load();
    platform::SetProgramDirForTesting(testsupport::TestRoot() + "/prog");
    ::setenv("XDG_DATA_HOME", oldData.c_str(), 1);
    EXPECT_FALSE(loaded);
    ASSERT_EQ(messages.Texts().size(), 1u);
    const std::string text = messages.Texts()[0];
    EXPECT_NE(text.find("无法在工作进程 Morvel 中创建对象"), std::string::npos) << text;
    EXPECT_NE(text.find("退出码 3"), std::string::npos) << text;
    EXPECT_FALSE(w->engine().HasHosts());
}

}  // namespace
