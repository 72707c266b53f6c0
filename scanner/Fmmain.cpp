// SPDX-License-Identifier: MIT
#include "scanner/Fmmain.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QFontDatabase>
#include <QHelpEvent>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTextDocument>
#include <QThreadPool>
#include <QTimer>
#include <QToolTip>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "platform/files/codepage.h"
#include "platform/net/direct_links.h"
#include "platform/net/reverse_names.h"
#include "platform/net/wake.h"
#include "platform/process/msgbox.h"
#include "platform/process/session.h"
#include "scanner/Api.h"
#include "scanner/cell.h"
#include "settings/ini.h"
#include "sweep/Findings.h"
#include "sweep/Func.h"
#include "sweep/History.h"
#include "sweep/Presence.h"
#include "sweep/SweepOptions.h"
#include "sweep/SweepReport.h"
#include "sweep/Workers.h"
#include "windows/FmPing1.h"
#include "windows/Fmshow.h"
#include "windows/HostTable.h"
#include "windows/design.h"

namespace scanner {

namespace {

using windows::Bgr;
using windows::kColorWindow;
using windows::Twips;

void SetBackground(QWidget* w, std::int32_t bgr) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Bgr(bgr));
    pal.setColor(QPalette::Button, Bgr(bgr));
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

// Qt shows CR LF as two breaks; the window's texts keep Windows line ends.
std::string ToLf(std::string s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        out += s[i];
    }
    return out;
}

// A control that keeps the desktop's colours: every role is set, so the
// window's light blue does not pass down to it.
void KeepDesktopColours(QWidget* w) {
    const QPalette desktop = QApplication::palette(w);
    QPalette pal;
    for (int g = 0; g < QPalette::NColorGroups; ++g) {
        const auto group = static_cast<QPalette::ColorGroup>(g);
        for (int r = 0; r < QPalette::NColorRoles; ++r) {
            const auto role = static_cast<QPalette::ColorRole>(r);
            if (role != QPalette::NoRole) pal.setBrush(group, role, desktop.brush(group, role));
        }
    }
    w->setPalette(pal);
}

// The grid: FG1's paint draws every cell; its mouse events are the window's.
class GridBox : public QWidget {
  public:
    GridBox(Fmmain* owner, QWidget* parent) : QWidget(parent), owner_(owner) {
        setMouseTracking(true);
    }

    // The host whose cell the pointer rests on, 0 when none. Kept apart from
    // CurHost, which a click on List1 moves away from the pointer.
    int Hovered() const { return hovered_; }

  protected:
    bool event(QEvent* e) override {
        if (e->type() != QEvent::ToolTip) return QWidget::event(e);
        const auto* help = static_cast<QHelpEvent*>(e);
        const int host = HostAt(help->pos().x(), help->pos().y());
        const QString tip = host > 0 ? owner_->CellToolTip(host) : QString();
        if (tip.isEmpty()) {
            QToolTip::hideText();
            e->ignore();
            return true;
        }
        const Cell c = CellOf(host);
        QToolTip::showText(help->globalPos(), tip, this,
                           QRect(c.left, c.top, kCellWidth, kCellHeight));
        return true;
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        owner_->PaintFG1(p);
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        hovered_ = std::max(0, HostAt(e->position().x(), e->position().y()));
        owner_->FG1_MouseMove(static_cast<int>(e->buttons()), static_cast<int>(e->modifiers()),
                              static_cast<float>(e->position().x()),
                              static_cast<float>(e->position().y()));
    }
    void leaveEvent(QEvent*) override { hovered_ = 0; }
    // The right button runs no step of the left one: only the host's menu.
    void contextMenuEvent(QContextMenuEvent* e) override {
        const int host = HostAt(e->pos().x(), e->pos().y());
        if (host >= 1) owner_->ShowHostMenu(host, e->globalPos());
        e->accept();
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        // The release that ends a double-click is not a click of its own.
        if (e->button() == Qt::LeftButton && !afterDouble_) owner_->FG1_Click();
        afterDouble_ = false;
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton) return;
        afterDouble_ = true;
        owner_->FG1_DblClick();
    }

  private:
    Fmmain* owner_;
    bool afterDouble_ = false;
    int hovered_ = 0;
};

class ScaleBox : public QWidget {
  public:
    ScaleBox(Fmmain* owner, QWidget* parent) : QWidget(parent), owner_(owner) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        owner_->PaintPP1(p);
    }

  private:
    Fmmain* owner_;
};

// A one-line box cannot hold a line break, so a stored remark's breaks show
// as this stand-in. A text confirmed unchanged gives back the stored remark
// byte for byte; an edited one gets CR LF for each stand-in it still has.
const QString kBreakShown = QStringLiteral("\u21B5");

bool HasBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

QString OneLine(const std::string& s) {
    QString out;
    const QString text = Q(s);
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += kBreakShown;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::string> DefaultInputBox(QWidget* parent, const std::string& prompt,
                                           const std::string& title, const std::string& initial) {
    QInputDialog box(parent);
    box.setObjectName("InputBox");
    box.setInputMode(QInputDialog::TextInput);
    box.setWindowTitle(Q(title));
    box.setLabelText(Q(prompt));
    const QString shown = OneLine(initial);
    box.setTextValue(shown);
    if (box.exec() != QDialog::Accepted) return std::nullopt;
    QString typed = box.textValue();
    if (typed == shown) return initial;
    // Only a remark that was shown with stand-ins maps them back; otherwise the
    // character is the user's own.
    if (HasBreak(initial) && !Q(initial).contains(kBreakShown))
        typed.replace(kBreakShown, QStringLiteral("\r\n"));
    return S(typed);
}

}  // namespace

std::string HostDetails(const std::string& address, std::int32_t okCount, std::int32_t roundCount,
                        const std::string& mac, const std::string& remark) {
    std::string t = "IP: " + address;
    if (roundCount > 0) {
        t += "\r\n\r\n" + S(scanner::Fmmain::tr("Ping成功: ")) + std::to_string(okCount) + "/" +
             std::to_string(roundCount);
        t += "\r\n" + S(scanner::Fmmain::tr("成功率: ")) +
             std::to_string(sweep::SharePercent(okCount, roundCount)) + "%";
        t += "\r\nMac:" + mac;
        t += "\r\n" + S(scanner::Fmmain::tr("备注:")) + remark;
    }
    return t;
}

