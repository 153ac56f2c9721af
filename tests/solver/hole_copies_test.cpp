#include "solver/hole_copies.h"
#include "solver/pixel_groups.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
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

// The 8-connected groups of a mask drawn as rows of '#' (set) and '.', each
// group named by the group number of its pixels, in raster order of first
// pixel: diagonal neighbours join, the strip's edges do not wrap.
TEST(PixelGroups, EightConnectedInRasterOrder)
{
    struct Case {
        const char* what;
        std::vector<std::string> mask, groups;
    };
    const std::vector<Case> cases = {
        {"empty", {"....", "...."}, {"....", "...."}},
        {"diagonal joins", {"#...", ".#..", "..#."}, {"0...", ".0..", "..0."}},
        {"apart by one column", {"#.#", "#.#"}, {"0.1", "0.1"}},
        {"no wrap at the edge", {"...#", "#..."}, {"...0", "1..."}},
        {"U: first pixel decides", {"#..#", "#..#", "####"}, {"0..0", "0..0", "0000"}},
        {"later group starts higher right", {"..#.", "#...", "#..."}, {"..0.", "1...", "1..."}},
    };
    for (const Case& c : cases) {
        const int rows = static_cast<int>(c.mask.size()), width = static_cast<int>(c.mask[0].size());
        std::vector<unsigned char> mask;
        for (const std::string& row : c.mask)
            for (char ch : row) mask.push_back(ch == '#');
        std::vector<std::string> got(c.mask.size(), std::string(width, '.'));
        int count = 0;
        std::size_t seen = 0;
        for_each_pixel_group(mask.data(), width, rows, [&](const std::vector<std::size_t>& group) {
            for (std::size_t q : group) got[q / width][q % width] = static_cast<char>('0' + count);
            ++count, seen += group.size();
        });
        EXPECT_EQ(got, c.groups) << c.what;
        EXPECT_EQ(seen, static_cast<std::size_t>(std::count(mask.begin(), mask.end(), 1))) << c.what;
    }
}

// Groups cut into squares of a side from their bounding box's top left
// corner, numbered row after row, squares a group does not reach counted.
TEST(PixelGroups, PiecesOfASideFromEachGroupsCorner)
{
    for (const auto& [mask, want, count] : {std::tuple{"#####.....#....", "00112.....3....", 4},
                                            {"#.....#.....#..", "0.....0.....3..", 4}}) {
        std::vector<unsigned char> set;
        for (const char* ch = mask; *ch != 0; ++ch) set.push_back(*ch == '#');
        std::vector<int> label(set.size());
        EXPECT_EQ(label_group_pieces(set.data(), 5, 3, 2, label.data()), count) << want;
        std::string got;
        for (const int l : label) got += l < 0 ? '.' : static_cast<char>('0' + l);
        EXPECT_EQ(got, want);
    }
}

}  // namespace
}  // namespace pelvane
