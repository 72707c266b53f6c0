// SPDX-License-Identifier: MIT
// What the window adds around a host: its menu (right button, menu key,
// Shift+F10) and what the menu's items do, and the host table. Mostly without
// Morvel: the proxies carry no worker, and the findings of a sweep are given
// as a sweep's end would give them. Then real sweeps of the test LAN 192.0.2,
// and the packets the window sends there.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "platform/files/fileio.h"
#include "platform/process/session.h"
#include "scanner/Fmmain.h"
#include "scanner/cell.h"
#include "settings/ini.h"
#include "sweep/Csv.h"
#include "tests/support/children.h"
#include "tests/support/fm_support.h"
#include "tests/support/isolation.h"
#include "tests/support/testnet.h"
#include "windows/FmPing1.h"
#include "windows/HostTable.h"

namespace {

using namespace sweep;
using namespace scanner;

std::string PsIni() { return platform::ProgramDir() + "/Ps.ini"; }

class HostsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::remove(PsIni());
        std::filesystem::remove(platform::ProgramDir() + "/set.ini");
        w = std::make_unique<Fmmain>();
        std::vector<std::unique_ptr<Ping>> pings(256);
        for (int i = 1; i <= 255; ++i) pings[i] = std::make_unique<Ping>();
        w->engine().SetPings(std::move(pings));
        for (int i = 1; i <= 255; ++i) w->ui().List1->addItem(QString::number(i));
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    }
    void TearDown() override {
        w->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Hosts 2, 10 and 100 answered, 7 by its MAC (a new device); 10 went down.
    void Swept() {
        SweepResult r;
        r.subnet = "192.168.0";
        r.rounds = 2;
        for (int n = 1; n <= 255; ++n) {
            HostResult h;
            h.host = n;
            h.ip = "192.168.0." + std::to_string(n);
            h.rounds = 2;
            h.answered = n == 2 || n == 7 || n == 100 ? 2 : 0;
            h.seen = h.answered > 0 ? "echo" : "none";
            if (n == 7) {
                h.mac = "02-00-00-00-00-07";
                h.vendor = "Acme Printers";
                h.change = "new";
            }
            if (n == 10) h.change = "down";
            r.hosts.push_back(h);
        }
        std::vector<std::string> last(255);
        for (int n : {2, 7, 10, 100}) last[n - 1] = "2026-01-02 03:04:05";
        w->SetFindingsForTesting(r, last);
    }

    QString MenuTitle() {
        QMenu* menu = w->HostMenu();
        return menu && menu->isVisible() ? menu->actions().front()->text() : QString();
    }
    QAction* Item(const char* name) { return w->HostMenu()->findChild<QAction*>(name); }

    std::unique_ptr<Fmmain> w;
};

QPoint CellCentre(int n) {
    const Cell c = CellOf(n);
    return {(c.left + c.right) / 2, (c.top + c.bottom) / 2};
}

TEST_F(HostsTest, TheMenuOpensForTheHostPointedAtAndChangesNothingElse) {
    w->SetCurHost(5);
    w->FG1_Click();
    const QString details = w->ui().Text3->toPlainText();
    ASSERT_EQ(w->ui().List1->currentRow(), 4);
    QListWidget* list = w->ui().List1;
    list->scrollToItem(list->item(19));
    auto unchanged = [&] {
        EXPECT_EQ(w->CurHost(), 5);
        ASSERT_EQ(list->selectedItems().size(), 1);
        EXPECT_EQ(list->row(list->selectedItems().front()), 4);
        EXPECT_EQ(w->ui().Text3->toPlainText(), details);
    };

    // The right button on a cell and on a line: the platform's press, release
    // and context-menu event.
    auto rightClick = [](QWidget* at, QPoint pos) {
        QTest::mouseClick(at, Qt::RightButton, {}, pos);
        QContextMenuEvent menu(QContextMenuEvent::Mouse, pos, at->mapToGlobal(pos));
        QApplication::sendEvent(at, &menu);
    };
    rightClick(w->ui().FG1, CellCentre(37));
    EXPECT_EQ(MenuTitle(), "192.168.0.37");
    unchanged();
    rightClick(list->viewport(), list->visualItemRect(list->item(19)).center());
    EXPECT_EQ(MenuTitle(), "192.168.0.20");
    unchanged();
    w->HostMenu()->close();
    rightClick(w->ui().FG1, {10, 10});  // host 0's place: no menu
    EXPECT_EQ(MenuTitle(), "");

    // Shift+F10 in the list: the selected line's host.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(MenuTitle(), "192.168.0.5");
    unchanged();
    // The menu key with the pointer resting on a cell: that host, wherever the focus is.
    QTest::mouseMove(w->ui().FG1, CellCentre(99));
    QContextMenuEvent key(QContextMenuEvent::Keyboard, {}, {});
    QApplication::sendEvent(w->ui().Text1[0], &key);
    EXPECT_EQ(MenuTitle(), "192.168.0.99");
}

