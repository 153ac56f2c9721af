#include "job/strip_plan.h"

#include <algorithm>
#include <cmath>

namespace pelvane {

StripPlan plan_strips(int width, int height, int band_count, int sample_bits, long long budget)
{
    StripPlan plan;
    plan.height = height;
    if (height <= 0)
        return plan;

    const long long row_bits = static_cast<long long>(sample_bits) * band_count * width;
    long long rows = row_bits > 0 ? budget / row_bits : height;
    // A row wider than the whole budget still has to be processed: one row per strip.
    if (rows < 1)
        rows = 1;
    if (rows > height)
        rows = height;
    plan.rows_per_strip = static_cast<int>(rows);
    plan.strip_count = static_cast<int>(std::ceil(static_cast<double>(height) / plan.rows_per_strip));
    return plan;
}

Strip plan_strip(const StripPlan& plan, int v)
{
    const int H = plan.height;
    const int R = plan.rows_per_strip;
    const int N = plan.strip_count;

    Strip s;
    s.interior_first_row = v * R;
    s.interior_rows = (v == N - 1) ? H - v * R : R;
    s.window_first_row = std::max(0, v * R - OVERLAP_ROWS);

    if (N == 1) {
        s.window_rows = H;
    } else if (v == N - 1) {
        s.window_rows = H - v * R + OVERLAP_ROWS;
    } else {
        s.window_rows = (v == 0) ? R + OVERLAP_ROWS : R + 2 * OVERLAP_ROWS;
        // Too few rows left for another full strip below: read to the bottom.
        if (H - v * R - OVERLAP_ROWS < R)
            s.window_rows = H - v * R + OVERLAP_ROWS;
    }
    // A window clipped at the top must not make up for it past the bottom.
    s.window_rows = std::min(s.window_rows, H - s.window_first_row);

    s.interior_offset = s.interior_first_row - s.window_first_row;
    return s;
}

}  // namespace pelvane
