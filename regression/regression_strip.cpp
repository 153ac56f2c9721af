#include "regression/regression_strip.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "regression/pixel_status.h"
#include "regression/weighted_fit.h"
#include "regression/window_scan.h"

namespace pelvane {
namespace {

constexpr int FIRST_SIDE = 7;
constexpr int MAX_SIDE = 399;            // a search ends when its side grows beyond this
constexpr double TOLERANCE_FLOOR = 0.05; // fraction of the local mean
constexpr double VANISHING = 1e-6;
constexpr double SLOPE_MIN = 0.6;
constexpr double SLOPE_MAX = 1.5;
constexpr double RANGE_LOW = 0.9;        // regression only for fill values near the candidates'
constexpr double RANGE_HIGH = 1.1;
constexpr int MAX_TOLERANCE_SAMPLES = 32;  // the 9 x 9 ring, the largest one sampled
constexpr int BLOCK = 16;                // positions tested at once on their codes

int similar_step(int side)
{
    if (side < 20) return 4;
    if (side < 50) return 8;
    if (side < 100) return 16;
    return 32;
}

int covalid_step(int side)
{
    if (side < 20) return 4;
    if (side < 50) return 8;
    return 16;
}

bool vanishes(double v) { return v > -VANISHING && v < VANISHING; }

bool whole_byte(double v) { return v >= 0.0 && v <= 255.0 && v == std::floor(v); }

// Code of x on a band's 256-step scale. Every step is monotone (a rounded
// subtraction, a rounded product with a positive factor, floor, clamp), so
// x <= x' gives code(x) <= code(x'); NaN gets 0.
int scaled_code(double x, const RegressionStrip::CodeScale& s)
{
    const double t = (x - s.base) * s.scale;
    if (!(t >= 0.0)) return 0;
    if (t >= 255.0) return 255;
    return static_cast<int>(t);
}

RegressionStrip::CodeScale band_scale(const double* fill, const unsigned char* both_valid,
                                      std::size_t pixels)
{
    bool whole = true;
    double lo = INFINITY, hi = -INFINITY;
    for (std::size_t i = 0; i < pixels; ++i) {
        if (both_valid[i] == 0) continue;
        const double v = fill[i];
        whole = whole && whole_byte(v);
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    if (whole) return {true, 0.0, 1.0};
    const double range = hi - lo;
    // No finite spread (or an infinite one): every code 0, the test passes all.
    if (!(range > 0.0) || !std::isfinite(range)) return {false, 0.0, 0.0};
    return {false, lo, 256.0 / range};
}

}  // namespace

// Working storage of one fill_rows call, reused from pixel to pixel.
struct RegressionStrip::Scratch {
    std::vector<double> centre;       // fill values of the pixel itself
    std::vector<double> tolerance;    // spectral tolerance per band
    std::vector<double> samples;      // tolerance samples, MAX_TOLERANCE_SAMPLES per band
    std::vector<double> fill_min, fill_max;  // of the co-valid candidates
    std::vector<unsigned char> code_lo, code_span;  // codes within tolerance: lo .. lo + span

    // Candidates of one search, in the order found.
    std::vector<std::vector<double>> y, x;
    std::vector<double> weight;

    explicit Scratch(int bands)
        : centre(bands), tolerance(bands),
          samples(static_cast<std::size_t>(bands) * MAX_TOLERANCE_SAMPLES),
          fill_min(bands), fill_max(bands), code_lo(bands), code_span(bands), y(bands), x(bands) {}

    std::size_t size() const { return weight.size(); }

    void clear()
    {
        for (auto& v : y) v.clear();
        for (auto& v : x) v.clear();
        weight.clear();
    }
};

RegressionStrip::RegressionStrip(const double* const* target, const double* const* fill,
                                 const unsigned char* target_mask,
                                 const unsigned char* fill_mask, int band_count, int rows,
                                 int width, double weight_offset, int similar_pixel_count)
    : target_(target), fill_(fill), target_mask_(target_mask), fill_mask_(fill_mask),
      bands_(band_count), rows_(rows), width_(width), weight_offset_(weight_offset),
      similar_pixel_count_(similar_pixel_count)
{
    if (band_count < 1 || rows < 1 || width < 1) {
        rows_ = width_ = 0;
        return;
    }
    const std::size_t pixels = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width);
    both_valid_.assign(pixels + BLOCK, 0);
    for (std::size_t i = 0; i < pixels; ++i)
        both_valid_[i] = target_mask[i] == 0 && fill_mask[i] == 0 ? 0xFF : 0;

