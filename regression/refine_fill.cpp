#include "regression/refine_fill.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

#include "regression/local_regression.h"
#include "regression/pixel_status.h"
#include "regression/ring_stats.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace pelvane {

namespace {

constexpr int P = PREDICTOR_COUNT;
constexpr int OTHER_PREDICTORS = P - 1;  // the ones in RefineInputs::predictions
const double NONE = std::numeric_limits<double>::quiet_NaN();

bool predicted(unsigned char s) { return s >= PIXEL_SIMILAR_FIT && s <= PIXEL_RATIO_FIT; }
bool spatial_predictor(int k) { return k == PREDICT_INTERPOLATION; }

struct ValidPixel {
    const unsigned char* target_mask;
    bool operator()(std::size_t q) const { return target_mask[q] == 0; }
};
struct TargetValue {
    const double* const* target;
    double operator()(int b, std::size_t q) const { return target[b][q]; }
};
struct ResidualPixel {
    const RefineInputs& in;
    bool operator()(std::size_t q) const { return in.residual_pixels[q] != 0; }
};
// Every residual of pixel q, value k * bands + b as Residual gives it;
// inlined, a constant `bands` fixes the loops' lengths.
[[gnu::always_inline]] inline void residuals_at(const RefineInputs& in, std::size_t q, int bands, double* x)
{
    for (int b = 0; b < bands; ++b) {
        const double t = in.target[b][q];
        const double p = in.loo_regression[b][q];
        x[b] = std::isfinite(p) ? p - t : 0.0;
        for (int k = 1; k < P; ++k) {
            const double o = in.predictions[(k - 1) * bands + b][q];
            x[k * bands + b] = std::isfinite(o) ? o - t : 0.0;
        }
    }
}

// Value k * bands + b: predictor k's leave-one-out prediction minus the
// target in band b; 0 where the predictor had none (rare: a residual pixel
// alone in a wide gap).
struct Residual {
    const RefineInputs& in;
    double operator()(int v, std::size_t q) const
    {
        const int k = v / in.band_count, b = v % in.band_count;
        const double p = k == PREDICT_REGRESSION
                             ? in.loo_regression[b][q]
                             : in.predictions[(k - 1) * in.band_count + b][q];
        return std::isfinite(p) ? p - in.target[b][q] : 0.0;
    }
    // Every value of pixel q, in order.
    void operator()(std::size_t q, double* x) const { residuals_at(in, q, in.band_count, x); }
};

// ring_stats of the residuals with the band count known: the sums held in
// registers.
template <int BANDS>
[[gnu::always_inline]] inline void residual_ring_stats_by(const RefineInputs& in, int r, int c,
                                                          int start, RingStats& out)
{
    ring_stats<P * BANDS>(r, c, in.rows, in.width, start, P * BANDS, ResidualPixel{in},
                          [&](std::size_t q, double* x) { residuals_at(in, q, BANDS, x); }, out);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void residual_ring_stats_avx2(const RefineInputs& in, int r, int c,
                                                            int start, RingStats& out)
{
    residual_ring_stats_by<6>(in, r, c, start, out);
}

// The same with AVX-512 (the same walk_rings, each pixel's 18 residuals on the
// lanes of three registers, two lanes of the last used): each residual's
// value read from its band, its target's beside it; each lane the plain
// form's operations, so the same sums.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f"))) inline __m128d lanes_of(const double* a, const double* b)
{
    return _mm_loadh_pd(_mm_load_sd(a), b);
}
__attribute__((target("avx512f"))) inline __m512d join(__m128d a, __m128d b, __m128d c, __m128d d)
{
    return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_set_m128d(b, a)), _mm256_set_m128d(d, c), 1);
}
__attribute__((target("avx512f"))) void residual_ring_stats_avx512(const RefineInputs& in, int r, int c,
                                                                 int start, RingStats& out)
{
    constexpr int B = 6, V = P * B;
    const double* value_at[24] = {};
    for (int v = 0; v < V; ++v) {
        const int k = v / B, b = v % B;
        value_at[v] = k == PREDICT_REGRESSION ? in.loo_regression[b] : in.predictions[(k - 1) * B + b];
    }
    constexpr __mmask8 last_lanes = (1u << (V - 16)) - 1u;
    const __m512d infinity = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    const __m512i magnitude = _mm512_set1_epi64(0x7fffffffffffffffLL);
    __m512d mean[3], square[3];
    for (int i = 0; i < 3; ++i) mean[i] = square[i] = _mm512_setzero_pd();
    double sw = 0.0;
    const auto marked = [&](std::size_t q) { return in.residual_pixels[q] != 0; };
    const auto add = [&](std::size_t q, double w) __attribute__((target("avx512f"))) {
        sw += w;
        const __m512d wv = _mm512_set1_pd(w);
        const __m128d t01 = lanes_of(in.target[0] + q, in.target[1] + q);
        const __m128d t23 = lanes_of(in.target[2] + q, in.target[3] + q);
        const __m128d t45 = lanes_of(in.target[4] + q, in.target[5] + q);
        const __m512d ts[3] = {join(t01, t23, t45, t01), join(t23, t45, t01, t23), join(t45, t45, t45, t45)};
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i) {
            const __mmask8 lanes = i < 2 ? 0xff : last_lanes;
            const double* const* at = value_at + 8 * i;
            const __m512d p =
                i < 2 ? join(lanes_of(at[0] + q, at[1] + q), lanes_of(at[2] + q, at[3] + q),
                             lanes_of(at[4] + q, at[5] + q), lanes_of(at[6] + q, at[7] + q))
                      : _mm512_castpd128_pd512(lanes_of(at[0] + q, at[1] + q));
            const __m512d t = ts[i];
            // p - t where p is finite, +0.0 elsewhere (and in the unused lanes).
            const __mmask8 finite = _mm512_mask_cmp_pd_mask(
                lanes, _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(p), magnitude)), infinity,
                _CMP_LT_OQ);
            const __m512d x = _mm512_maskz_sub_pd(finite, p, t);
            const __m512d wx = _mm512_mul_pd(wv, x);
            mean[i] = _mm512_add_pd(mean[i], wx);
            square[i] = _mm512_add_pd(square[i], _mm512_mul_pd(wx, x));
        }
    };
    out.ring = walk_rings(r, c, in.rows, in.width, start, marked, add);
    alignas(64) double m[24], sq[24];
    const bool any = sw > 0.0;
    const __m512d divisor = _mm512_set1_pd(sw);
#pragma GCC unroll 3
    for (int i = 0; i < 3; ++i) {
        _mm512_store_pd(m + 8 * i, any ? _mm512_div_pd(mean[i], divisor) : _mm512_setzero_pd());
        _mm512_store_pd(sq + 8 * i, any ? _mm512_div_pd(square[i], divisor) : _mm512_setzero_pd());
    }
    std::copy(m, m + V, out.mean.begin());
    std::copy(sq, sq + V, out.square.begin());
}
#pragma GCC diagnostic pop
#endif

}  // namespace

void residual_ring_stats(const RefineInputs& in, int r, int c, int start, RingStats& out)
{
    if (in.band_count == 6) {
#if defined(__x86_64__) || defined(__i386__)
        const KernelLevel level = kernel_level();
        if (level >= KernelLevel::AVX512) return residual_ring_stats_avx512(in, r, c, start, out);
        if (level >= KernelLevel::AVX2) return residual_ring_stats_avx2(in, r, c, start, out);
#endif
        return residual_ring_stats_by<6>(in, r, c, start, out);
    }
    ring_stats(r, c, in.rows, in.width, start, P * in.band_count, ResidualPixel{in}, Residual{in}, out);
}