TEST_F(HostsTest, MenuItemsActOnTheirHost) {
    Swept();
    testsupport::WriteText(platform::ProgramDir() + "/set.ini", "[Set]\r\nPing=10.9.9.9\r\n");
    w->ShowHostMenu(8, {});
    EXPECT_FALSE(Item("CopyMac")->isEnabled());
    EXPECT_FALSE(Item("WakeHost")->isEnabled());
    w->ShowHostMenu(7, {});
    EXPECT_TRUE(Item("WakeHost")->isEnabled());
    Item("CopyMac")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "02-00-00-00-00-07");
    w->ShowHostMenu(7, {});
    Item("CopyAddress")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "192.168.0.7");

    // A new continuous ping window with the address, not started.
    w->ShowHostMenu(7, {});
    Item("PingContinuously")->trigger();
    windows::FmPing1* ping = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<windows::FmPing1*>(top); p && p->isVisible()) ping = p;
    ASSERT_NE(ping, nullptr);
    EXPECT_EQ(ping->Text1->text(), "192.168.0.7");
    EXPECT_EQ(ping->Command1->text(), "开始");
    EXPECT_FALSE(ping->Timer1->isActive());
    ping->close();

    // The remark edit of that host, CurHost untouched.
    w->SetCurHost(3);
    std::string asked;
    w->InputBox = [&](const std::string&, const std::string&, const std::string& initial) {
        asked = initial;
        return std::optional<std::string>("printer");
    };
    settings::WriteIni("PS", "192.168.0.7", "old", PsIni());
    w->ShowHostMenu(7, {});
    Item("EditRemark")->trigger();
    EXPECT_EQ(asked, "old");
    EXPECT_EQ(settings::ReadIni("PS", "192.168.0.7", PsIni()), "printer");
    EXPECT_TRUE(w->ui().List1->item(6)->text().endsWith("printer"));
    EXPECT_EQ(w->CurHost(), 3);

    // The check item is kept in set.ini, beside the entry.
    w->ShowHostMenu(7, {});
    EXPECT_FALSE(Item("ShowChanges")->isChecked());
    Item("ShowChanges")->trigger();
    EXPECT_TRUE(w->ShowChanges());
    const std::string setIni = platform::ProgramDir() + "/set.ini";
    EXPECT_EQ(settings::ReadIni("Set", kShowChangesKey, setIni), "1");
    EXPECT_EQ(settings::ReadIni("Set", "Ping", setIni), "10.9.9.9");

    // The host table, from the menu and by Ctrl+T.
    w->ShowHostMenu(7, {});
    Item("OpenHostTable")->trigger();
    ASSERT_NE(w->HostTableWindow(), nullptr);
    EXPECT_TRUE(w->HostTableWindow()->isVisible());
    w->HostTableWindow()->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(w->HostTableWindow(), nullptr);
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    QTest::keyClick(w.get(), Qt::Key_T, Qt::ControlModifier);
    ASSERT_NE(w->HostTableWindow(), nullptr);
    EXPECT_TRUE(w->HostTableWindow()->isVisible());
}

TEST_F(HostsTest, CellTooltipsTellWhatIsKnownAndTheLegendWithTheMarks) {
    EXPECT_EQ(w->CellToolTip(7), "");  // before a sweep
    Swept();
    const QString tip = w->CellToolTip(7);
    for (const char* part : {"192.168.0.7", "Acme Printers", "新设备", "2026-01-02 03:04:05"})
        EXPECT_TRUE(tip.contains(QString::fromUtf8(part))) << part;
    EXPECT_FALSE(tip.contains("角标"));
    EXPECT_EQ(w->CellToolTip(50), "");  // never seen, nothing known
    w->SetShowChanges(true);
    EXPECT_TRUE(w->CellToolTip(7).contains("角标"));
    EXPECT_TRUE(w->CellToolTip(50).contains("角标"));
}

