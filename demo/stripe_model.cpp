#include "demo/stripe_model.h"

#include <cmath>

namespace pelvane {

double stripe_width_at(const StripeModel& model, double x, int width)
{
    return model.min_width + (model.max_width - model.min_width) * (x / width);
}

bool in_stripe(const StripeModel& model, int row, int col, int width)
{
    double x = col + 0.5;
    double y = row + 0.5;
    double offset = y - (model.phase + model.tilt * x);
    // Signed distance to the nearest centre line.
    double distance = offset - model.period * std::floor(offset / model.period + 0.5);
    return std::fabs(distance) < 0.5 * stripe_width_at(model, x, width);
}

double expected_gap_fraction(const StripeModel& model)
{
    return 0.5 * (model.min_width + model.max_width) / model.period;
}

long long stamp_stripes(const StripeModel& model, int width, int height, std::uint8_t* mask)
{
    long long count = 0;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            bool gap = in_stripe(model, row, col, width);
            mask[static_cast<long long>(row) * width + col] = gap ? 1 : 0;
            count += gap ? 1 : 0;
        }
    }
    return count;
}

}  // namespace pelvane