namespace {

std::size_t slot(int bands, int k, int ring, int b)
{
    return (static_cast<std::size_t>(k) * (RING_REACH + 1) + ring) * bands + b;
}

// The ring of the nearest valid pixel around (r, c) at or beyond ring
// `start`; 0 when none lies within RING_REACH.
int nearest_valid_ring(const unsigned char* target_mask, int r, int c, int rows, int width,
                       int start)
{
    for (int h = std::max(start, 1); h <= RING_REACH; ++h)
        for (int rr = std::max(r - h, 0); rr <= std::min(r + h, rows - 1); ++rr) {
            // Ring h only: every column of its top and bottom rows; on the
            // rows between, its two sides, 2h columns apart.
            const bool edge_row = rr == r - h || rr == r + h;
            for (int cc = c - h; cc <= c + h; cc += edge_row ? 1 : 2 * h)
                if (cc >= 0 && cc < width && target_mask[static_cast<std::size_t>(rr) * width + cc] == 0)
                    return h;
        }
    return 0;
}

struct PredictScratch {
    LocalScratch local;
    SimilarScratch similar;
    std::vector<double> similar_mean;
};

// The interpolation and the local regression at (row, col), from pixels at
// least `start` rings away (1: any but the pixel itself): `out` gets
// (P - 1) x bands values, NaN where a predictor has nothing; `line` (or
// null) the similar line, which stands in for the regression where rings
// are left out. Returns the ring of the nearest valid pixel at or beyond
// `start` (0: none within RING_REACH, and no interpolation). `kept` (or
// null; start 1 only) holds interpolations made before; `wide_slopes` (or
// null) the local plane's prior slopes per block.
int predict_others(const SimilarSearch& s, const unsigned char* target_mask,
                   const NeighbourWeights& kriging, int row, int col, int start,
                   PredictScratch& work, double* out, double* line,
                   const KnownInterpolation* kept, const double* wide_slopes)
{
    const int bands = s.bands;
    const int ring = nearest_valid_ring(target_mask, row, col, s.rows, s.width, start);
    const int exclude = ring > 0 ? ring : start;
    double* const interpolation = out + (PREDICT_INTERPOLATION - 1) * bands;
    double* const plane = out + (PREDICT_LOCAL_PLANE - 1) * bands;
    const std::size_t pos = static_cast<std::size_t>(row) * s.width + col;
    if (kept != nullptr && kept->known[pos] != 0) {
        for (int b = 0; b < bands; ++b) interpolation[b] = kept->values[b][pos];
    } else {
        std::size_t at[NEIGHBOUR_WEIGHTS_MOST];
        double weight[NEIGHBOUR_WEIGHTS_MOST];
        const int n = ring > 0 ? kriging(target_mask, pos, start, at, weight) : 0;
        for (int b = 0; b < bands; ++b) {
            double v = 0.0;
            for (int k = 0; k < n; ++k) v += weight[k] * s.target[b][at[k]];
            interpolation[b] = n > 0 ? v : NONE;
        }
        if (kept != nullptr) {
            for (int b = 0; b < bands; ++b) kept->values[b][pos] = interpolation[b];
            kept->known[pos] = 1;
        }
    }
    const double* prior = wide_slopes_at(wide_slopes, bands, s.width, row, col);
    if (local_regression_predict(s, row, col, exclude, work.local, plane, prior) == 0)
        std::fill(plane, plane + bands, NONE);
    if (line != nullptr) {
        work.similar_mean.resize(static_cast<std::size_t>(bands));
        if (similar_predict(s, row, col, exclude, work.similar, work.similar_mean.data(), line) == 0)
            std::fill(line, line + bands, NONE);
    }
    return ring;
}

// One band's combination at a pixel s rings from the nearest valid pixel.
struct Combined {
    double value = NONE;
    double variance = 0.0;        // estimated squared error, before the strip's scale
    double spatial_weight = 0.0;  // of the interpolation
};

// prediction(k): predictor k's value (NaN: none); residuals: the ring
// statistics of all predictors' residuals around the pixel.
// spectral (or null): the spectral neighbours' mean residuals
// (spectral_residual_mean, predictor by predictor, band by band);
// spectral_square (or null) their mean squares, which only the estimated
// error reads.
template <class Prediction>
Combined combine(const RefineModel& m, int ring, int b, Prediction prediction,
                 const RingStats& residuals, const double* spectral,
                 const double* spectral_square = nullptr)
{
    const int bands = m.bands;
    double value[P], variance[P], spectral_variance[P];
    bool have[P];
    double largest = 0.0;
    for (int k = 0; k < P; ++k) {
        value[k] = prediction(k);
        have[k] = std::isfinite(value[k]);
        variance[k] = 1.0;  // without residuals around: equal weights
        if (have[k] && spectral != nullptr)
            value[k] -= m.spectral_carry[static_cast<std::size_t>(k) * bands + b] * spectral[k * bands + b];
        if (!have[k] || residuals.ring == 0) continue;
        // Corrected by the share of the residuals' mean that carries over;
        // what is left of the residuals around is its error one ring out,
        // grown to the pixel's ring. With residuals r of mean m and mean
        // square q, the corrected ones r - c m have mean square
        // q - (2c - c^2) m^2.
        const double c = m.carry[slot(bands, k, ring, b)];
        const double mean = residuals.mean[k * bands + b];
        value[k] -= c * mean;
        const double growth = m.growth[slot(bands, k, ring, b)];
        variance[k] = std::max(residuals.square[k * bands + b] - (2.0 * c - c * c) * mean * mean, 0.0) * growth;
        largest = std::max(largest, variance[k]);
        // The same of the spectral neighbours' residuals after their own
        // correction, for the estimated error alone.
        if (spectral_square != nullptr) {
            const std::size_t i = static_cast<std::size_t>(k) * bands + b;
            const double cs = m.spectral_carry[i];
            spectral_variance[k] =
                std::max(spectral_square[i] - (2.0 * cs - cs * cs) * spectral[i] * spectral[i], 0.0) * growth;
        }
    }
    // A vanishing estimated error takes (nearly) all the weight, never all of
    // it: no weight exceeds 1e12 times that of the predictor with the
    // largest error, a ratio far beyond any between real predictors' errors;
    // DBL_MIN keeps the floor above zero when every error vanishes.
    const double floor = largest * 1e-12 + DBL_MIN;
    double sw = 0.0, sum = 0.0, spatial = 0.0;
    for (int k = 0; k < P; ++k) {
        if (!have[k]) continue;
        const double w = 1.0 / std::max(variance[k], floor);
        sw += w;
        sum += w * value[k];
        if (spatial_predictor(k)) spatial += w;
    }
    Combined out;
    if (!(sw > 0.0)) return out;
    out.value = sum / sw;
    out.spatial_weight = spatial / sw;
    // The combination's own error, as if the predictors' errors were
    // independent, plus their disagreement around it: where they differ, at
    // least one of them is wrong. Without residuals around, only the latter.
    // The former is sum_k w_k^2 v_k for the normalised weights w_k = 1 /
    // (v_k sw), i.e. 1 / sw. With the spectral neighbours' residuals, each
    // v_k in it becomes v_k^(3/4) u_k^(1/4), where u_k is what is left of
    // their residuals after the spectral correction, grown to the ring as
    // v_k is: the residuals of the pixels most like it in the fill image
    // tell its error too, but the weights stay those of the rings alone.
    // w_k^2 v_k^(3/4) u_k^(1/4) = (u_k / v_k)^(1/4) / (v_k sw^2).
    const bool mixed = spectral_square != nullptr && residuals.ring > 0;
    double own = mixed ? 0.0 : 1.0 / sw, spread = 0.0;
    for (int k = 0; k < P; ++k)
        if (have[k]) {
            const double v = std::max(variance[k], floor);
            const double w = 1.0 / v / sw;
            spread += w * (value[k] - out.value) * (value[k] - out.value);
            if (mixed) own += std::sqrt(std::sqrt(std::max(spectral_variance[k], floor) / v)) / v;
        }
    if (mixed) own /= sw * sw;
    out.variance = (residuals.ring > 0 ? own : 0.0) + spread;
    return out;
}

// The common level of one pixel's estimated errors (`sigma`, per band, NaN
// where none): each band's estimate over its mean at the samples, averaged
// over the bands (0 when none). Where the dates disagree, they tend to in
// every band, while one band's own residuals read that only roughly.
double error_level(const RefineModel& m, const double* sigma)
{
    double sum = 0.0, n = 0.0;
    for (int b = 0; b < m.bands; ++b)
        if (std::isfinite(sigma[b]) && m.error_mean[b] > 0.0) {
            sum += sigma[b] / m.error_mean[b];
            n += 1.0;
        }
    return n > 0.0 ? sum / n : 0.0;
}

// Band b's expected absolute error from its scaled estimate and the level:
// the line fitted at the samples, kept above a tenth of the band's mean
// absolute error there (a line may cross zero at the extremes; no real
// prediction is that much better than the typical one).
double error_line(const RefineModel& m, int b, double sigma, double level)
{
    const double* c = &m.error_line[static_cast<std::size_t>(b) * ERROR_TERMS];
    return std::max(c[0] + c[1] * sigma + c[2] * level, 0.1 * m.error_mean_abs[b]);
}

// Solves the n x n system a x = r (row-major; a and r overwritten) by
// Gaussian elimination; false when a pivot vanishes.
bool solve_small(double* a, double* r, int n)
{
    for (int j = 0; j < n; ++j) {
        if (!(std::fabs(a[j * n + j]) > 0.0)) return false;
        for (int i = j + 1; i < n; ++i) {
            const double t = a[i * n + j] / a[j * n + j];
            for (int k = j; k < n; ++k) a[i * n + k] -= t * a[j * n + k];
            r[i] -= t * r[j];
        }
    }
    for (int j = n - 1; j >= 0; --j) {
        for (int k = j + 1; k < n; ++k) r[j] -= a[j * n + k] * r[k];
        r[j] /= a[j * n + j];
    }
    return true;
}

// Per band, the least-squares line of the absolute error at the samples on
// 1, the scaled estimate and the level; then per ring and band the factor
// that brings the line's squares to the squared errors (`actual`, summed).
// sigma and error: per visit (seen_ring) and band; sigma NaN where none.
void fit_error_line(RefineModel& m, const std::vector<int>& seen_ring,
                    const std::vector<double>& sigma, const std::vector<double>& error,
                    const std::vector<double>& actual)
{
    const int bands = m.bands;
    const std::size_t nb = static_cast<std::size_t>(bands);
    const std::size_t visits = seen_ring.size();
    m.error_mean.assign(nb, 0.0);
    m.error_mean_abs.assign(nb, 0.0);
    std::vector<double> n(nb, 0.0);
    for (std::size_t i = 0; i < visits * nb; ++i)
        if (std::isfinite(sigma[i])) {
            m.error_mean[i % nb] += sigma[i];
            m.error_mean_abs[i % nb] += std::fabs(error[i]);
            n[i % nb] += 1.0;
        }
    for (std::size_t b = 0; b < nb; ++b)
        if (n[b] > 0.0) {
            m.error_mean[b] /= n[b];
            m.error_mean_abs[b] /= n[b];
        }
    constexpr int T = ERROR_TERMS;
    std::vector<double> normal(nb * T * T, 0.0), right(nb * T, 0.0);
    for (std::size_t v = 0; v < visits; ++v) {
        const double level = error_level(m, &sigma[v * nb]);
        for (std::size_t b = 0; b < nb; ++b) {
            const std::size_t i = v * nb + b;
            if (!std::isfinite(sigma[i])) continue;
            const double x[T] = {1.0, sigma[i], level};
            for (int j = 0; j < T; ++j) {
                for (int k = 0; k < T; ++k) normal[(b * T + j) * T + k] += x[j] * x[k];
                right[b * T + j] += x[j] * std::fabs(error[i]);
            }
        }
    }
    m.error_line.assign(nb * T, 0.0);
    for (std::size_t b = 0; b < nb; ++b) {
        double* c = &m.error_line[b * T];
        std::copy(&right[b * T], &right[b * T] + T, c);
        // Too few or too alike samples: the estimate as it stands.
        if (!solve_small(&normal[b * T * T], c, T) || !std::isfinite(c[0] + c[1] + c[2])) {
            std::fill(c, c + T, 0.0);
            c[1] = 1.0;
        }
    }
    const std::size_t ring_slots = static_cast<std::size_t>(RING_REACH + 1) * nb;
    std::vector<double> squared_line(ring_slots, 0.0);
    for (std::size_t v = 0; v < visits; ++v) {
        const double level = error_level(m, &sigma[v * nb]);
        for (std::size_t b = 0; b < nb; ++b)
            if (std::isfinite(sigma[v * nb + b])) {
                const double line = error_line(m, static_cast<int>(b), sigma[v * nb + b], level);
                squared_line[static_cast<std::size_t>(seen_ring[v]) * nb + b] += line * line;
            }
    }
    m.error_rescale.assign(ring_slots, 1.0);
    for (std::size_t i = 0; i < ring_slots; ++i)
        if (squared_line[i] > 0.0) m.error_rescale[i] = std::sqrt(actual[i] / squared_line[i]);
}

}  // namespace