Fmmain::Fmmain(QWidget* parent) : QWidget(parent) {
    setObjectName("Fmmain");
    recorder_ = std::make_unique<QThreadPool>();
    recorder_->setMaxThreadCount(1);
    setWindowTitle(tr("局域网Varnex工具"));
    // Fixed size, no maximise button.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(821, 456);
    SetBackground(this, kColorWindow);
    // The design's 9-point font (12 pixels at 96 dpi): the details box holds
    // its six lines and three digits fit a cell.
    QFont small = font();
    small.setPixelSize(12);
    setFont(small);
    BuildControls();
    InputBox = [this](const std::string& prompt, const std::string& title,
                      const std::string& initial) {
        return DefaultInputBox(this, prompt, title, initial);
    };
    // Without a parent, so they stay open when the main window goes.
    OpenPingWindow = [] { windows::OpenPingWindow(nullptr); };
    OpenAboutWindow = [] { windows::ShowAbout(nullptr); };
    OpenPingWindowAt = [](const std::string& address) {
        windows::OpenPingWindow(nullptr, Q(address));
    };
}

Fmmain::~Fmmain() {
    // A window never closed still records its last sweep; the recorder's
    // tasks post to this window, so they end first.
    FlushRecord();
    recorder_.reset();
}

void Fmmain::BuildControls() {
    auto label = [this](const char* name, const QString& text, QRect r) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        l->setGeometry(r);
        return l;
    };
    auto edit = [this](const char* name, const QString& text, QRect r) {
        auto* e = new QLineEdit(text, this);
        e->setObjectName(name);
        e->setGeometry(r);
        return e;
    };
    auto button = [this](const char* name, const QString& text, QRect r) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setGeometry(r);
        return b;
    };

    ui_.Label1 = label("Label1", tr("网段"), Twips(480, 270, 495, 195));
    ui_.Text1[0] = edit("Text1_0", "192", Twips(960, 210, 435, 315));
    ui_.Text1[1] = edit("Text1_1", "168", Twips(1440, 210, 435, 315));
    ui_.Text1[2] = edit("Text1_2", "0", Twips(1920, 210, 435, 315));
    ui_.Label2 = label("Label2", tr("次数"), Twips(450, 720, 495, 195));
    ui_.Text2 = edit("Text2", "1", Twips(960, 630, 435, 315));
    ui_.Check1 = new QCheckBox(tr("获取mac"), this);
    ui_.Check1->setObjectName("Check1");
    ui_.Check1->setGeometry(Twips(1470, 630, 1065, 315));
    ui_.Command1 = button("Command1", "Ping", Twips(2730, 150, 1095, 795));
    // Label1, Label2 and Check1 show the window's colour through; Command1 is
    // given it. Every other control keeps the desktop's colours.
    SetBackground(ui_.Command1, kColorWindow);
    ui_.Command2 = button("Command2", tr("持续ping"), Twips(3930, 150, 1095, 795));
    ui_.Command3 = button("Command3", tr("关于Varnex"), Twips(5130, 150, 1095, 795));

    ui_.Timer1 = new QTimer(this);
    ui_.Timer1->setObjectName("Timer1");
    ui_.Timer1->setInterval(50);
    ui_.Timer1->setTimerType(Qt::PreciseTimer);

    ui_.PB1 = new QProgressBar(this);
    ui_.PB1->setObjectName("PB1");
    ui_.PB1->setGeometry(Twips(0, 6465, 12315, 375));
    ui_.PB1->setRange(0, 100);
    ui_.PB1->setValue(0);
    ui_.PB1->setTextVisible(false);

    ui_.FG1 = new GridBox(this, this);
    ui_.FG1->setObjectName("FG1");
    ui_.FG1->setGeometry(Twips(0, 1140, 6705, 5295));
    SetBackground(ui_.FG1, kColorGridBack);

    // The legend: static apart from ui_.PP1's scale.
    ui_.Label3 = label("Label3", tr("连线"), Twips(9300, 450, 405, 225));
    ui_.Picture2 = new QWidget(this);
    ui_.Picture2->setObjectName("Picture2");
    ui_.Picture2->setGeometry(Twips(9720, 360, 225, 375));
    SetBackground(ui_.Picture2, sweep::kColorGreen);
    ui_.PP1 = new ScaleBox(this, this);
    ui_.PP1->setObjectName("PP1");
    ui_.PP1->setGeometry(Twips(9930, 360, 915, 375));
    ui_.Picture3 = new QWidget(this);
    ui_.Picture3->setObjectName("Picture3");
    ui_.Picture3->setGeometry(Twips(10830, 360, 225, 375));
    SetBackground(ui_.Picture3, sweep::kColorRed);
    ui_.Label4 = label("Label4", tr("断线"), Twips(11070, 450, 405, 225));
    // The legend's captions keep the system's control colour, not the window's.
    for (QLabel* l : {ui_.Label3, ui_.Label4}) {
        KeepDesktopColours(l);
        QPalette pal = l->palette();
        pal.setColor(QPalette::Window, pal.color(QPalette::Button));
        l->setPalette(pal);
        l->setAutoFillBackground(true);
    }

    ui_.Text3 = new QPlainTextEdit(QStringLiteral("..."), this);
    ui_.Text3->setObjectName("Text3");
    ui_.Text3->setGeometry(Twips(6720, 1140, 5565, 1485));
    // A narrow margin so the six lines of a host's details fit without scrolling.
    ui_.Text3->document()->setDocumentMargin(1);

    ui_.List1 = new QListWidget(this);
    ui_.List1->setObjectName("List1");
    ui_.List1->setGeometry(Twips(6720, 2640, 5565, 3810));
    ui_.List1->setSelectionMode(QAbstractItemView::SingleSelection);
    ui_.List1->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    ui_.List1->setUniformItemSizes(false);
    // The rows are padded into columns; a fixed-pitch font keeps them aligned.
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(12);
    ui_.List1->setFont(mono);

    for (QWidget* c :
         std::initializer_list<QWidget*>{ui_.Text1[0], ui_.Text1[1], ui_.Text1[2], ui_.Text2,
                                         ui_.Command2, ui_.Command3, ui_.PB1, ui_.Text3, ui_.List1})
        KeepDesktopColours(c);

    ui_.FG1->setFocusPolicy(Qt::NoFocus);
    ui_.PP1->setFocusPolicy(Qt::NoFocus);
    setTabOrder(ui_.Text1[0], ui_.Text1[1]);
    setTabOrder(ui_.Text1[1], ui_.Text1[2]);
    setTabOrder(ui_.Text1[2], ui_.Command1);
    setTabOrder(ui_.Command1, ui_.Text2);
    setTabOrder(ui_.Text2, ui_.Check1);
    setTabOrder(ui_.Check1, ui_.Command2);
    setTabOrder(ui_.Command2, ui_.Command3);
    setTabOrder(ui_.Command3, ui_.Text3);
    setTabOrder(ui_.Text3, ui_.List1);

    // Every control that takes the focus may get the menu key or Shift+F10;
    // List1's lines also the right button.
    for (QWidget* c : findChildren<QWidget*>())
        if (c->focusPolicy() != Qt::NoFocus) c->installEventFilter(this);
    ui_.List1->viewport()->installEventFilter(this);
    auto* toTable = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
    connect(toTable, &QShortcut::activated, this, [this] { OpenHostTable(); });

    connect(ui_.Command1, &QPushButton::clicked, this, [this] { DoPing(); });
    connect(ui_.Command2, &QPushButton::clicked, this, [this] {
        if (OpenPingWindow) OpenPingWindow();
    });
    connect(ui_.Command3, &QPushButton::clicked, this, [this] {
        if (OpenAboutWindow) OpenAboutWindow();
    });
    connect(ui_.Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    // A changed selection (mouse or keyboard) and a click on the selected line
    // both count. The current row alone does not: focus entering the list makes
    // row 0 current without the user choosing it.
    connect(ui_.List1, &QListWidget::itemSelectionChanged, this, [this] { List1_Click(); });
    connect(ui_.List1, &QListWidget::itemClicked, this,
            [this](QListWidgetItem*) { List1_Click(); });
    connect(ui_.List1, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem*) { List1_DblClick(); });
}