// The rows the table shows, by the first column's text.
QStringList Shown(const windows::HostTable* t) {
    QStringList rows;
    for (int r = 0; r < t->Proxy->rowCount(); ++r) rows << t->Proxy->index(r, 0).data().toString();
    return rows;
}

// A name, and a host that dropped the echo but answered ARP: both count as
// known wherever the host is shown.
TEST_F(HostsTest, NamesAndHostsSeenByArpOnlyShowWhereverTheHostIs) {
    Swept();
    SweepResult r = w->Findings();
    r.hosts[1].name = "gw.lan";
    r.hosts[29].seen = "arp";
    r.hosts[29].mac = "00-11-22-33-44-30";
    w->SetFindingsForTesting(r, {});
    w->ShowHostMenu(2, {});
    EXPECT_EQ(MenuTitle(), "192.168.0.2  gw.lan");
    w->ShowHostMenu(30, {});
    EXPECT_TRUE(Item("WakeHost")->isEnabled());
    EXPECT_TRUE(w->CellToolTip(2).contains("gw.lan"));
    EXPECT_TRUE(w->CellToolTip(30).contains("只应答了ARP"));

    w->OpenHostTable();
    windows::HostTable* t = w->HostTableWindow();
    EXPECT_EQ(Shown(t),
              QStringList({"192.168.0.2", "192.168.0.7", "192.168.0.30", "192.168.0.100"}));
    auto cell = [&](int row, int column) { return t->Proxy->index(row, column).data().toString(); };
    EXPECT_EQ(cell(0, windows::HostTableModel::Name), "gw.lan");
    EXPECT_EQ(cell(0, windows::HostTableModel::Seen), "Ping");
    EXPECT_EQ(cell(2, windows::HostTableModel::Seen), "仅ARP");
    EXPECT_EQ(cell(2, windows::HostTableModel::Answered), "0/2");
    t->Filter->setText("GW.LAN");
    EXPECT_EQ(Shown(t), QStringList({"192.168.0.2"}));
}

TEST_F(HostsTest, TheTableSortsFiltersCopiesExportsAndEditsRemarks) {
    Swept();
    w->OpenHostTable();
    windows::HostTable* t = w->HostTableWindow();
    ASSERT_NE(t, nullptr);
    // Only the hosts seen at first, in address order by number.
    EXPECT_EQ(Shown(t), QStringList({"192.168.0.2", "192.168.0.7", "192.168.0.100"}));
    t->Table->sortByColumn(windows::HostTableModel::Address, Qt::DescendingOrder);
    EXPECT_EQ(Shown(t).front(), "192.168.0.100");
    t->Table->sortByColumn(windows::HostTableModel::Address, Qt::AscendingOrder);
    t->OnlySeen->setChecked(false);
    EXPECT_EQ(Shown(t).size(), 255);
    EXPECT_EQ(Shown(t)[9], "192.168.0.10");
    EXPECT_EQ(t->Proxy->index(9, windows::HostTableModel::Change).data().toString(), "下线");
    // A text over all columns, in any case.
    t->Filter->setText("acme");
    EXPECT_EQ(Shown(t), QStringList({"192.168.0.7"}));
    t->Filter->setText(".10");
    EXPECT_EQ(Shown(t).size(), 11);  // .10 and .100 to .109
    t->Filter->clear();
    t->OnlySeen->setChecked(true);

    // Copy: the selected rows as shown, tab-separated.
    t->Table->selectRow(0);
    t->Table->selectionModel()->select(t->Proxy->index(2, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    t->CopySelected();
    const QStringList lines = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("192.168.0.2\t"));
    EXPECT_EQ(lines[1].split('\t').size(), windows::HostTableModel::kColumns);
    EXPECT_EQ(lines[1].split('\t')[windows::HostTableModel::Answered], "2/2");

    // Export: the rows shown, in the script's forms.
    const std::string dir = testsupport::MakeTempDir("export");
    std::string why;
    ASSERT_TRUE(t->Export(QString::fromStdString(dir + "/a.csv"), ReportFormat::Csv, why)) << why;
    ASSERT_TRUE(t->Export(QString::fromStdString(dir + "/a.json"), ReportFormat::Json, why));
    const std::string text = testsupport::ReadText(dir + "/a.csv");
    CsvReader csv(text);
    std::vector<std::string> row;
    std::vector<std::vector<std::string>> rows;
    while (csv.Next(row)) rows.push_back(row);
    EXPECT_FALSE(csv.Malformed());
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][0], "host");
    EXPECT_EQ(rows[2][1], "192.168.0.7");
    EXPECT_EQ(rows[2][8], "new");
    const QJsonDocument json =
        QJsonDocument::fromJson(QByteArray::fromStdString(testsupport::ReadText(dir + "/a.json")));
    ASSERT_TRUE(json.isObject());
    EXPECT_EQ(json["subnet"].toString(), "192.168.0");
    ASSERT_EQ(json["hosts"].toArray().size(), 3);
    EXPECT_EQ(json["hosts"][1]["vendor"].toString(), "Acme Printers");
    // A file that cannot be written: told, nothing else.
    testsupport::MessageCatcher messages;
    t->ChooseFile = [&](ReportFormat) { return QString::fromStdString(dir + "/no/such/a.csv"); };
    t->ExportCsv->click();
    ASSERT_EQ(messages.Texts().size(), 1u);
    EXPECT_NE(messages.Texts()[0].find("无法写入文件"), std::string::npos);

    // A double-click edits the remark under the host's address, as the grid does.
    w->InputBox = [](const std::string&, const std::string&, const std::string&) {
        return std::optional<std::string>("gateway");
    };
    const QModelIndex first = t->Proxy->index(0, windows::HostTableModel::Remark);
    emit t->Table->doubleClicked(first);
    EXPECT_EQ(settings::ReadIni("PS", "192.168.0.2", PsIni()), "gateway");
    EXPECT_EQ(first.data().toString(), "gateway");
    EXPECT_TRUE(w->ui().List1->item(1)->text().endsWith("gateway"));
    // And the grid's edit shows in the table at once.
    w->InputBox = [](const std::string&, const std::string&, const std::string&) {
        return std::optional<std::string>("router");
    };
    w->SetCurHost(2);
    w->FG1_DblClick();
    EXPECT_EQ(first.data().toString(), "router");
}