void index_residual_table(ResidualTable& table, int width)
{
    const int rows = static_cast<int>(table.row_first.size()) - 1;
    table.blocks = (width + RESIDUAL_BLOCK - 1) / RESIDUAL_BLOCK;
    table.block_first.resize(static_cast<std::size_t>(std::max(rows, 0)) * table.blocks);
    for (int r = 0; r < rows; ++r) {
        std::size_t e = table.row_first[r];
        const std::size_t line = static_cast<std::size_t>(r) * width;
        for (int k = 0; k < table.blocks; ++k) {
            const std::size_t start = line + static_cast<std::size_t>(k) * RESIDUAL_BLOCK;
            while (e < table.row_first[r + 1] && table.at[e] < start) ++e;
            table.block_first[static_cast<std::size_t>(r) * table.blocks + k] = e;
        }
    }
}

void index_residual_fill(ResidualTable& table, const SimilarSearch& s)
{
    const std::size_t entries = table.at.size(), nb = static_cast<std::size_t>(s.bands);
    table.fill_stride = entries + 3;
    table.fill.assign(table.fill_stride * nb, 0.0f);
    for (std::size_t b = 0; b < nb; ++b)
        for (std::size_t e = 0; e < entries; ++e)
            table.fill[b * table.fill_stride + e] = s.scaled_fill[table.at[e] * nb + b];
}

namespace {

// The SPECTRAL_NEIGHBOURS least (distance, entry) pairs offered so far, in
// the pairs' order (by distance, then entry), whatever the order offered.
// The places not yet taken hold (+inf, an entry past any), after every pair
// offered, and so does the room past them (three 8-lane registers' worth).
struct NearestEntries {
    static constexpr int ROOM = 24;
    double distance[ROOM];
    std::size_t entry[ROOM];
    int n = 0;
    NearestEntries()
    {
        std::fill(distance, distance + ROOM, std::numeric_limits<double>::infinity());
        std::fill(entry, entry + ROOM, static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()));
    }
    // Whether (d, e) comes after the last kept pair: then it is not kept.
    bool beyond(double d, std::size_t e) const
    {
        constexpr int last = SPECTRAL_NEIGHBOURS - 1;
        return distance[last] < d || (distance[last] == d && entry[last] < e);
    }
    void offer(double d, std::size_t e)
    {
        auto after = [&](int i) { return distance[i] > d || (distance[i] == d && entry[i] > e); };
        if (beyond(d, e)) return;
        int i = n < SPECTRAL_NEIGHBOURS ? n : SPECTRAL_NEIGHBOURS - 1;
        n += n < SPECTRAL_NEIGHBOURS;
        for (; i > 0 && after(i - 1); --i) {
            distance[i] = distance[i - 1];
            entry[i] = entry[i - 1];
        }
        distance[i] = d;
        entry[i] = e;
    }
    // offer(d[0], first), .. offer(d[count - 1], first + count - 1).
    void offer_run(const double* d, std::size_t first, std::size_t count)
    {
        for (std::size_t k = 0; k < count; ++k) offer(d[k], first + k);
    }
};

