#pragma once

#include <cstddef>

namespace pelvane {

// Weighted sums shared by both regressions. Every sum starts at 0.0 and runs
// in candidate order, so the bits do not depend on who calls.

struct WeightedMeans {
    double x;
    double y;
};

// Weighted means of x and y. With a vanishing weight sum (at most 1e-6) the
// sums are not divided and stand as the means.
inline WeightedMeans weighted_means(const double* w, const double* x, const double* y,
                                    std::size_t n)
{
    double sw = 0.0, sx = 0.0, sy = 0.0;
    for (std::size_t m = 0; m < n; ++m) {
        sw += w[m];
        sx += w[m] * x[m];
        sy += w[m] * y[m];
    }
    if (sw > 1e-6) return {sx / sw, sy / sw};
    return {sx, sy};
}

struct WeightedSpread {
    double sxx;  // sum of w (x - mean_x)^2
    double sxy;  // sum of w (x - mean_x)(y - mean_y)
};

inline WeightedSpread weighted_spread(const double* w, const double* x, const double* y,
                                      std::size_t n, WeightedMeans mean)
{
    double sxx = 0.0, sxy = 0.0;
    for (std::size_t m = 0; m < n; ++m) {
        const double dx = x[m] - mean.x;
        sxx += w[m] * (dx * dx);
        sxy += (w[m] * dx) * (y[m] - mean.y);
    }
    return {sxx, sxy};
}

}  // namespace pelvane
