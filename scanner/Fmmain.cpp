#include "scanner/Fmmain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextDocument>
#include <QTimer>
#include <cmath>
#include <cstring>
#include <exception>

#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/process.h"
#include "platform/session.h"
#include "scanner/Api.h"
#include "scanner/Func.h"
#include "settings/ini.h"
#include "windows/FmPing1.h"
#include "windows/Fmshow.h"

namespace {

// Design values are twips; a twip is 1/15 of a pixel at 96 dpi.
QRect Twips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QColor Bgr(std::int32_t bgr) { return QColor::fromRgb(Api::BgrToRgb(bgr)); }

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

std::string ToCrLf(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 8);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) out += '\r';
        out += s[i];
    }
    return out;
}

// The grid: FG1's paint draws every cell; its mouse events are the window's.
class GridBox : public QWidget {
  public:
    GridBox(Fmmain* owner, QWidget* parent) : QWidget(parent), owner_(owner) {
        setMouseTracking(true);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        owner_->PaintFG1(p);
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        owner_->FG1_MouseMove(static_cast<int>(e->buttons()), static_cast<int>(e->modifiers()),
                              static_cast<float>(e->position().x()),
                              static_cast<float>(e->position().y()));
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

std::optional<std::string> DefaultInputBox(QWidget* parent, const std::string& prompt,
                                           const std::string& title, const std::string& initial) {
    bool ok = false;
    // Multi-line, so a remark of several lines is shown whole and comes back unchanged.
    QString text =
        QInputDialog::getMultiLineText(parent, Q(title), Q(prompt), Q(ToLf(initial)), &ok);
    if (!ok) return std::nullopt;
    return ToCrLf(S(text));
}

const char* kSetIni = "set.ini";
const char* kPsIni = "Ps.ini";

}  // namespace

std::string HostDetails(const std::string& address, std::int32_t okCount, std::int32_t roundCount,
                        const std::string& mac, const std::string& remark) {
    std::string t = "IP: " + address;
    if (roundCount > 0) {
        // Quotient first, then times 100, rounded down: 29 of 100 gives 28.
        double rate = std::floor(static_cast<double>(okCount) / roundCount * 100);
        t += "\r\n\r\nPing成功: " + std::to_string(okCount) + "/" + std::to_string(roundCount);
        t += "\r\n成功率: " + FormatNumber(rate) + "%";
        t += "\r\nMac:" + mac;
        t += "\r\n备注:" + remark;
    }
    return t;
}

std::int32_t FinalColor(std::int32_t k, std::int32_t roundCount) {
    if (k == roundCount) return kColorGreen;
    if (k == 0) return kColorRed;
    double p = std::floor((static_cast<double>(k) / roundCount * 0.8 + 0.1) * 100);
    return MixColor(kColorRed, kColorGreen, p);
}

Fmmain::Fmmain(QWidget* parent) : QWidget(parent) {
    setObjectName("Fmmain");
    setWindowTitle(QStringLiteral("局域网Varnex工具"));
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
}

Fmmain::~Fmmain() = default;

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

    Label1 = label("Label1", QStringLiteral("网段"), Twips(480, 270, 495, 195));
    Text1[0] = edit("Text1_0", "192", Twips(960, 210, 435, 315));
    Text1[1] = edit("Text1_1", "168", Twips(1440, 210, 435, 315));
    Text1[2] = edit("Text1_2", "0", Twips(1920, 210, 435, 315));
    Label2 = label("Label2", QStringLiteral("次数"), Twips(450, 720, 495, 195));
    Text2 = edit("Text2", "1", Twips(960, 630, 435, 315));
    Check1 = new QCheckBox(QStringLiteral("获取mac"), this);
    Check1->setObjectName("Check1");
    Check1->setGeometry(Twips(1470, 630, 1065, 315));
    Command1 = button("Command1", "Ping", Twips(2730, 150, 1095, 795));
    SetBackground(Command1, kColorWindow);
    Command2 = button("Command2", QStringLiteral("持续ping"), Twips(3930, 150, 1095, 795));
    Command3 = button("Command3", QStringLiteral("关于Varnex"), Twips(5130, 150, 1095, 795));

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(50);
    Timer1->setTimerType(Qt::PreciseTimer);