// The spectral distances of `count` consecutive entries from `first`
// (spectral_distance2's, from the table's fill) into out[0 .. count - 1].
void entry_distances_plain(const ResidualTable& t, int bands, const float* own, std::size_t first,
                           std::size_t count, double* out)
{
    for (std::size_t i = 0; i < count; ++i) {
        double sum = 0.0;
        for (int b = 0; b < bands; ++b) {
            const double d = static_cast<double>(t.fill[b * t.fill_stride + first + i]) - own[b];
            sum += d * d;
        }
        sum /= bands;
        out[i] = std::isnan(sum) ? std::numeric_limits<double>::infinity() : sum;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same, four entries on four lanes, each lane's operations those of the
// plain form: out gets up to three values more (of the entries after, or of
// the stride's room).
__attribute__((target("avx2"))) void entry_distances_avx2(const ResidualTable& t, int bands,
                                                         const float* own, std::size_t first,
                                                         std::size_t count, double* out)
{
    const float* const f = t.fill.data() + first;
    const __m256d divisor = _mm256_set1_pd(static_cast<double>(bands));
    const __m256d infinity = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < count; i += 4) {
        __m256d sum = _mm256_setzero_pd();
        for (int b = 0; b < bands; ++b) {
            const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(f + b * t.fill_stride + i));
            const __m256d d = _mm256_sub_pd(x, _mm256_set1_pd(static_cast<double>(own[b])));
            sum = _mm256_add_pd(sum, _mm256_mul_pd(d, d));
        }
        sum = _mm256_div_pd(sum, divisor);
        sum = _mm256_blendv_pd(sum, infinity, _mm256_cmp_pd(sum, sum, _CMP_UNORD_Q));
        _mm256_storeu_pd(out + i, sum);
    }
}

static_assert(SPECTRAL_NEIGHBOURS == 20, "the vector form holds the pairs in three registers");
// GCC 12 warns about the undefined passthrough operand inside its own
// permute and alignr intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// The lanes whose pair (x, y) comes before (d, e).
__attribute__((target("avx512f"))) inline unsigned pairs_before(__m512d x, __m512i y, __m512d d, __m512i e)
{
    return static_cast<unsigned>(_mm512_cmp_pd_mask(x, d, _CMP_LT_OQ) |
                                 (_mm512_cmp_pd_mask(x, d, _CMP_EQ_OQ) & _mm512_cmpgt_epi64_mask(e, y)));
}

// NearestEntries::offer_run with AVX-512, the 20 places (and 4 unused) in
// three registers of distances and three of entries for the whole run: the
// place of a kept pair is the count of those before it; each register from
// there takes its predecessor's lanes (alignr with the register before)
// under a mask. Eight distances at a time against the last kept: those
// beyond it pass without a branch each.
__attribute__((target("avx512f,popcnt"))) void offer_run_avx512(NearestEntries& kept, const double* d,
                                                               std::size_t first, std::size_t count)
{
    double* const dist = kept.distance;
    long long* const ent = reinterpret_cast<long long*>(kept.entry);
    __m512d d0 = _mm512_loadu_pd(dist), d1 = _mm512_loadu_pd(dist + 8), d2 = _mm512_loadu_pd(dist + 16);
    __m512i e0 = _mm512_loadu_si512(ent), e1 = _mm512_loadu_si512(ent + 8), e2 = _mm512_loadu_si512(ent + 16);
    const __m512i last = _mm512_set1_epi64(SPECTRAL_NEIGHBOURS - 1 - 16);
    constexpr unsigned places = (1u << SPECTRAL_NEIGHBOURS) - 1u;
    int n = kept.n;
    for (std::size_t group = 0; group < count; group += 8) {
        const __mmask8 lanes = count - group >= 8 ? 0xff : static_cast<__mmask8>((1u << (count - group)) - 1u);
        unsigned near = _mm512_mask_cmp_pd_mask(lanes, _mm512_loadu_pd(d + group),
                                                _mm512_permutexvar_pd(last, d2), _CMP_LE_OQ);
        for (; near != 0; near &= near - 1) {
            const std::size_t k = group + static_cast<std::size_t>(__builtin_ctz(near));
            const __m512d dv = _mm512_set1_pd(d[k]);
            const __m512i ev = _mm512_set1_epi64(static_cast<long long>(first + k));
            const unsigned place = static_cast<unsigned>(__builtin_popcount(
                pairs_before(d0, e0, dv, ev) | pairs_before(d1, e1, dv, ev) << 8 | pairs_before(d2, e2, dv, ev) << 16));
            if (place >= SPECTRAL_NEIGHBOURS) continue;  // after the last kept
            const unsigned moved = places & ~((2u << place) - 1u), here = 1u << place;
            const __m512d p1 = _mm512_castsi512_pd(_mm512_alignr_epi64(_mm512_castpd_si512(d1), _mm512_castpd_si512(d0), 7));
            const __m512d p2 = _mm512_castsi512_pd(_mm512_alignr_epi64(_mm512_castpd_si512(d2), _mm512_castpd_si512(d1), 7));
            const __m512d p0 = _mm512_castsi512_pd(_mm512_alignr_epi64(_mm512_castpd_si512(d0), _mm512_castpd_si512(d0), 7));
            const __m512i q1 = _mm512_alignr_epi64(e1, e0, 7), q2 = _mm512_alignr_epi64(e2, e1, 7);
            const __m512i q0 = _mm512_alignr_epi64(e0, e0, 7);
            d0 = _mm512_mask_mov_pd(_mm512_mask_mov_pd(d0, static_cast<__mmask8>(moved), p0), static_cast<__mmask8>(here), dv);
            d1 = _mm512_mask_mov_pd(_mm512_mask_mov_pd(d1, static_cast<__mmask8>(moved >> 8), p1),
                                    static_cast<__mmask8>(here >> 8), dv);
            d2 = _mm512_mask_mov_pd(_mm512_mask_mov_pd(d2, static_cast<__mmask8>(moved >> 16), p2),
                                    static_cast<__mmask8>(here >> 16), dv);
            e0 = _mm512_mask_mov_epi64(_mm512_mask_mov_epi64(e0, static_cast<__mmask8>(moved), q0),
                                       static_cast<__mmask8>(here), ev);
            e1 = _mm512_mask_mov_epi64(_mm512_mask_mov_epi64(e1, static_cast<__mmask8>(moved >> 8), q1),
                                       static_cast<__mmask8>(here >> 8), ev);
            e2 = _mm512_mask_mov_epi64(_mm512_mask_mov_epi64(e2, static_cast<__mmask8>(moved >> 16), q2),
                                       static_cast<__mmask8>(here >> 16), ev);
            n += n < SPECTRAL_NEIGHBOURS;
        }
    }
    _mm512_storeu_pd(dist, d0);
    _mm512_storeu_pd(dist + 8, d1);
    _mm512_storeu_pd(dist + 16, d2);
    _mm512_storeu_si512(ent, e0);
    _mm512_storeu_si512(ent + 8, e1);
    _mm512_storeu_si512(ent + 16, e2);
    kept.n = n;
}

// Pairs the ranked form takes at most (the windows of the refined fill
// hold about 55 residual pixels, few more than 128): each pair's rank costs
// a pass over all.
constexpr std::size_t RANKED_MOST = 160;