// ---- start-up and shutdown ----

bool Fmmain::Form_Load() {
    const std::string setIni = settings::IniPath(settings::kSetIni);
    ui_.Text1[0]->setText(Q(settings::ReadIni("Set", "1", setIni)));
    ui_.Text1[1]->setText(Q(settings::ReadIni("Set", "2", setIni)));
    ui_.Text1[2]->setText(Q(settings::ReadIni("Set", "3", setIni)));
    ui_.Text2->setText(Q(settings::ReadIni("Set", "count", setIni)));
    if (ui_.Text1[0]->text().isEmpty()) ui_.Text1[0]->setText("192");
    if (ui_.Text1[1]->text().isEmpty()) ui_.Text1[1]->setText("168");
    if (ui_.Text1[2]->text().isEmpty()) ui_.Text1[2]->setText("0");
    if (ui_.Text2->text().isEmpty()) ui_.Text2->setText("1");
    showChanges_ = settings::ReadIni("Set", kShowChangesKey, setIni) == "1";

    // Morvel registers its classes and exits; then every host gets its worker.
    sweep::WorkerStart start = sweep::StartWorkers();
    const std::string& morvel = start.morvel;
    if (start.startError != 0) {
        platform::ShowMessage(S(tr("无法启动工作进程 Morvel:\n")) + morvel + "\n" +
                                  std::strerror(start.startError) + S(tr("\n\n程序将退出。")),
                              platform::MsgIcon::Warning);
        return false;
    }
    if (!start.ok()) {
        std::string text = S(tr("无法在工作进程 Morvel 中创建对象:\n主机 ")) +
                           std::to_string(start.failedHost) + ": " + start.failure;
        if (start.regCode && *start.regCode != 0)
            text += "\n(" + morvel + S(tr(" /regsver 注册失败, 退出码 ")) +
                    std::to_string(*start.regCode) + ")";
        else if (!start.regCode)
            text += "\n(" + morvel + S(tr(" /regsver 未在时限内结束)"));
        platform::ShowMessage(text + S(tr("\n\n程序将退出。")), platform::MsgIcon::Warning);
        return false;
    }
    engine_.SetPings(std::move(start.pings));
    ui_.List1->clear();
    for (int n = 1; n <= kHosts; ++n) ui_.List1->addItem(Q(sweep::Sweep::BareRow(n)));
    return true;
}

bool Fmmain::MakePings(std::vector<std::unique_ptr<sweep::Ping>>& fresh, std::string& failure) {
    int host = 0;
    if (sweep::MakePings(fresh, host, failure)) return true;
    failure = S(tr("主机 ")) + std::to_string(host) + ": " + failure;
    return false;
}

void Fmmain::Form_QueryUnload() {
    engine_.ClosePings();
    engine_.Stop();
    ui_.Timer1->stop();
}

void Fmmain::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        if (menu_) menu_->close();
        if (table_) table_->close();
        Form_QueryUnload();
        // The last sweep is recorded before Morvel and the program may end.
        FlushRecord();
        recorder_->waitForDone();
        engine_.SetPresence(nullptr);
        presence_.reset();
        // Releasing the proxies releases Morvel's objects; Morvel ends with the last.
        engine_.ReleasePings();
    }
    event->accept();
}

void Fmmain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void Fmmain::Form_Resize() {
    QRect g = ui_.FG1->geometry();
    int height = ui_.List1->geometry().top() + ui_.List1->geometry().height() - g.top();
    if (height >= 0) ui_.FG1->setGeometry(g.left(), g.top(), g.width(), height);
}

// ---- the subnet entry ----