    PB1 = new QProgressBar(this);
    PB1->setObjectName("PB1");
    PB1->setGeometry(Twips(0, 6465, 12315, 375));
    PB1->setRange(0, 100);
    PB1->setValue(0);
    PB1->setTextVisible(false);

    FG1 = new GridBox(this, this);
    FG1->setObjectName("FG1");
    FG1->setGeometry(Twips(0, 1140, 6705, 5295));
    SetBackground(FG1, kColorGridBack);

    // The legend: static apart from PP1's scale.
    Label3 = label("Label3", QStringLiteral("连线"), Twips(9300, 450, 405, 225));
    Picture2 = new QWidget(this);
    Picture2->setObjectName("Picture2");
    Picture2->setGeometry(Twips(9720, 360, 225, 375));
    SetBackground(Picture2, kColorGreen);
    PP1 = new ScaleBox(this, this);
    PP1->setObjectName("PP1");
    PP1->setGeometry(Twips(9930, 360, 915, 375));
    Picture3 = new QWidget(this);
    Picture3->setObjectName("Picture3");
    Picture3->setGeometry(Twips(10830, 360, 225, 375));
    SetBackground(Picture3, kColorRed);
    Label4 = label("Label4", QStringLiteral("断线"), Twips(11070, 450, 405, 225));
    // The legend's captions keep the system's control colour, not the window's.
    for (QLabel* l : {Label3, Label4}) {
        QPalette pal = l->palette();
        pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
        l->setPalette(pal);
        l->setAutoFillBackground(true);
    }

    Text3 = new QPlainTextEdit(QStringLiteral("..."), this);
    Text3->setObjectName("Text3");
    Text3->setGeometry(Twips(6720, 1140, 5565, 1485));
    // A narrow margin so the six lines of a host's details fit without scrolling.
    Text3->document()->setDocumentMargin(1);

    List1 = new QListWidget(this);
    List1->setObjectName("List1");
    List1->setGeometry(Twips(6720, 2640, 5565, 3810));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    List1->setUniformItemSizes(false);
    // The rows are padded into columns; a fixed-pitch font keeps them aligned.
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(12);
    List1->setFont(mono);

    FG1->setFocusPolicy(Qt::NoFocus);
    PP1->setFocusPolicy(Qt::NoFocus);
    setTabOrder(Text1[0], Text1[1]);
    setTabOrder(Text1[1], Text1[2]);
    setTabOrder(Text1[2], Command1);
    setTabOrder(Command1, Text2);
    setTabOrder(Text2, Check1);
    setTabOrder(Check1, Command2);
    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Text3);
    setTabOrder(Text3, List1);

    for (QLineEdit* box : Text1) box->installEventFilter(this);

    connect(Command1, &QPushButton::clicked, this, [this] { DoPing(); });
    connect(Command2, &QPushButton::clicked, this, [this] {
        if (OpenPingWindow) OpenPingWindow();
    });
    connect(Command3, &QPushButton::clicked, this, [this] {
        if (OpenAboutWindow) OpenAboutWindow();
    });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    // A changed selection (mouse or keyboard) and a click on the selected line both count.
    connect(List1, &QListWidget::currentRowChanged, this, [this](int) { List1_Click(); });
    connect(List1, &QListWidget::itemClicked, this, [this](QListWidgetItem*) { List1_Click(); });
    connect(List1, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem*) { List1_DblClick(); });
}

// ---- start-up and shutdown ----

