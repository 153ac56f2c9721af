#include "solver/hole_copies.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace pelvane {
namespace {

TEST(HoleCopies, FirstFreeShiftKeepsShapeAndDistance)
{
    // 12 x 16: an L of three pixels at rows 2-3, columns 2-3 (h = w = 2) and a
    // single pixel at (10, 13). Its first shift, 5 columns right, is no site:
    // 5 columns left leaves the strip, so it goes 5 rows down.
    const int width = 16, rows = 12;
    std::vector<unsigned char> holes(width * rows, 0), sites(width * rows, 1), copies(width * rows);
    for (int p : {2 * width + 2, 2 * width + 3, 3 * width + 2, 10 * width + 13}) holes[p] = 1, sites[p] = 0;
    sites[2 * width + 7] = 0;
    EXPECT_EQ(place_hole_copies(holes.data(), sites.data(), width, rows, 100, copies.data()), 4u);
    std::set<int> marked;
    for (int p = 0; p < width * rows; ++p)
        if (copies[p]) marked.insert(p);
    // The single pixel: 4 right leaves the strip, 4 left is free.
    EXPECT_EQ(marked, (std::set<int>{7 * width + 2, 7 * width + 3, 8 * width + 2, 10 * width + 9}));
    // Within a budget of 2 pixels, the L (3 pixels, 3/4 of the holes) does not fit; the single one does.
    EXPECT_EQ(place_hole_copies(holes.data(), sites.data(), width, rows, 2, copies.data()), 1u);
    EXPECT_EQ(copies[10 * width + 9], 1);
}

TEST(HoleCopies, RandomHolesGetCopiesOnSitesAwayFromTheHoles)
{
    const int width = 70, rows = 50;
    std::mt19937 rng(7);
    std::vector<unsigned char> holes(width * rows, 0), sites(width * rows), copies(width * rows);
    for (int k = 0; k < 25; ++k) {  // blobs of 1 to 3 x 1 to 6 pixels
        const int y = rng() % rows, x = rng() % width, h = 1 + rng() % 3, w = 1 + rng() % 6;
        for (int yy = y; yy < std::min(y + h, rows); ++yy)
            for (int xx = x; xx < std::min(x + w, width); ++xx) holes[yy * width + xx] = 1;
    }
    for (int p = 0; p < width * rows; ++p) sites[p] = !holes[p] && rng() % 20 != 0;
    const std::size_t placed = place_hole_copies(holes.data(), sites.data(), width, rows, 1000, copies.data());
    EXPECT_GT(placed, 40u);
    std::size_t count = 0;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < width; ++x) {
            if (!copies[y * width + x]) continue;
            ++count;
            EXPECT_TRUE(sites[y * width + x]);
            for (int yy = std::max(y - 1, 0); yy <= std::min(y + 1, rows - 1); ++yy)
                for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, width - 1); ++xx)
                    EXPECT_FALSE(holes[yy * width + xx]) << x << "," << y;
        }
    EXPECT_EQ(count, placed);
}

}  // namespace
}  // namespace pelvane
