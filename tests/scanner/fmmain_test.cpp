// SPDX-License-Identifier: MIT
// The main window with a real Morvel: start-up from set.ini, the host rows,
// the subnet entry keys, shutdown, and a start-up that cannot reach Morvel.
// Every sweep here runs on 127.0.0 only. Then, without Morvel: the remark box,
// the controls' colours and the list's focus.
#include "scanner/Fmmain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>

#include "contract/CCShareString.h"
#include "contract/slot.h"
#include "platform/process/session.h"
#include "settings/ini.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"

namespace {

using namespace settings;

using namespace sweep;
using namespace scanner;

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
    testsupport::WriteText(SetIni(), "[Set]\r\n1=10\r\n2=0\r\n3=5\r\ncount=3\r\nShowChanges=1\r\n");
    {
        auto w = Loaded();
        ASSERT_TRUE(w);
        EXPECT_TRUE(w->ShowChanges());
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
    EXPECT_FALSE(w->ShowChanges());
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

// ---- without Morvel: proxies that only carry their state ----

std::unique_ptr<Fmmain> Idle() {
    auto w = std::make_unique<Fmmain>();
    std::vector<std::unique_ptr<Ping>> pings(256);
    for (int i = 1; i <= 255; ++i) pings[i] = std::make_unique<Ping>();
    w->engine().SetPings(std::move(pings));
    for (int i = 1; i <= 255; ++i) w->ui().List1->addItem(QString::number(i));
    w->ui().Text1[0]->setText("127");
    w->ui().Text1[1]->setText("0");
    w->ui().Text1[2]->setText("0");
    return w;
}

// Runs `act` on the next modal input box once it is open; a box `act` left
// open is cancelled, so the test never hangs in it.
void OnNextBox(const std::function<void(QInputDialog&, QLineEdit&)>& act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (!box) return;
        poll->stop();
        poll->deleteLater();
        QLineEdit* edit = box->findChild<QLineEdit*>();
        if (edit) act(*box, *edit);
        if (box->isVisible()) box->reject();
    });
    poll->start(10);
}

TEST_F(FmmainTest, TheRemarkBoxIsOneLineEnterConfirmsEscapeCancels) {
    const std::string psIni = platform::ProgramDir() + "/Ps.ini";
    const std::string stored = "a\nb\r\nc";  // line ends as the file gave them
    ASSERT_TRUE(WriteIni("PS", "127.0.0.8", stored, psIni));
    auto w = Idle();
    w->engine().Host(9).Ps = "another subnet's";

    // Nothing under the key: the box starts empty, not from Ps; Enter stores.
    w->SetCurHost(9);
    OnNextBox([](QInputDialog& box, QLineEdit& edit) {
        EXPECT_EQ(box.windowTitle(), QStringLiteral("备注"));
        EXPECT_EQ(box.labelText(), QStringLiteral("请输入要修改的备注:"));
        EXPECT_EQ(edit.text(), "");
        QTest::keyClicks(&edit, "nine");
        QTest::keyClick(&edit, Qt::Key_Return);
    });
    w->EditRemark();
    EXPECT_EQ(ReadIni("PS", "127.0.0.9", psIni), "nine");
    EXPECT_EQ(w->engine().Host(9).Ps, "nine");

    // Escape leaves remark and file alone.
    OnNextBox([](QInputDialog&, QLineEdit& edit) {
        EXPECT_EQ(edit.text(), "nine");
        QTest::keyClicks(&edit, " more");
        QTest::keyClick(&edit, Qt::Key_Escape);
    });
    w->EditRemark();
    EXPECT_EQ(ReadIni("PS", "127.0.0.9", psIni), "nine");
    EXPECT_EQ(w->engine().Host(9).Ps, "nine");

    // A stored remark with line breaks shows on one line and, confirmed
    // unchanged, stays byte for byte; edited, its breaks come back as CR LF.
    w->SetCurHost(8);
    OnNextBox([](QInputDialog&, QLineEdit& edit) {
        EXPECT_EQ(edit.text().size(), 5);
        EXPECT_FALSE(edit.text().contains('\n') || edit.text().contains('\r'));
        QTest::keyClick(&edit, Qt::Key_Return);
    });
    w->EditRemark();
    EXPECT_EQ(ReadIni("PS", "127.0.0.8", psIni), stored);
    EXPECT_EQ(w->engine().Host(8).Ps, stored);
    OnNextBox([](QInputDialog&, QLineEdit& edit) {
        edit.end(false);
        QTest::keyClicks(&edit, "d");
        QTest::keyClick(&edit, Qt::Key_Return);
    });
    w->EditRemark();
    EXPECT_EQ(ReadIni("PS", "127.0.0.8", psIni), "a\r\nb\r\ncd");
}

TEST_F(FmmainTest, OnlyTheFourNamedControlsShareTheWindowColour) {
    auto w = Idle();
    const QColor blue(192, 192, 255);
    const Fmmain::Controls& ui = w->ui();
    for (QWidget* c :
         std::initializer_list<QWidget*>{w.get(), ui.Label1, ui.Label2, ui.Check1, ui.Command1})
        EXPECT_EQ(c->palette().color(QPalette::Window), blue) << c->objectName().toStdString();
    for (QWidget* c : std::initializer_list<QWidget*>{ui.Command2, ui.Command3, ui.PB1, ui.Text2,
                                                      ui.Text3, ui.List1}) {
        const QPalette desktop = QApplication::palette(c);
        for (auto role : {QPalette::Window, QPalette::Button, QPalette::Base})
            EXPECT_EQ(c->palette().color(role), desktop.color(role))
                << c->objectName().toStdString() << " role " << role;
    }

    // Drawn as the same controls on a plain window.
    QWidget plain;
    plain.setFont(w->font());
    QPushButton command2(ui.Command2->text(), &plain);
    command2.setGeometry(ui.Command2->geometry());
    QProgressBar pb1(&plain);
    pb1.setGeometry(ui.PB1->geometry());
    pb1.setRange(ui.PB1->minimum(), ui.PB1->maximum());
    pb1.setValue(ui.PB1->value());
    pb1.setTextVisible(false);
    auto image = [](QWidget* c) { return c->grab().toImage(); };
    EXPECT_EQ(image(ui.Command2), image(&command2));
    EXPECT_EQ(image(ui.PB1), image(&pb1));
}

TEST_F(FmmainTest, FocusAloneChoosesNoHostButAKeyOrAClickInTheListDoes) {
    auto w = Idle();
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    QListWidget* list = w->ui().List1;

    // Shift+Tab from the first octet wraps round to the list.
    w->ui().Text1[0]->setFocus();
    QApplication::processEvents();
    QTest::keyClick(w->ui().Text1[0], Qt::Key_Tab, Qt::ShiftModifier);
    ASSERT_TRUE(list->hasFocus());
    QApplication::processEvents();
    EXPECT_EQ(w->CurHost(), 0);
    EXPECT_TRUE(list->selectedItems().isEmpty());
    EXPECT_EQ(w->ui().Text3->toPlainText(), "...");

    QTest::keyClick(list, Qt::Key_Down);
    ASSERT_GE(list->currentRow(), 0);
    EXPECT_EQ(w->CurHost(), list->currentRow() + 1);
    EXPECT_EQ(w->ui().Text3->toPlainText().toStdString(),
              "IP: 127.0.0." + std::to_string(w->CurHost()));

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(6)).center());
    EXPECT_EQ(w->CurHost(), 7);
    EXPECT_EQ(w->ui().Text3->toPlainText(), "IP: 127.0.0.7");
}

}  // namespace
