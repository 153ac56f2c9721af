#include <gtest/gtest.h>

#include <vector>

#include "job/strip_plan.h"

namespace pelvane {
namespace {

struct Rows {
    int window_first, window_last, interior_first, interior_last, interior_offset;
};

void expect_strip(const StripPlan& plan, int v, const Rows& want)
{
    const Strip s = plan_strip(plan, v);
    SCOPED_TRACE("strip " + std::to_string(v));
    EXPECT_EQ(s.window_first_row, want.window_first);
    EXPECT_EQ(s.window_first_row + s.window_rows - 1, want.window_last);
    EXPECT_EQ(s.interior_first_row, want.interior_first);
    EXPECT_EQ(s.interior_first_row + s.interior_rows - 1, want.interior_last);
    EXPECT_EQ(s.interior_offset, want.interior_offset);
}

TEST(StripPlan, SixBandByteSceneOf8000By7000)
{
    const StripPlan plan = plan_strips(8000, 7000, 6, 8);
    EXPECT_EQ(plan.rows_per_strip, 234);
    EXPECT_EQ(plan.strip_count, 30);
    expect_strip(plan, 0, {0, 283, 0, 233, 0});
    expect_strip(plan, 1, {184, 517, 234, 467, 50});
    expect_strip(plan, 2, {418, 751, 468, 701, 50});
    expect_strip(plan, 28, {6502, 6835, 6552, 6785, 50});
    expect_strip(plan, 29, {6736, 6999, 6786, 6999, 50});
    EXPECT_EQ(plan_strip(plan, 1).window_rows, 334);
    EXPECT_EQ(plan_strip(plan, 29).window_rows, 264);
}

TEST(StripPlan, SameSceneIn16BitSamples)
{
    const StripPlan plan = plan_strips(8000, 7000, 6, 16);
    EXPECT_EQ(plan.rows_per_strip, 117);
    EXPECT_EQ(plan.strip_count, 60);
}

TEST(StripPlan, LastStripsWhenFewerThanAFullStripRemain)
{
    // A budget of exactly 240 rows of the 8000 x 6 Byte scene.
    const StripPlan plan = plan_strips(8000, 7000, 6, 8, 240LL * 384000);
    ASSERT_EQ(plan.rows_per_strip, 240);
    ASSERT_EQ(plan.strip_count, 30);
    // Strip 28 would leave 40 rows to the last strip: it reads to the bottom.
    expect_strip(plan, 28, {6670, 6999, 6720, 6959, 50});
    expect_strip(plan, 29, {6910, 6999, 6960, 6999, 50});
}

TEST(StripPlan, FewerRowsPerStripThanTheOverlap)
{
    // Float32, 10 bands, width 8000: 35 rows per strip.
    const StripPlan plan = plan_strips(8000, 7000, 10, 32);
    ASSERT_EQ(plan.rows_per_strip, 35);
    expect_strip(plan, 0, {0, 84, 0, 34, 0});
    // The window's top is clipped at row 0; it still spans R + 100 rows.
    expect_strip(plan, 1, {0, 134, 35, 69, 35});
    expect_strip(plan, 2, {20, 154, 70, 104, 50});
}

TEST(StripPlan, WindowNeverRunsPastTheBottom)
{
    // 8000 x 250 x 6 Byte: two strips; strip 0's formula would name 300 rows.
    const StripPlan plan = plan_strips(8000, 250, 6, 8);
    ASSERT_EQ(plan.rows_per_strip, 234);
    ASSERT_EQ(plan.strip_count, 2);
    expect_strip(plan, 0, {0, 249, 0, 233, 0});
    expect_strip(plan, 1, {184, 249, 234, 249, 50});

    // A last strip whose window is clipped at the top as well.
    const StripPlan narrow = plan_strips(8000, 60, 10, 32);
    ASSERT_EQ(narrow.strip_count, 2);
    expect_strip(narrow, 1, {0, 59, 35, 59, 35});
}

TEST(StripPlan, ImageWithinOneStripIsReadWhole)
{
    const StripPlan plan = plan_strips(349, 352, 6, 8);
    EXPECT_EQ(plan.rows_per_strip, 352);
    ASSERT_EQ(plan.strip_count, 1);
    expect_strip(plan, 0, {0, 351, 0, 351, 0});
}

TEST(StripPlan, LastStripOfOneRow)
{
    const StripPlan plan = plan_strips(8000, 3 * 234 + 1, 6, 8);
    ASSERT_EQ(plan.strip_count, 4);
    const Strip last = plan_strip(plan, 3);
    EXPECT_EQ(last.window_rows, 51);
    EXPECT_EQ(last.interior_rows, 1);
    EXPECT_EQ(last.interior_first_row, 702);
    EXPECT_EQ(last.interior_offset, 50);
}

TEST(StripPlan, RowOverTheBudgetGetsOneRowPerStrip)
{
    // 64-bit samples, 200 bands, 8000 columns: one row is 102,400,000 bits.
    const StripPlan plan = plan_strips(8000, 120, 200, 64);
    EXPECT_EQ(plan.rows_per_strip, 1);
    EXPECT_EQ(plan.strip_count, 120);
    expect_strip(plan, 0, {0, 50, 0, 0, 0});
    expect_strip(plan, 60, {10, 110, 60, 60, 50});
    expect_strip(plan, 119, {69, 119, 119, 119, 50});
}

TEST(StripPlan, EveryRowBelongsToExactlyOneInteriorInsideItsWindow)
{
    const int heights[] = {1, 2, 49, 50, 51, 99, 100, 101, 149, 150, 151, 250, 701, 702, 703, 1000};
    const long long budgets[] = {1, 8 * 10, 8 * 35, 8 * 50, 8 * 51, 8 * 100, 8 * 234, 8 * 5000};
    for (int height : heights) {
        for (long long budget : budgets) {
            // Width 1, one Byte band: the budget divided by 8 is the strip height.
            const StripPlan plan = plan_strips(1, height, 1, 8, budget);
            SCOPED_TRACE("height " + std::to_string(height) + " budget " + std::to_string(budget));
            ASSERT_GE(plan.rows_per_strip, 1);
            std::vector<int> owners(static_cast<std::size_t>(height), 0);
            for (int v = 0; v < plan.strip_count; ++v) {
                const Strip s = plan_strip(plan, v);
                ASSERT_GE(s.window_first_row, 0);
                ASSERT_LE(s.window_first_row + s.window_rows, height);
                ASSERT_EQ(s.interior_offset, s.interior_first_row - s.window_first_row);
                ASSERT_GE(s.interior_offset, 0);
                ASSERT_LE(s.interior_offset + s.interior_rows, s.window_rows);
                ASSERT_GE(s.interior_rows, 1);
                // Context above the interior: all of it up to 50 rows.
                ASSERT_EQ(s.interior_offset, std::min(s.interior_first_row, OVERLAP_ROWS));
                for (int r = 0; r < s.interior_rows; ++r)
                    ++owners[static_cast<std::size_t>(s.interior_first_row + r)];
            }
            for (int row = 0; row < height; ++row)
                ASSERT_EQ(owners[static_cast<std::size_t>(row)], 1) << "row " << row;
        }
    }
}

}  // namespace
}  // namespace pelvane
