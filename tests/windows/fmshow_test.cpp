// SPDX-License-Identifier: MIT
#include "windows/Fmshow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

namespace {

using windows::Fmshow;

int AboutWindows() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<Fmshow*>(w) && w->isVisible()) ++n;
    return n;
}

void DeleteClosed() { QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

TEST(Fmshow, ShowsTheDesignCaptions) {
    Fmshow* w = windows::ShowAbout(nullptr);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("关于Varnex"));
    EXPECT_EQ(w->Label1->text(), QStringLiteral("局域网Varnex工具"));
    EXPECT_EQ(w->Label2->text(), QStringLiteral("版本 1.3"));
    EXPECT_EQ(w->Label4->text(), QStringLiteral("电子邮件"));
    EXPECT_FALSE(w->Label5->text().isEmpty());
    EXPECT_EQ(w->Command1->text(), QStringLiteral("好啊"));
    EXPECT_EQ(w->size(), QSize(399, 269));
    EXPECT_EQ(w->minimumSize(), w->maximumSize());  // fixed border
    EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(w->focusWidget(), w->Command1);
    w->close();
    DeleteClosed();
}

TEST(Fmshow, StaysSingleAndComesBackAnewAfterClosing) {
    QPointer<Fmshow> first = windows::ShowAbout(nullptr);
    EXPECT_EQ(windows::ShowAbout(nullptr), first.data());
    EXPECT_EQ(windows::ShowAbout(nullptr), first.data());
    EXPECT_EQ(AboutWindows(), 1);
    EXPECT_EQ(windows::AboutWindow(), first.data());

    QTest::mouseClick(first->Command1, Qt::LeftButton);  // "好啊"
    EXPECT_EQ(windows::AboutWindow(), nullptr);
    DeleteClosed();
    EXPECT_TRUE(first.isNull());

    QPointer<Fmshow> second = windows::ShowAbout(nullptr);
    ASSERT_TRUE(second);
    EXPECT_EQ(AboutWindows(), 1);

    // Closed by the caption bar, and shown again before the old one is gone:
    // a fresh window, and the closing one does not come back.
    second->close();
    QPointer<Fmshow> third = windows::ShowAbout(nullptr);
    EXPECT_NE(third.data(), second.data());
    DeleteClosed();
    EXPECT_TRUE(second.isNull());
    ASSERT_TRUE(third);
    EXPECT_TRUE(third->isVisible());
    EXPECT_EQ(AboutWindows(), 1);
    third->close();
    DeleteClosed();
}

}  // namespace
