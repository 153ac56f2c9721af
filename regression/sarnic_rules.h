#pragma once

#include <cmath>
#include <cstddef>

#include "regression/pixel_status.h"
#include "regression/weighted_fit.h"
#include "regression/window_scan.h"

namespace pelvane::sarnic {

// The rules of one pixel's regression that do not depend on how the
// candidates are searched: the window schedule, the spectral tolerance and
// the per-band fit. The fast strip kernel and the plain reference both use
// them, so the two can differ only in the search itself.

constexpr int FIRST_SIDE = 7;
constexpr int MAX_SIDE = 399;             // a search ends when its side grows beyond this
constexpr double TOLERANCE_FLOOR = 0.05;  // fraction of the local mean
constexpr double VANISHING = 1e-6;
constexpr double SLOPE_MIN = 0.6;
constexpr double SLOPE_MAX = 1.5;
constexpr double RANGE_LOW = 0.9;         // regression only for fill values near the candidates'
constexpr double RANGE_HIGH = 1.1;
constexpr int MAX_TOLERANCE_SAMPLES = 32; // the 9 x 9 ring, the largest one sampled
// A candidate's weight is 1 / ((|x - F(p)| + WEIGHT_OFFSET) * distance²): half
// a unit keeps a candidate with exactly the pixel's fill value finite, and
// below a unit of difference every candidate counts about the same.
constexpr double WEIGHT_OFFSET = 0.5;
// The co-valid search's fill range starts empty: its low end above and its
// high end below any sample an image holds, so the first candidate sets both.
constexpr double FILL_RANGE_LOW_START = 1000000.0;
constexpr double FILL_RANGE_HIGH_START = -1000000.0;

// Side growth of the similar search and of the co-valid search.
inline int similar_step(int side)
{
    if (side < 20) return 4;
    if (side < 50) return 8;
    if (side < 100) return 16;
    return 32;
}

inline int covalid_step(int side)
{
    if (side < 20) return 4;
    if (side < 50) return 8;
    return 16;
}

inline bool vanishes(double v) { return v > -VANISHING && v < VANISHING; }

// Spectral tolerance per band from the fill values valid around (row, col):
// the 5 x 5 square without its centre, or, when it holds none, the next ring
// out, then the one after. `samples` is scratch of bands * MAX_TOLERANCE_SAMPLES
// doubles; `tolerance` receives one value per band: the sample deviation,
// at least 5 % of the mean (just that for one sample; 0 for none).
inline void spectral_tolerance(const double* const* fill, const unsigned char* fill_mask,
                               int bands, int rows, int width, int row, int col,
                               double* samples, double* tolerance)
{
    int k = 0;
    auto sample = [&](std::size_t q, int, int) {
        if (fill_mask[q] != 0) return;
        for (int b = 0; b < bands; ++b)
            samples[static_cast<std::size_t>(b) * MAX_TOLERANCE_SAMPLES + k] = fill[b][q];
        ++k;
    };
    scan_ring(row, col, 2, 0, rows, width, sample);
    if (k == 0) scan_ring(row, col, 3, 2, rows, width, sample);
    if (k == 0) scan_ring(row, col, 4, 3, rows, width, sample);

    for (int b = 0; b < bands; ++b) {
        const double* v = &samples[static_cast<std::size_t>(b) * MAX_TOLERANCE_SAMPLES];
        double tol = 0.0;
        if (k > 0) {
            double sum = 0.0;
            for (int i = 0; i < k; ++i) sum += v[i];
            const double mean = sum / k;
            const double floor = TOLERANCE_FLOOR * mean;
            if (k == 1) {
                tol = floor;  // one sample has no spread
            } else {
                double squares = 0.0;
                for (int i = 0; i < k; ++i) squares += (v[i] - mean) * (v[i] - mean);
                tol = std::sqrt(squares / (k - 1));
                if (tol < floor) tol = floor;
            }
        }
        tolerance[b] = tol;
    }
}

// spectral_tolerance with the band count fixed at compile time: the same
// samples in the same order, the same sums term by term, each band's on its
// own lane (samples[i * BANDS + b] here, sample by sample), so the bits are
// the same. The 5 x 5 square of a pixel at least two rows and columns from
// the strip's sides is read without tests: each position written, counted
// only when valid. Same scratch and result as spectral_tolerance.
template <int BANDS>
inline void spectral_tolerance_lanes(const double* const* fill, const unsigned char* fill_mask,
                                     int rows, int width, int row, int col, double* samples,
                                     double* tolerance)
{
    static_assert(BANDS >= 1 && 25 <= MAX_TOLERANCE_SAMPLES);
    const double* f[BANDS];
    _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b) f[b] = fill[b];
    int k = 0;
    auto sample = [&](std::size_t q, int, int) {
        if (fill_mask[q] != 0) return;
        double* const to = samples + static_cast<std::size_t>(k) * BANDS;
        _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b) to[b] = f[b][q];
        ++k;
    };
    if (row >= 2 && row + 2 < rows && col >= 2 && col + 2 < width) {
        const std::size_t w = static_cast<std::size_t>(width);
        const std::size_t first = static_cast<std::size_t>(row - 2) * w + static_cast<std::size_t>(col);
        for (int dr = -2; dr <= 2; ++dr) {
            const std::size_t line = first + static_cast<std::size_t>(dr + 2) * w - 2;
            for (int dc = 0; dc < 5; ++dc) {
                if (dr == 0 && dc == 2) continue;
                const std::size_t q = line + static_cast<std::size_t>(dc);
                double* const to = samples + static_cast<std::size_t>(k) * BANDS;
                _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b) to[b] = f[b][q];
                k += fill_mask[q] == 0;
            }
        }
    } else {
        scan_ring(row, col, 2, 0, rows, width, sample);
    }
    if (k == 0) scan_ring(row, col, 3, 2, rows, width, sample);
    if (k == 0) scan_ring(row, col, 4, 3, rows, width, sample);
    if (k == 0) {
        _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b) tolerance[b] = 0.0;
        return;
    }
    // The sums in registers, the bands' loops unrolled: in arrays kept in
    // memory each term waited for the store of the one before.
    double sum[BANDS] = {}, mean[BANDS], floor[BANDS];
    for (int i = 0; i < k; ++i)
        _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b)
            sum[b] += samples[static_cast<std::size_t>(i) * BANDS + b];
    _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b) {
        mean[b] = sum[b] / k;
        floor[b] = TOLERANCE_FLOOR * mean[b];
    }
    if (k == 1) {
        // One sample has no spread.
        _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b) tolerance[b] = floor[b];
        return;
    }
    double squares[BANDS] = {};
    for (int i = 0; i < k; ++i)
        _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b) {
            const double d = samples[static_cast<std::size_t>(i) * BANDS + b] - mean[b];
            squares[b] += d * d;
        }
    _Pragma("GCC unroll 8") for (int b = 0; b < BANDS; ++b) {
        const double tol = std::sqrt(squares[b] / (k - 1));
        tolerance[b] = tol < floor[b] ? floor[b] : tol;
    }
}