bool Fmmain::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == ui_.List1->viewport()) {
        // The right button neither selects nor clicks a line: it only opens the menu.
        if ((type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
             type == QEvent::MouseButtonDblClick) &&
            static_cast<QMouseEvent*>(event)->button() == Qt::RightButton)
            return true;
        if (type == QEvent::ContextMenu) {
            const auto* menu = static_cast<QContextMenuEvent*>(event);
            if (menu->reason() == QContextMenuEvent::Mouse) {
                if (QListWidgetItem* line = ui_.List1->itemAt(menu->pos()))
                    ShowHostMenu(ui_.List1->row(line) + 1, menu->globalPos());
                return true;
            }
        }
    }
    if (type == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard &&
        KeyboardMenu(watched))
        return true;
    if (type == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier &&
            KeyboardMenu(watched))
            return true;
    }
    for (int i = 0; i < 3; ++i) {
        if (watched != ui_.Text1[i]) continue;
        if (event->type() == QEvent::FocusIn) {
            Text1_GotFocus(i);
            // A focusing mouse press places the cursor after this; select again once it is done.
            QTimer::singleShot(0, ui_.Text1[i], [box = ui_.Text1[i]] { box->selectAll(); });
        } else if (event->type() == QEvent::KeyRelease) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->isAutoRepeat()) break;
            int code = 0;
            bool keypad = key->modifiers() & Qt::KeypadModifier;
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
                code = vbKeyReturn;
            else if (keypad && (key->key() == Qt::Key_Period || key->key() == Qt::Key_Comma))
                code = vbKeyDecimal;
            else if (key->key() == Qt::Key_Period)
                code = VK_OEM_PERIOD;
            if (code) Text1_KeyUp(i, code);
        }
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void Fmmain::Text1_GotFocus(int Index) { ui_.Text1[Index]->selectAll(); }

void Fmmain::Text1_KeyUp(int Index, int KeyCode) {
    if ((Index == 0 || Index == 1) && (KeyCode == vbKeyDecimal || KeyCode == vbKeyReturn)) {
        ui_.Text1[Index]->setText(ui_.Text1[Index]->text().remove('.'));
        ui_.Text1[Index + 1]->setFocus(Qt::OtherFocusReason);
        ui_.Text1[Index + 1]->selectAll();
    }
    if (KeyCode == vbKeyReturn) DoPing();
}

std::string Fmmain::HostAddress(int n) const { return sweep::Sweep::Address(Octets(), n); }

std::array<double, 3> Fmmain::Octets() const {
    std::array<double, 3> octets{};
    for (std::size_t i = 0; i < octets.size(); ++i)
        octets[i] = sweep::OctetOf(S(ui_.Text1[i]->text()));
    return octets;
}

sweep::SweepInput Fmmain::Entry() const {
    sweep::SweepInput in;
    in.octets = Octets();
    in.rounds = sweep::RoundCountOf(S(ui_.Text2->text()));
    in.mac = ui_.Check1->checkState() == Qt::Checked;
    return in;
}

// ---- drawing ----

void Fmmain::PaintFG1(QPainter& painter) {
    RefIp(painter);
    if (showChanges_) PaintMarks(painter);
}

void Fmmain::RefIp(QPainter& dc) {
    if (!engine_.HasHosts()) return;
    for (int n = 1; n <= kHosts; ++n) {
        SetFGColor(dc, n, engine_.Host(n).color);
        SetFGText(dc, n, sweep::Value(static_cast<std::int32_t>(n)));
    }
}

namespace {
RECT CellRect(int index) {
    const Cell c = CellOf(index);
    RECT rect;
    SetRect(rect, c.left, c.top, c.right, c.bottom);
    return rect;
}
}  // namespace

void Fmmain::SetFGColor(QPainter& dc, int Index, const sweep::Value& Color) {
    RECT rect = CellRect(Index);
    // Null or not a number gives black; so does a number beyond a 32-bit colour.
    std::int32_t color = sweep::NumOr(Color, sweep::Value(0)).ToInt32().value_or(0);
    FillBox(dc, rect, color);
    DrawBox(dc, rect, kColorBorder);
}

void Fmmain::SetFGText(QPainter& dc, int Index, const sweep::Value& Text) {
    RECT rect = CellRect(Index);
    std::string text = sweep::StrOr(Text, "");
    // The text passes through the ANSI code page as the cell's text always did:
    // what the code page cannot hold shows as "?".
    bool ascii = true;
    for (unsigned char ch : text) ascii = ascii && ch < 0x80;
    if (!ascii) text = platform::FromAnsi(platform::ToAnsi(text));
    QRect box(rect.Left, rect.Top, rect.Right - rect.Left, rect.Bottom - rect.Top);
    // Clipped to the cell (right and bottom edge excluded), in FG1's font and
    // text colour, on a transparent background.
    dc.save();
    dc.setClipRect(box);
    if (dc.font() != ui_.FG1->font()) dc.setFont(ui_.FG1->font());
    dc.setPen(ui_.FG1->palette().color(QPalette::WindowText));
    dc.setBackgroundMode(Qt::TransparentMode);
    dc.drawText(box, Qt::AlignCenter | Qt::TextSingleLine, Q(text));
    dc.restore();
}

void Fmmain::PaintPP1(QPainter& painter) {
    RECT rect;
    SetRect(rect, 0, 0, ui_.PP1->width(), ui_.PP1->height());
    FillGradient(painter, sweep::kColorGreen, sweep::kColorRed, rect, true, 1);
}

// ---- the sweep ----

bool Fmmain::Sweeping() const { return engine_.Sweeping(); }

void Fmmain::DoPing() {
    if (closed_ || !engine_.HasHosts()) return;
    if (engine_.Broken()) {
        // The last sweep lost Morvel: new proxies start a new one. The old ones
        // stay until the new ones exist, so a failure leaves the window as it was.
        std::vector<std::unique_ptr<sweep::Ping>> fresh;
        std::string failure;
        if (!MakePings(fresh, failure)) {
            platform::ShowMessage(S(tr("无法重新启动工作进程 Morvel, 扫描未开始:\n")) + failure,
                                  platform::MsgIcon::Warning);
            return;
        }
        engine_.ReplacePings(std::move(fresh));
        // Its ARP object lived in the Morvel that was lost.
        engine_.SetPresence(nullptr);
        presence_.reset();
    }
    // Asked of Morvel at every press: a Morvel that may send no echo would
    // paint every host red, as if the whole subnet were down.
    try {
        const std::string problem = sweep::EchoProblem();
        if (!problem.empty()) {
            platform::ShowMessage("工作进程 Morvel 无法发送 ICMP 回显请求, 扫描未开始:\n" + problem,
                                  platform::MsgIcon::Warning);
            return;
        }
    } catch (const std::exception& e) {
        platform::ShowMessage(std::string("无法连接工作进程 Morvel, 扫描未开始:\n") + e.what(),
                              platform::MsgIcon::Warning);
        return;
    }
    FlushRecord();  // the sweep before goes first, with the names it has
    PrepareLookups();
    started_ = std::chrono::system_clock::now();
    workersStopped_ = false;
    // The registry files take tens of milliseconds to index: once, while the
    // first sweep's echoes are out.
    if (!vendors_.valid())
        vendors_ = std::async(std::launch::async, [] {
                       return sweep::Vendors::Load(sweep::kIeeeDataFolder);
                   }).share();
    engine_.DoPing(Entry());
}

