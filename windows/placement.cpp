// SPDX-License-Identifier: MIT
#include "windows/placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace windows {

void CentreOnScreen(QWidget* w) {
    QScreen* s = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!s) return;
    QRect frame = w->frameGeometry();
    frame.moveCenter(s->availableGeometry().center());
    w->move(frame.topLeft());
}

}  // namespace windows
