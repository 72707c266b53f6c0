// The grid's geometry in FG1's pixels: host n sits in row n / 16, column
// n % 16, each cell 27 by 20 pixels after a 5-pixel margin. Neighbouring
// cells share their border line. The window draws and hit-tests with these;
// the tests measure with them.
#pragma once

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

}  // namespace scanner