    // Codes at positions not valid in both images are never looked at; they stay 0.
    codes_.assign(static_cast<std::size_t>(band_count) * pixels + BLOCK, 0);
    scales_.resize(band_count);
    for (int b = 0; b < band_count; ++b) {
        const CodeScale s = band_scale(fill[b], both_valid_.data(), pixels);
        scales_[b] = s;
        unsigned char* code = &codes_[static_cast<std::size_t>(b) * pixels];
        const double* x = fill[b];
        if (s.whole_bytes) {
            for (std::size_t i = 0; i < pixels; ++i)
                if (both_valid_[i] != 0) code[i] = static_cast<unsigned char>(x[i]);
        } else {
            for (std::size_t i = 0; i < pixels; ++i)
                if (both_valid_[i] != 0) code[i] = static_cast<unsigned char>(scaled_code(x[i], s));
        }
    }
}

// Tolerance from the fill values valid around the pixel: the 5 x 5 square,
// or, when it holds none, the next ring out, then the one after.
void RegressionStrip::compute_tolerance(int row, int col, Scratch& w) const
{
    int k = 0;
    auto sample = [&](std::size_t q, int, int) {
        if (fill_mask_[q] != 0) return;
        for (int b = 0; b < bands_; ++b)
            w.samples[static_cast<std::size_t>(b) * MAX_TOLERANCE_SAMPLES + k] = fill_[b][q];
        ++k;
    };
    scan_ring(row, col, 2, 0, rows_, width_, sample);
    if (k == 0) scan_ring(row, col, 3, 2, rows_, width_, sample);
    if (k == 0) scan_ring(row, col, 4, 3, rows_, width_, sample);

    for (int b = 0; b < bands_; ++b) {
        const double* v = &w.samples[static_cast<std::size_t>(b) * MAX_TOLERANCE_SAMPLES];
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
        w.tolerance[b] = tol;
    }
}

// The codes a similar candidate can have, band by band. A fill value x passes
// when the rounded |x - c| is at most tol, so |x - c| <= tol * (1 + 2^-52)
// exactly; L and H below widen [c - tol, c + tol] by far more than the
// rounding of that bound and of their own arithmetic, so every passing x lies
// in [L, H] and, the codes being monotone, its code in [code(L), code(H)].
// Returns false when no fill value can pass in some band.
bool RegressionStrip::similar_bounds(Scratch& w) const
{
    for (int b = 0; b < bands_; ++b) {
        const double c = w.centre[b], tol = w.tolerance[b];
        if (!(tol >= 0.0) || std::isnan(c)) return false;  // the test fails for every x
        int lo = 0, hi = 255;
        if (std::isfinite(c) && std::isfinite(tol)) {
            const double margin = (std::fabs(c) + tol) * 0x1p-48 + DBL_MIN;
            const double low = (c - tol) - margin;
            const double high = (c + tol) + margin;
            if (scales_[b].whole_bytes) {
                // Whole values only: the first whole number at or above `low`.
                if (low > 255.0 || high < 0.0) return false;
                if (low > 0.0) lo = static_cast<int>(std::ceil(low));
                if (high < 255.0) hi = static_cast<int>(std::floor(high));
                if (lo > hi) return false;
            } else {
                lo = scaled_code(low, scales_[b]);
                hi = scaled_code(high, scales_[b]);
            }
        }
        w.code_lo[b] = static_cast<unsigned char>(lo);
        w.code_span[b] = static_cast<unsigned char>(hi - lo);
    }
    return true;
}

namespace {

// Bit j (j < 16) set when position q + j is valid in both images and, in
// every band, lo <= code <= lo + span (one unsigned comparison after
// subtracting lo, wrapping).
unsigned similar_bits(const unsigned char* both_valid, const unsigned char* codes,
                      std::size_t plane, int bands, const unsigned char* lo,
                      const unsigned char* span, std::size_t q)
{
#if defined(__SSE2__)
    __m128i pass = _mm_loadu_si128(reinterpret_cast<const __m128i*>(both_valid + q));
    for (int b = 0; b < bands; ++b) {
        const __m128i v = _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(codes + static_cast<std::size_t>(b) * plane + q));
        const __m128i t = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(lo[b])));
        const __m128i in = _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(static_cast<char>(span[b]))), t);
        pass = _mm_and_si128(pass, in);
    }
    return static_cast<unsigned>(_mm_movemask_epi8(pass));