void Fmmain::PingIt() { engine_.PingIt(); }

void Fmmain::Timer1_Timer() { engine_.Timer1_Timer(); }

void Fmmain::RefreshInput(sweep::SweepInput& input) {
    input.octets = Octets();
    input.mac = ui_.Check1->checkState() == Qt::Checked;
    // Rounds of two subnets make no one sweep to record.
    if (engine_.RoundNo() <= 1) {
        sweptOctets_ = input.octets;
        mixedOctets_ = false;
    } else if (input.octets != sweptOctets_ && !mixedOctets_) {
        mixedOctets_ = true;
        // Its evidence is of the subnet the sweep began with.
        engine_.SetPresence(nullptr);
        names_.reset();
    }
}

void Fmmain::PrepareLookups() {
    engine_.SetPresence(nullptr);
    names_.reset();
    const auto subnet = sweep::ParseSubnet(sweep::SubnetOf(Octets()).value_or(""));
    if (!subnet) {
        presence_.reset();
        return;
    }
    // Kept from sweep to sweep of one subnet and one Morvel: making it asks
    // Morvel for an object, and its first round looks up the subnet's links.
    if (!presence_ || presenceSubnet_ != subnet->octets) {
        presence_.reset();
        try {
            presence_ = std::make_unique<sweep::ArpPresence>(subnet->octets);
            presenceSubnet_ = subnet->octets;
        } catch (const std::exception&) {
            // The sweep runs without it, as the window always swept: hosts that
            // drop the echo show as absent, as they always did.
        }
    }
    engine_.SetPresence(presence_.get());
    names_ = std::make_shared<platform::ReverseNames>();
    namesSubnet_ = subnet->octets;
}

void Fmmain::SaveEntry() {
    const std::string setIni = settings::IniPath(settings::kSetIni);
    // Each write replaces the file and syncs it, which would delay every
    // sweep's start: a value already stored as typed is left alone.
    auto save = [&](const char* key, const QLineEdit* box) {
        const std::string typed = S(box->text());
        if (typed.empty() || settings::ReadIni("Set", key, setIni) != typed)
            settings::WriteIni("Set", key, typed, setIni);
    };
    save("1", ui_.Text1[0]);
    save("2", ui_.Text1[1]);
    save("3", ui_.Text1[2]);
    save("count", ui_.Text2);
}

std::string Fmmain::Remark(const std::string& ip) { return sweep::RemarkFromProfile(ip); }

void Fmmain::ShowCount(const std::string& text) { ui_.Text2->setText(Q(text)); }

void Fmmain::ShowRow(int host, const std::string& row) {
    ui_.List1->item(host - 1)->setText(Q(row));
}

void Fmmain::ShowProgressMax(std::int32_t max) { ui_.PB1->setMaximum(max); }

void Fmmain::ShowProgress(std::int32_t value) { ui_.PB1->setValue(value); }

// The grid keeps no image: both ask for a paint of FG1, which draws every cell.
void Fmmain::RefreshGrid() { ui_.FG1->update(); }

void Fmmain::RepaintGrid() { ui_.FG1->update(); }

void Fmmain::EnableCommand(bool on) { ui_.Command1->setEnabled(on); }

void Fmmain::EnableTimer(bool on) {
    if (on)
        ui_.Timer1->start();
    else
        ui_.Timer1->stop();
}

void Fmmain::FocusLastOctet() { ui_.Text1[2]->setFocus(Qt::OtherFocusReason); }

void Fmmain::SweepFailed(const std::string& what) {
    platform::ShowMessage(S(tr("与工作进程 Morvel 的连接已中断, 扫描已停止:\n")) + what +
                              S(tr("\n\n下次扫描时会重新启动 Morvel。")),
                          platform::MsgIcon::Warning);
}

void Fmmain::HostSeen(int host) {
    if (names_ && namesSubnet_) names_->Start(platform::HostAddress(*namesSubnet_, host));
}

void Fmmain::WorkersStopped(const std::vector<int>& hosts) {
    workersStopped_ = true;
    platform::ShowMessage(
        "以下主机的工作线程已停止, 未收到结果的轮次计为未应答:\n" + sweep::HostList(hosts) +
            "\n\n(另一个共用这些槽的窗口关闭时会停止它们; 它们会在下一次命令前重新启动。)",
        platform::MsgIcon::Warning);
}

// ---- the grid and the list ----

void Fmmain::FG1_MouseMove(int, int, float X, float Y) {
    const int host = HostAt(X, Y);
    if (host < 0) return;
    CurHost_ = host;
    if (CurHost_ != LastHost_) ShowText();
    LastHost_ = CurHost_;
}

void Fmmain::FG1_Click() {
    if (CurHost_ < 1 || CurHost_ > kHosts || ui_.List1->count() < kHosts) return;
    if (CurHost_ > 10)
        ui_.List1->scrollToItem(ui_.List1->item(CurHost_ - 10), QAbstractItemView::PositionAtTop);
    {
        QSignalBlocker quiet(ui_.List1);
        ui_.List1->setCurrentRow(CurHost_ - 1);
    }
    // Selecting the line is the list's click.
    List1_Click();
}

void Fmmain::FG1_DblClick() { EditRemark(); }

namespace {
int SelectedRow(const QListWidget* list) {
    const QList<QListWidgetItem*> chosen = list->selectedItems();
    return chosen.isEmpty() ? -1 : list->row(chosen.front());
}
}  // namespace

void Fmmain::List1_Click() {
    int row = SelectedRow(ui_.List1);
    if (row < 0) return;
    CurHost_ = row + 1;
    ShowText();
}

void Fmmain::List1_DblClick() {
    int row = SelectedRow(ui_.List1);
    if (row < 0) return;
    CurHost_ = row + 1;
    EditRemark();
}

void Fmmain::ShowText() {
    if (CurHost_ < 1 || CurHost_ > kHosts || !engine_.HasHosts()) return;
    const sweep::Ping& p = engine_.Host(CurHost_);
    ui_.Text3->setPlainText(
        Q(ToLf(HostDetails(HostAddress(CurHost_), p.OKCount, engine_.RoundCount(), p.Mac, p.Ps))));
}

