// SPDX-License-Identifier: MIT
// The grid's pixels: geometry, shared lines, the colour scale, and the drawing
// primitives' edge rules. No Morvel is needed: the proxies are never given an
// ID, so they only carry their colours.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <map>
#include <random>

#include "scanner/Api.h"
#include "scanner/Fmmain.h"
#include "scanner/cell.h"
#include "sweep/Func.h"

namespace {

using namespace sweep;
using namespace scanner;

constexpr QRgb kBack = 0xFFC0FFFF;    // FG1's background, RGB 192, 255, 255
constexpr QRgb kBorder = 0xFFDCDCDC;  // every cell's border

QRgb Rgb(std::int32_t bgr) { return scanner::BgrToRgb(bgr); }

// A window whose proxies have colours but no worker.
std::unique_ptr<Fmmain> GridWindow(std::int32_t color = kColorIdle) {
    auto w = std::make_unique<Fmmain>();
    std::vector<std::unique_ptr<Ping>> pings(256);
    for (int i = 1; i <= 255; ++i) {
        pings[i] = std::make_unique<Ping>();
        pings[i]->color = color;
    }
    w->engine().SetPings(std::move(pings));
    return w;
}

QImage Grab(QWidget* w) { return w->grab().toImage().convertToFormat(QImage::Format_RGB32); }

// Pixels of the cell's outline that are not the border colour.
int WrongBorderPixels(const QImage& img, const Cell& c) {
    int wrong = 0;
    for (int x = c.left; x <= c.right; ++x) {
        wrong += img.pixel(x, c.top) != kBorder;
        wrong += img.pixel(x, c.bottom) != kBorder;
    }
    for (int y = c.top; y <= c.bottom; ++y) {
        wrong += img.pixel(c.left, y) != kBorder;
        wrong += img.pixel(c.right, y) != kBorder;
    }
    return wrong;
}

TEST(Grid, CellsSitAtTheirRectanglesAndHostZeroIsNeverDrawn) {
    auto w = GridWindow(kColorGreen);
    QImage img = Grab(w->ui().FG1);
    ASSERT_GE(img.width(), 438);
    ASSERT_GE(img.height(), 326);

    // Host 0's place: background, no number, no left or top border.
    for (int y = 0; y <= 24; ++y)
        for (int x = 0; x <= 31; ++x) ASSERT_EQ(img.pixel(x, y), kBack) << x << "," << y;
    // Its right and bottom edges exist only as host 1's left and host 16's top edge.
    EXPECT_EQ(img.pixel(32, 5), kBorder);
    EXPECT_EQ(img.pixel(5, 25), kBorder);

    for (int n : {1, 16, 255}) {
        Cell c = CellOf(n);
        EXPECT_EQ(WrongBorderPixels(img, c), 0) << "host " << n;
        // Fill inside the border, away from the centred number.
        EXPECT_EQ(img.pixel(c.left + 1, c.top + 1), Rgb(kColorGreen)) << "host " << n;
        EXPECT_EQ(img.pixel(c.right - 1, c.bottom - 1), Rgb(kColorGreen)) << "host " << n;
        // The number is drawn inside the cell (some pixel that is neither fill nor border).
        int ink = 0;
        for (int y = c.top + 1; y < c.bottom; ++y)
            for (int x = c.left + 1; x < c.right; ++x) ink += img.pixel(x, y) != Rgb(kColorGreen);
        EXPECT_GT(ink, 5) << "host " << n;
    }
    EXPECT_EQ(CellOf(255).right, 437);
    EXPECT_EQ(CellOf(255).bottom, 325);
    // The table ends at x = 437 and y = 325.
    for (int y = 0; y < img.height(); ++y) EXPECT_EQ(img.pixel(438, y), kBack) << y;
    for (int x = 0; x < img.width(); ++x) EXPECT_EQ(img.pixel(x, 326), kBack) << x;
}

TEST(Grid, EverySharedLineIsGreyWhateverTheFillsBesideIt) {
    auto w = GridWindow();
    std::mt19937 rng(7);
    for (int i = 1; i <= 255; ++i)
        w->engine().Host(i).color = static_cast<std::int32_t>(rng() & 0xFFFFFF);
    QImage img = Grab(w->ui().FG1);
    for (int n = 1; n <= 255; ++n) ASSERT_EQ(WrongBorderPixels(img, CellOf(n)), 0) << "host " << n;
}

TEST(Grid, ANullOrNonNumericColourIsBlackWithBorderAndNumber) {
    auto w = GridWindow();
    w->engine().Host(17).color = Value::Null();
    w->engine().Host(18).color = Value("abc");
    w->engine().Host(19).color = Value("");
    w->engine().Host(20).color = Value(1e12);   // beyond a 32-bit colour
    w->engine().Host(21).color = Value("255");  // a text that spells a number is that colour
    // White digits, so the number shows on black.
    QPalette pal = w->ui().FG1->palette();
    pal.setColor(QPalette::WindowText, Qt::white);
    w->ui().FG1->setPalette(pal);
    QImage img = Grab(w->ui().FG1);
    for (int n : {17, 18, 19, 20}) {
        Cell c = CellOf(n);
        EXPECT_EQ(img.pixel(c.left + 1, c.top + 1), 0xFF000000u) << "host " << n;
        EXPECT_EQ(WrongBorderPixels(img, c), 0) << "host " << n;
        int white = 0;
        for (int y = c.top + 1; y < c.bottom; ++y)
            for (int x = c.left + 1; x < c.right; ++x) white += img.pixel(x, y) == 0xFFFFFFFFu;
        EXPECT_GT(white, 5) << "host " << n;
    }
    EXPECT_EQ(img.pixel(CellOf(21).left + 1, CellOf(21).top + 1), Rgb(0xFF));
}

TEST(Grid, ThreeDigitsFitACellAndAWideTextIsClippedToIt) {
    auto w = GridWindow(0x00FFFFFF);
    EXPECT_LT(QFontMetrics(w->ui().FG1->font()).horizontalAdvance("255"), 27);

    QImage img(447, 354, QImage::Format_RGB32);
    img.fill(kBack);
    {
        QPainter p(&img);
        w->SetFGColor(p, 1, Value(0x00FFFFFF));
        w->SetFGText(p, 1, Value("WWWWWWWWWWWWWWWWWWWW"));
        w->SetFGColor(p, 20, Value(0x00FFFFFF));
        w->SetFGText(p, 20, Value("中文宽文字中文宽文字"));
    }
    for (int n : {1, 20}) {
        Cell c = CellOf(n);
        // Clipped to the cell with its right and bottom edge excluded: the
        // border column and row on those sides stay grey.
        for (int y = c.top; y <= c.bottom; ++y)
            EXPECT_EQ(img.pixel(c.right, y), kBorder) << n << " y " << y;
        for (int x = c.left; x <= c.right; ++x)
            EXPECT_EQ(img.pixel(x, c.bottom), kBorder) << n << " x " << x;
        for (int y = c.top; y <= c.bottom; ++y) {
            EXPECT_EQ(img.pixel(c.right + 1, y), kBack) << n << " y " << y;
            if (c.left > 5) {
                EXPECT_EQ(img.pixel(c.left - 1, y), kBack) << n << " y " << y;
            }
        }
        int ink = 0;
        for (int y = c.top + 1; y < c.bottom; ++y)
            for (int x = c.left + 1; x < c.right; ++x) ink += img.pixel(x, y) != 0xFFFFFFFFu;
        EXPECT_GT(ink, 10) << n;
    }
}

TEST(Grid, ChangeMarksShowOnlyWhenAskedAndOnlyInTheChangedCellsCorners) {
    const QImage today = Grab(GridWindow(kColorGreen)->ui().FG1);
    auto w = GridWindow(kColorGreen);
    const std::map<int, std::pair<std::string, std::int32_t>> marks = {{3, {"new", kMarkNew}},
                                                                       {40, {"moved", kMarkMoved}},
                                                                       {111, {"mac", kMarkMac}},
                                                                       {200, {"up", kMarkUp}},
                                                                       {255, {"down", kMarkDown}}};
    SweepResult found;
    for (int n = 1; n <= 255; ++n) {
        HostResult h;
        h.host = n;
        h.ip = "192.168.0." + std::to_string(n);
        if (marks.count(n)) h.change = marks.at(n).first;
        if (n == 77 || n == 255) h.seen = "arp";  // their own mark, bottom left
        found.hosts.push_back(h);
    }
    w->SetFindingsForTesting(found, {});
    EXPECT_EQ(Grab(w->ui().FG1), today);

    w->SetShowChanges(true);
    const QImage marked = Grab(w->ui().FG1);
    for (int y = 0; y < marked.height(); ++y)
        for (int x = 0; x < marked.width(); ++x) {
            if (marked.pixel(x, y) == today.pixel(x, y)) continue;
            const int host = HostAt(x, y);
            const Cell c = CellOf(host);
            const bool change =
                marks.count(host) && x >= c.right - kMarkSize && y <= c.top + kMarkSize;
            const bool arp =
                (host == 77 || host == 255) && x <= c.left + kMarkSize && y >= c.bottom - kMarkSize;
            ASSERT_TRUE(change || arp) << x << "," << y;
        }
    // Each mark is whole, in its kind's colour, and hides no ink of the number.
    for (const auto& [host, mark] : marks) {
        const Cell c = CellOf(host);
        for (int k = 0; k < kMarkSize; ++k)
            for (int x = c.right - kMarkSize + k; x < c.right; ++x) {
                EXPECT_EQ(today.pixel(x, c.top + 1 + k), Rgb(kColorGreen)) << host;
                EXPECT_EQ(marked.pixel(x, c.top + 1 + k), Rgb(mark.second)) << host;
            }
    }
    for (int host : {77, 255}) {
        const Cell c = CellOf(host);
        for (int k = 0; k < kMarkSize; ++k)
            for (int x = c.left + 1; x <= c.left + kMarkSize - k; ++x)
                EXPECT_EQ(marked.pixel(x, c.bottom - 1 - k), Rgb(kMarkArpOnly)) << host;
    }
    w->SetShowChanges(false);
    EXPECT_EQ(Grab(w->ui().FG1), today);
}

TEST(Grid, ColourScaleRunsFromPureGreenToAlmostRed) {
    Fmmain w;
    QImage img = Grab(w.ui().PP1);
    const int W = w.ui().PP1->width(), H = w.ui().PP1->height();
    ASSERT_EQ(W, 61);
    ASSERT_EQ(H, 25);
    for (int y = 0; y < H; ++y) {
        EXPECT_EQ(img.pixel(0, y), 0xFF00FF00u) << y;
        // The last visible column is x = W - 1, at (W - 1) / (W + 1) of the way.
        EXPECT_EQ(img.pixel(W - 1, y),
                  Rgb(MixColor(kColorGreen, kColorRed, (W - 1) / double(W + 1) * 100)));
        EXPECT_NE(img.pixel(W - 1, y), 0xFFFF0000u);
    }
    // Monotone: red grows, green shrinks from left to right.
    for (int x = 1; x < W; ++x) {
        EXPECT_GE(qRed(img.pixel(x, 3)), qRed(img.pixel(x - 1, 3)));
        EXPECT_LE(qGreen(img.pixel(x, 3)), qGreen(img.pixel(x - 1, 3)));
    }
}

TEST(Layout, ControlsSitAtTheirDesignPlacesAndFG1MeetsList1) {
    Fmmain w;
    EXPECT_EQ(w.size(), QSize(821, 456));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("局域网Varnex工具"));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.ui().Text1[0]->geometry(), QRect(64, 14, 29, 21));
    EXPECT_EQ(w.ui().Text1[2]->geometry(), QRect(128, 14, 29, 21));
    EXPECT_EQ(w.ui().Command1->geometry(), QRect(182, 10, 73, 53));
    EXPECT_EQ(w.ui().Command3->geometry(), QRect(342, 10, 73, 53));
    EXPECT_EQ(w.ui().Check1->geometry(), QRect(98, 42, 71, 21));
    EXPECT_EQ(w.ui().PB1->geometry(), QRect(0, 431, 821, 25));
    EXPECT_EQ(w.ui().PP1->geometry(), QRect(662, 24, 61, 25));
    EXPECT_EQ(w.ui().Text3->geometry(), QRect(448, 76, 371, 99));
    EXPECT_EQ(w.ui().List1->geometry(), QRect(448, 176, 371, 254));

    // The resize rule (also applied when shown): 5310 twips, bottom on List1's.
    w.ui().FG1->resize(447, 100);
    QResizeEvent e(w.size(), w.size());
    QApplication::sendEvent(&w, &e);
    EXPECT_EQ(w.ui().FG1->geometry(), QRect(0, 76, 447, 354));
    w.ui().List1->setGeometry(448, 200, 371, 200);
    QApplication::sendEvent(&w, &e);
    EXPECT_EQ(w.ui().FG1->geometry().bottom(), w.ui().List1->geometry().bottom());
    EXPECT_EQ(w.ui().List1->geometry(), QRect(448, 200, 371, 200));  // nothing else moves
    EXPECT_EQ(w.ui().Text3->geometry(), QRect(448, 76, 371, 99));
}

