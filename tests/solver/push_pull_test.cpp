#include "solver/push_pull.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "job/tolvek_stage.h"
#include "solver/tolvek_fill_strip.h"

namespace pelvane {
namespace {

TEST(PushPullFill, FillsOnlyTheGapsWithinTheSpanOfTheirSurroundings)
{
    // A ramp along x with a stripe three rows high and a hole at the border.
    const int width = 37, rows = 23;
    std::vector<double> values(width * rows);
    std::vector<unsigned char> gaps(width * rows, 0);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < width; ++x) {
            values[x + width * y] = 10.0 + 2.0 * x;
            if ((y >= 9 && y < 12) || (x < 4 && y < 5)) gaps[x + width * y] = 1;
        }
    std::vector<double> filled = values;
    for (std::size_t i = 0; i < gaps.size(); ++i)
        if (gaps[i]) filled[i] = -7.0;  // whatever stood there
    push_pull_fill(filled.data(), gaps.data(), width, rows);

    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t i = x + width * y;
            if (!gaps[i]) {
                EXPECT_EQ(filled[i], values[i]);
                continue;
            }
            // Inside the band's span, and near the ramp the stripe cut.
            EXPECT_GE(filled[i], 10.0);
            EXPECT_LE(filled[i], 10.0 + 2.0 * (width - 1));
            if (y >= 9 && y < 12 && x > 2 && x < width - 3) {
                EXPECT_NEAR(filled[i], values[i], 3.0) << x << "," << y;
            }
        }
}

TEST(PushPullFill, EdgeCases)
{
    // One valid pixel: every gap takes its value.
    std::vector<double> one(5 * 4, 0.0);
    std::vector<unsigned char> gaps(5 * 4, 1);
    one[7] = 42.0;
    gaps[7] = 0;
    push_pull_fill(one.data(), gaps.data(), 5, 4);
    for (double v : one) EXPECT_DOUBLE_EQ(v, 42.0);

    // No valid pixel: nothing to interpolate, nothing changes.
    std::vector<double> none(3 * 3, 2.0);
    std::vector<unsigned char> all(3 * 3, 1);
    push_pull_fill(none.data(), all.data(), 3, 3);
    for (double v : none) EXPECT_EQ(v, 2.0);

    // One row, one column.
    std::vector<double> row = {1.0, 0.0, 0.0, 4.0};
    std::vector<unsigned char> row_gaps = {0, 1, 1, 0};
    push_pull_fill(row.data(), row_gaps.data(), 4, 1);
    EXPECT_GT(row[1], 1.0);
    EXPECT_LT(row[2], 4.0);
    push_pull_fill(row.data(), row_gaps.data(), 1, 4);
    EXPECT_EQ(row[0], 1.0);
}

TEST(PushPullFill, SmartStartConvergesSoonerToTheSameKindOfFill)
{
    // A smooth band with a wide stripe: started from the interpolation the
    // solver needs far fewer iterations, and ends near the fill it reaches
    // when run to a much finer tolerance.
    const int width = 64, rows = 40;
    std::vector<double> band(width * rows);
    std::vector<unsigned char> gaps(width * rows, 0);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < width; ++x) {
            band[x + width * y] = 100.0 + 40.0 * std::sin(0.1 * x) + 0.5 * y;
            gaps[x + width * y] = y >= 15 && y < 25;
        }
    struct Count {
        int last = 0;
    };
    auto run = [&](bool smart, double tolerance, int* iterations) {
        std::vector<double> u = band, scratch(band.size()), original(band.size()),
                            weights(band.size());
        make_gap_weights(gaps.data(), gaps.size(), 1000.0, weights.data());
        TolvekParams params = tolvek_params(JobSettings{}, RunOptions{});
        params.smart_start = smart;
        params.tolerance = tolerance;
        params.max_iterations = 5000;
        Count count;
        params.progress_user_data = &count;
        params.progress = [](int, int iteration, double, const double*, int, int, int,
                             void* user) {
            static_cast<Count*>(user)->last = iteration;
            return 1;
        };
        EXPECT_TRUE(tolvek_fill_band(u.data(), scratch.data(), original.data(), gaps.data(),
                                     weights.data(), width, rows, params));
        *iterations = count.last;
        return u;
    };
    int plain_iterations = 0, smart_iterations = 0, converged_iterations = 0;
    run(false, 0.001, &plain_iterations);
    const std::vector<double> smart = run(true, 0.001, &smart_iterations);
    const std::vector<double> converged = run(false, 1e-7, &converged_iterations);
    EXPECT_LT(2 * smart_iterations, plain_iterations);
    double squares = 0.0;
    int count = 0;
    for (std::size_t i = 0; i < band.size(); ++i) {
        if (!gaps[i]) {
            EXPECT_EQ(smart[i], band[i]);
            continue;
        }
        squares += (smart[i] - converged[i]) * (smart[i] - converged[i]);
        ++count;
    }
    // Within 2 % of the band's span (80) of the fully converged fill.
    EXPECT_LT(std::sqrt(squares / count), 1.6);
}

}  // namespace
}  // namespace pelvane