void Fmmain::EditRemark() { EditRemarkOf(CurHost_, HostAddress(CurHost_)); }

void Fmmain::EditRemarkOf(int host, const std::string& key) {
    if (host < 1 || host > kHosts || !engine_.HasHosts()) return;
    const std::string psIni = settings::IniPath(settings::kPsIni);
    // Start from what is stored under the key the edit will write, or nothing:
    // Ps may belong to another subnet or not be loaded yet, and confirming must
    // neither overwrite a remark the user was never shown nor copy another
    // host's remark to this key.
    const std::string initial = settings::ReadIni("PS", key, psIni);
    std::optional<std::string> entered =
        InputBox(S(tr("请输入要修改的备注:")), S(tr("备注")), initial);
    if (!entered || !engine_.HasHosts()) return;
    engine_.Host(host).Ps = *entered;
    bool stored = settings::WriteIni("PS", key, *entered, psIni);
    ui_.List1->item(host - 1)->setText(Q(engine_.FullRow(host)));
    RemarkChanged(host, key, *entered);
    if (!stored)
        platform::ShowMessage(
            S(tr("备注未能保存到文件:\n")) + psIni + S(tr("\n备注只在本窗口中修改了。")),
            platform::MsgIcon::Warning);
}

// ---- what the window adds: the host menu, the host table, tooltips, marks ----

void Fmmain::SweepDone() {
    std::string prefix = sweep::Sweep::Prefix(sweptOctets_);
    prefix.pop_back();
    const std::optional<std::string> subnet =
        mixedOctets_ ? std::nullopt : sweep::SubnetOf(sweptOctets_);
    // Gathered now, before another sweep can reset the hosts.
    FlushRecord();
    pending_.emplace();
    pending_->result =
        sweep::GatherResult(engine_, subnet.value_or(prefix), started_, sweep::Vendors());
    // Hosts whose worker stopped have no result: kept as silent, they would
    // all show as changed next time.
    pending_->compare = subnet.has_value();
    pending_->keep = pending_->compare && !workersStopped_;
    pending_->names = names_;
    pending_->namesSubnet = namesSubnet_;
    pending_->deadline = std::chrono::steady_clock::now() + kNamesWait;
    pending_->id = ++pendingId_;
    // Not inside the poll that ended the sweep: the grid's last paint goes first.
    QTimer::singleShot(0, this, [this, id = pendingId_] { AwaitNames(id); });
}

void Fmmain::AwaitNames(std::uint64_t id) {
    if (!pending_ || pending_->id != id) return;
    // As a script's sweep, the names get a second at most after the last
    // round; one still out by then stays empty.
    const auto now = std::chrono::steady_clock::now();
    if (!pending_->names || pending_->names->Wait(now) || now >= pending_->deadline) {
        FlushRecord();
        return;
    }
    QTimer::singleShot(kNamesPoll, this, [this, id] { AwaitNames(id); });
}