TEST_F(HostsTest, AWakeThatNoInterfaceCanSendIsToldWithItsReason) {
    std::string why;
    // Nothing may leave: the test's namespace has no route to 198.51.100.
    if (!testsupport::Isolated(&why)) GTEST_SKIP() << why;
    w->ui().Text1[0]->setText("198");
    w->ui().Text1[1]->setText("51");
    w->ui().Text1[2]->setText("100");
    SweepResult r;
    r.subnet = "198.51.100";
    for (int n = 1; n <= 255; ++n) {
        HostResult h;
        h.host = n;
        h.ip = "198.51.100." + std::to_string(n);
        h.answered = h.rounds = 1;
        h.mac = "02-00-00-00-00-09";
        r.hosts.push_back(h);
    }
    w->SetFindingsForTesting(r, {});
    testsupport::MessageCatcher messages;
    w->WakeHost(9);
    ASSERT_EQ(messages.Texts().size(), 1u);
    const std::string text = messages.Texts()[0];
    EXPECT_NE(text.find("唤醒包未能发出 (02-00-00-00-00-09 -> 198.51.100.255:9)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::strerror(ENETUNREACH)), std::string::npos) << text;
}

// The report of a sweep as CSV rows, without the column of changes.
std::vector<std::vector<std::string>> ReportRows(const std::string& csv) {
    std::vector<std::vector<std::string>> rows;
    CsvReader reader(csv);
    for (std::vector<std::string> row; reader.Next(row);) {
        row.erase(row.begin() + 8);
        rows.push_back(row);
    }
    EXPECT_FALSE(reader.Malformed());
    return rows;
}

// A sweep of the window, until its findings are shown.
void SweepAndWait(Fmmain& w) {
    const auto before = w.Findings().started;
    w.DoPing();
    ASSERT_TRUE(w.Sweeping());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !w.Sweeping() && w.Findings().started != before; }, 30000));
}

// The script's report of the test LAN (CSV, with changes; with MACs when asked).
std::string ScriptSweep(const std::string& tessor, bool mac) {
    const std::string dir = testsupport::MakeTempDir("script");
    testsupport::SpawnOptions options;
    options.streams = {"/dev/null", dir + "/out", dir + "/err"};
    std::vector<std::string> args{"--sweep", "192.0.2", "--changes", "--format", "csv"};
    if (mac) args.push_back("--mac");
    EXPECT_EQ(testsupport::Run(tessor, args, options), 0);
    std::string out;
    platform::ReadAll(dir + "/out", out);
    return out;
}

