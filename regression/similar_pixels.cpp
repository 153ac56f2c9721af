#include "regression/similar_pixels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pelvane {

namespace {

constexpr double SLOPE_LOWEST = 0.0;   // a falling line would invert the scene
constexpr double SLOPE_HIGHEST = 1.5;  // the standard fit's own upper clamp


// Calls visit(q) for the candidates valid in both images whose distance
// from (row, col), the larger of the row and the column distance, lies in
// inner + 1 .. half: a ring of the growing window (the whole window for
// inner = -1), row by row.
template <class Visit>
void scan_ring(const SimilarSearch& s, int row, int col, int inner, int half, Visit visit)
{
    const int c0 = std::max(col - half, 0), c1 = std::min(col + half, s.width - 1);
    for (int r = std::max(row - half, 0); r <= std::min(row + half, s.rows - 1); ++r) {
        const std::size_t line = static_cast<std::size_t>(r) * s.width;
        auto run = [&](int first, int last) {
            for (int c = first; c <= last; ++c)
                if (s.both_valid[line + c] != 0) visit(line + c);
        };
        if (std::abs(r - row) > inner) {
            run(c0, c1);
        } else {
            run(c0, std::min(col - inner - 1, c1));
            run(std::max(col + inner + 1, c0), c1);
        }
    }
}

// Both predictions from the chosen candidates, most similar first;
// `weight` is scratch of n values.
int predict(const SimilarSearch& s, int row, int col, const std::size_t* chosen,
            const double* distance2, std::size_t n, double* weight, double* spatial, double* line)
{
    if (n == 0) return 0;
    const std::size_t centre = static_cast<std::size_t>(row) * s.width + col;
    double sw = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t q = chosen[k];
        const int dr = static_cast<int>(q / s.width) - row, dc = static_cast<int>(q % s.width) - col;
        const double spectral = std::sqrt(distance2[k]) + SIMILAR_DISTANCE_OFFSET;
        weight[k] = 1.0 / (spectral * spectral * (dr * dr + dc * dc));
        sw += weight[k];
    }
    if (!(sw > 0.0)) return 0;
    for (int b = 0; b < s.bands; ++b) {
        const double* x = s.fill[b];
        const double* y = s.target[b];
        double sx = 0.0, sy = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            sx += weight[k] * x[chosen[k]];
            sy += weight[k] * y[chosen[k]];
        }
        const double mx = sx / sw, my = sy / sw;
        double sxx = 0.0, sxy = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            const double dx = x[chosen[k]] - mx;
            sxx += weight[k] * dx * dx;
            sxy += weight[k] * dx * (y[chosen[k]] - my);
        }
        const double slope = sxx > 0.0 ? std::clamp(sxy / sxx, SLOPE_LOWEST, SLOPE_HIGHEST) : 1.0;
        spatial[b] = my;
        line[b] = my + slope * (x[centre] - mx);
    }
    return static_cast<int>(n);
}

}  // namespace

std::vector<float> similar_scaled_fill(const double* const* fill, const unsigned char* both_valid,
                                       int bands, std::size_t pixels, const WorkItems& items)
{
    auto run = [&](std::size_t count, const std::function<void(std::size_t)>& work) {
        if (items)
            items(count, work);
        else
            for (std::size_t i = 0; i < count; ++i) work(i);
    };
    // Each band's spread (0: the band is left at 0), then the pixels in
    // pieces, each value written once.
    std::vector<double> spread(static_cast<std::size_t>(std::max(bands, 0)), 0.0);
    run(spread.size(), [&](std::size_t b) {
        double n = 0.0, sum = 0.0;
        for (std::size_t q = 0; q < pixels; ++q)
            if (both_valid[q] != 0) {
                sum += fill[b][q];
                n += 1.0;
            }
        if (n < 2.0) return;
        const double mean = sum / n;
        double squares = 0.0;
        for (std::size_t q = 0; q < pixels; ++q)
            if (both_valid[q] != 0) squares += (fill[b][q] - mean) * (fill[b][q] - mean);
        const double root = std::sqrt(squares / n);
        if (root > 0.0 && std::isfinite(root)) spread[b] = root;
    });
    std::vector<float> scaled(pixels * static_cast<std::size_t>(bands), 0.0f);
    constexpr std::size_t PIECE = 65536;
    run((pixels + PIECE - 1) / PIECE, [&](std::size_t piece) {
        const std::size_t end = std::min(pixels, (piece + 1) * PIECE);
        for (int b = 0; b < bands; ++b) {
            if (spread[b] == 0.0) continue;
            for (std::size_t q = piece * PIECE; q < end; ++q)
                scaled[q * bands + b] = static_cast<float>(fill[b][q] / spread[b]);
        }
    });
    return scaled;
}

