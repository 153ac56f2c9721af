#pragma once

#include <algorithm>
#include <cstddef>

namespace pelvane {

// Visits, row by row from the top and each row from left to right, every
// position of the square of half-width `half` centred on (row, col) that lies
// outside the square of half-width `inner`; with inner = 0 only the centre is
// left out. Positions outside the rows x width strip are skipped, so squares
// near the strip's edges are truncated, never wrapped.
// visit(q, dr, dc) receives the position's index and its offsets.
template <class Visit>
inline void scan_ring(int row, int col, int half, int inner, int rows, int width, Visit&& visit)
{
    const int r0 = std::max(row - half, 0);
    const int r1 = std::min(row + half, rows - 1);
    const int c0 = std::max(col - half, 0);
    const int c1 = std::min(col + half, width - 1);
    for (int r = r0; r <= r1; ++r) {
        const int dr = r - row;
        const std::size_t line = static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
        if (dr < -inner || dr > inner) {
            for (int c = c0; c <= c1; ++c)
                visit(line + static_cast<std::size_t>(c), dr, c - col);
        } else {
            // A row that crosses the inner square: its two outer pieces.
            const int left_end = std::min(col - inner - 1, c1);
            for (int c = c0; c <= left_end; ++c)
                visit(line + static_cast<std::size_t>(c), dr, c - col);
            const int right_start = std::max(col + inner + 1, c0);
            for (int c = right_start; c <= c1; ++c)
                visit(line + static_cast<std::size_t>(c), dr, c - col);
        }
    }
}

}  // namespace pelvane
