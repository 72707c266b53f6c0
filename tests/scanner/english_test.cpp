// SPDX-License-Identifier: MIT
// The windows under an English locale (ctest runs this file under
// en_US.UTF-8, the others under C.UTF-8, where the Chinese source texts
// show): every caption, box text and log line comes from the English
// catalogue, and each caption fits the control the fixed layout gives it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/process/session.h"
#include "scanner/Fmmain.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "windows/FmPing1.h"
#include "windows/Fmshow.h"
#include "windows/HostTable.h"

namespace {

using namespace sweep;
using namespace scanner;

using Captions = std::map<std::string, std::string>;

// `window`'s title ("") and the captions of the controls named in `expected`
// are those; and every line of every label, button and check box fits inside
// it, with the room the style keeps around a button's text and beside a check
// box's indicator.
void ExpectCaptions(QWidget* window, const Captions& expected) {
    Captions shown{{"", window->windowTitle().toStdString()}};
    for (QWidget* c : window->findChildren<QWidget*>()) {
        auto metric = [c](QStyle::PixelMetric m) { return c->style()->pixelMetric(m, nullptr, c); };
        int room = c->width();
        if (auto* label = qobject_cast<QLabel*>(c))
            room = label->contentsRect().width();
        else if (qobject_cast<QCheckBox*>(c))
            room -= metric(QStyle::PM_IndicatorWidth) + metric(QStyle::PM_CheckBoxLabelSpacing);
        else if (qobject_cast<QPushButton*>(c))
            room -= 2 * (metric(QStyle::PM_ButtonMargin) + metric(QStyle::PM_DefaultFrameWidth));
        else
            continue;
        const QString text = c->property("text").toString();
        if (expected.count(c->objectName().toStdString()))
            shown[c->objectName().toStdString()] = text.toStdString();
        for (const QString& line : text.split('\n'))
            EXPECT_LE(c->fontMetrics().horizontalAdvance(line), room) << line.toStdString();
    }
    EXPECT_EQ(shown, expected);
}

TEST(English, MainWindowCaptionsDetailsAndBoxes) {
    Fmmain w;
    const Fmmain::Controls& ui = w.ui();
    ExpectCaptions(&w, {{"", "Varnex LAN Tool"},
                        {"Label1", "Net"},
                        {"Label2", "Runs"},
                        {"Check1", "MAC"},
                        {"Command1", "Ping"},
                        {"Command2", "Ping loop"},
                        {"Command3", "About"},
                        {"Label3", "On"},
                        {"Label4", "Off"}});
    EXPECT_EQ(HostDetails("192.0.2.5", 2, 3, "AA-BB-CC-DD-EE-FF", "r"),
              "IP: 192.0.2.5\r\n\r\nPing OK: 2/3\r\nSuccess rate: 66%\r\nMac:AA-BB-CC-DD-EE-FF\r\n"
              "Remark:r");

    // The remark box's prompt and title.
    std::vector<std::unique_ptr<Ping>> pings(256);
    for (int i = 1; i <= 255; ++i) pings[i] = std::make_unique<Ping>();
    w.engine().SetPings(std::move(pings));
    for (int i = 1; i <= 255; ++i) ui.List1->addItem(QString::number(i));
    std::string prompt, title;
    w.InputBox = [&](const std::string& p, const std::string& t, const std::string&) {
        prompt = p;
        title = t;
        return std::optional<std::string>();
    };
    w.SetCurHost(5);
    w.EditRemark();
    EXPECT_EQ(prompt, "Enter the new remark:");
    EXPECT_EQ(title, "Remark");

    // A message box of the window's own, with the system's error text.
    const std::string empty = testsupport::MakeTempDir("nomorvel");
    platform::SetProgramDirForTesting(empty);
    testsupport::MessageCatcher messages;
    Fmmain lonely;
    EXPECT_FALSE(lonely.Form_Load());
    platform::SetProgramDirForTesting(testsupport::TestRoot() + "/prog");
    ASSERT_EQ(messages.Texts().size(), 1u);
    EXPECT_EQ(messages.Texts()[0],
              "Cannot start the worker host Morvel:\n" + empty +
                  "/Morvel\nNo such file or directory\n\nThe program will quit.");
}

TEST(English, HostMenuAndHostTable) {
    Fmmain w;
    std::vector<std::unique_ptr<Ping>> pings(256);
    for (int i = 1; i <= 255; ++i) pings[i] = std::make_unique<Ping>();
    w.engine().SetPings(std::move(pings));
    w.ShowHostMenu(5, {});
    QStringList items;
    for (QAction* a : w.HostMenu()->actions())
        if (!a->isSeparator()) items << a->text();
    EXPECT_EQ(items,
              QStringList({"192.168.0.5", "Ping loop", "Copy address", "Copy MAC", "Edit remark...",
                           "Wake (Wake-on-LAN)", "Host table", "Show changes on the grid"}));
    w.OpenHostTable();
    windows::HostTable* table = w.HostTableWindow();
    ASSERT_NE(table, nullptr);
    QStringList headers;
    for (int c = 0; c < windows::HostTableModel::kColumns; ++c)
        headers << table->Model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    EXPECT_EQ(headers, QStringList({"Address", "Name", "MAC", "Vendor", "Seen", "Answered", "Share",
                                    "Change", "Last seen", "Remark"}));
    ExpectCaptions(table, {{"", "Host table - 192.168.0"},
                           {"OnlySeen", "Only hosts seen"},
                           {"Copy", "Copy rows"},
                           {"ExportCsv", "Export CSV..."},
                           {"ExportJson", "Export JSON..."},
                           {"Shown", "0 of 255 hosts shown"}});
    w.close();
}

TEST(English, PingAndAboutWindows) {
    auto* ping = new windows::FmPing1(nullptr);
    ExpectCaptions(ping, {{"", "Continuous ping"}, {"Label1", "IP"}, {"Command1", "Start"}});
    // Start and Stop alternate on the translated captions.
    ping->Command1_Click();
    EXPECT_EQ(ping->Command1->text(), "Stop");
    ping->Timer1->stop();
    for (int answer : {1, 0, -1}) {
        ping->SetPingFunction([answer](const std::string&) {
            if (answer < 0) throw std::runtime_error("bad address");
            return answer == 1;
        });
        ping->Timer1_Timer();
    }
    EXPECT_TRUE(ping->List1->item(2)->text().endsWith(": OK"));
    EXPECT_TRUE(ping->List1->item(1)->text().endsWith(": failed: Error"));
    EXPECT_TRUE(ping->List1->item(0)->text().endsWith(": failed: bad address"));
    ping->Command1_Click();
    EXPECT_EQ(ping->Command1->text(), "Start");
    EXPECT_FALSE(ping->Timer1->isActive());
    ping->close();

    windows::Fmshow* about = windows::ShowAbout(nullptr);
    ExpectCaptions(about, {{"", "About Varnex"},
                           {"Label1", "Varnex LAN Tool"},
                           {"Label2", "Version 1.3"},
                           {"Label4", "E-mail"},
                           {"Label5", "The Varnex team\nSend problems and ideas to its issue list"},
                           {"Command1", "OK"}});
    about->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
