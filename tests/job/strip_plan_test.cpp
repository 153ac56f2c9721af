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

struct PlanCase {
    const char* scene;
    int width, height, bands, bits;
    long long budget;
    int rows_per_strip, strip_count;
    std::vector<std::pair<int, Rows>> strips;  // strip number, its rows
};

TEST(StripPlan, ScenesAndTheirStrips)
{
    const PlanCase cases[] = {
        {"six Byte bands of 8000 x 7000", 8000, 7000, 6, 8, STRIP_BUDGET, 234, 30,
         {{0, {0, 283, 0, 233, 0}}, {1, {184, 517, 234, 467, 50}}, {2, {418, 751, 468, 701, 50}},
          {28, {6502, 6835, 6552, 6785, 50}}, {29, {6736, 6999, 6786, 6999, 50}}}},
        {"the same scene in 16-bit samples", 8000, 7000, 6, 16, STRIP_BUDGET, 117, 60, {}},
        // Strip 28 would leave 40 rows to the last strip: it reads to the bottom.
        {"a budget of exactly 240 rows", 8000, 7000, 6, 8, 240LL * 384000, 240, 30,
         {{28, {6670, 6999, 6720, 6959, 50}}, {29, {6910, 6999, 6960, 6999, 50}}}},
        // Strip 1's window is clipped at row 0; it still spans R + 100 rows.
        {"fewer rows per strip than the overlap (10 Float32 bands)", 8000, 7000, 10, 32, STRIP_BUDGET, 35,
         200, {{0, {0, 84, 0, 34, 0}}, {1, {0, 134, 35, 69, 35}}, {2, {20, 154, 70, 104, 50}}}},
        {"two strips; strip 0's formula would name 300 rows", 8000, 250, 6, 8, STRIP_BUDGET, 234, 2,
         {{0, {0, 249, 0, 233, 0}}, {1, {184, 249, 234, 249, 50}}}},
        {"a last window clipped at the top and the bottom", 8000, 60, 10, 32, STRIP_BUDGET, 35, 2,
         {{1, {0, 59, 35, 59, 35}}}},
        {"an image within one strip is read whole", 349, 352, 6, 8, STRIP_BUDGET, 352, 1,
         {{0, {0, 351, 0, 351, 0}}}},
        {"a last strip of one row", 8000, 3 * 234 + 1, 6, 8, STRIP_BUDGET, 234, 4,
         {{3, {652, 702, 702, 702, 50}}}},
        {"a row over the budget (200 bands of 64 bits) gets one row per strip", 8000, 120, 200, 64,
         STRIP_BUDGET, 1, 120, {{0, {0, 50, 0, 0, 0}}, {60, {10, 110, 60, 60, 50}}, {119, {69, 119, 119, 119, 50}}}},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.scene);
        const StripPlan plan = plan_strips(c.width, c.height, c.bands, c.bits, c.budget);
        EXPECT_EQ(plan.rows_per_strip, c.rows_per_strip);
        EXPECT_EQ(plan.strip_count, c.strip_count);
        for (const auto& [v, rows] : c.strips) expect_strip(plan, v, rows);
    }
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