bool Fmmain::Form_Load() {
    const std::string setIni = IniPath(kSetIni);
    Text1[0]->setText(Q(ReadIni("Set", "1", setIni)));
    Text1[1]->setText(Q(ReadIni("Set", "2", setIni)));
    Text1[2]->setText(Q(ReadIni("Set", "3", setIni)));
    Text2->setText(Q(ReadIni("Set", "count", setIni)));
    if (Text1[0]->text().isEmpty()) Text1[0]->setText("192");
    if (Text1[1]->text().isEmpty()) Text1[1]->setText("168");
    if (Text1[2]->text().isEmpty()) Text1[2]->setText("0");
    if (Text2->text().isEmpty()) Text2->setText("1");

    // Morvel registers its classes and exits. Activation needs the records, so
    // give the run a bounded time to finish before the first object is created.
    const std::string morvel = platform::CompanionProgram("Morvel");
    platform::StartedProgram reg = platform::StartProgram(morvel, {"/regsver"});
    if (!reg.ok()) {
        platform::ShowMessage("无法启动工作进程 Morvel:\n" + morvel + "\n" +
                                  std::strerror(reg.error) + "\n\n程序将退出。",
                              platform::MsgIcon::Warning);
        return false;
    }
    std::optional<int> regCode = platform::WaitProgram(reg.pid, std::chrono::seconds(10));
    if (!regCode) platform::DetachProgram(reg.pid);

    std::vector<std::unique_ptr<Ping>> fresh;
    std::string failure;
    if (!MakePings(fresh, failure)) {
        std::string text = "无法在工作进程 Morvel 中创建对象:\n" + failure;
        if (regCode && *regCode != 0)
            text += "\n(" + morvel + " /regsver 注册失败, 退出码 " + std::to_string(*regCode) + ")";
        else if (!regCode)
            text += "\n(" + morvel + " /regsver 未在时限内结束)";
        platform::ShowMessage(text + "\n\n程序将退出。", platform::MsgIcon::Warning);
        return false;
    }
    Pings = std::move(fresh);
    List1->clear();
    for (int n = 1; n <= kHosts; ++n) List1->addItem(Q(BareRow(n)));
    return true;
}

bool Fmmain::MakePings(std::vector<std::unique_ptr<Ping>>& fresh, std::string& failure) {
    fresh.clear();
    fresh.resize(kHosts + 1);
    int i = 1;
    try {
        for (; i <= kHosts; ++i) {
            auto p = std::make_unique<Ping>();
            p->SetID(i);
            p->color = kColorIdle;
            fresh[i] = std::move(p);
        }
    } catch (const std::exception& e) {
        failure = "主机 " + std::to_string(i) + ": " + e.what();
        fresh.clear();
        return false;
    }
    return true;
}

void Fmmain::Form_QueryUnload() {
    for (std::size_t i = 1; i < Pings.size(); ++i) {
        try {
            Pings[i]->ClosePing();
        } catch (const std::exception&) {
            // Morvel gone already: its worker needs no stop command.
        }
    }
    Timer1->stop();
}

void Fmmain::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        Form_QueryUnload();
        // Releasing the proxies releases Morvel's objects; Morvel ends with the last.
        Pings.clear();
    }
    event->accept();
}

void Fmmain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void Fmmain::Form_Resize() {
    QRect g = FG1->geometry();
    int height = List1->geometry().top() + List1->geometry().height() - g.top();
    if (height >= 0) FG1->setGeometry(g.left(), g.top(), g.width(), height);
}

// ---- the subnet entry ----

bool Fmmain::eventFilter(QObject* watched, QEvent* event) {
    for (int i = 0; i < 3; ++i) {
        if (watched != Text1[i]) continue;
        if (event->type() == QEvent::FocusIn) {
            Text1_GotFocus(i);
            // A focusing mouse press places the cursor after this; select again once it is done.
            QTimer::singleShot(0, Text1[i], [box = Text1[i]] { box->selectAll(); });
        } else if (event->type() == QEvent::KeyRelease) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->isAutoRepeat()) break;
            int code = 0;
            bool keypad = key->modifiers() & Qt::KeypadModifier;
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
                code = 13;
            else if (keypad && (key->key() == Qt::Key_Period || key->key() == Qt::Key_Comma))
                code = 110;
            else if (key->key() == Qt::Key_Period)
                code = 190;
            if (code) Text1_KeyUp(i, code);
        }
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void Fmmain::Text1_GotFocus(int Index) { Text1[Index]->selectAll(); }

