#include "regression/refine_fill.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "regression/pixel_status.h"

namespace pelvane {

namespace {

// Rings searched around a pixel for residual or valid pixels.
constexpr int MAX_REACH = 8;
// Rings averaged, from the first that holds a pixel: enough pixels for a
// spread, near enough to stay local.
constexpr int ANNULUS = 3;
// Rings within which a spatial prediction may enter the blend. Beyond three
// pixels from the nearest valid one it lost to the regression in every case
// we measured, whatever the trust.
constexpr int SPATIAL_REACH = 3;
// One residual pixel in this many is a sample.
constexpr int SAMPLE_EVERY = 5;
// Trust factors tried for the spatial prediction's estimated error.
constexpr double TRUSTS[] = {0.25, 0.5, 1.0, 2.0, 4.0, 8.0};
constexpr int TRUST_COUNT = sizeof TRUSTS / sizeof TRUSTS[0];
constexpr int NO_BLEND = TRUST_COUNT;

bool predicted(unsigned char s) { return s >= PIXEL_SIMILAR_FIT && s <= PIXEL_RATIO_FIT; }

// Per band, the 1/d^2-weighted mean and mean square of a value over the
// marked pixels of rings first .. first + ANNULUS - 1 around a pixel, the
// first ring being the nearest one at or beyond `start` that holds any.
struct RingStats {
    int ring = 0;  // 0: nothing marked within MAX_REACH
    // Whether the pixels used lie around the centre rather than to one side:
    // their weighted mean offset is less than half their weighted distance.
    bool around = false;
    std::vector<double> mean, square;
    explicit RingStats(int bands) : mean(bands), square(bands) {}
};

template <class Marked, class Value>
void ring_stats(int r, int c, int rows, int width, int start, int bands, Marked marked,
                Value value, RingStats& out)
{
    out.ring = 0;
    out.around = false;
    std::fill(out.mean.begin(), out.mean.end(), 0.0);
    std::fill(out.square.begin(), out.square.end(), 0.0);
    double sw = 0.0, sdr = 0.0, sdc = 0.0, sd = 0.0;
    int last = MAX_REACH;
    for (int h = std::max(start, 1); h <= last; ++h) {
        for (int rr = std::max(r - h, 0); rr <= std::min(r + h, rows - 1); ++rr) {
            // The ring: whole rows at its top and bottom, two columns between.
            const bool edge_row = rr == r - h || rr == r + h;
            for (int cc = c - h; cc <= c + h; cc += edge_row ? 1 : 2 * h) {
                if (cc < 0 || cc >= width) continue;
                const std::size_t q = static_cast<std::size_t>(rr) * width + cc;
                if (!marked(q)) continue;
                const int d2 = (rr - r) * (rr - r) + (cc - c) * (cc - c);
                const double w = 1.0 / d2;
                sw += w;
                sdr += w * (rr - r);
                sdc += w * (cc - c);
                sd += w * std::sqrt(static_cast<double>(d2));
                for (int b = 0; b < bands; ++b) {
                    const double v = value(b, q);
                    out.mean[b] += w * v;
                    out.square[b] += w * v * v;
                }
                if (out.ring == 0) {
                    out.ring = h;
                    last = std::min(last, h + ANNULUS - 1);
                }
            }
        }
    }
    if (sw <= 0.0) return;
    out.around = std::hypot(sdr, sdc) < 0.5 * sd;
    for (int b = 0; b < bands; ++b) {
        out.mean[b] /= sw;
        out.square[b] /= sw;
    }
}

double spread(const RingStats& s, int b)
{
    return std::max(s.square[b] - s.mean[b] * s.mean[b], 0.0);
}

// What the ring statistics read: which pixels count, and their values.
// `before` limits the pixels to those whose index lies below it, the rows
// above a sample (the edge of a wide gap, seen from inside); by default all.
constexpr std::size_t EVERYWHERE = static_cast<std::size_t>(-1);

struct ResidualPixel {
    const RefineInputs& in;
    std::size_t before = EVERYWHERE;
    bool operator()(std::size_t q) const { return in.residual_pixels[q] != 0 && q < before; }
};
struct ValidPixel {
    const RefineInputs& in;
    std::size_t before = EVERYWHERE;
    bool operator()(std::size_t q) const { return in.target_mask[q] == 0 && q < before; }
};
struct Residual {
    const RefineInputs& in;
    double operator()(int b, std::size_t q) const
    {
        return in.target[b][q] - in.loo_prediction[b][q];
    }
};
struct TargetValue {
    const RefineInputs& in;
    double operator()(int b, std::size_t q) const { return in.target[b][q]; }
};

std::size_t slot(const RefineModel& m, int ring, int b)
{
    return static_cast<std::size_t>(ring) * m.bands + b;
}

// Both predictions of one band at one pixel with their estimated squared errors.
struct Estimate {
    double temporal, temporal_error, spatial, spatial_error;
};

Estimate estimate(const RefineModel& m, const RingStats& residuals, const RingStats& valid, int b,
                  double prediction, bool one_side)
{
    Estimate e{prediction, 0.0, valid.mean[b], 0.0};
    if (residuals.ring > 0) {
        // Corrected by k times the mean residual around; what is left of
        // the residuals around after that correction is its error.
        const double k = m.carry[slot(m, residuals.ring, b)];
        const double mean = residuals.mean[b];
        e.temporal += k * mean;
        e.temporal_error = residuals.square[b] - (2.0 * k - k * k) * mean * mean;
    }
    if (valid.ring > 0) {
        const auto& scale = one_side ? m.spatial_scale_side : m.spatial_scale_around;
        e.spatial_error = scale[slot(m, valid.ring, b)] * spread(valid, b);
    }
    return e;
}

// Inverse-error weighting, the spatial error counted `trust` times.
double blend(const Estimate& e, double trust, double* spatial_weight = nullptr)
{
    const double total = e.temporal_error + trust * e.spatial_error;
    const double w = total > 0.0 ? e.temporal_error / total : 0.0;
    if (spatial_weight != nullptr) *spatial_weight = w;
    return (1.0 - w) * e.temporal + w * e.spatial;
}

}  // namespace

void mark_residual_pixels(const unsigned char* status, const unsigned char* target_mask,
                          const unsigned char* fill_mask, int rows, int width,
                          unsigned char* residual_pixels)
{
    const std::size_t pixels = static_cast<std::size_t>(rows) * width;
    // Whether a predicted pixel lies within reach along the row, then the column.
    std::vector<unsigned char> near_in_row(pixels, 0);
    for (int r = 0; r < rows; ++r) {
        const std::size_t base = static_cast<std::size_t>(r) * width;
        int last = -RESIDUAL_REACH - 1;
        for (int c = 0; c < width; ++c) {
            if (predicted(status[base + c])) last = c;
            near_in_row[base + c] = c - last <= RESIDUAL_REACH;
        }
        last = width + RESIDUAL_REACH;
        for (int c = width - 1; c >= 0; --c) {
            if (predicted(status[base + c])) last = c;
            near_in_row[base + c] |= last - c <= RESIDUAL_REACH;
        }
    }
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < width; ++c) {
            const std::size_t pos = static_cast<std::size_t>(r) * width + c;
            bool near = false;
            for (int rr = std::max(0, r - RESIDUAL_REACH);
                 rr <= std::min(rows - 1, r + RESIDUAL_REACH) && !near; ++rr)
                near = near_in_row[static_cast<std::size_t>(rr) * width + c] != 0;
            residual_pixels[pos] = near && target_mask[pos] == 0 && fill_mask[pos] == 0;
        }
}