TEST(Layout, TabOrderRunsFromTheOctetsToTheButtonBeforeTheCount) {
    Fmmain w;
    // The chain also holds widgets that take no focus; follow it as Tab does.
    auto next = [](QWidget* from) {
        QWidget* n = from->nextInFocusChain();
        while (n->focusPolicy() == Qt::NoFocus || !(n->focusPolicy() & Qt::TabFocus))
            n = n->nextInFocusChain();
        return n;
    };
    EXPECT_EQ(next(w.ui().Text1[0]), w.ui().Text1[1]);
    EXPECT_EQ(next(w.ui().Text1[1]), w.ui().Text1[2]);
    EXPECT_EQ(next(w.ui().Text1[2]), w.ui().Command1);
    EXPECT_EQ(next(w.ui().Command1), w.ui().Text2);
}

// ---- the drawing primitives ----

QImage Canvas() {
    QImage img(20, 20, QImage::Format_RGB32);
    img.fill(Qt::white);
    return img;
}

int Count(const QImage& img, QRgb c) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += img.pixel(x, y) == c;
    return n;
}

TEST(Api, FillsIncludeTheirRightAndBottomEdgeAndLinesStopBeforeTheEnd) {
    constexpr QRgb kRed = 0xFFFF0000;
    {
        QImage img = Canvas();
        QPainter p(&img);
        scanner::FillBox(p, RECT{2, 3, 5, 7}, 0xFF);
        p.end();
        EXPECT_EQ(Count(img, kRed), 4 * 5);
        EXPECT_EQ(img.pixel(5, 7), kRed);
        EXPECT_EQ(img.pixel(6, 7), 0xFFFFFFFFu);
    }
    {
        QImage img = Canvas();
        QPainter p(&img);
        scanner::FillBox(p, RECT{5, 5, 4, 9}, 0xFF);  // inverted: nothing
        p.end();
        EXPECT_EQ(Count(img, kRed), 0);
    }
    // A line from start up to, not including, its end, in each direction.
    struct L {
        int x1, y1, x2, y2, pixels;
        QPoint last, excluded;
    };
    for (L l : {L{2, 4, 9, 4, 7, {8, 4}, {9, 4}}, L{9, 4, 2, 4, 7, {3, 4}, {2, 4}},
                L{3, 1, 3, 10, 9, {3, 9}, {3, 10}}, L{3, 10, 3, 1, 9, {3, 2}, {3, 1}},
                L{1, 1, 6, 6, 5, {5, 5}, {6, 6}}}) {
        QImage img = Canvas();
        QPainter p(&img);
        scanner::DrawLine(p, l.x1, l.y1, l.x2, l.y2, 0xFF, PS_SOLID);
        p.end();
        EXPECT_EQ(Count(img, kRed), l.pixels) << l.x1 << "," << l.y1 << "->" << l.x2 << "," << l.y2;
        EXPECT_EQ(img.pixel(l.x1, l.y1), kRed);
        EXPECT_EQ(img.pixel(l.last), kRed);
        EXPECT_EQ(img.pixel(l.excluded), 0xFFFFFFFFu);
    }
    {
        QImage img = Canvas();
        QPainter p(&img);
        scanner::DrawLine(p, 4, 4, 4, 4, 0xFF, PS_SOLID);  // no length, nothing drawn
        p.end();
        EXPECT_EQ(Count(img, kRed), 0);
    }
    {
        QImage img = Canvas();
        QPainter p(&img);
        scanner::DrawBox(p, RECT{2, 2, 8, 6}, 0xFF);
        p.end();
        EXPECT_EQ(Count(img, kRed), 2 * 7 + 2 * 3);  // the outline, corners once
        for (QPoint c : {QPoint(2, 2), QPoint(8, 2), QPoint(8, 6), QPoint(2, 6)})
            EXPECT_EQ(img.pixel(c), kRed);
        EXPECT_EQ(img.pixel(5, 4), 0xFFFFFFFFu);
    }
}

