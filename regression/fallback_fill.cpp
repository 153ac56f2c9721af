#include "regression/fallback_fill.h"

#include <cmath>
#include <cstddef>
#include <vector>

#include "regression/pixel_status.h"
#include "regression/weighted_fit.h"
#include "regression/window_scan.h"

namespace pelvane {
namespace {

constexpr double PRESENT = 1e-6;        // a value above this is present
constexpr double HANDLE_BELOW = 1.0;    // a band is revisited while its value is below this
constexpr double TOLERANCE_MIN = 6.0;
constexpr double TOLERANCE_MAX = 30.0;
constexpr int FIRST_SIDE = 5;
constexpr int LAST_SIDE = 99;
constexpr int WANTED = 30;
constexpr double WEIGHT_OFFSET = 0.5;
constexpr double SLOPE_MIN = 0.2;
constexpr double SLOPE_MAX = 5.0;

// One band of the strip, read and written in place.
struct Band {
    double* filled;
    const double* fill;
    int rows;
    int width;
};

// Positions of the final window that take part in the fit, reused between
// pixels and bands.
struct Collection {
    std::vector<double> y, x, weight;

    void clear()
    {
        y.clear();
        x.clear();
        weight.clear();
    }
};

// Predicts band `band` of the pixel at (row, col) and writes it in place;
// returns false when no fill value is present around the pixel at all.
bool fill_band(const Band& band, int row, int col, Collection& taken)
{
    const std::size_t pos = static_cast<std::size_t>(row) * band.width + col;
    const double xc = band.fill[pos];
    const double* filled = band.filled;
    const double* fill = band.fill;

    // Spread of the fill values in the 5 x 5 square, centre included.
    double samples[25];
    int k = 0;
    for (int r = row - 2; r <= row + 2; ++r) {
        if (r < 0 || r >= band.rows) continue;
        for (int c = col - 2; c <= col + 2; ++c) {
            if (c < 0 || c >= band.width) continue;
            const double v = fill[static_cast<std::size_t>(r) * band.width + c];
            if (v > PRESENT) samples[k++] = v;
        }
    }
    if (k == 0) return false;
    double tolerance = TOLERANCE_MIN;  // one sample has no spread
    if (k > 1) {
        double sum = 0.0;
        for (int i = 0; i < k; ++i) sum += samples[i];
        const double mean = sum / k;
        double squares = 0.0;
        for (int i = 0; i < k; ++i) squares += (samples[i] - mean) * (samples[i] - mean);
        tolerance = std::sqrt(squares / (k - 1));
        if (tolerance < TOLERANCE_MIN) tolerance = TOLERANCE_MIN;
        if (tolerance > TOLERANCE_MAX) tolerance = TOLERANCE_MAX;
    }

    // The searches and the collection walk rings that leave out the centre:
    // the pixel itself never takes part, as its distance would be 0.
    auto usable = [&](std::size_t q) { return filled[q] > PRESENT && fill[q] > PRESENT; };
    auto similar = [&](std::size_t q) {
        return usable(q) && std::fabs(fill[q] - xc) < tolerance;
    };

    // Windows are nested, so each window's count is the previous one's plus
    // its new ring; nothing is written while one band is searched.
    double lowest = 255.0, highest = 0.0;
    int count = 0;
    int half = 0;
    for (int side = FIRST_SIDE; side <= LAST_SIDE; side += 2) {
        const int inner = half;
        half = (side - 1) / 2;
        scan_ring(row, col, half, inner, band.rows, band.width, [&](std::size_t q, int, int) {
            if (!similar(q)) return;
            ++count;
            if (fill[q] > highest) highest = fill[q];
            if (fill[q] < lowest) lowest = fill[q];
        });
        if (count >= WANTED && lowest <= xc && xc <= highest) break;
    }
    const bool similar_mode = count >= WANTED;

    if (!similar_mode) {
        count = 0;
        half = 0;
        for (int side = FIRST_SIDE; side <= LAST_SIDE; side += 2) {
            const int inner = half;
            half = (side - 1) / 2;
            scan_ring(row, col, half, inner, band.rows, band.width, [&](std::size_t q, int, int) {
                if (usable(q)) ++count;
            });
            if (count >= WANTED) break;
        }
    }

    // The final window once more, row by row, in the order the sums run.
    taken.clear();
    scan_ring(row, col, half, 0, band.rows, band.width, [&](std::size_t q, int dr, int dc) {
        if (similar_mode ? !similar(q) : !usable(q)) return;
        const double x = fill[q];
        taken.y.push_back(filled[q]);
        taken.x.push_back(x);
        taken.weight.push_back(1.0 / ((std::fabs(x - xc) + WEIGHT_OFFSET) *
                                      static_cast<double>(dr * dr + dc * dc)));
    });

    double slope = 1.0, intercept = 0.0;  // nothing to fit: the fill value itself
    const std::size_t n = taken.weight.size();
    if (n > 0) {
        const double* w = taken.weight.data();
        const double* x = taken.x.data();
        const double* y = taken.y.data();
        const WeightedMeans mean = weighted_means(w, x, y, n);
        const auto [sxx, sxy] = weighted_spread(w, x, y, n, mean);
        // Outside the range of the similar values, or with no spread, a line
        // would extrapolate blindly: scale by the ratio of the means instead.
        if (xc > highest || xc < lowest || (sxx > -PRESENT && sxx < PRESENT)) {
            slope = mean.y / mean.x;
        } else {
            slope = sxy / sxx;
            if (slope > SLOPE_MAX) slope = SLOPE_MAX;
            if (slope < SLOPE_MIN) slope = SLOPE_MIN;
        }
        intercept = mean.y - slope * mean.x;
    }

    const double v = slope * xc + intercept;
    band.filled[pos] = v > PRESENT ? v : 0.0;
    return true;
}

}  // namespace

void fallback_fill(double* const* filled, const double* const* fill,
                   const unsigned char* status, int band_count, int rows, int width,
                   MessageFn message, void* message_context, unsigned char* written)
{
    if (band_count < 1 || rows < 1 || width < 1) return;
    Collection taken;
    for (int row = 0; row < rows; ++row) {
        for (int col = 0; col < width; ++col) {
            const std::size_t pos = static_cast<std::size_t>(row) * width + col;
            if (status[pos] != PIXEL_BOTH_MISSING) continue;
            for (int j = 0; j < band_count; ++j) {
                if (!(filled[j][pos] < HANDLE_BELOW && fill[j][pos] > 0.0)) continue;
                const Band band{filled[j], fill[j], rows, width};
                if (fill_band(band, row, col, taken)) {
                    if (written != nullptr) written[pos] = 1;
                } else if (message != nullptr) {
                    message("alr Error!", message_context);
                }
            }
        }
    }
}

}  // namespace pelvane