// The SPECTRAL_NEIGHBOURS least of the m (distance d[i], entry e[i]) pairs,
// the entries rising with i, their entries in the pairs' order into entry[]; returns
// how many (m or SPECTRAL_NEIGHBOURS). Each pair's place is the count of
// the pairs before it. d has room for 8 more past m (the lanes past the
// last pair are counted as well, but not written).
__attribute__((target("avx512f"))) int rank_nearest_avx512(double* d, long long* e, std::size_t m,
                                                                std::size_t* entry)
{
    std::fill(d + m, d + m + 8, std::numeric_limits<double>::infinity());
    // Eight pairs' counts at a time on the lanes, each pair j offered to all
    // eight in turn. The entries rise with the index, so pair j comes before
    // pair i when d[j] < d[i], or d[j] == d[i] and j < i: for j below the
    // eight, when d[j] <= d[i]; above them, when d[j] < d[i].
    const __m512i one = _mm512_set1_epi64(1);
    for (std::size_t i = 0; i < m; i += 8) {
        const __m512d x = _mm512_load_pd(d + i);
        __m512i place = _mm512_setzero_si512();
        for (std::size_t j = 0; j < i; ++j)
            place = _mm512_mask_add_epi64(place, _mm512_cmp_pd_mask(x, _mm512_set1_pd(d[j]), _CMP_GE_OQ), place, one);
        for (std::size_t j = i; j < std::min(i + 8, m); ++j) {
            const __m512d dj = _mm512_set1_pd(d[j]);
            const __mmask8 later = static_cast<__mmask8>(0xfeu << (j - i));  // the lanes after j's
            const __mmask8 after = static_cast<__mmask8>(_mm512_cmp_pd_mask(x, dj, _CMP_GT_OQ) |
                                                         _mm512_mask_cmp_pd_mask(later, x, dj, _CMP_EQ_OQ));
            place = _mm512_mask_add_epi64(place, after, place, one);
        }
        for (std::size_t j = i + 8; j < m; ++j)
            place = _mm512_mask_add_epi64(place, _mm512_cmp_pd_mask(x, _mm512_set1_pd(d[j]), _CMP_GT_OQ), place, one);
        alignas(64) long long p[8];
        _mm512_store_si512(p, place);
        for (std::size_t k = 0; k < std::min<std::size_t>(8, m - i); ++k)
            if (p[k] < SPECTRAL_NEIGHBOURS) entry[p[k]] = static_cast<std::size_t>(e[i + k]);
    }
    return static_cast<int>(std::min<std::size_t>(m, SPECTRAL_NEIGHBOURS));
}
#pragma GCC diagnostic pop
#endif

// Adds the `values` values of each of the n entries to mean[] and, with
// `square`, their squares to square[], entry after entry; the two sums
// apart, so each value's may run on vector lanes.
[[gnu::always_inline]] inline void sum_entries_by(const float* table, int values, const std::size_t* entries,
                                                  std::size_t n, double* __restrict mean,
                                                  double* __restrict square)
{
    for (std::size_t i = 0; i < n; ++i) {
        const float* x = table + entries[i] * static_cast<std::size_t>(values);
        if (square == nullptr) {
            for (int v = 0; v < values; ++v) mean[v] += x[v];
            continue;
        }
        for (int v = 0; v < values; ++v) {
            const double y = x[v];
            mean[v] += y;
            square[v] += y * y;
        }
    }
}
void sum_entries_plain(const float* table, int values, const std::size_t* entries, std::size_t n,
                       double* mean, double* square)
{
    sum_entries_by(table, values, entries, n, mean, square);
}
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void sum_entries_avx2(const float* table, int values, const std::size_t* entries,
                                                     std::size_t n, double* mean, double* square)
{
    sum_entries_by(table, values, entries, n, mean, square);
}
#endif

}  // namespace

int spectral_residual_mean(const SimilarSearch& s, const ResidualTable& table, int row, int col,
                           int exclude, std::vector<std::pair<double, std::size_t>>& scratch,
                           double* mean, double* square)
{
    const int values = table.count;
    std::fill(mean, mean + values, 0.0);
    if (square != nullptr) std::fill(square, square + values, 0.0);
    const std::size_t centre = static_cast<std::size_t>(row) * s.width + col;
    const float* own = s.scaled_fill + centre * static_cast<std::size_t>(s.bands);
    const int gap = std::max(exclude, 1);
    // Calls visit(first, end) for the runs of entries in the window, those
    // fewer than `gap` rows and columns away left out: row by row from the
    // pixel's row outward, the nearer rows first, whose pixels tend to be
    // the more alike.
    auto for_each_run = [&](auto visit) {
        for (int k = 0; k <= 2 * SPECTRAL_HALF; ++k) {
            const int r = row + (k % 2 == 0 ? k / 2 : -(k + 1) / 2);
            if (r < 0 || r >= s.rows) continue;
            const std::size_t line = static_cast<std::size_t>(r) * s.width;
            const std::size_t first = line + static_cast<std::size_t>(std::max(col - SPECTRAL_HALF, 0));
            const std::size_t last = line + static_cast<std::size_t>(std::min(col + SPECTRAL_HALF, s.width - 1));
            const std::size_t row_end = table.row_first[r + 1];
            std::size_t e = 0;
            if (table.block_first.empty()) {
                e = static_cast<std::size_t>(
                    std::lower_bound(table.at.begin() + static_cast<std::ptrdiff_t>(table.row_first[r]),
                                     table.at.begin() + static_cast<std::ptrdiff_t>(row_end), first) -
                    table.at.begin());
            } else {
                const std::size_t block = static_cast<std::size_t>(r) * table.blocks +
                                          static_cast<std::size_t>((first - line) / RESIDUAL_BLOCK);
                e = table.block_first[block];
                while (e != row_end && table.at[e] < first) ++e;
            }
            std::size_t end = e;
            while (end != row_end && table.at[end] <= last) ++end;
            if (std::abs(r - row) >= gap) {
                visit(e, end);
                continue;
            }
            // The row's entries left and right of the square left out.
            std::size_t left_end = e;
            while (left_end != end && static_cast<int>(table.at[left_end] - line) <= col - gap) ++left_end;
            std::size_t right = left_end;
            while (right != end && static_cast<int>(table.at[right] - line) < col + gap) ++right;
            visit(e, left_end);
            visit(right, end);
        }
    };
    auto average = [&](std::size_t n, auto entry_of) {
        std::size_t entries[SPECTRAL_NEIGHBOURS];
        for (std::size_t i = 0; i < n; ++i) entries[i] = entry_of(i);
#if defined(__x86_64__) || defined(__i386__)
        const bool avx2 = kernel_level() >= KernelLevel::AVX2;
        (avx2 ? sum_entries_avx2 : sum_entries_plain)(table.values.data(), values, entries, n, mean, square);
#else
        sum_entries_plain(table.values.data(), values, entries, n, mean, square);
#endif
        for (int v = 0; v < values; ++v) mean[v] /= static_cast<double>(n);
        if (square != nullptr)
            for (int v = 0; v < values; ++v) square[v] /= static_cast<double>(n);
        return static_cast<int>(n);
    };
    if (!table.fill.empty()) {
        // Each run's distances at once, then the nearest kept as they come:
        // a near threshold found early spares most of the insertions.
#if defined(__x86_64__) || defined(__i386__)
        const bool avx2 = kernel_level() >= KernelLevel::AVX2;
        const bool avx512 = kernel_level() >= KernelLevel::AVX512;
        const auto distances = avx2 ? entry_distances_avx2 : entry_distances_plain;
        const auto offer_run = avx512 ? offer_run_avx512
                                      : [](NearestEntries& kept, const double* d, std::size_t first,
                                           std::size_t count) { kept.offer_run(d, first, count); };
#else
        const auto distances = entry_distances_plain;
        const auto offer_run = [](NearestEntries& kept, const double* d, std::size_t first, std::size_t count) {
            kept.offer_run(d, first, count);
        };
#endif
        NearestEntries nearest;
#if defined(__x86_64__) || defined(__i386__)
        if (avx512) {
            // The window's pairs all at hand, each ranked by itself (no
            // chain of insertions): where there are not too many.
            // Per window row (in raster order, so that of two pairs at the
            // same distance the later is the later entry), its runs.
            constexpr int SIDE = 2 * SPECTRAL_HALF + 1;
            std::pair<std::size_t, std::size_t> runs[SIDE][2];
            int in_row[SIDE] = {};
            std::size_t pairs = 0;
            for_each_run([&](std::size_t first, std::size_t end) {
                if (first == end) return;
                const int slot = static_cast<int>(table.at[first] / s.width) - (row - SPECTRAL_HALF);
                runs[slot][in_row[slot]++] = {first, end};
                pairs += end - first;
            });
            if (pairs <= RANKED_MOST) {
                alignas(64) double d[RANKED_MOST + 8];
                alignas(64) long long e[RANKED_MOST + 8];
                std::size_t m = 0;
                for (int slot = 0; slot < SIDE; ++slot)
                    for (int k = 0; k < in_row[slot]; ++k) {
                        const std::size_t first = runs[slot][k].first, count = runs[slot][k].second - first;
                        distances(table, s.bands, own, first, count, d + m);
                        for (std::size_t i = 0; i < count; ++i) e[m + i] = static_cast<long long>(first + i);
                        m += count;
                    }
                nearest.n = rank_nearest_avx512(d, e, m, nearest.entry);
                if (nearest.n == 0) return 0;
                return average(static_cast<std::size_t>(nearest.n), [&](std::size_t i) { return nearest.entry[i]; });
            }
        }
#endif
        double d[2 * SPECTRAL_HALF + 1 + 7];
        for_each_run([&](std::size_t first, std::size_t end) {
            if (first == end) return;
            distances(table, s.bands, own, first, end - first, d);
            offer_run(nearest, d, first, end - first);
        });
        if (nearest.n == 0) return 0;
        return average(static_cast<std::size_t>(nearest.n), [&](std::size_t i) { return nearest.entry[i]; });
    }
    scratch.clear();
    for_each_run([&](std::size_t first, std::size_t end) {
        for (std::size_t e = first; e < end; ++e)
            scratch.emplace_back(spectral_distance2(s, own, table.at[e]), e);
    });
    // The nearest, ties to the earlier pixel: (distance, entry) pairs are
    // all different, so the set taken and its order are the same however
    // they were laid out.
    const std::size_t n = std::min<std::size_t>(scratch.size(), SPECTRAL_NEIGHBOURS);
    if (n == 0) return 0;
    std::nth_element(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n - 1), scratch.end(),
                     NearerPair{});
    std::sort(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(n), NearerPair{});
    return average(n, [&](std::size_t i) { return scratch[i].second; });
}