#else
    unsigned bits = 0;
    for (int j = 0; j < BLOCK; ++j) {
        bool in = both_valid[q + j] != 0;
        for (int b = 0; in && b < bands; ++b)
            in = static_cast<unsigned char>(codes[b * plane + q + j] - lo[b]) <= span[b];
        bits |= static_cast<unsigned>(in) << j;
    }
    return bits;
#endif
}

unsigned valid_bits(const unsigned char* both_valid, std::size_t q)
{
#if defined(__SSE2__)
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(both_valid + q))));
#else
    unsigned bits = 0;
    for (int j = 0; j < BLOCK; ++j) bits |= static_cast<unsigned>(both_valid[q + j] != 0) << j;
    return bits;
#endif
}

}  // namespace

// Walks the growing windows around the pixel, ring by ring, each ring row by
// row and each row from left to right, in blocks of 16 positions; stops after
// the first window at whose end the store holds at least similar_pixel_count
// candidates, or when the side outgrows MAX_SIDE.
template <bool Similar>
void RegressionStrip::search(int row, int col, Scratch& w) const
{
    const std::size_t plane = static_cast<std::size_t>(rows_) * static_cast<std::size_t>(width_);
    const unsigned char* valid = both_valid_.data();
    const unsigned char* codes = codes_.data();

    // Stores the candidate at q: y, x and the band weights summed over the
    // bands, first band first.
    auto add = [&](std::size_t q, int dr, int dc) {
        const double distance = static_cast<double>(dr * dr + dc * dc);
        double combined = 0.0;
        for (int b = 0; b < bands_; ++b) {
            const double x = fill_[b][q];
            w.y[b].push_back(target_[b][q]);
            w.x[b].push_back(x);
            combined += 1.0 / ((std::fabs(x - w.centre[b]) + weight_offset_) * distance);
            if (!Similar) {
                if (x > w.fill_max[b]) w.fill_max[b] = x;
                if (x < w.fill_min[b]) w.fill_min[b] = x;
            }
        }
        w.weight.push_back(combined);
    };

    auto scan_piece = [&](int r, int first, int last) {
        const std::size_t line = static_cast<std::size_t>(r) * static_cast<std::size_t>(width_);
        for (int c = first; c <= last; c += BLOCK) {
            const std::size_t q0 = line + static_cast<std::size_t>(c);
            const int n = std::min(BLOCK, last - c + 1);
            unsigned bits = Similar ? similar_bits(valid, codes, plane, bands_, w.code_lo.data(),
                                                   w.code_span.data(), q0)
                                    : valid_bits(valid, q0);
            bits &= (1u << n) - 1u;
            while (bits != 0) {
                const int j = __builtin_ctz(bits);
                bits &= bits - 1u;
                const std::size_t q = q0 + static_cast<std::size_t>(j);
                if (Similar) {
                    bool pass = true;
                    for (int b = 0; pass && b < bands_; ++b)
                        pass = std::fabs(fill_[b][q] - w.centre[b]) <= w.tolerance[b];
                    if (!pass) continue;
                }
                add(q, r - row, c + j - col);
            }
        }
    };

    int (*const step)(int) = Similar ? similar_step : covalid_step;
    int inner = 0;
    for (int side = FIRST_SIDE; side <= MAX_SIDE; side += step(side)) {
        const int half = (side - 1) / 2;
        const int r0 = std::max(row - half, 0), r1 = std::min(row + half, rows_ - 1);
        const int c0 = std::max(col - half, 0), c1 = std::min(col + half, width_ - 1);
        for (int r = r0; r <= r1; ++r) {
            const int dr = r - row;
            if (dr < -inner || dr > inner) {
                scan_piece(r, c0, c1);
            } else {
                // A row that crosses the inner square: its two outer pieces.
                scan_piece(r, c0, std::min(col - inner - 1, c1));
                scan_piece(r, std::max(col + inner + 1, c0), c1);
            }
        }
        if (static_cast<long long>(w.size()) >= similar_pixel_count_) return;
        inner = half;
    }
}