RefineModel calibrate_refinement(const RefineInputs& in)
{
    const int bands = in.band_count;
    const int rows = in.rows, width = in.width;
    RefineModel m;
    m.bands = bands;
    const std::size_t slots = static_cast<std::size_t>(MAX_REACH + 1) * bands;

    std::vector<std::size_t> samples;
    long long seen = 0;
    for (std::size_t q = 0; q < static_cast<std::size_t>(rows) * width; ++q)
        if (in.residual_pixels[q] != 0 && seen++ % SAMPLE_EVERY == 0) samples.push_back(q);

    const Residual residual{in};
    const TargetValue target{in};
    RingStats residuals(bands), valid(bands);

    // Pass 1: each sample is predicted from the pixels around it that start
    // at ring s, as a gap pixel s rings from the nearest valid one is. The
    // carry-over is the least-squares factor of the mean residual around on
    // the sample's own residual; the spatial scale is the spatial
    // prediction's squared error over the spread it averages, once from all
    // around and once from the rows above only (the edge of a wide gap).
    std::vector<double> srm(slots, 0.0), smm(slots, 0.0);
    std::vector<double> error2[2] = {std::vector<double>(slots, 0.0), std::vector<double>(slots, 0.0)};
    std::vector<double> spread2[2] = {std::vector<double>(slots, 0.0), std::vector<double>(slots, 0.0)};
    for (const std::size_t q : samples) {
        const int r = static_cast<int>(q / width), c = static_cast<int>(q % width);
        const std::size_t row_start = q - c;
        for (int s = 1; s <= MAX_REACH; s = residuals.ring + 1) {
            ring_stats(r, c, rows, width, s, bands, ResidualPixel{in}, residual, residuals);
            if (residuals.ring == 0) break;
            for (int b = 0; b < bands; ++b) {
                srm[slot(m, residuals.ring, b)] += residual(b, q) * residuals.mean[b];
                smm[slot(m, residuals.ring, b)] += residuals.mean[b] * residuals.mean[b];
            }
        }
        for (int side = 0; side < 2; ++side)
            for (int s = 1; s <= SPATIAL_REACH; s = valid.ring + 1) {
                const ValidPixel marked{in, side == 0 ? EVERYWHERE : row_start};
                ring_stats(r, c, rows, width, s, bands, marked, target, valid);
                if (valid.ring == 0) break;
                for (int b = 0; b < bands; ++b) {
                    const double e = target(b, q) - valid.mean[b];
                    error2[side][slot(m, valid.ring, b)] += e * e;
                    spread2[side][slot(m, valid.ring, b)] += spread(valid, b);
                }
            }
    }
    m.carry.assign(slots, 0.0);
    m.spatial_scale_around.assign(slots, 0.0);
    m.spatial_scale_side.assign(slots, 0.0);
    for (std::size_t i = 0; i < slots; ++i) {
        m.carry[i] = smm[i] > 0.0 ? std::clamp(srm[i] / smm[i], 0.0, 1.0) : 0.0;
        m.spatial_scale_around[i] = spread2[0][i] > 0.0 ? error2[0][i] / spread2[0][i] : 0.0;
        m.spatial_scale_side[i] = spread2[1][i] > 0.0 ? error2[1][i] / spread2[1][i] : 0.0;
    }

    // Pass 2: the blend at the samples with each trust, and with none; per
    // side, ring and band the one with the least squared error is kept.
    // Estimated errors are rough, so their weighting is calibrated here
    // rather than trusted; where no blend beats the regression, none is made.
    std::vector<double> trial_error(2 * slots * (TRUST_COUNT + 1), 0.0);
    auto trial = [&](int side, int ring, int b, int t) -> double& {
        return trial_error[(side * slots + slot(m, ring, b)) * (TRUST_COUNT + 1) + t];
    };
    for (const std::size_t q : samples) {
        const int r = static_cast<int>(q / width), c = static_cast<int>(q % width);
        const std::size_t row_start = q - c;
        for (int side = 0; side < 2; ++side)
            for (int s = 1; s <= SPATIAL_REACH; s = valid.ring + 1) {
                const std::size_t before = side == 0 ? EVERYWHERE : row_start;
                ring_stats(r, c, rows, width, s, bands, ValidPixel{in, before}, target, valid);
                ring_stats(r, c, rows, width, s, bands, ResidualPixel{in, before}, residual,
                           residuals);
                if (valid.ring == 0 || residuals.ring == 0) break;
                for (int b = 0; b < bands; ++b) {
                    const Estimate e =
                        estimate(m, residuals, valid, b, in.loo_prediction[b][q], side == 1);
                    for (int t = 0; t <= TRUST_COUNT; ++t) {
                        const double value = t < TRUST_COUNT ? blend(e, TRUSTS[t]) : e.temporal;
                        const double error = value - target(b, q);
                        trial(side, valid.ring, b, t) += error * error;
                    }
                }
            }
    }
    m.trust.assign(2 * slots, NO_BLEND);
    for (int side = 0; side < 2; ++side)
        for (int ring = 1; ring <= SPATIAL_REACH; ++ring)
            for (int b = 0; b < bands; ++b) {
                int best = NO_BLEND;
                for (int t = 0; t < TRUST_COUNT; ++t)
                    if (trial(side, ring, b, t) < trial(side, ring, b, best)) best = t;
                m.trust[side * slots + slot(m, ring, b)] = best;
            }
    return m;
}