void Fmmain::Text1_KeyUp(int Index, int KeyCode) {
    if ((Index == 0 || Index == 1) && (KeyCode == 110 || KeyCode == 13)) {
        Text1[Index]->setText(Text1[Index]->text().remove('.'));
        Text1[Index + 1]->setFocus(Qt::OtherFocusReason);
        Text1[Index + 1]->selectAll();
    }
    if (KeyCode == 13) DoPing();
}

std::string Fmmain::HostAddress(int n) const {
    std::string a;
    for (QLineEdit* box : Text1) a += FormatNumber(NumOr(Value(S(box->text())), 0.0)) + ".";
    return a + std::to_string(n);
}

std::string Fmmain::BareRow(int n) { return PadRight(Value(n), 4, " "); }

std::string Fmmain::FullRow(int n) const {
    const Ping& p = *Pings[n];
    return PadRight(Value(n), 4, " ") + PadRight(Value(p.Mac), 20, " ") + p.Ps;
}

// ---- drawing ----

void Fmmain::PaintFG1(QPainter& painter) {
    PaintWith(painter, [this] { RefIp(); });
}

void Fmmain::PaintWith(QPainter& painter, const std::function<void()>& draw) {
    QPainter* outer = dc_;
    dc_ = &painter;
    draw();
    dc_ = outer;
}

void Fmmain::RefIp() {
    if (!dc_) {
        // Outside FG1's paint: the cells can only be drawn by painting FG1.
        FG1->repaint();
        return;
    }
    for (std::size_t n = 1; n < Pings.size(); ++n) {
        SetFGColor(static_cast<int>(n), Pings[n]->color);
        SetFGText(static_cast<int>(n), Value(static_cast<std::int32_t>(n)));
    }
}

namespace {
RECT CellRect(int index) {
    int r = index / 16, c = index - 16 * r;
    RECT rect;
    Api::SetRect(rect, 27 * c + 5, 20 * r + 5, 27 * c + 32, 20 * r + 25);
    return rect;
}
}  // namespace

void Fmmain::SetFGColor(int Index, const Value& Color) {
    if (!dc_) return;
    RECT rect = CellRect(Index);
    // Null or not a number gives black; so does a number beyond a 32-bit colour.
    std::int32_t color = NumOr(Color, Value(0)).ToInt32().value_or(0);
    Api::FillBox(*dc_, rect, color);
    Api::DrawBox(*dc_, rect, kColorBorder);
}

void Fmmain::SetFGText(int Index, const Value& Text) {
    if (!dc_) return;
    RECT rect = CellRect(Index);
    std::string text = StrOr(Text, "");
    // The text passes through the ANSI code page as the cell's text always did:
    // what the code page cannot hold shows as "?".
    bool ascii = true;
    for (unsigned char ch : text) ascii = ascii && ch < 0x80;
    if (!ascii) text = platform::FromAnsi(platform::ToAnsi(text));
    QRect box(rect.Left, rect.Top, rect.Right - rect.Left, rect.Bottom - rect.Top);
    // Clipped to the cell (right and bottom edge excluded), in FG1's font and
    // text colour, on a transparent background.
    dc_->save();
    dc_->setClipRect(box);
    if (dc_->font() != FG1->font()) dc_->setFont(FG1->font());
    dc_->setPen(FG1->palette().color(QPalette::WindowText));
    dc_->setBackgroundMode(Qt::TransparentMode);
    dc_->drawText(box, Qt::AlignCenter | Qt::TextSingleLine, Q(text));
    dc_->restore();
}

void Fmmain::PaintPP1(QPainter& painter) {
    RECT rect;
    Api::SetRect(rect, 0, 0, PP1->width(), PP1->height());
    Api::FillGradient(painter, kColorGreen, kColorRed, rect, true, 1);
}