TEST(Api, GradientBandsCoverTheRectangleAndMayOvershootTheLastStep) {
    QImage img = Canvas();
    QPainter p(&img);
    scanner::FillGradient(p, kColorGreen, kColorRed, RECT{0, 0, 9, 4}, true, 4);
    p.end();
    // Bands at x = 0, 4, 8 (the last one 8..11 reaches beyond the right edge 9).
    EXPECT_EQ(img.pixel(0, 0), 0xFF00FF00u);
    EXPECT_EQ(img.pixel(3, 4), 0xFF00FF00u);
    EXPECT_EQ(img.pixel(4, 0), Rgb(MixColor(kColorGreen, kColorRed, 40)));
    EXPECT_EQ(img.pixel(11, 2), Rgb(MixColor(kColorGreen, kColorRed, 80)));
    EXPECT_EQ(img.pixel(12, 2), 0xFFFFFFFFu);
    EXPECT_EQ(img.pixel(5, 5), 0xFFFFFFFFu);

    QImage v = Canvas();
    QPainter q(&v);
    scanner::FillGradient(q, kColorGreen, kColorRed, RECT{0, 0, 3, 9}, false, 1);
    q.end();
    EXPECT_EQ(v.pixel(3, 0), 0xFF00FF00u);
    EXPECT_EQ(v.pixel(0, 9), Rgb(MixColor(kColorGreen, kColorRed, 90)));
    EXPECT_EQ(v.pixel(4, 5), 0xFFFFFFFFu);
    EXPECT_EQ(v.pixel(2, 10), 0xFFFFFFFFu);
}

}  // namespace
