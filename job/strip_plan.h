#pragma once

namespace pelvane {

// Bits of interior rows one strip may hold: sample bits x bands x width x rows.
constexpr long long STRIP_BUDGET = 90000000;

// Rows of context read above and below a strip's interior.
constexpr int OVERLAP_ROWS = 50;

// How an image of `height` rows is cut into horizontal strips. Every strip
// spans the full width.
struct StripPlan {
    int height = 0;
    int rows_per_strip = 0;
    int strip_count = 0;
};

// One strip: the rows it reads (its window) and the rows it owns and writes
// (its interior), in image rows; interior_offset is the interior's first row
// counted from the window's first row.
struct Strip {
    int window_first_row = 0;
    int window_rows = 0;
    int interior_first_row = 0;
    int interior_rows = 0;
    int interior_offset = 0;
};

// Plans the strips of a width x height image of band_count bands of
// sample_bits bits each. An image with no rows gets no strips; a single row
// over the budget still gets one row per strip.
StripPlan plan_strips(int width, int height, int band_count, int sample_bits,
                      long long budget = STRIP_BUDGET);

// Geometry of strip v (0 <= v < plan.strip_count).
Strip plan_strip(const StripPlan& plan, int v);

}  // namespace pelvane
