#include "solver/hole_copies.h"

#include <algorithm>
#include <vector>

#include "solver/pixel_groups.h"

namespace pelvane {

namespace {

// Marks the pixel and its 8 neighbours that lie inside the strip.
void block_around(std::vector<unsigned char>& blocked, int y, int x, int width, int rows)
{
    for (int yy = std::max(y - 1, 0); yy <= std::min(y + 1, rows - 1); ++yy)
        for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, width - 1); ++xx)
            blocked[static_cast<std::size_t>(yy) * width + xx] = 1;
}

}  // namespace

std::size_t place_hole_copies(const unsigned char* holes, const unsigned char* sites, int width,
                              int rows, std::size_t max_pixels, unsigned char* copies)
{
    if (width < 1 || rows < 1) return 0;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(rows);
    std::fill(copies, copies + pixels, 0);
    std::size_t total = 0;
    std::vector<unsigned char> blocked(pixels, 0);
    for (std::size_t p = 0; p < pixels; ++p)
        if (holes[p] != 0) {
            ++total;
            block_around(blocked, static_cast<int>(p / width), static_cast<int>(p % width), width, rows);
        }

    constexpr int SIDES[8][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
    std::size_t seen = 0, placed = 0;
    for_each_pixel_group(holes, width, rows, [&](const std::vector<std::size_t>& hole) {
        // The hole's bounding box.
        int top = rows, bottom = -1, left = width, right = -1;
        for (const std::size_t q : hole) {
            const int y = static_cast<int>(q / width), x = static_cast<int>(q % width);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
            left = std::min(left, x);
            right = std::max(right, x);
        }
        seen += hole.size();
        if (static_cast<double>(placed + hole.size()) >
            static_cast<double>(max_pixels) * static_cast<double>(seen) / static_cast<double>(total))
            return;

        const int h = bottom - top + 1, w = right - left + 1;
        bool done = false;
        for (int m = 1; m <= 3 && !done; ++m)
            for (const auto& side : SIDES) {
                const int dy = m * side[0] * (h + 3), dx = m * side[1] * (w + 3);
                if (top + dy < 0 || bottom + dy >= rows || left + dx < 0 || right + dx >= width)
                    continue;
                const std::ptrdiff_t shift = static_cast<std::ptrdiff_t>(dy) * width + dx;
                const bool fits = std::all_of(hole.begin(), hole.end(), [&](std::size_t q) {
                    const std::size_t r = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(q) + shift);
                    return sites[r] != 0 && blocked[r] == 0;
                });
                if (!fits) continue;
                for (std::size_t q : hole) {
                    const std::size_t r = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(q) + shift);
                    copies[r] = 1;
                    block_around(blocked, static_cast<int>(r / width), static_cast<int>(r % width), width, rows);
                }
                placed += hole.size();
                done = true;
                break;
            }
    });
    return placed;
}

}  // namespace pelvane