void mark_residual_pixels(
    const unsigned char* status, const unsigned char* target_mask, const unsigned char* fill_mask,
    int rows, int width, unsigned char* residual_pixels,
    const WorkItems& in_pieces)
{
    const std::size_t pixels = static_cast<std::size_t>(rows) * width;
    constexpr int PIECE_ROWS = 64;
    const std::size_t pieces = static_cast<std::size_t>((rows + PIECE_ROWS - 1) / PIECE_ROWS);
    auto each_piece = [&](const std::function<void(int r)>& row_work) {
        const std::function<void(std::size_t)> work = [&](std::size_t piece) {
            const int first = static_cast<int>(piece) * PIECE_ROWS;
            for (int r = first; r < std::min(rows, first + PIECE_ROWS); ++r) row_work(r);
        };
        if (in_pieces)
            in_pieces(pieces, work);
        else
            for (std::size_t piece = 0; piece < pieces; ++piece) work(piece);
    };
    // Whether a predicted pixel lies within reach along the row, then the
    // column; every byte written by the first pass.
    const std::unique_ptr<unsigned char[]> near_in_row = std::make_unique_for_overwrite<unsigned char[]>(pixels);
    each_piece([&](int r) {
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
    });
    each_piece([&](int r) {
        for (int c = 0; c < width; ++c) {
            const std::size_t pos = static_cast<std::size_t>(r) * width + c;
            bool near = false;
            for (int rr = std::max(0, r - RESIDUAL_REACH);
                 rr <= std::min(rows - 1, r + RESIDUAL_REACH) && !near; ++rr)
                near = near_in_row[static_cast<std::size_t>(rr) * width + c] != 0;
            residual_pixels[pos] = near && target_mask[pos] == 0 && fill_mask[pos] == 0;
        }
    });
}

void predict_refined_rows(const SimilarSearch& similar, const unsigned char* target_mask,
                          const NeighbourWeights& kriging, const unsigned char* select,
                          int row_begin, int row_end,
                          double* const* predictions, const KnownInterpolation* kept,
                          const double* wide_slopes)
{
    const int bands = similar.bands;
    PredictScratch work;
    std::vector<double> out(static_cast<std::size_t>(OTHER_PREDICTORS) * bands);
    for (int r = std::max(row_begin, 0); r < std::min(row_end, similar.rows); ++r)
        for (int c = 0; c < similar.width; ++c) {
            const std::size_t pos = static_cast<std::size_t>(r) * similar.width + c;
            if (select[pos] == 0) continue;
            predict_others(similar, target_mask, kriging, r, c, 1, work, out.data(), nullptr, kept,
                           wide_slopes);
            for (std::size_t v = 0; v < out.size(); ++v) predictions[v][pos] = out[v];
        }
}

CalibrationSamples calibration_samples(const RefineInputs& in)
{
    const std::size_t pixels = static_cast<std::size_t>(in.rows) * in.width;
    long long residual_count = 0;
    for (std::size_t q = 0; q < pixels; ++q) residual_count += in.residual_pixels[q] != 0;
    const long long every = std::max<long long>(
        REFINE_SAMPLE_EVERY, (residual_count + REFINE_SAMPLE_MOST - 1) / REFINE_SAMPLE_MOST);
    CalibrationSamples samples;
    long long seen = 0;
    for (std::size_t q = 0; q < pixels; ++q)
        if (in.residual_pixels[q] != 0 && seen++ % every == 0) samples.at.push_back(q);
    samples.visits.resize(samples.chunks());
    return samples;
}

void visit_samples(const RefineInputs& in, CalibrationSamples& samples, std::size_t chunk)
{
    const int bands = in.band_count;
    const std::size_t nb = static_cast<std::size_t>(bands);
    const std::size_t first = chunk * CalibrationSamples::CHUNK;
    const std::size_t end = std::min(first + CalibrationSamples::CHUNK, samples.at.size());
    PredictScratch work;
    RingStats residuals(P * bands);
    std::vector<double> out(static_cast<std::size_t>(OTHER_PREDICTORS) * nb), line(nb);
    CalibrationSamples::Visits& v = samples.visits[chunk];
    v = {};
    // Each sample predicted from pixels ring s or further, s = 1, then one
    // beyond the ring the interpolation found, and so on: a sample seen as a
    // gap pixel that far from the nearest valid one.
    for (std::size_t i = first; i < end; ++i) {
        const std::size_t q = samples.at[i];
        const int r = static_cast<int>(q / in.width), c = static_cast<int>(q % in.width);
        for (int s = 1; s <= RING_REACH;) {
            const int ring = predict_others(*in.similar, in.target_mask, *in.kriging, r, c, s,
                                            work, out.data(), line.data(), nullptr,
                                            in.wide_slopes);
            if (ring == 0) break;
            residual_ring_stats(in, r, c, ring, residuals);
            v.at.push_back(q);
            v.ring.push_back(ring);
            v.residual_ring.push_back(residuals.ring);
            v.values.insert(v.values.end(), out.begin(), out.end());
            v.values.insert(v.values.end(), line.begin(), line.end());
            v.values.insert(v.values.end(), residuals.mean.begin(), residuals.mean.end());
            v.values.insert(v.values.end(), residuals.square.begin(), residuals.square.end());
            // Rings s .. ring - 1 hold no valid pixel, so leaving them out
            // would predict the same again: jump past the ring found.
            s = ring + 1;
        }
    }
}

RefineModel calibrate_refinement(const RefineInputs& in)
{
    CalibrationSamples samples = calibration_samples(in);
    for (std::size_t chunk = 0; chunk < samples.chunks(); ++chunk) visit_samples(in, samples, chunk);
    return calibrate_refinement(in, samples);
}

void one_by_one(std::size_t count, const std::function<void(std::size_t)>& work)
{
    for (std::size_t i = 0; i < count; ++i) work(i);
}

