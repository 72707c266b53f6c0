// SPDX-License-Identifier: MIT
// What the three windows share from their design: positions in twips, colours
// as BGR numbers (&H00BBGGRR), and the window colour they are painted in.
#pragma once

#include <QColor>
#include <QRect>
#include <cstdint>

namespace windows {

// The windows' background, light blue (RGB 192, 192, 255).
inline constexpr std::int32_t kColorWindow = 0x00FFC0C0;

// Design values are twips; a twip is 1/15 of a pixel at 96 dpi.
inline QRect Twips(int left, int top, int width, int height) {
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

// A BGR colour as Qt takes it.
inline QColor Bgr(std::int32_t bgr) {
    const auto v = static_cast<std::uint32_t>(bgr);
    return QColor(static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
                  static_cast<int>((v >> 16) & 0xFF));
}

}  // namespace windows
