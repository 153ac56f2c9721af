#include "demo/stripe_model.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "demo/demo_scene.h"

namespace pelvane {
namespace {

double stripe_fraction(const StripeModel& model, int width, int height)
{
    std::vector<std::uint8_t> mask(static_cast<size_t>(width) * height);
    long long count = stamp_stripes(model, width, height, mask.data());
    long long marked = 0;
    for (std::uint8_t m : mask)
        marked += m;
    EXPECT_EQ(count, marked);
    return static_cast<double>(count) / static_cast<double>(mask.size());
}

TEST(StripeModel, GapFractionIsNearTheMeanWidthOverThePeriod)
{
    const DemoSceneParams demo;
    for (const StripeModel& model : {demo.target_stripes, demo.fill_stripes, StripeModel{20.0, 3.0, 1.0, 3.0, 0.1}}) {
        EXPECT_NEAR(expected_gap_fraction(model), 0.5 * (model.min_width + model.max_width) / model.period, 1e-12);
        // The demo image's size, and a larger one where rounding matters less.
        EXPECT_NEAR(stripe_fraction(model, 349, 352), expected_gap_fraction(model), 0.01);
        EXPECT_NEAR(stripe_fraction(model, 1200, 1100), expected_gap_fraction(model), 0.003);
    }
}

TEST(StripeModel, StripesWidenFromTheLeftEdgeToTheRightEdge)
{
    const StripeModel model{30.0, 4.0, 2.0, 14.0, 0.03};
    const int width = 300, height = 600;
    auto column_count = [&](int col) {
        int count = 0;
        for (int row = 0; row < height; ++row)
            count += in_stripe(model, row, col, width) ? 1 : 0;
        return count;
    };
    // Each of the ~20 stripes crossing a column may gain or lose one pixel
    // to rounding.
    const double slack = height / model.period + 1.0;
    EXPECT_NEAR(column_count(0), height * stripe_width_at(model, 0.5, width) / model.period, slack);
    EXPECT_NEAR(column_count(width - 1), height * stripe_width_at(model, width - 0.5, width) / model.period, slack);
    EXPECT_LT(column_count(0) * 3, column_count(width - 1));
    EXPECT_DOUBLE_EQ(stripe_width_at(model, 0.0, width), model.min_width);
    EXPECT_DOUBLE_EQ(stripe_width_at(model, width, width), model.max_width);
}

TEST(StripeModel, CentreLinesDescendWithTheTilt)
{
    const StripeModel model{25.0, 5.0, 3.0, 3.0, 0.05};
    const int width = 400;
    for (int col = 0; col < width; ++col) {
        double centre = model.phase + model.tilt * (col + 0.5) + model.period * 2.0;
        int row = static_cast<int>(std::floor(centre));  // the pixel whose centre is nearest the line
        EXPECT_TRUE(in_stripe(model, row, col, width)) << "column " << col;
        // Half a period away lies the middle of the valid band between stripes.
        int between = static_cast<int>(std::floor(centre + 0.5 * model.period));
        EXPECT_FALSE(in_stripe(model, between, col, width)) << "column " << col;
    }
    // Over the image the line drops by tilt * width = 20 rows: far past the
    // stripe's own width, so an untilted stripe would be caught here.
    EXPECT_FALSE(in_stripe(model, static_cast<int>(model.phase), width - 1, width));
}

}  // namespace
}  // namespace pelvane