RefineModel calibrate_refinement(const RefineInputs& in, const CalibrationSamples& samples,
                                 const WorkItems& in_chunks)
{
    const int bands = in.band_count;
    const std::size_t nb = static_cast<std::size_t>(bands);
    RefineModel m;
    m.bands = bands;
    const std::size_t slots = static_cast<std::size_t>(P) * (RING_REACH + 1) * bands;

    RingStats residuals(P * bands);
    const double* out = nullptr;   // the visit's interpolation and local plane
    const double* line = nullptr;  // its similar line
    const Residual residual{in};
    // Calls visit(q, ring) for the samples' visits in order, `out`, `line`
    // and `residuals` set to the visit's.
    const std::size_t stride = (OTHER_PREDICTORS + 1 + 2 * P) * nb;
    auto for_each_ring = [&](auto visit) {
        for (const CalibrationSamples::Visits& v : samples.visits)
            for (std::size_t k = 0; k < v.at.size(); ++k) {
                const double* values = v.values.data() + k * stride;
                out = values;
                line = values + OTHER_PREDICTORS * nb;
                const double* mean = line + nb;
                const double* square = mean + P * nb;
                std::copy(mean, mean + P * nb, residuals.mean.begin());
                std::copy(square, square + P * nb, residuals.square.begin());
                residuals.ring = v.residual_ring[k];
                visit(v.at[k], v.ring[k]);
            }
    };
    auto value_of = [&](std::size_t q, int k, int b) {
        return k == PREDICT_REGRESSION ? in.loo_regression[b][q] : out[(k - 1) * bands + b];
    };

    // Pass 1: the carry-over, the least-squares factor of the residuals'
    // mean around a sample on its own residual; and each predictor's squared
    // error by ring. The regression cannot exclude rings; its errors are
    // taken to grow as the similar line's, the fit most like it.
    // Per slot: the sums of residual x mean and of mean^2 (the carry-over's
    // least squares), and of the squared errors with their count.
    // Each visit's products and errors by themselves, in chunks of visits
    // (the samples' chunks); then the sums in visit order.
    std::vector<std::size_t> visit_first(samples.visits.size() + 1, 0);
    for (std::size_t chunk = 0; chunk < samples.visits.size(); ++chunk)
        visit_first[chunk + 1] = visit_first[chunk] + samples.visits[chunk].at.size();
    const std::size_t visit_count = visit_first.back();
    const std::size_t terms = static_cast<std::size_t>(P) * nb;  // per visit
    std::vector<double> visit_product(visit_count * terms), visit_error(visit_count * terms);
    in_chunks(samples.visits.size(), [&](std::size_t chunk) {
        const CalibrationSamples::Visits& v = samples.visits[chunk];
        for (std::size_t k = 0; k < v.at.size(); ++k) {
            const std::size_t visit = visit_first[chunk] + k, q = v.at[k];
            const double* own = v.values.data() + k * stride;  // as for_each_ring's
            const double* own_line = own + OTHER_PREDICTORS * nb;
            const double* mean = own_line + nb;
            for (int p = 0; p < P; ++p)
                for (int b = 0; b < bands; ++b) {
                    const std::size_t t = visit * terms + static_cast<std::size_t>(p) * nb + b;
                    if (v.residual_ring[k] > 0)
                        visit_product[t] = residual(p * bands + b, q) * mean[p * bands + b];
                    visit_error[t] = (p == PREDICT_REGRESSION ? own_line[b] : own[(p - 1) * bands + b]) -
                                     in.target[b][q];
                }
        }
    });
    std::vector<double> residual_by_mean(slots, 0.0), mean_squared(slots, 0.0);
    std::vector<double> error_squared(slots, 0.0), count(slots, 0.0);
    std::size_t summed = 0;  // visits so far
    for_each_ring([&](std::size_t, int ring) {
        for (int k = 0; k < P; ++k)
            for (int b = 0; b < bands; ++b) {
                const std::size_t i = slot(bands, k, ring, b);
                const std::size_t t = summed * terms + static_cast<std::size_t>(k) * nb + b;
                if (residuals.ring > 0) {
                    const double mean = residuals.mean[k * bands + b];
                    residual_by_mean[i] += visit_product[t];
                    mean_squared[i] += mean * mean;
                }
                const double e = visit_error[t];
                if (std::isfinite(e)) {
                    error_squared[i] += e * e;
                    count[i] += 1.0;
                }
            }
        ++summed;
    });
    m.carry.assign(slots, 0.0);
    m.growth.assign(slots, 1.0);
    for (int k = 0; k < P; ++k)
        for (int b = 0; b < bands; ++b) {
            const std::size_t first = slot(bands, k, 1, b);
            const double base = count[first] > 0.0 ? error_squared[first] / count[first] : 0.0;
            for (int ring = 1; ring <= RING_REACH; ++ring) {
                const std::size_t i = slot(bands, k, ring, b);
                m.carry[i] = mean_squared[i] > 0.0
                                 ? std::clamp(residual_by_mean[i] / mean_squared[i], 0.0, 1.0)
                                 : 0.0;
                // Rings no sample reached keep the growth of the ring before.
                if (base > 0.0 && count[i] > 0.0)
                    m.growth[i] = error_squared[i] / count[i] / base;
                else if (ring > 1)
                    m.growth[i] = m.growth[i - bands];
            }
        }

    // The residual pixels' residuals after the rings' correction, as a gap
    // pixel's predictions are corrected.
    const std::size_t pixels = static_cast<std::size_t>(in.rows) * in.width;
    const std::size_t values = static_cast<std::size_t>(P) * nb;
    m.corrected = {};
    if (in.spectral) {
        m.corrected.count = P * bands;
        m.corrected.row_first.assign(static_cast<std::size_t>(in.rows) + 1, 0);
        for (std::size_t q = 0; q < pixels; ++q)
            if (in.residual_pixels[q] != 0) {
                m.corrected.at.push_back(q);
                ++m.corrected.row_first[q / in.width + 1];
            }
        for (int r = 0; r < in.rows; ++r) m.corrected.row_first[r + 1] += m.corrected.row_first[r];
        index_residual_table(m.corrected, in.width);
        index_residual_fill(m.corrected, *in.similar);
        m.corrected.values.resize(m.corrected.at.size() * values);
        // Each entry its own values, so the rows may run in any order.
        in_chunks(static_cast<std::size_t>(in.rows), [&](std::size_t row) {
            RingStats around(P * bands);
            std::vector<double> raw(values);
            for (std::size_t e = m.corrected.row_first[row]; e < m.corrected.row_first[row + 1]; ++e) {
                const std::size_t q = m.corrected.at[e];
                const int r = static_cast<int>(row), c = static_cast<int>(q % in.width);
                residual_ring_stats(in, r, c, 1, around);
                const int nearest = nearest_valid_ring(in.target_mask, r, c, in.rows, in.width, 1);
                const int ring = nearest > 0 ? nearest : RING_REACH;
                residual(q, raw.data());
                float* corrected = m.corrected.values.data() + e * values;
                for (std::size_t v = 0; v < values; ++v) {
                    const int k = static_cast<int>(v / nb), b = static_cast<int>(v % nb);
                    const double carried =
                        around.ring > 0 ? m.carry[slot(bands, k, ring, b)] * around.mean[v] : 0.0;
                    corrected[v] = static_cast<float>(raw[v] - carried);
                }
            }
        });
    }
    // Pass 1b: the share of the spectral neighbours' mean residual that
    // carries over, by least squares of each visit's corrected error on it;
    // the neighbours at least two rings away even for a sample seen from
    // the first: its nearest neighbours share its error more than those of
    // a gap pixel, which lie across a gap.
    // Per visit: its spectral neighbours' mean residuals and mean squares,
    // and whether it had any.
    std::vector<double> spectral_means, spectral_squares;
    std::vector<unsigned char> spectral_found;
    m.spectral_carry.assign(values, 0.0);
    if (in.spectral) {
        // Each visit's mean on its own, in chunks of visits; then the sums
        // in visit order.
        std::vector<std::pair<std::size_t, int>> visited;
        for_each_ring([&](std::size_t q, int ring) { visited.emplace_back(q, ring); });
        spectral_means.resize(visited.size() * values);
        spectral_squares.resize(visited.size() * values);
        spectral_found.resize(visited.size());
        in_chunks((visited.size() + CalibrationSamples::CHUNK - 1) / CalibrationSamples::CHUNK,
                  [&](std::size_t chunk) {
                      std::vector<std::pair<double, std::size_t>> scratch;
                      const std::size_t first = chunk * CalibrationSamples::CHUNK;
                      for (std::size_t i = first; i < std::min(first + CalibrationSamples::CHUNK, visited.size()); ++i) {
                          const auto [q, ring] = visited[i];
                          const int r = static_cast<int>(q / in.width), c = static_cast<int>(q % in.width);
                          spectral_found[i] = spectral_residual_mean(
                              *in.similar, m.corrected, r, c, std::max(ring, 2), scratch,
                              spectral_means.data() + i * values, spectral_squares.data() + i * values) > 0;
                      }
                  });
        std::vector<double> error_by_mean(values, 0.0), mean_squared_s(values, 0.0);
        std::size_t seen = 0;
        for_each_ring([&](std::size_t q, int ring) {
            const double* mean = spectral_means.data() + seen++ * values;
            if (residuals.ring == 0) return;
            for (int k = 0; k < P; ++k)
                for (int b = 0; b < bands; ++b) {
                    const std::size_t v = static_cast<std::size_t>(k) * nb + b;
                    const double e = value_of(q, k, b) - m.carry[slot(bands, k, ring, b)] * residuals.mean[v] -
                                     in.target[b][q];
                    if (!std::isfinite(e)) continue;
                    error_by_mean[v] += e * mean[v];
                    mean_squared_s[v] += mean[v] * mean[v];
                }
        });
        for (std::size_t v = 0; v < values; ++v)
            if (mean_squared_s[v] > 0.0) m.spectral_carry[v] = std::clamp(error_by_mean[v] / mean_squared_s[v], 0.0, 1.0);
    }

    // Pass 2: the combination at the samples, its squared error against its
    // estimate, per ring and band.
    const std::size_t ring_slots = static_cast<std::size_t>(RING_REACH + 1) * bands;
    std::vector<double> actual(ring_slots, 0.0), estimated(ring_slots, 0.0);
    // Per visit and band: the estimated squared error (NaN: none) and the
    // error, each visit's by itself in chunks of visits (the samples'
    // chunks); then the sums in visit order.
    std::vector<int> seen_ring(visit_count);
    std::vector<double> seen_variance(visit_count * nb), seen_error(visit_count * nb);
    std::vector<unsigned char> seen_known(visit_count * nb);
    in_chunks(samples.visits.size(), [&](std::size_t chunk) {
        const CalibrationSamples::Visits& v = samples.visits[chunk];
        RingStats around(P * bands);
        for (std::size_t k = 0; k < v.at.size(); ++k) {
            const std::size_t visit = visit_first[chunk] + k, q = v.at[k];
            const int ring = v.ring[k];
            const double* own = v.values.data() + k * stride;  // as for_each_ring's
            const double* mean = own + (OTHER_PREDICTORS + 1) * nb;
            std::copy(mean, mean + P * nb, around.mean.begin());
            std::copy(mean + P * nb, mean + 2 * P * nb, around.square.begin());
            around.ring = v.residual_ring[k];
            const double* spectral = in.spectral ? spectral_means.data() + visit * values : nullptr;
            const double* square =
                in.spectral && spectral_found[visit] != 0 ? spectral_squares.data() + visit * values : nullptr;
            seen_ring[visit] = ring;
            for (int b = 0; b < bands; ++b) {
                const Combined x = combine(
                    m, ring, b,
                    [&](int p) { return p == PREDICT_REGRESSION ? in.loo_regression[b][q] : own[(p - 1) * bands + b]; },
                    around, spectral, square);
                const double e = x.value - in.target[b][q];
                const bool known = std::isfinite(e) && std::isfinite(x.variance);
                seen_variance[visit * nb + b] = known ? x.variance : NONE;
                seen_error[visit * nb + b] = e;
                seen_known[visit * nb + b] = known;
            }
        }
    });
    for (std::size_t visit = 0; visit < visit_count; ++visit)
        for (int b = 0; b < bands; ++b) {
            const std::size_t i = visit * nb + b;
            if (seen_known[i] == 0) continue;
            const std::size_t at = static_cast<std::size_t>(seen_ring[visit]) * bands + b;
            actual[at] += seen_error[i] * seen_error[i];
            estimated[at] += seen_variance[i];
        }
    m.error_scale.assign(ring_slots, 1.0);
    for (std::size_t i = 0; i < ring_slots; ++i)
        if (estimated[i] > 0.0) m.error_scale[i] = actual[i] / estimated[i];
    // The scaled estimates, in place.
    for (std::size_t v = 0; v < seen_ring.size(); ++v)
        for (int b = 0; b < bands; ++b) {
            double& x = seen_variance[v * bands + b];
            x = std::sqrt(m.error_scale[static_cast<std::size_t>(seen_ring[v]) * bands + b] * x);
        }
    fit_error_line(m, seen_ring, seen_variance, seen_error, actual);
    return m;
}

