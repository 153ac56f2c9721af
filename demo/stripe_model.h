#pragma once

#include <cstdint>

namespace pelvane {

// Stripes left by a line scanner whose scan-line corrector has failed:
// nearly horizontal wedges whose width grows from the left edge of the image
// to the right edge. Centre lines run at row = phase + tilt * column + k * period
// (pixel-centre coordinates, k any integer); a pixel is in a stripe when its
// centre lies closer than half the local width to a centre line, measured
// along the column.
struct StripeModel {
    double period = 32.0;    // rows between neighbouring centre lines
    double phase = 0.0;      // row of a centre line at the left edge
    double min_width = 2.0;  // stripe width in rows at the left edge
    double max_width = 12.0; // stripe width in rows at the right edge
    double tilt = 0.0;       // rows a centre line descends per column
};

// Width of a stripe at horizontal position x (pixel-centre coordinate,
// 0..width) in an image `width` columns wide.
double stripe_width_at(const StripeModel& model, double x, int width);

// True when pixel (row, col) of an image `width` columns wide is in a stripe.
bool in_stripe(const StripeModel& model, int row, int col, int width);

// Fraction of the image the stripes cover on average: the mean width over
// the period.
double expected_gap_fraction(const StripeModel& model);

// Writes 1 into mask[row * width + col] for every pixel in a stripe and 0
// elsewhere; returns the number of stripe pixels.
long long stamp_stripes(const StripeModel& model, int width, int height, std::uint8_t* mask);

}  // namespace pelvane