void Fmmain::RepaintGrid() { FG1->repaint(); }

// ---- the sweep ----

bool Fmmain::Sweeping() const { return Timer1->isActive(); }

void Fmmain::DoPing() {
    if (closed_ || Pings.empty()) return;
    if (pingsBroken_) {
        // The last sweep lost Morvel: new proxies start a new one. The old ones
        // stay until the new ones exist, so a failure leaves the window as it was.
        std::vector<std::unique_ptr<Ping>> fresh;
        std::string failure;
        if (!MakePings(fresh, failure)) {
            platform::ShowMessage("无法重新启动工作进程 Morvel, 扫描未开始:\n" + failure,
                                  platform::MsgIcon::Warning);
            return;
        }
        for (int i = 1; i <= kHosts; ++i) {
            fresh[i]->color = Pings[i]->color;
            fresh[i]->Mac = Pings[i]->Mac;
            fresh[i]->Ps = Pings[i]->Ps;
            fresh[i]->IP = Pings[i]->IP;
        }
        Pings = std::move(fresh);
        pingsBroken_ = false;
    }

    const std::string setIni = IniPath(kSetIni);
    // A value already stored as typed is not written again: each write
    // replaces the file and syncs it, which would delay every sweep's start.
    auto save = [&](const char* key, const QLineEdit* box) {
        const std::string typed = S(box->text());
        if (typed.empty() || ReadIni("Set", key, setIni) != typed)
            WriteIni("Set", key, typed, setIni);
    };
    save("1", Text1[0]);
    save("2", Text1[1]);
    save("3", Text1[2]);
    save("count", Text2);

    const std::string psIni = IniPath(kPsIni);
    for (int i = 1; i <= kHosts; ++i) {
        Ping& p = *Pings[i];
        p.OKCount = 0;
        p.IP = HostAddress(i);
        p.Ps = ReadIni("PS", p.IP, psIni);
        List1->item(i - 1)->setText(Q(BareRow(i)));
    }
    RefIp();

    // Nearest integer, halves to even; 0, a negative count or one beyond 32 bits runs once.
    std::optional<std::int32_t> count = RoundToInt32(NumOr(Value(S(Text2->text())), 0.0));
    if (!count || *count < 1) {
        RoundCount = 1;
        Text2->setText("1");
    } else {
        RoundCount = *count;
    }
    PB1->setMaximum(RoundCount);
    RoundNo = 1;
    PingIt();
    if (!Timer1->isActive()) return;  // the round could not be issued
    Command1->setEnabled(false);
}

void Fmmain::PingIt() {
    const bool mac = Check1->checkState() == Qt::Checked;
    // Built afresh from the boxes each round, not from IP.
    std::string prefix = HostAddress(0);
    prefix.pop_back();
    try {
        for (int i = 1; i <= kHosts; ++i) {
            Pings[i]->PingIP(prefix + std::to_string(i), mac);
            Pings[i]->Pinging = true;
        }
    } catch (const std::exception& e) {
        SweepFailed(e.what());
        return;
    }
    Timer1->start();
}

void Fmmain::Timer1_Timer() {
    if (Pings.empty()) {
        Timer1->stop();
        return;
    }
    bool complete = true;
    try {
        for (int i = 1; i <= kHosts; ++i) {
            Ping& p = *Pings[i];
            if (!p.Pinging) continue;
            // Open until the poll after the last final state.
            complete = false;
            switch (p.GetPing()) {
                case 3:
                    p.Pinging = false;
                    p.color = kColorGreen;
                    p.OKCount += 1;
                    p.GetMac();
                    List1->item(i - 1)->setText(Q(FullRow(i)));
                    break;
                case 4:
                    p.Pinging = false;
                    p.color = kColorRed;
                    p.GetMac();
                    break;
                case 5:
                case 6:
                    p.color = kColorBusy;
                    break;
                case 1:
                    p.color = kColorYellow;
                    break;
                case 2:
                    p.Pinging = false;
                    break;
                default:
                    break;
            }
        }
    } catch (const std::exception& e) {
        SweepFailed(e.what());
        return;
    }
    PB1->setValue(RoundNo);
    if (!complete) return;
    if (RoundNo < RoundCount) {
        RepaintGrid();
        RoundNo += 1;
        PingIt();
        return;
    }
    Timer1->stop();
    Command1->setEnabled(true);
    Text1[2]->setFocus(Qt::OtherFocusReason);
    for (int i = 1; i <= kHosts; ++i) Pings[i]->color = FinalColor(Pings[i]->OKCount, RoundCount);
    PB1->setValue(0);
    RepaintGrid();
}

