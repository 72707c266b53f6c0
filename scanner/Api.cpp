// SPDX-License-Identifier: MIT
#include "scanner/Api.h"

#include <QPainter>
#include <QPen>

#include "sweep/Func.h"

namespace scanner {

namespace {

QColor Qc(std::int32_t bgr) { return QColor::fromRgb(BgrToRgb(bgr)); }

Qt::PenStyle QtStyle(std::int32_t penStyle) {
    switch (penStyle) {
        case PS_DASH:
            return Qt::DashLine;
        case PS_DOT:
            return Qt::DotLine;
        case PS_DASHDOT:
            return Qt::DashDotLine;
        case PS_DASHDOTDOT:
            return Qt::DashDotDotLine;
        case PS_NULL:
            return Qt::NoPen;
        default:
            return Qt::SolidLine;
    }
}

// One segment with the end point excluded. Solid axis-parallel segments (all
// the grid draws) are filled as pixel runs, which is exact and fast; others go
// through a cosmetic pen whose flat cap leaves out the last pixel.
void Segment(QPainter& dc, std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2,
             const QColor& color, Qt::PenStyle style) {
    if (x1 == x2 && y1 == y2) return;
    if (style == Qt::NoPen) return;
    if (style == Qt::SolidLine && (x1 == x2 || y1 == y2)) {
        if (y1 == y2) {
            // x1 up to x2, x2 excluded, in either direction.
            std::int32_t from = x1 < x2 ? x1 : x2 + 1;
            std::int32_t to = x1 < x2 ? x2 - 1 : x1;
            dc.fillRect(QRect(from, y1, to - from + 1, 1), color);
        } else {
            std::int32_t from = y1 < y2 ? y1 : y2 + 1;
            std::int32_t to = y1 < y2 ? y2 - 1 : y1;
            dc.fillRect(QRect(x1, from, 1, to - from + 1), color);
        }
        return;
    }
    QPen pen(color, 0, style, Qt::FlatCap);
    pen.setCosmetic(true);
    const QPen previous = dc.pen();  // selected back, as the caller had it
    dc.setPen(pen);
    dc.drawLine(x1, y1, x2, y2);
    dc.setPen(previous);
}

// Switches antialiasing off for one call and back on after it, if it was on;
// the painter's state is otherwise left as found (pens are set per call).
struct Aliased {
    explicit Aliased(QPainter& dc) : dc_(dc), was_(dc.testRenderHint(QPainter::Antialiasing)) {
        if (was_) dc_.setRenderHint(QPainter::Antialiasing, false);
    }
    ~Aliased() {
        if (was_) dc_.setRenderHint(QPainter::Antialiasing, true);
    }
    QPainter& dc_;
    bool was_;
};

}  // namespace

void SetRect(RECT& rect, std::int32_t left, std::int32_t top, std::int32_t right,
             std::int32_t bottom) {
    rect = RECT{left, top, right, bottom};
}

std::uint32_t BgrToRgb(std::int32_t bgr) {
    auto v = static_cast<std::uint32_t>(bgr);
    std::uint32_t r = v & 0xFF, g = (v >> 8) & 0xFF, b = (v >> 16) & 0xFF;
    return 0xFF000000u | (r << 16) | (g << 8) | b;
}

void FillBox(QPainter& dc, const RECT& rect, std::int32_t color) {
    // The fill runs up to and including right and bottom; an inverted rectangle fills nothing.
    std::int64_t w = std::int64_t{rect.Right} - rect.Left + 1;
    std::int64_t h = std::int64_t{rect.Bottom} - rect.Top + 1;
    if (w <= 0 || h <= 0) return;
    Aliased guard(dc);
    dc.fillRect(QRect(rect.Left, rect.Top, static_cast<int>(w), static_cast<int>(h)), Qc(color));
}

void DrawBox(QPainter& dc, const RECT& rect, std::int32_t color) {
    Aliased guard(dc);
    QColor c = Qc(color);
    const auto [l, t, r, b] = rect;
    // The pen walks the four edges; each segment leaves out its end, which the
    // next segment begins with, so every corner is drawn exactly once.
    Segment(dc, l, t, r, t, c, Qt::SolidLine);
    Segment(dc, r, t, r, b, c, Qt::SolidLine);
    Segment(dc, r, b, l, b, c, Qt::SolidLine);
    Segment(dc, l, b, l, t, c, Qt::SolidLine);
}

void DrawLine(QPainter& dc, std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2,
              std::int32_t color, std::int32_t penStyle) {
    Aliased guard(dc);
    Segment(dc, x1, y1, x2, y2, Qc(color), QtStyle(penStyle));
}

void FillGradient(QPainter& dc, std::int32_t colorA, std::int32_t colorB, const RECT& rect,
                  bool horizontal, std::int32_t step) {
    const double width = static_cast<double>(rect.Right) - rect.Left + 1;
    const double height = static_cast<double>(rect.Bottom) - rect.Top + 1;
    if (step == 1) {
        if (horizontal) {
            for (std::int32_t x = rect.Left; x <= rect.Right; ++x) {
                double p = (x - rect.Left) / width * 100;
                DrawLine(dc, x, rect.Top, x, rect.Bottom + 1, sweep::MixColor(colorA, colorB, p),
                         PS_SOLID);
            }
        } else {
            for (std::int32_t y = rect.Top; y <= rect.Bottom; ++y) {
                double p = (y - rect.Top) / height * 100;
                DrawLine(dc, rect.Left, y, rect.Right + 1, y, sweep::MixColor(colorA, colorB, p),
                         PS_SOLID);
            }
        }
        return;
    }
    // A step below 1 would never advance.
    if (step < 1) return;
    if (horizontal) {
        for (std::int64_t x = rect.Left; x <= rect.Right; x += step) {
            double p = (x - rect.Left) / width * 100;
            FillBox(dc,
                    RECT{static_cast<std::int32_t>(x), rect.Top,
                         static_cast<std::int32_t>(x + step - 1), rect.Bottom},
                    sweep::MixColor(colorA, colorB, p));
        }
    } else {
        for (std::int64_t y = rect.Top; y <= rect.Bottom; y += step) {
            double p = (y - rect.Top) / height * 100;
            FillBox(dc,
                    RECT{rect.Left, static_cast<std::int32_t>(y), rect.Right,
                         static_cast<std::int32_t>(y + step - 1)},
                    sweep::MixColor(colorA, colorB, p));
        }
    }
}

}  // namespace scanner