int similar_predict(const SimilarSearch& s, int row, int col, int exclude, SimilarScratch& w,
                    double* spatial, double* line)
{
    const std::size_t centre = static_cast<std::size_t>(row) * s.width + col;
    const float* own = s.scaled_fill + centre * static_cast<std::size_t>(s.bands);

    // The candidates of the growing windows, each growth adding its new
    // ring. Those nearer than `exclude` are an inner square never scanned.
    // The pairs are unique (one per pixel), so the `count` least below are
    // the same whatever order they were found in.
    const std::size_t enough = static_cast<std::size_t>(SIMILAR_POOL) * std::max(s.count, 0);
    w.found.clear();
    int inner = std::max(exclude, 0) - 1;  // scanned so far: distances up to inner
    for (int half = SIMILAR_FIRST_HALF;; half = next_similar_half(half)) {
        if (half > inner) {
            scan_ring(s, row, col, inner, half, [&](std::size_t q) {
                w.found.emplace_back(spectral_distance2(s, own, q), q);
            });
            inner = half;
        }
        if (w.found.size() >= enough || half >= SIMILAR_MAX_HALF) break;
    }
    // The `count` most similar, in order (pairs compare by distance, then
    // pixel): the first `count` sorted, then each later pair nearer than the
    // last kept put in its place, the last dropped. Most pairs are not: one
    // comparison each, mostly foreseen (a selection by partitioning missed
    // the branch predictions at about every other comparison).
    const std::size_t n = std::min(w.found.size(), static_cast<std::size_t>(std::max(s.count, 0)));
    auto* const kept = w.found.data();
    std::sort(kept, kept + n, NearerPair{});
    for (std::size_t i = n; i < w.found.size() && n > 0; ++i) {
        if (!NearerPair{}(kept[i], kept[n - 1])) continue;
        const std::pair<double, std::size_t> pair = kept[i];
        std::size_t j = n - 1;
        for (; j > 0 && NearerPair{}(pair, kept[j - 1]); --j) kept[j] = kept[j - 1];
        kept[j] = pair;
    }
    w.chosen.resize(n);
    w.chosen_distance2.resize(n);
    w.weight.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        w.chosen_distance2[k] = w.found[k].first;
        w.chosen[k] = w.found[k].second;
    }
    return predict(s, row, col, w.chosen.data(), w.chosen_distance2.data(), n, w.weight.data(),
                   spatial, line);
}

namespace {

bool candidate(const SimilarSearch& s, int row, int col, int exclude, int r, int c)
{
    const int ring = std::max(std::abs(r - row), std::abs(c - col));
    return ring >= exclude && s.both_valid[static_cast<std::size_t>(r) * s.width + c] != 0;
}

}  // namespace

int similar_predict_reference(const SimilarSearch& s, int row, int col, int exclude,
                              double* spatial, double* line)
{
    // The window: grown until it holds enough, every pixel of the strip tested.
    int half = SIMILAR_FIRST_HALF;
    auto inside = [&](int r, int c, int h) { return std::abs(r - row) <= h && std::abs(c - col) <= h; };
    for (;; half = next_similar_half(half)) {
        long long found = 0;
        for (int r = 0; r < s.rows; ++r)
            for (int c = 0; c < s.width; ++c)
                found += inside(r, c, half) && candidate(s, row, col, exclude, r, c);
        if (found >= static_cast<long long>(SIMILAR_POOL) * s.count || half >= SIMILAR_MAX_HALF) break;
    }
    const float* own = s.scaled_fill + (static_cast<std::size_t>(row) * s.width + col) * s.bands;
    std::vector<std::pair<double, std::size_t>> all;
    for (int r = 0; r < s.rows; ++r)
        for (int c = 0; c < s.width; ++c)
            if (inside(r, c, half) && candidate(s, row, col, exclude, r, c)) {
                const std::size_t q = static_cast<std::size_t>(r) * s.width + c;
                all.emplace_back(spectral_distance2(s, own, q), q);
            }
    std::sort(all.begin(), all.end());
    all.resize(std::min<std::size_t>(all.size(), static_cast<std::size_t>(std::max(s.count, 0))));
    std::vector<std::size_t> chosen;
    std::vector<double> distance2;
    for (const auto& [d2, q] : all) {
        chosen.push_back(q);
        distance2.push_back(d2);
    }
    std::vector<double> weight(chosen.size());
    return predict(s, row, col, chosen.data(), distance2.data(), chosen.size(), weight.data(),
                   spatial, line);
}

}  // namespace pelvane