void Fmmain::SweepFailed(const std::string& what) {
    Timer1->stop();
    pingsBroken_ = true;
    for (std::size_t i = 1; i < Pings.size(); ++i) Pings[i]->Pinging = false;
    Command1->setEnabled(true);
    PB1->setValue(0);
    RepaintGrid();
    platform::ShowMessage("与工作进程 Morvel 的连接已中断, 扫描已停止:\n" + what +
                              "\n\n下次扫描时会重新启动 Morvel。",
                          platform::MsgIcon::Warning);
}

// ---- the grid and the list ----

void Fmmain::FG1_MouseMove(int, int, float X, float Y) {
    double col = std::floor((static_cast<double>(X) - 5) / 27);
    double row = std::floor((static_cast<double>(Y) - 5) / 20);
    if (col < 0 || col > 15 || row < 0 || row > 15) return;
    CurHost = static_cast<std::int32_t>(col + 16 * row);
    if (CurHost != LastHost) ShowText();
    LastHost = CurHost;
}

void Fmmain::FG1_Click() {
    if (CurHost < 1 || CurHost > kHosts || List1->count() < kHosts) return;
    if (CurHost > 10)
        List1->scrollToItem(List1->item(CurHost - 10), QAbstractItemView::PositionAtTop);
    {
        QSignalBlocker quiet(List1);
        List1->setCurrentRow(CurHost - 1);
    }
    // Selecting the line is the list's click.
    List1_Click();
}

void Fmmain::FG1_DblClick() { EditRemark(); }

void Fmmain::List1_Click() {
    int row = List1->currentRow();
    if (row < 0) return;
    CurHost = row + 1;
    ShowText();
}

void Fmmain::List1_DblClick() {
    int row = List1->currentRow();
    if (row < 0) return;
    CurHost = row + 1;
    EditRemark();
}

void Fmmain::ShowText() {
    if (CurHost < 1 || CurHost > kHosts || Pings.size() <= static_cast<std::size_t>(CurHost))
        return;
    const Ping& p = *Pings[CurHost];
    Text3->setPlainText(
        Q(ToLf(HostDetails(HostAddress(CurHost), p.OKCount, RoundCount, p.Mac, p.Ps))));
}

void Fmmain::EditRemark() {
    const int host = CurHost;
    if (host < 1 || host > kHosts || Pings.size() <= static_cast<std::size_t>(host)) return;
    const std::string key = HostAddress(host);
    const std::string psIni = IniPath(kPsIni);
    // Start from what is stored under the key the edit will write: Ps may belong
    // to another subnet or not be loaded yet, and confirming must not silently
    // overwrite a remark the user was never shown.
    std::string initial = ReadIni("PS", key, psIni);
    if (initial.empty()) initial = Pings[host]->Ps;
    std::optional<std::string> entered = InputBox("请输入要修改的备注:", "备注", initial);
    if (!entered || Pings.size() <= static_cast<std::size_t>(host)) return;
    Pings[host]->Ps = *entered;
    bool stored = WriteIni("PS", key, *entered, psIni);
    List1->item(host - 1)->setText(Q(FullRow(host)));
    if (!stored)
        platform::ShowMessage("备注未能保存到文件:\n" + psIni + "\n备注只在本窗口中修改了。",
                              platform::MsgIcon::Warning);
}
