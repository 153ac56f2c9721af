#include "regression/fill_alignment.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

namespace pelvane {

namespace {

// Keys' cubic convolution kernel, a = -0.5: the weights of the taps at
// offsets -1, 0, 1, 2 from floor(position), t = position - floor(position).
void cubic_weights(double t, double* w)
{
    constexpr double a = -0.5;
    auto near = [](double x) { return ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0; };
    auto far = [](double x) { return ((a * x - 5.0 * a) * x + 8.0 * a) * x - 4.0 * a; };
    w[0] = far(1.0 + t);
    w[1] = near(t);
    w[2] = near(1.0 - t);
    w[3] = far(2.0 - t);
}

// The counts of gap pixels of every rectangle from the integral image
// `sum` ((rows + 1) x (width + 1)).
std::vector<std::size_t> gap_integral(const unsigned char* gap, int rows, int width)
{
    const std::size_t stride = static_cast<std::size_t>(width) + 1;
    std::vector<std::size_t> sum(stride * (static_cast<std::size_t>(rows) + 1), 0);
    for (int y = 0; y < rows; ++y) {
        std::size_t line = 0;
        for (int x = 0; x < width; ++x) {
            line += gap[static_cast<std::size_t>(y) * width + x] != 0;
            sum[(y + 1) * stride + x + 1] = sum[y * stride + x + 1] + line;
        }
    }
    return sum;
}

// Gap pixels in rows y0..y1, columns x0..x1 (inclusive).
std::size_t gaps_in(const std::vector<std::size_t>& sum, int width, int y0, int y1, int x0, int x1)
{
    const std::size_t stride = static_cast<std::size_t>(width) + 1;
    return sum[(y1 + 1) * stride + x1 + 1] - sum[y0 * stride + x1 + 1] -
           sum[(y1 + 1) * stride + x0] + sum[y0 * stride + x0];
}

// The sample pixels: their index in the strip and the target's values there.
struct Samples {
    std::vector<std::size_t> at;
    std::vector<double> target;  // sample after sample, band after band
};

// The rows and columns of the 4 x 4 support of a shift: from floor(d) - 1.
int support_first(double d)
{
    return static_cast<int>(std::floor(d)) - 1;
}

// The sum over target bands of the residual variance of each regressed on
// the fill's bands shifted by (dy, dx) plus an intercept, at the samples
// `use` lists.
// How many shifts one pass over the samples scores: the samples' fill
// values are read once for all of them instead of once per shift. The
// samples lie far apart, so each pass mostly waits for their fill values
// to come from memory: 12, the 24 whole shifts in two passes (one for each
// of two threads) and the eight around the best in one, took three
// quarters of the time 4 did.
constexpr std::size_t SHIFTS_PER_PASS = 12;

// A shift's sums over the samples, laid out as xx (m x m, lower triangle),
// xy (m x m), x, y, yy (m each).
inline std::size_t shift_sums_size(std::size_t m)
{
    return 2 * m * m + 3 * m;
}

// The sums of the scores of `k` (1 .. SHIFTS_PER_PASS) shifts, those of
// shift q into sums + q * shift_sums_size(m) (zeroed before): for every
// shift the same terms in the same order as summing its samples alone
// would take them, the shifts side by side in one pass over the samples.
// N: the band count, or 0 (known at run time only).
template <int N>
void shift_sums(const AlignmentStrip& s, const Samples& samples, const std::vector<std::size_t>& use,
                std::size_t k, const double (*wy)[4], const double (*wx)[4], const long* offset,
                double* __restrict sums)
{
    const std::size_t m = N > 0 ? static_cast<std::size_t>(N) : static_cast<std::size_t>(s.bands);
    const std::size_t size = shift_sums_size(m);
    double x_fixed[N > 0 ? N : 1];
    std::vector<double> x_grown(N > 0 ? 0 : m);
    double* const x = N > 0 ? x_fixed : x_grown.data();
    const long w = s.width;
    for (const std::size_t j : use) {
        const double* t = samples.target.data() + j * m;
        for (std::size_t q = 0; q < k; ++q) {
            const long at = static_cast<long>(samples.at[j]) + offset[q];
            const double* const wyq = wy[q];
            const double* const wxq = wx[q];
            for (std::size_t c = 0; c < m; ++c) {
                const double* p = s.fill[c] + at;
                double v = 0.0;
                for (int r = 0; r < 4; ++r, p += w)
                    v += wyq[r] * (wxq[0] * p[0] + wxq[1] * p[1] + wxq[2] * p[2] + wxq[3] * p[3]);
                x[c] = v;
            }
            double* const sxx = sums + q * size;
            double* const sxy = sxx + m * m;
            double* const sx = sxy + m * m;
            double* const sy = sx + m;
            double* const syy = sy + m;
            for (std::size_t c = 0; c < m; ++c) {
                sx[c] += x[c];
                sy[c] += t[c];
                syy[c] += t[c] * t[c];
                for (std::size_t d = 0; d <= c; ++d) sxx[c * m + d] += x[c] * x[d];
                for (std::size_t b = 0; b < m; ++b) sxy[c * m + b] += x[c] * t[b];
            }
        }
    }
}

// The score of a shift from its sums (overwritten).
double score_from_sums(std::size_t m, double n, double* sums);

// The scores of the `k` shifts (dy[q], dx[q]) (k at most SHIFTS_PER_PASS)
// into score[0 .. k - 1]: the sum over target bands of the residual
// variance of each regressed on the fill's bands shifted by (dy, dx) plus
// an intercept, at the samples `use` lists.
void shift_scores(const AlignmentStrip& s, const Samples& samples, const std::vector<std::size_t>& use,
                  std::size_t k, const double* dy, const double* dx, double* score)
{
    double wy[SHIFTS_PER_PASS][4], wx[SHIFTS_PER_PASS][4];
    long offset[SHIFTS_PER_PASS];
    const long w = s.width;
    for (std::size_t q = 0; q < k; ++q) {
        cubic_weights(dy[q] - std::floor(dy[q]), wy[q]);
        cubic_weights(dx[q] - std::floor(dx[q]), wx[q]);
        offset[q] = support_first(dy[q]) * w + support_first(dx[q]);
    }
    const std::size_t m = static_cast<std::size_t>(s.bands), size = shift_sums_size(m);
    std::vector<double> sums(k * size, 0.0);
    auto pass = [&](auto fixed) {
        shift_sums<decltype(fixed)::value>(s, samples, use, k, wy, wx, offset, sums.data());
    };
    switch (s.bands) {
    case 3: pass(std::integral_constant<int, 3>{}); break;
    case 4: pass(std::integral_constant<int, 4>{}); break;
    case 6: pass(std::integral_constant<int, 6>{}); break;
    case 7: pass(std::integral_constant<int, 7>{}); break;
    case 8: pass(std::integral_constant<int, 8>{}); break;
    default: pass(std::integral_constant<int, 0>{}); break;
    }
    for (std::size_t q = 0; q < k; ++q)
        score[q] = score_from_sums(m, static_cast<double>(use.size()), sums.data() + q * size);
}

double shift_score(const AlignmentStrip& s, const Samples& samples, const std::vector<std::size_t>& use,
                   double dy, double dx)
{
    double score = 0.0;
    shift_scores(s, samples, use, 1, &dy, &dx, &score);
    return score;
}

double score_from_sums(std::size_t m, double n, double* sums)
{
    double* const sxx = sums;
    double* const sxy = sxx + m * m;
    const double* const sx = sxy + m * m;
    const double* const sy = sx + m;
    const double* const syy = sy + m;
    // Centred sums: the intercept drops out.
    double trace = 0.0;
    for (std::size_t c = 0; c < m; ++c) {
        for (std::size_t d = 0; d <= c; ++d) sxx[c * m + d] -= sx[c] * sx[d] / n;
        for (std::size_t b = 0; b < m; ++b) sxy[c * m + b] -= sx[c] * sy[b] / n;
        trace += sxx[c * m + c];
    }
    // Cholesky factor of sxx, with a ridge far below any real variance for
    // bands that copy one another.
    std::vector<double> L(m * m, 0.0), z(m);
    const double ridge = 1e-10 * trace / static_cast<double>(m) + std::numeric_limits<double>::min();
    for (std::size_t c = 0; c < m; ++c)
        for (std::size_t d = 0; d <= c; ++d) {
            double v = sxx[c * m + d] + (c == d ? ridge : 0.0);
            for (std::size_t k = 0; k < d; ++k) v -= L[c * m + k] * L[d * m + k];
            L[c * m + d] = c == d ? std::sqrt(std::max(v, ridge)) : v / L[d * m + d];
        }
    double total = 0.0;
    for (std::size_t b = 0; b < m; ++b) {
        // The explained sum of squares is |L^-1 sxy_b|^2.
        double explained = 0.0;
        for (std::size_t c = 0; c < m; ++c) {
            double v = sxy[c * m + b];
            for (std::size_t k = 0; k < c; ++k) v -= L[c * m + k] * z[k];
            z[c] = v / L[c * m + c];
            explained += z[c] * z[c];
        }
        total += std::max(syy[b] - sy[b] * sy[b] / n - explained, 0.0);
    }
    return total / n;
}

}  // namespace

FillShift estimate_fill_shift(const AlignmentStrip& s, const WorkItems& parallel)
{
    const int B = s.bands, rows = s.rows, width = s.width;
    if (B < 1 || rows < 4 || width < 4)
        return {};
    const std::vector<std::size_t> gaps = gap_integral(s.fill_gap, rows, width);
    // The samples: pixels valid in the target whose support is valid and
    // inside the strip at every shift searched, so that every shift is
    // scored at the same pixels. Scored at pixels of their own, the shifts
    // far from zero (whose supports reach farthest) would be scored at fewer
    // pixels and win by chance more often; on the CBERS series with stripes
    // that chose harmful shifts. A lattice over the samples keeps their
    // count near FILL_SHIFT_SAMPLES.
    const int lo = support_first(-FILL_SHIFT_MAX), hi = support_first(FILL_SHIFT_MAX) + 3;
    auto usable = [&](int y, int x) {
        return s.target_gap[static_cast<std::size_t>(y) * width + x] == 0 &&
               gaps_in(gaps, width, y + lo, y + hi, x + lo, x + hi) == 0;
    };
    const int y_end = rows - hi, x_end = width - hi;
    std::size_t usable_count = 0;
    for (int y = -lo; y < y_end; ++y)
        for (int x = -lo; x < x_end; ++x) usable_count += usable(y, x);
    const int step = std::max(
        1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(usable_count) / static_cast<double>(FILL_SHIFT_SAMPLES)))));
    Samples samples;
    std::vector<std::size_t> all;
    // The lattice starts half a step in, so it sits alike at both ends.
    for (int y = -lo + step / 2; y < y_end; y += step)
        for (int x = -lo + step / 2; x < x_end; x += step)
            if (usable(y, x)) {
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                all.push_back(samples.at.size());
                samples.at.push_back(i);
                for (int b = 0; b < B; ++b) samples.target.push_back(s.target[b][i]);
            }
    if (all.size() < FILL_SHIFT_SAMPLES_PER_TERM * static_cast<std::size_t>(B + 1))
        return {};
    const double none = shift_score(s, samples, all, 0.0, 0.0);
    if (!(none > 0.0))
        return {};

    struct Candidate {
        double dy, dx;
        double score = std::numeric_limits<double>::infinity();
    };
    auto score_all = [&](std::vector<Candidate>& list) {
        // SHIFTS_PER_PASS shifts of the list at a time, in one pass over the samples.
        auto work = [&](std::size_t g) {
            const std::size_t first = g * SHIFTS_PER_PASS;
            const std::size_t k = std::min(SHIFTS_PER_PASS, list.size() - first);
            double dy[SHIFTS_PER_PASS] = {}, dx[SHIFTS_PER_PASS] = {}, score[SHIFTS_PER_PASS] = {};
            for (std::size_t q = 0; q < k; ++q) {
                dy[q] = list[first + q].dy;
                dx[q] = list[first + q].dx;
            }
            shift_scores(s, samples, all, k, dy, dx, score);
            for (std::size_t q = 0; q < k; ++q) list[first + q].score = score[q];
        };
        const std::size_t groups = (list.size() + SHIFTS_PER_PASS - 1) / SHIFTS_PER_PASS;
        if (parallel)
            parallel(groups, work);
        else
            for (std::size_t g = 0; g < groups; ++g) work(g);
    };
    Candidate best{0.0, 0.0, none};
    // Ties go to the earlier candidate: the search's order, not the threads', decides.
    auto take_best = [&](const std::vector<Candidate>& list) {
        for (const Candidate& c : list)
            if (c.score < best.score) best = c;
    };
    // The first stage: whole pixels over the whole range. A displacement of
    // half a pixel scores alike at the whole pixels on either side, so the
    // half pixels around the best, no shift included, are always scored
    // next; the finer steps only around a shift.
    std::vector<Candidate> grid;
    const int whole_steps = static_cast<int>(std::lround(FILL_SHIFT_MAX));
    for (int i = -whole_steps; i <= whole_steps; ++i)
        for (int j = -whole_steps; j <= whole_steps; ++j)
            if (i != 0 || j != 0) grid.push_back({static_cast<double>(i), static_cast<double>(j)});
    score_all(grid);
    take_best(grid);
    for (double step_size = 0.5; step_size >= FILL_SHIFT_STEP; step_size *= 0.5) {
        if (best.dy == 0.0 && best.dx == 0.0 && step_size < 0.5) break;
        std::vector<Candidate> around;
        for (int i = -1; i <= 1; ++i)
            for (int j = -1; j <= 1; ++j) {
                const double dy = best.dy + i * step_size, dx = best.dx + j * step_size;
                if ((i != 0 || j != 0) && (dy != 0.0 || dx != 0.0) && std::fabs(dy) <= FILL_SHIFT_MAX &&
                    std::fabs(dx) <= FILL_SHIFT_MAX)
                    around.push_back({dy, dx});
            }
        score_all(around);
        take_best(around);
    }
    if (best.dy == 0.0 && best.dx == 0.0)
        return {};
    // -d smooths the fill as much as d (the kernel's weights mirrored):
    // beating it as well as no shift tells a real displacement from the
    // smoothing alone, which on noisy images lowers the residual a little at
    // any fractional shift.
    const double mirror = shift_score(s, samples, all, -best.dy, -best.dx);
    if (best.score > (1.0 - FILL_SHIFT_MARGIN) * std::min(none, mirror))
        return {0.0, 0.0, 1.0};
    return {best.dy, best.dx, best.score / none};
}