void refine_rows(const RefineModel& m, const RefineInputs& in, int row_begin, int row_end,
                 double* const* filled, unsigned char* status, unsigned char spatial_status)
{
    const int bands = in.band_count;
    const int rows = in.rows, width = in.width;
    const std::size_t slots = static_cast<std::size_t>(MAX_REACH + 1) * bands;
    RingStats residuals(bands), valid(bands);

    for (int r = std::max(row_begin, 0); r < std::min(row_end, rows); ++r)
        for (int c = 0; c < width; ++c) {
            const std::size_t pos = static_cast<std::size_t>(r) * width + c;
            if (!predicted(status[pos])) continue;
            ring_stats(r, c, rows, width, 0, bands, ResidualPixel{in}, Residual{in}, residuals);
            ring_stats(r, c, rows, width, 0, bands, ValidPixel{in}, TargetValue{in}, valid);
            const bool one_side = !valid.around;
            const bool may_blend =
                residuals.ring > 0 && valid.ring > 0 && valid.ring <= SPATIAL_REACH;
            int spatial_bands = 0;
            for (int b = 0; b < bands; ++b) {
                const Estimate e = estimate(m, residuals, valid, b, filled[b][pos], one_side);
                const int t = may_blend ? m.trust[(one_side ? slots : 0) + slot(m, valid.ring, b)]
                                        : NO_BLEND;
                if (t == NO_BLEND) {
                    filled[b][pos] = e.temporal;
                    continue;
                }
                double spatial_weight = 0.0;
                filled[b][pos] = blend(e, TRUSTS[t], &spatial_weight);
                spatial_bands += spatial_weight > 0.5;
            }
            if (2 * spatial_bands > bands) status[pos] = spatial_status;
        }
}

void refine_regression(const RefineInputs& in, double* const* filled, unsigned char* status,
                       unsigned char spatial_status)
{
    const RefineModel model = calibrate_refinement(in);
    refine_rows(model, in, 0, in.rows, filled, status, spatial_status);
}

}  // namespace pelvane
