// SPDX-License-Identifier: MIT
// Module Api: the few drawing primitives the grid and the colour scale use,
// with the pixel rules the grid's geometry relies on: a fill covers its right
// and bottom edge, a line stops one pixel before its end point. The "device
// context" is a QPainter; antialiasing is switched off for every call, and
// every pen and brush lives only for the call that made it.
#pragma once

#include <cstdint>

class QPainter;

namespace scanner {

struct RECT {
    std::int32_t Left = 0;
    std::int32_t Top = 0;
    std::int32_t Right = 0;
    std::int32_t Bottom = 0;
};

// Pen styles by their number, as DrawLine takes them.
inline constexpr std::int32_t PS_SOLID = 0;
inline constexpr std::int32_t PS_DASH = 1;
inline constexpr std::int32_t PS_DOT = 2;
inline constexpr std::int32_t PS_DASHDOT = 3;
inline constexpr std::int32_t PS_DASHDOTDOT = 4;
inline constexpr std::int32_t PS_NULL = 5;

void SetRect(RECT& rect, std::int32_t left, std::int32_t top, std::int32_t right,
             std::int32_t bottom);

// A BGR colour (&H00BBGGRR) as Qt's colour; the top byte is ignored.
std::uint32_t BgrToRgb(std::int32_t bgr);

// Fills the rectangle including its right and bottom edge.
void FillBox(QPainter& dc, const RECT& rect, std::int32_t color);

// The 1-pixel outline along the rectangle's four edges, corners included.
void DrawBox(QPainter& dc, const RECT& rect, std::int32_t color);

// A line of width 1 from (x1, y1) up to, not including, (x2, y2).
void DrawLine(QPainter& dc, std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2,
              std::int32_t color, std::int32_t penStyle);

// A gradient from colorA to colorB across the rectangle (right and bottom
// included): 1-pixel lines when step is 1, else bands of `step` pixels, the
// last of which may reach beyond the rectangle by up to step - 1 pixels.
void FillGradient(QPainter& dc, std::int32_t colorA, std::int32_t colorB, const RECT& rect,
                  bool horizontal, std::int32_t step);

}  // namespace scanner
