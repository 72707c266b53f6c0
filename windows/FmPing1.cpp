// SPDX-License-Identifier: MIT
#include "windows/FmPing1.h"

#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <exception>

#include "echo/echo.h"
#include "settings/ini.h"
#include "windows/MorvelEcho.h"
#include "windows/design.h"
#include "windows/placement.h"

namespace windows {
namespace {

PingFunction& DefaultPing() {
    static PingFunction ping;
    return ping;
}

PingFunction OrPingHost(PingFunction ping) {
    if (ping) return ping;
    // The window's own transport: its Morvel object, if it needs one, goes with it.
    auto relay = std::make_shared<MorvelEcho>();
    return [relay](const std::string& address) {
        return echo::PingHost(
            address, [&relay](std::uint32_t destination, const void* data, std::uint16_t size,
                              unsigned char(&reply)[278], std::uint32_t timeoutMs) {
                relay->Send(destination, data, size, reply, timeoutMs);
            });
    };
}

}  // namespace

FmPing1::FmPing1(QWidget* parent) : QWidget(parent, Qt::Window) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("FmPing1");
    setWindowTitle(tr("持续ping"));
    resize(5820 / 15, 7425 / 15);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Bgr(kColorWindow));
    pal.setColor(QPalette::WindowText, Bgr(0x00C00000));
    setPalette(pal);
    setAutoFillBackground(true);

    Label1 = new QLabel(QStringLiteral("IP"), this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(Twips(270, 240, 1245, 195));

    Text1 = new QLineEdit(this);
    Text1->setObjectName("Text1");
    Text1->setGeometry(Twips(780, 180, 2265, 345));

    Command1 = new QPushButton(tr("开始"), this);
    Command1->setObjectName("Command1");
    Command1->setGeometry(Twips(3210, 120, 1425, 525));

    List1 = new QListWidget(this);
    List1->setObjectName("List1");
    List1->setGeometry(Twips(30, 750, 5745, 6540));
    List1->setSortingEnabled(false);
    QPalette listPal = List1->palette();
    listPal.setColor(QPalette::Base, Bgr(0x00C00000));
    listPal.setColor(QPalette::Text, Bgr(0x0080FFFF));
    List1->setPalette(listPal);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(200);

    setTabOrder(Text1, Command1);
    setTabOrder(Command1, List1);

    ping_ = OrPingHost(DefaultPing());
    connect(Command1, &QPushButton::clicked, this, &FmPing1::Command1_Click);
    connect(Timer1, &QTimer::timeout, this, &FmPing1::Timer1_Timer);

    // Form_Load: offer the address started last.
    Text1->setText(QString::fromStdString(settings::ReadIni("Set", "Ping", settings::kSetIni)));
}

void FmPing1::SetPingFunction(PingFunction ping) { ping_ = OrPingHost(std::move(ping)); }

void FmPing1::SetDefaultPingFunction(PingFunction ping) { DefaultPing() = std::move(ping); }

void FmPing1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (centred_) return;
    centred_ = true;
    CentreOnScreen(this);
}

void FmPing1::Command1_Click() {
    if (Command1->text() == tr("开始")) {
        Command1->setText(tr("结束"));
        // A settings write: a failure only means the address is not offered next time.
        settings::WriteIni("Set", "Ping", Text1->text().toStdString(), settings::kSetIni);
        Timer1->start();
    } else {
        Command1->setText(tr("开始"));
        Timer1->stop();
    }
}

void FmPing1::Timer1_Timer() {
    // A Winsock message box runs a nested event loop inside the echo; the
    // timer must not start a second echo (and a second box) under it.
    if (inTick_) return;
    inTick_ = true;
    QPointer<FmPing1> self(this);
    const QString address = Text1->text();
    QString outcome;
    bool normal = true;
    try {
        outcome = ping_(address.toStdString()) ? tr(": 成功") : tr(": 失败:Error");
    } catch (const std::exception& e) {
        outcome = tr(": 失败") + QString::fromStdString(e.what());
        normal = false;
    } catch (...) {
        outcome = tr(": 失败") + QStringLiteral("unknown error");
        normal = false;
    }
    // The window may have been closed while a message box was up.
    if (!self) return;
    inTick_ = false;
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    AddLine(stamp + QStringLiteral(" Ping:") + Text1->text() + outcome, normal);
}

void FmPing1::AddLine(const QString& line, bool normal) {
    List1->insertItem(0, line);
    // A normal tick removes the line at index 500; an error tick removes
    // nothing, so errors may lengthen the log, but never beyond kMaxLines.
    if (normal && List1->count() > kLogLines) delete List1->takeItem(kLogLines);
    while (List1->count() > kMaxLines) delete List1->takeItem(List1->count() - 1);
}

FmPing1* OpenPingWindow(QWidget* parent) {
    auto* w = new FmPing1(parent);
    w->show();
    return w;
}

FmPing1* OpenPingWindow(QWidget* parent, const QString& address) {
    auto* w = new FmPing1(parent);
    w->Text1->setText(address);
    w->show();
    return w;
}

}  // namespace windows