void RegressionStrip::predict_pixel(int row, int col, Scratch& w, double* const* filled,
                                    unsigned char* status) const
{
    const std::size_t pos = static_cast<std::size_t>(row) * width_ + col;
    for (int b = 0; b < bands_; ++b) w.centre[b] = fill_[b][pos];
    compute_tolerance(row, col, w);

    // Candidates valid in both images and, band by band, within the
    // tolerance of the pixel's own fill values. When no fill value can pass
    // in some band the search would find nothing anywhere: it is skipped.
    w.clear();
    if (similar_bounds(w)) search<true>(row, col, w);
    bool similar_fit = w.size() >= 2;
    if (!similar_fit) {
        // Too few similar pixels: every position valid in both images counts.
        w.clear();
        for (int b = 0; b < bands_; ++b) {
            w.fill_min[b] = 1000000.0;
            w.fill_max[b] = -1000000.0;
        }
        search<false>(row, col, w);
    }

    const std::size_t n = w.size();
    const double* weight = w.weight.data();
    for (int b = 0; b < bands_; ++b) {
        const double* x = w.x[b].data();
        const double* y = w.y[b].data();
        const double xc = w.centre[b];

        const WeightedMeans mean = weighted_means(weight, x, y, n);
        const double mean_x = mean.x, mean_y = mean.y;

        const bool regression =
            similar_fit || (RANGE_LOW * w.fill_min[b] <= xc && xc <= RANGE_HIGH * w.fill_max[b]);
        double slope;
        if (regression) {
            const auto [sxx, sxy] = weighted_spread(weight, x, y, n, mean);
            slope = vanishes(sxx) ? 1.0 : sxy / sxx;
            status[pos] = similar_fit ? PIXEL_SIMILAR_FIT : PIXEL_COVALID_FIT;
        } else {
            slope = vanishes(mean_x) ? 1.0 : mean_y / mean_x;
            status[pos] = PIXEL_RATIO_FIT;
        }
        if (slope > SLOPE_MAX) slope = SLOPE_MAX;
        if (slope < SLOPE_MIN) slope = SLOPE_MIN;
        const double intercept = mean_y - slope * mean_x;
        filled[b][pos] = slope * xc + intercept;
    }
}

void RegressionStrip::fill_pixel(int row, int col, Scratch& work, double* const* filled,
                                 unsigned char* status) const
{
    const std::size_t pos = static_cast<std::size_t>(row) * width_ + col;
    if (target_mask_[pos] != 0 && fill_mask_[pos] == 0) {
        predict_pixel(row, col, work, filled, status);
        return;
    }
    for (int b = 0; b < bands_; ++b) filled[b][pos] = target_[b][pos];
    status[pos] = target_mask_[pos] == 0 ? PIXEL_VALID : PIXEL_BOTH_MISSING;
}

void RegressionStrip::fill_rows(int row_begin, int row_end, double* const* filled,
                                unsigned char* status) const
{
    fill_rows(row_begin, row_end, filled, status, nullptr, nullptr);
}

void RegressionStrip::fill_rows(int row_begin, int row_end, double* const* filled,
                                unsigned char* status, ProgressFn progress,
                                void* progress_context) const
{
    const int first = std::max(row_begin, 0), end = std::min(row_end, rows_);
    if (first >= end) return;
    const std::size_t pixels = static_cast<std::size_t>(rows_) * static_cast<std::size_t>(width_);
    const bool report = progress != nullptr && progress_context != nullptr;
    Scratch work(bands_);
    for (int row = first; row < end; ++row) {
        for (int col = 0; col < width_; ++col) {
            if (report) {
                const std::size_t pos = static_cast<std::size_t>(row) * width_ + col;
                progress(static_cast<double>(pos) / static_cast<double>(pixels), "", progress_context);
            }
            fill_pixel(row, col, work, filled, status);
        }
    }
}

}  // namespace pelvane
