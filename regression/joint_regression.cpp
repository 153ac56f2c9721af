#include "regression/joint_regression.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "regression/local_regression.h"
#include "regression/similar_pixels.h"

namespace pelvane {

std::vector<double> joint_scales(const JointDates& in)
{
    const std::size_t pixels = static_cast<std::size_t>(in.rows) * static_cast<std::size_t>(in.width);
    std::vector<double> scale(static_cast<std::size_t>(in.dates) * static_cast<std::size_t>(in.bands), 0.0);
    for (int d = 0; d < in.dates; ++d)
        for (int b = 0; b < in.bands; ++b) {
            const double* v = in.fill[d * in.bands + b];
            // Two passes: the mean, then the spread about it.
            double sum = 0.0, n = 0.0;
            for (std::size_t i = 0; i < pixels; ++i)
                if (in.target_gap[i] == 0 && in.fill_gap[d][i] == 0) {
                    sum += v[i];
                    n += 1.0;
                }
            if (!(n > 0.0)) continue;
            const double mean = sum / n;
            double square = 0.0;
            for (std::size_t i = 0; i < pixels; ++i)
                if (in.target_gap[i] == 0 && in.fill_gap[d][i] == 0)
                    square += (v[i] - mean) * (v[i] - mean);
            const double spread = std::sqrt(square / n);
            if (std::isfinite(spread) && spread > 0.0)
                scale[static_cast<std::size_t>(d * in.bands + b)] = spread;
        }
    return scale;
}

int joint_regression_predict(const JointDates& in, int row, int col, JointScratch& work, double* out)
{
    const int bands = in.bands;
    const std::size_t centre = static_cast<std::size_t>(row) * in.width + col;
    work.dates.clear();
    for (int d = 0; d < in.dates && static_cast<int>(work.dates.size()) < JOINT_DATES_MOST; ++d)
        if (in.fill_gap[d][centre] == 0) work.dates.push_back(d);
    if (work.dates.empty()) return 0;
    // The terms: (date, band) as one index d * bands + b, with a positive scale.
    const std::vector<int>& dates = work.dates;
    work.own.clear();
    std::vector<int>& terms = work.terms;
    terms.clear();
    for (const int d : dates)
        for (int b = 0; b < bands; ++b)
            if (in.scale[d * bands + b] > 0.0) terms.push_back(d * bands + b);
    const int n = static_cast<int>(terms.size());
    if (n == 0) return 0;
    const std::size_t nt = static_cast<std::size_t>(n), nb = static_cast<std::size_t>(bands);
    for (const int t : terms) work.own.push_back(in.fill[t][centre] / in.scale[t]);
    // Sums: w; w x (n); w y (bands); w x x' (n x n, upper triangle); w x y' (n x bands).
    work.sums.resize(1 + nt + nb + nt * nt + nt * nb);
    double* const sx = work.sums.data() + 1;
    double* const sy = sx + nt;
    double* const sxx = sy + nb;
    double* const sxy = sxx + nt * nt;
    work.x.resize(nt);
    double* const x = work.x.data();
    const int fewest = std::max(JOINT_FEWEST, JOINT_PER_TERM * n);

    int count = 0;
    for (int half = JOINT_HALF;; half = next_similar_half(half)) {
        std::fill(work.sums.begin(), work.sums.end(), 0.0);
        count = 0;
        const int c0 = std::max(col - half, 0), c1 = std::min(col + half, in.width - 1);
        for (int r = std::max(row - half, 0); r <= std::min(row + half, in.rows - 1); ++r) {
            const std::size_t line = static_cast<std::size_t>(r) * in.width;
            for (int c = c0; c <= c1; ++c) {
                const std::size_t q = line + c;
                if (q == centre || in.target_gap[q] != 0) continue;
                bool valid = true;
                for (const int d : dates) valid = valid && in.fill_gap[d][q] == 0;
                if (!valid) continue;
                double d2 = 0.0;
                for (int j = 0; j < n; ++j) {
                    const int t = terms[static_cast<std::size_t>(j)];
                    x[j] = in.fill[t][q] / in.scale[t] - work.own[static_cast<std::size_t>(j)];
                    d2 += x[j] * x[j];
                }
                const double spectral = std::sqrt(d2 / n) + SIMILAR_DISTANCE_OFFSET;
                const int dr = r - row, dc = c - col;
                const double w = 1.0 / (spectral * spectral * (dr * dr + dc * dc));
                if (!std::isfinite(w)) continue;
                work.sums[0] += w;
                for (int j = 0; j < n; ++j) {
                    const double wx = w * x[j];
                    sx[j] += wx;
                    for (int k = j; k < n; ++k) sxx[j * nt + k] += wx * x[k];
                    for (int b = 0; b < bands; ++b) sxy[j * nb + b] += wx * in.target[b][q];
                }
                for (int b = 0; b < bands; ++b) sy[b] += w * in.target[b][q];
                ++count;
            }
        }
        if (count >= fewest || half >= SIMILAR_MAX_HALF) break;
    }
    const double sw = work.sums[0];
    if (count == 0 || !(sw > 0.0) || !std::isfinite(sw)) return 0;

    work.slope.resize(nt * nb);
    if (!solve_centred_plane(n, bands, JOINT_RIDGE, work.sums.data(), work.slope.data(), out)) return 0;
    return count;
}

}  // namespace pelvane
