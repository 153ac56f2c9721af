#include "solver/hole_copies.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace pelvane {
namespace {

TEST(HoleCopies, FirstFreeShiftWithinTheBudget)
{
    // 12 x 16: an L of three pixels at rows 2-3, columns 2-3 (h = w = 2), and
    // a single pixel at row 10, column 13. The L's first shift, 5 columns
    // right, is no site and 5 columns left leaves the strip: 5 rows down.
    // The single pixel: 4 right leaves the strip, 4 left is free.
    const int width = 16, rows = 12;
    std::vector<unsigned char> holes(width * rows, 0), sites(width * rows, 1), copies(width * rows);
    for (int p : {2 * width + 2, 2 * width + 3, 3 * width + 2, 10 * width + 13}) holes[p] = 1, sites[p] = 0;
    sites[2 * width + 7] = 0;
    EXPECT_EQ(place_hole_copies(holes.data(), sites.data(), width, rows, 100, copies.data()), 4u);
    std::set<int> marked;
    for (int p = 0; p < width * rows; ++p)
        if (copies[p]) marked.insert(p);
    EXPECT_EQ(marked, (std::set<int>{7 * width + 2, 7 * width + 3, 8 * width + 2, 10 * width + 9}));
    // Within 2 pixels the L (3 of the 4 hole pixels seen) does not fit; the single one does.
    EXPECT_EQ(place_hole_copies(holes.data(), sites.data(), width, rows, 2, copies.data()), 1u);
    EXPECT_EQ(copies[10 * width + 9], 1);
}

}  // namespace
}  // namespace pelvane