// One band's prediction at a pixel whose own fill value is xc, from the n
// candidates (weights, fill values x, target values y) in the order found.
// After a similar search the fit is a regression; after a co-valid search it
// is a regression when xc lies near the candidates' fill range [fill_min,
// fill_max], else the ratio of the weighted means. Writes the band's status.
inline double fit_band(const double* weight, const double* x, const double* y, std::size_t n,
                       double xc, bool similar_fit, double fill_min, double fill_max,
                       unsigned char& status)
{
    const WeightedMeans mean = weighted_means(weight, x, y, n);
    const double mean_x = mean.x, mean_y = mean.y;

    const bool regression =
        similar_fit || (RANGE_LOW * fill_min <= xc && xc <= RANGE_HIGH * fill_max);
    double slope;
    if (regression) {
        const auto [sxx, sxy] = weighted_spread(weight, x, y, n, mean);
        slope = vanishes(sxx) ? 1.0 : sxy / sxx;
        status = similar_fit ? PIXEL_SIMILAR_FIT : PIXEL_COVALID_FIT;
    } else {
        slope = vanishes(mean_x) ? 1.0 : mean_y / mean_x;
        status = PIXEL_RATIO_FIT;
    }
    if (slope > SLOPE_MAX) slope = SLOPE_MAX;
    if (slope < SLOPE_MIN) slope = SLOPE_MIN;
    const double intercept = mean_y - slope * mean_x;
    return slope * xc + intercept;
}

}  // namespace pelvane::sarnic
