// SPDX-License-Identifier: MIT
// The grid's geometry in FG1's pixels: host n sits in row n / 16, column
// n % 16, each cell 27 by 20 pixels after a 5-pixel margin. Neighbouring
// cells share their border line. The window draws and hit-tests with these;
// the tests measure with them.
#pragma once

#include <cmath>

namespace scanner {

inline constexpr int kGridColumns = 16;
inline constexpr int kGridRows = 16;
inline constexpr int kCellWidth = 27;
inline constexpr int kCellHeight = 20;
inline constexpr int kGridMargin = 5;

// Host n's cell, right and bottom edges included (they are its border).
struct Cell {
    int left, top, right, bottom;
};

constexpr Cell CellOf(int n) {
    const int row = n / kGridColumns, col = n % kGridColumns;
    const int left = kCellWidth * col + kGridMargin, top = kCellHeight * row + kGridMargin;
    return {left, top, left + kCellWidth, top + kCellHeight};
}

// The host number whose cell holds FG1's point (x, y), the shared line
// belonging to the cell right of or below it; -1 outside the 16 x 16 table.
// The place of host 0 gives 0.
inline int HostAt(double x, double y) {
    const double col = std::floor((x - kGridMargin) / kCellWidth);
    const double row = std::floor((y - kGridMargin) / kCellHeight);
    if (col < 0 || col >= kGridColumns || row < 0 || row >= kGridRows) return -1;
    return static_cast<int>(col + kGridColumns * row);
}

// The legs, in pixels, of the triangles that mark a cell's corner (changes
// top right, hosts seen by ARP only bottom left), inside its border and
// clear of a centred three-digit number.
inline constexpr int kMarkSize = 6;

}  // namespace scanner