namespace {

// Local time, as the table and the tooltips show it.
std::string LocalTime(std::chrono::system_clock::time_point t) {
    return S(QDateTime::fromSecsSinceEpoch(std::chrono::system_clock::to_time_t(t))
                 .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

// On the recorder's thread: records a finished sweep of a subnet in the
// history, as a script's sweep is (`keep`), or only marks its changes, and
// reads what the history knows of each address.
Recording RecordInHistory(sweep::SweepResult result, bool compare, bool keep) {
    Recording r;
    r.lastSeen.assign(Fmmain::kHosts, "");
    r.macs.assign(Fmmain::kHosts, "");
    std::vector<std::string> warnings;
    if (compare) {
        // One opening for the record and the read that follows it.
        std::optional<sweep::History> history;
        try {
            history.emplace(sweep::OpenHistory(warnings));
        } catch (const sweep::HistoryError& e) {
            r.problem = e.what();
        }
        if (history && keep) {
            r.problem = sweep::RecordSweep(*history, result, sweep::SweepSource::Window);
        } else if (history) {
            try {
                history->MarkChanges(result);
            } catch (const sweep::HistoryError& e) {
                r.problem = e.what();
            }
        }
        result.changes = true;
        try {
            if (history) {
                std::vector<sweep::AddressRecord> known =
                    history->Addresses(*sweep::ParseSubnet(result.subnet));
                for (int n = 1; n <= Fmmain::kHosts && n < static_cast<int>(known.size()); ++n) {
                    const sweep::AddressRecord& a = known[static_cast<std::size_t>(n)];
                    if (a.lastSeen)
                        r.lastSeen[static_cast<std::size_t>(n - 1)] = LocalTime(*a.lastSeen);
                    r.macs[static_cast<std::size_t>(n - 1)] = a.mac;
                }
            }
        } catch (const sweep::HistoryError& e) {
            if (r.problem.empty()) r.problem = e.what();
        }
    }
    // Unrecorded (or unreadable), a sweep still knows whom it saw.
    for (const sweep::HostResult& h : result.hosts)
        if (sweep::WasSeen(h) && r.lastSeen[static_cast<std::size_t>(h.host - 1)].empty())
            r.lastSeen[static_cast<std::size_t>(h.host - 1)] = LocalTime(result.started);
    for (const std::string& w : warnings) r.problem += (r.problem.empty() ? "" : "\n") + w;
    r.result = std::move(result);
    return r;
}

}  // namespace

void Fmmain::FlushRecord() {
    if (!pending_) return;
    FinishedSweep p = std::move(*pending_);
    pending_.reset();
    if (p.names && p.namesSubnet)
        for (sweep::HostResult& h : p.result.hosts)
            if (sweep::WasSeen(h))
                h.name = p.names->Name(platform::HostAddress(*p.namesSubnet, h.host));
    // Off the window's thread: the record may wait for another program's
    // write. One thread, so sweeps are recorded in their order.
    recorder_->start([this, result = std::move(p.result), compare = p.compare, keep = p.keep,
                      vendors = vendors_]() mutable {
        static const sweep::Vendors none;
        const sweep::Vendors& registry = vendors.valid() ? vendors.get() : none;
        for (sweep::HostResult& h : result.hosts) h.vendor = registry.Lookup(h.mac);
        Recording r = RecordInHistory(std::move(result), compare, keep);
        QMetaObject::invokeMethod(
            this, [this, r = std::move(r)]() mutable { Recorded(std::move(r)); },
            Qt::QueuedConnection);
    });
}

void Fmmain::Recorded(Recording r) {
    found_ = std::move(r.result);
    lastSeen_ = std::move(r.lastSeen);
    historyMacs_ = std::move(r.macs);
    FindingsChanged();
    // Told once: a sweep every few seconds must not bring a box every time.
    if (!r.problem.empty() && r.problem != recordProblem_)
        platform::ShowMessage(S(tr("扫描结果未能记录, 之后显示的变化可能不准确:\n")) + r.problem,
                              platform::MsgIcon::Warning);
    recordProblem_ = r.problem;
}

void Fmmain::FindingsChanged() {
    if (table_) table_->SetSweep(found_, lastSeen_);
    if (showChanges_) ui_.FG1->update();
}

void Fmmain::SetFindingsForTesting(sweep::SweepResult found, std::vector<std::string> lastSeen) {
    found_ = std::move(found);
    lastSeen_ = std::move(lastSeen);
    lastSeen_.resize(kHosts);
    FindingsChanged();
}

void Fmmain::PaintMarks(QPainter& dc) {
    if (found_.hosts.size() != static_cast<std::size_t>(kHosts)) return;
    for (const sweep::HostResult& h : found_.hosts) {
        const Cell c = CellOf(h.host);
        std::optional<std::int32_t> color;
        switch (sweep::KindOf(h.change)) {
            case sweep::ChangeKind::New:
                color = kMarkNew;
                break;
            case sweep::ChangeKind::Moved:
                color = kMarkMoved;
                break;
            case sweep::ChangeKind::Mac:
                color = kMarkMac;
                break;
            case sweep::ChangeKind::Up:
                color = kMarkUp;
                break;
            case sweep::ChangeKind::Down:
                color = kMarkDown;
                break;
            case sweep::ChangeKind::None:
                break;
        }
        // Row k of a triangle is kMarkSize - k pixels long, along the border.
        for (int k = 0; color && k < kMarkSize; ++k)
            FillBox(dc, RECT{c.right - kMarkSize + k, c.top + 1 + k, c.right - 1, c.top + 1 + k},
                    *color);
        for (int k = 0; sweep::SeenByArpOnly(h) && k < kMarkSize; ++k)
            FillBox(dc,
                    RECT{c.left + 1, c.bottom - 1 - k, c.left + kMarkSize - k, c.bottom - 1 - k},
                    kMarkArpOnly);
    }
}

namespace {

QString Html(const std::string& s) { return Q(s).toHtmlEscaped(); }

// A legend entry: the mark as it sits on a cell of that colour.
QString Swatch(std::int32_t cell, std::int32_t mark, const QString& glyph, const QString& what) {
    return QStringLiteral("<span style=\"background-color:%1;color:%2\">&nbsp;%3&nbsp;</span> %4")
        .arg(Bgr(cell).name(), Bgr(mark).name(), glyph, what.toHtmlEscaped());
}

}  // namespace

QString Fmmain::CellToolTip(int n) const {
    if (n < 1 || n > kHosts || found_.hosts.size() != static_cast<std::size_t>(kHosts)) return {};
    const sweep::HostResult& h = found_.hosts[static_cast<std::size_t>(n - 1)];
    QStringList facts;
    if (!h.vendor.empty()) facts << tr("厂商: ") + Html(h.vendor);
    if (sweep::SeenByArpOnly(h)) facts << tr("只应答了ARP, 没有应答ping").toHtmlEscaped();
    if (!h.change.empty())
        facts << tr("与上次扫描相比: ") + windows::ChangeText(h.change).toHtmlEscaped();
    if (!lastSeen_[static_cast<std::size_t>(n - 1)].empty())
        facts << tr("最后在线: ") + Html(lastSeen_[static_cast<std::size_t>(n - 1)]);
    if (facts.isEmpty() && h.name.empty() && !showChanges_) return {};
    QString tip = "<b>" + Html(h.ip) + "</b>";
    if (!h.name.empty()) tip += " " + Html(h.name);
    for (const QString& fact : facts) tip += "<br>" + fact;
    if (showChanges_) {
        const QString corner = QStringLiteral("\u25E5");
        tip += "<hr>" + tr("角标:") + "<br>" +
               Swatch(sweep::kColorGreen, kMarkNew, corner, windows::ChangeText("new")) + " " +
               Swatch(sweep::kColorGreen, kMarkMoved, corner, windows::ChangeText("moved")) + " " +
               Swatch(sweep::kColorGreen, kMarkMac, corner, windows::ChangeText("mac")) + "<br>" +
               Swatch(sweep::kColorGreen, kMarkUp, corner, windows::ChangeText("up")) + " " +
               Swatch(sweep::kColorRed, kMarkDown, corner, windows::ChangeText("down")) + " " +
               Swatch(sweep::kColorRed, kMarkArpOnly, QStringLiteral("\u25E3"), tr("只应答了ARP"));
    }
    return tip;
}

std::string Fmmain::ShownAddress(int n) const {
    if (engine_.HasHosts() && n >= 1 && n <= kHosts && !engine_.Host(n).IP.empty())
        return engine_.Host(n).IP;
    return HostAddress(n);
}

std::string Fmmain::KnownMac(int n) const {
    if (n < 1 || n > kHosts || found_.hosts.size() != static_cast<std::size_t>(kHosts)) return {};
    const sweep::HostResult& h = found_.hosts[static_cast<std::size_t>(n - 1)];
    // A new sweep of another subnet has begun: its hosts' MACs are not known yet.
    if (h.ip != ShownAddress(n)) return {};
    if (sweep::IsKnownMac(h.mac)) return h.mac;
    // Not read this time (no MAC asked for, or the host asleep): the one
    // the history last saw at the address.
    const std::string& earlier = historyMacs_[static_cast<std::size_t>(n - 1)];
    return sweep::IsKnownMac(earlier) ? earlier : std::string();
}

QMenu* Fmmain::HostMenu() const { return menu_; }

windows::HostTable* Fmmain::HostTableWindow() const { return table_; }

void Fmmain::ShowHostMenu(int n, const QPoint& globalPos) {
    if (n < 1 || n > kHosts || !engine_.HasHosts()) return;
    if (menu_) menu_->close();
    auto* menu = new QMenu(this);
    menu->setObjectName("HostMenu");
    menu->setAttribute(Qt::WA_DeleteOnClose);
    KeepDesktopColours(menu);
    auto add = [&](const char* name, const QString& text, auto&& act) {
        QAction* a = menu->addAction(text);
        a->setObjectName(name);
        connect(a, &QAction::triggered, this, act);
        return a;
    };
    const bool mac = !KnownMac(n).empty();
    QString heading = Q(ShownAddress(n));
    if (found_.hosts.size() == static_cast<std::size_t>(kHosts) &&
        found_.hosts[static_cast<std::size_t>(n - 1)].ip == ShownAddress(n) &&
        !found_.hosts[static_cast<std::size_t>(n - 1)].name.empty())
        heading += "  " + Q(found_.hosts[static_cast<std::size_t>(n - 1)].name);
    QAction* title = menu->addAction(heading);
    title->setEnabled(false);
    menu->addSeparator();
    add("PingContinuously", tr("持续ping"), [this, n] { PingContinuously(n); });
    add("CopyAddress", tr("复制地址"), [this, n] { CopyAddress(n); });
    add("CopyMac", tr("复制MAC"), [this, n] { CopyMac(n); })->setEnabled(mac);
    add("EditRemark", tr("修改备注..."), [this, n] { EditRemarkOf(n, HostAddress(n)); });
    add("WakeHost", tr("唤醒 (Wake-on-LAN)"), [this, n] { WakeHost(n); })->setEnabled(mac);
    menu->addSeparator();
    QAction* table = add("OpenHostTable", tr("主机表"), [this] { OpenHostTable(); });
    table->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    table->setShortcutVisibleInContextMenu(true);
    QAction* changes =
        add("ShowChanges", tr("在网格上显示变化"), [this](bool on) { SetShowChanges(on); });
    changes->setCheckable(true);
    changes->setChecked(showChanges_);
    menu_ = menu;
    menu->popup(globalPos);
}

bool Fmmain::KeyboardMenu(QObject* from) {
    if (!engine_.HasHosts()) return false;
    if (const int host = static_cast<GridBox*>(ui_.FG1)->Hovered(); host >= 1) {
        const Cell c = CellOf(host);
        ShowHostMenu(host, ui_.FG1->mapToGlobal(QPoint(c.left, c.bottom)));
        return true;
    }
    if (from != ui_.List1) return false;
    const int row = SelectedRow(ui_.List1);
    if (row < 0) return false;
    const QRect line = ui_.List1->visualItemRect(ui_.List1->item(row));
    ShowHostMenu(row + 1, ui_.List1->viewport()->mapToGlobal(line.bottomLeft()));
    return true;
}

void Fmmain::PingContinuously(int n) {
    if (OpenPingWindowAt) OpenPingWindowAt(ShownAddress(n));
}

void Fmmain::CopyAddress(int n) { QApplication::clipboard()->setText(Q(ShownAddress(n))); }

void Fmmain::CopyMac(int n) {
    const std::string mac = KnownMac(n);
    if (!mac.empty()) QApplication::clipboard()->setText(Q(mac));
}

void Fmmain::WakeHost(int n) {
    const std::string mac = KnownMac(n);
    const auto bits = sweep::ParseMac(mac);
    if (!bits) return;
    platform::MacBytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(*bits >> (40 - 8 * i));
    // The subnet's broadcast address: a sleeping card has no address to be reached at.
    const std::string address = ShownAddress(n);
    const auto subnet = sweep::ParseSubnet(address.substr(0, address.rfind('.')));
    if (!subnet) return;
    const std::string broadcast = subnet->Text() + ".255";
    std::uint32_t to = 0;
    std::memcpy(&to, subnet->octets.data(), subnet->octets.size());
    reinterpret_cast<std::uint8_t*>(&to)[3] = 0xFF;
    const std::string target = mac + " -> " + broadcast + ":" + std::to_string(platform::kWakePort);
    if (const int error = platform::SendMagicPacket(bytes, to); error != 0) {
        std::string text = S(tr("唤醒包未能发出 (")) + target + "):\n" + std::strerror(error);
        if (error == ENETUNREACH || error == EHOSTUNREACH || error == EADDRNOTAVAIL)
            text += S(tr("\n这台计算机没有连到该网段的网络接口。"));
        else if (error == EACCES || error == EPERM)
            text += S(tr("\n系统或防火墙拒绝了广播。"));
        platform::ShowMessage(text, platform::MsgIcon::Warning);
        return;
    }
    QToolTip::showText(QCursor::pos(), tr("唤醒包已发出: ") + Q(target), ui_.FG1);
}

sweep::SweepResult Fmmain::TableData() const {
    if (!found_.hosts.empty()) return found_;
    // Before the first sweep: the subnet of the boxes, nothing known yet.
    sweep::SweepResult none;
    std::string prefix = sweep::Sweep::Prefix(Octets());
    prefix.pop_back();
    none.subnet = sweep::SubnetOf(Octets()).value_or(prefix);
    for (int n = 1; n <= kHosts; ++n) {
        sweep::HostResult h;
        h.host = n;
        h.ip = HostAddress(n);
        none.hosts.push_back(std::move(h));
    }
    return none;
}

void Fmmain::OpenHostTable() {
    if (closed_) return;
    if (!table_) {
        table_ = new windows::HostTable(this);
        table_->setAttribute(Qt::WA_DeleteOnClose);
        table_->EditRemark = [this](int host, const std::string& ip) { EditRemarkOf(host, ip); };
        table_->SetSweep(TableData(), lastSeen_);
    }
    table_->show();
    table_->raise();
    table_->activateWindow();
}

void Fmmain::SetShowChanges(bool on) {
    showChanges_ = on;
    settings::WriteIni("Set", kShowChangesKey, on ? "1" : "0",
                       settings::IniPath(settings::kSetIni));
    ui_.FG1->update();
}

void Fmmain::RemarkChanged(int n, const std::string& key, const std::string& remark) {
    if (found_.hosts.size() == static_cast<std::size_t>(kHosts) &&
        found_.hosts[static_cast<std::size_t>(n - 1)].ip == key)
        found_.hosts[static_cast<std::size_t>(n - 1)].remark = remark;
    if (table_) table_->SetRemark(key, remark);
}

}  // namespace scanner