TEST(HostsLan, WindowSweepsAreRecordedForTheScriptAndItsWakeReachesTheHost) {
    using testsupport::TestLan;
    std::string why;
    if (!TestLan::Usable(&why)) GTEST_SKIP() << why;
    // One program folder for the window and a script's Tessor: the same record of sweeps.
    const std::string prog = testsupport::MakeTempDir("prog");
    std::filesystem::create_hard_link(testsupport::BuildBinDir() + "/Tessor", prog + "/Tessor");
    std::filesystem::create_symlink(testsupport::BuildBinDir() + "/Morvel", prog + "/Morvel");
    platform::SetProgramDirForTesting(prog);
    TestLan lan({2, 4, 10, 50, 100});
    lan.DropEcho(4);
    testsupport::ResolverFiles files("nameserver 127.0.0.1\n", "192.0.2.2 two-by-file\n");
    ASSERT_EQ(files.Problem(), "");
    ScriptSweep(prog + "/Tessor", true);
    lan.SetAnswering(50, false);
    Fmmain w;
    ASSERT_TRUE(w.Form_Load());
    w.ui().Text1[0]->setText("192");
    w.ui().Text1[1]->setText("0");
    w.ui().Text1[2]->setText("2");
    w.ui().Check1->setChecked(true);
    SweepAndWait(w);
    const auto& found = w.Findings().hosts;
    ASSERT_EQ(found.size(), 255u);
    EXPECT_EQ(found[49].change, "down");  // against the script's sweep
    lan.SetAnswering(10, false);
    lan.SetAnswering(7, true);
    w.ui().Check1->setChecked(false);  // no MAC read: none can change
    SweepAndWait(w);
    EXPECT_EQ(found[6].change, "up");
    EXPECT_EQ(found[9].change, "down");
    EXPECT_EQ(found[49].change, "");
    EXPECT_EQ(found[1].mac, "");
    EXPECT_EQ(found[1].change, "");
    // Last seen by the history, also when this window never saw the host.
    EXPECT_TRUE(w.CellToolTip(50).contains("最后在线")) << w.CellToolTip(50).toStdString();
    // As the script sees them: by ARP only, with its MAC; with a name.
    EXPECT_EQ(found[3].seen, "arp");
    EXPECT_EQ(found[3].mac, TestLan::Mac(4));
    EXPECT_EQ(w.engine().Host(4).color, kColorRed);
    EXPECT_EQ(found[1].name, "two-by-file");  // waited for before the record

    // The script compares with the window's last sweep (not its first, nor
    // the script's own): nothing changed since.
    const std::string script = ScriptSweep(prog + "/Tessor", false);
    CsvReader reader(script);
    for (std::vector<std::string> row; reader.Next(row);)
        EXPECT_TRUE(row[8] == "" || row[8] == "change") << row[1] << " " << row[8];
    // The table's export of every host is the script's report of the same LAN.
    w.OpenHostTable();
    w.HostTableWindow()->OnlySeen->setChecked(false);
    const std::string table = testsupport::MakeTempDir("table") + "/all.csv";
    ASSERT_TRUE(w.HostTableWindow()->Export(QString::fromStdString(table), ReportFormat::Csv, why))
        << why;
    EXPECT_EQ(ReportRows(testsupport::ReadText(table)), ReportRows(script));

    // Wake-on-LAN, with the MAC the history knows: exactly the magic packet,
    // once, on the host's own link.
    const int listener = lan.UdpSocketOnHost(2, 9);
    w.ShowHostMenu(2, {});
    w.HostMenu()->findChild<QAction*>("WakeHost")->trigger();
    std::string expected(6, '\xFF');
    for (int i = 0; i < 16; ++i) expected += std::string("\x02\0\0\0\0\x02", 6);
    pollfd in{listener, POLLIN, 0};
    ASSERT_EQ(poll(&in, 1, 5000), 1);
    char packet[512];
    const ssize_t got = recv(listener, packet, sizeof packet, 0);
    EXPECT_EQ(std::string(packet, static_cast<std::size_t>(std::max<ssize_t>(got, 0))), expected);
    EXPECT_EQ(poll(&in, 1, 300), 0);
    close(listener);
    w.close();
    platform::SetProgramDirForTesting(testsupport::TestRoot() + "/prog");
}

}  // namespace
