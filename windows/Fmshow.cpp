// SPDX-License-Identifier: MIT
#include "windows/Fmshow.h"
#include "windows/design.h"
#include "windows/placement.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>

namespace windows {
namespace {

QPointer<Fmshow>& Instance() {
    static QPointer<Fmshow> instance;
    return instance;
}

QLabel* CentredLabel(QWidget* parent, const char* name, const QString& text, QRect where) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(where);
    return label;
}

}  // namespace

Fmshow::Fmshow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("Fmshow");
    setWindowTitle(tr("关于Varnex"));
    setFixedSize(5985 / 15, 4035 / 15);

    Command1 = new QPushButton(tr("好啊"), this);
    Command1->setObjectName("Command1");
    Command1->setGeometry(Twips(2370, 3210, 1455, 405));
    Label1 = CentredLabel(this, "Label1", tr("局域网Varnex工具"), Twips(510, 570, 4755, 225));
    Label2 = CentredLabel(this, "Label2", tr("版本 1.3"), Twips(510, 810, 4755, 225));
    Label4 = CentredLabel(this, "Label4", tr("电子邮件"), Twips(1980, 1830, 1935, 225));
    Label5 = CentredLabel(this, "Label5", tr("Varnex 项目组\n问题与建议请提交到项目的问题列表"),
                          Twips(510, 2100, 4755, 480));

    // First in the tab order, so it has the focus when the window opens.
    setFocusProxy(Command1);
    Command1->setFocus();
    connect(Command1, &QPushButton::clicked, this, &Fmshow::Command1_Click);
}

void Fmshow::Command1_Click() { close(); }

void Fmshow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (centred_) return;
    centred_ = true;
    CentreOnScreen(this);
    Command1->setFocus();
}

Fmshow* ShowAbout(QWidget* parent) {
    QPointer<Fmshow>& instance = Instance();
    // A closed window waits for its deferred deletion; it no longer counts.
    if (!instance || !instance->isVisible()) instance = new Fmshow(parent);
    instance->show();
    instance->raise();
    instance->activateWindow();
    return instance;
}

Fmshow* AboutWindow() {
    Fmshow* w = Instance();
    return w && w->isVisible() ? w : nullptr;
}

}  // namespace windows