void refine_rows(const RefineModel& m, const RefineInputs& in, int row_begin, int row_end,
                 double* const* filled, double* const* error, unsigned char* status,
                 unsigned char spatial_status)
{
    const int bands = in.band_count;
    const int rows = in.rows, width = in.width;
    RingStats residuals(P * bands);
    std::vector<double> sigma(static_cast<std::size_t>(bands));
    std::vector<std::pair<double, std::size_t>> scratch;
    std::vector<double> spectral(static_cast<std::size_t>(P) * bands), square(spectral.size());
    for (int r = std::max(row_begin, 0); r < std::min(row_end, rows); ++r)
        for (int c = 0; c < width; ++c) {
            const std::size_t pos = static_cast<std::size_t>(r) * width + c;
            if (!predicted(status[pos])) continue;
            residual_ring_stats(in, r, c, 1, residuals);
            // Beyond the rings searched, the farthest ring measured stands.
            const int nearest = nearest_valid_ring(in.target_mask, r, c, rows, width, 1);
            const int ring = nearest > 0 ? nearest : RING_REACH;
            // The mean squares only for the estimated error.
            bool found = false;
            if (in.spectral)
                found = spectral_residual_mean(*in.similar, m.corrected, r, c, 1, scratch, spectral.data(),
                                               error != nullptr ? square.data() : nullptr) > 0;
            int spatial_bands = 0;
            for (int b = 0; b < bands; ++b) {
                const double regression = filled[b][pos];
                auto prediction = [&](int k) {
                    return k == PREDICT_REGRESSION ? regression
                                                   : in.predictions[(k - 1) * bands + b][pos];
                };
                const Combined x = combine(m, ring, b, prediction, residuals,
                                           in.spectral ? spectral.data() : nullptr,
                                           found && error != nullptr ? square.data() : nullptr);
                filled[b][pos] = std::isfinite(x.value) ? x.value : regression;
                sigma[b] = std::sqrt(m.error_scale[static_cast<std::size_t>(ring) * bands + b] * x.variance);
                spatial_bands += x.spatial_weight > 0.5;  // more than all the others'
            }
            if (error != nullptr) {
                const double level = error_level(m, sigma.data());
                for (int b = 0; b < bands; ++b)
                    error[b][pos] = m.error_rescale[static_cast<std::size_t>(ring) * bands + b] *
                                    error_line(m, b, sigma[b], level);
            }
            if (2 * spatial_bands > bands) status[pos] = spatial_status;
        }
}

void steady_errors(double* const* error, int bands, const unsigned char* predicted, int rows,
                   int width)
{
    const std::size_t pixels = static_cast<std::size_t>(rows) * width;
    std::vector<double> own(pixels);
    for (int b = 0; b < bands; ++b) {
        double* e = error[b];
        std::copy(e, e + pixels, own.begin());
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < width; ++c) {
                const std::size_t pos = static_cast<std::size_t>(r) * width + c;
                if (predicted[pos] == 0 || !std::isfinite(own[pos])) continue;
                double sum = 0.0, n = 0.0;
                for (int rr = std::max(r - 1, 0); rr <= std::min(r + 1, rows - 1); ++rr)
                    for (int cc = std::max(c - 1, 0); cc <= std::min(c + 1, width - 1); ++cc) {
                        const std::size_t q = static_cast<std::size_t>(rr) * width + cc;
                        if (predicted[q] != 0 && std::isfinite(own[q])) {
                            sum += own[q] * own[q];
                            n += 1.0;
                        }
                    }
                e[pos] = std::sqrt(0.5 * own[pos] * own[pos] + 0.5 * sum / n);
            }
    }
}

}  // namespace pelvane