void shift_fill(double* const* fill, const unsigned char* fill_gap, int bands, int rows, int width,
                const FillShift& shift)
{
    if (shift.none() || rows < 1 || width < 1)
        return;
    const double fy = std::floor(shift.dy), fx = std::floor(shift.dx);
    const double ty = shift.dy - fy, tx = shift.dx - fx;
    double wy[4], wx[4];
    cubic_weights(ty, wy);
    cubic_weights(tx, wx);
    const int oy = static_cast<int>(fy) - 1, ox = static_cast<int>(fx) - 1;
    const std::vector<std::size_t> gaps = gap_integral(fill_gap, rows, width);
    const std::size_t pixels = static_cast<std::size_t>(rows) * width;
    // Per column, the four tap columns clamped to the strip.
    std::vector<int> col(static_cast<std::size_t>(width) * 4);
    for (int x = 0; x < width; ++x)
        for (int k = 0; k < 4; ++k) col[x * 4 + k] = std::clamp(x + ox + k, 0, width - 1);
    std::vector<double> src(pixels);
    for (int b = 0; b < bands; ++b) {
        std::copy(fill[b], fill[b] + pixels, src.begin());
        double* out = fill[b];
        for (int y = 0; y < rows; ++y) {
            int row[4];
            for (int k = 0; k < 4; ++k) row[k] = std::clamp(y + oy + k, 0, rows - 1);
            const int y0 = row[0], y1 = row[3];
            for (int x = 0; x < width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                if (fill_gap[i] != 0) continue;
                const int* c = &col[x * 4];
                if (gaps_in(gaps, width, y0, y1, c[0], c[3]) == 0) {
                    double v = 0.0;
                    for (int r = 0; r < 4; ++r) {
                        const double* p = src.data() + static_cast<std::size_t>(row[r]) * width;
                        v += wy[r] * (wx[0] * p[c[0]] + wx[1] * p[c[1]] + wx[2] * p[c[2]] + wx[3] * p[c[3]]);
                    }
                    out[i] = v;
                    continue;
                }
                // Bilinear over the valid ones of the 2 x 2 nearest taps.
                double v = 0.0, ws = 0.0;
                for (int r = 1; r <= 2; ++r)
                    for (int k = 1; k <= 2; ++k) {
                        const std::size_t at = static_cast<std::size_t>(row[r]) * width + c[k];
                        if (fill_gap[at] != 0) continue;
                        const double w = (r == 1 ? 1.0 - ty : ty) * (k == 1 ? 1.0 - tx : tx);
                        v += w * src[at];
                        ws += w;
                    }
                if (ws > 0.0) out[i] = v / ws;
            }
        }
    }
}

}  // namespace pelvane
