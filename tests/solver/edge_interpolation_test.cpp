#include "solver/edge_interpolation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <tuple>
#include <vector>

namespace pelvane {
namespace {

// The plain way: every known pixel in reach sorted by distance, row, column;
// the quota per octant; the whole kriging system solved by Gauss-Jordan.
// Returns the value and the spread; `carried` gets (sum |w| known_error)^2,
// NaN errors left out.
std::pair<double, double> reference(const EdgeModel& m, const std::vector<double>& v,
                                    const std::vector<unsigned char>& gap, int width, int rows, int y, int x,
                                    const std::vector<double>& known_error, double& carried)
{
    std::vector<std::tuple<int, int, int>> near;
    for (int p = 0; p < width * rows; ++p) {
        const int dy = p / width - y, dx = p % width - x;
        if ((dy || dx) && !gap[p] && dy * dy + dx * dx <= EDGE_REACH * EDGE_REACH) near.emplace_back(dy * dy + dx * dx, dy, dx);
    }
    std::sort(near.begin(), near.end());
    std::vector<std::pair<int, int>> at;
    int quota[8] = {};
    for (auto [d2, dy, dx] : near)
        if (quota[edge_octant(dy, dx)]++ < EDGE_OCTANT_QUOTA) at.emplace_back(dy, dx);
    const int n = static_cast<int>(at.size());
    auto cov = [&](int dy, int dx) { return dy || dx ? std::exp(-std::hypot(dy, dx) / m.range) : 1.0 + m.nugget; };
    std::vector<std::vector<double>> a(n + 1, std::vector<double>(n + 2, 1.0));
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) a[r][c] = cov(at[r].first - at[c].first, at[r].second - at[c].second);
        a[r][n + 1] = cov(at[r].first, at[r].second);
    }
    a[n][n] = 0.0;
    for (int c = 0; c <= n; ++c) {
        int p = c;
        for (int r = c + 1; r <= n; ++r) if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        std::swap(a[c], a[p]);
        for (int r = 0; r <= n; ++r)
            if (r != c) for (int k = n + 1; k >= c; --k) a[r][k] -= a[r][c] / a[c][c] * a[c][k];
    }
    auto value_of = [&](int k) { return v[(y + at[k].first) * width + x + at[k].second]; };
    auto weight = [&](int k) { return a[k][n + 1] / a[k][k]; };
    double value = 0.0, abs_sum = 0.0, spread = 0.0;
    for (int k = 0; k < n; ++k) value += weight(k) * value_of(k);
    for (int k = 0; k < n; ++k)
        abs_sum += std::fabs(weight(k)), spread += std::fabs(weight(k)) * std::pow(value_of(k) - value, 2);
    carried = 0.0;
    for (int k = 0; k < n; ++k) {
        const double e = known_error[(y + at[k].first) * width + x + at[k].second];
        if (std::isfinite(e)) carried += std::fabs(weight(k)) * e;
    }
    carried *= carried;
    return {value, spread / abs_sum};
}

TEST(EdgeInterpolation, MatchesThePlainKrigingSystem)
{
    // Textures with stripes, scattered holes and a corner gap; a second band
    // 2 v - 5 (the weights sum to 1, so its fill is 2 f - 5, its spread 4 s).
    struct Case { int width, rows; EdgeModel model; unsigned seed; };
    // The last case has about 1500 gap pixels of mostly distinct patterns,
    // so some kept weights fall on one slot and push one another out.
    // The weights' plain form, then AVX-512 (the plain one again where the
    // processor lacks it).
    for (const int path : {0, 2})
    for (const Case& c : {Case{23, 17, {0.01, 3.0}, 1u}, Case{40, 9, {0.3, 8.0}, 2u}, Case{7, 30, {0.05, 1.0}, 3u},
                          Case{80, 50, {0.1, 5.0}, 4u}}) {
        limit_edge_simd_path(path);
        std::mt19937 rng(c.seed);
        std::uniform_real_distribution<double> u(0.0, 100.0);
        std::vector<double> band, twice, known_error;
        std::vector<unsigned char> gap;
        std::vector<std::size_t> at;
        for (int p = 0; p < c.width * c.rows; ++p) {
            const int y = p / c.width, x = p % c.width;
            band.push_back(u(rng) + 3.0 * x), twice.push_back(2.0 * band.back() - 5.0);
            known_error.push_back(p % 7 == 0 ? std::nan("") : u(rng) / 10.0);
            gap.push_back((y % 6 < 2) || (x < 3 && y < 4) || u(rng) < 10.0);
            if (gap.back()) at.push_back(p);
        }
        const double* bands[2] = {band.data(), twice.data()};
        const double* errors[2] = {known_error.data(), known_error.data()};
        std::vector<double> values(2 * at.size()), spread(2 * at.size()), carried(2 * at.size());
        EXPECT_EQ(EdgeInterpolator(c.model).predict(bands, 2, gap.data(), c.width, c.rows, at.data(), at.size(),
                                                    values.data(), spread.data(), errors, carried.data()), 0u);
        for (std::size_t i = 0; i < at.size(); ++i) {
            double carry = 0.0;
            const auto [value, s] = reference(c.model, band, gap, c.width, c.rows, at[i] / c.width, at[i] % c.width,
                                              known_error, carry);
            EXPECT_NEAR(carried[2 * i], carry, 1e-9);
            EXPECT_EQ(carried[2 * i + 1], carried[2 * i]);
            EXPECT_NEAR(values[2 * i], value, 1e-9) << c.seed << ": " << at[i];
            EXPECT_NEAR(spread[2 * i], s, 1e-7);
            EXPECT_NEAR(values[2 * i + 1], 2.0 * values[2 * i] - 5.0, 1e-9);
            EXPECT_NEAR(spread[2 * i + 1], 4.0 * spread[2 * i], 1e-7);
        }
        // Kept weights (one cache through the cases: a new model empties it;
        // the second pass finds the pixels kept, or solves those pushed out)
        // are the bits solved afresh.
        static EdgeWeightCache cache;
        const EdgeInterpolator interpolator(c.model);
        for (int pass = 0; pass < 2; ++pass)
            for (const std::size_t p : at) {
                std::size_t near[2][EDGE_NEIGHBOURS];
                double w[2][EDGE_NEIGHBOURS];
                const int n = interpolator.weights(gap.data(), c.width, c.rows, p, 1, 3, near[0], w[0]);
                ASSERT_EQ(interpolator.weights(gap.data(), c.width, c.rows, p, 1, 3, near[1], w[1], &cache), n);
                for (int k = 0; k < n; ++k) EXPECT_TRUE(near[0][k] == near[1][k] && w[0][k] == w[1][k]) << p;
            }
        // Rings left out: the nearest known pixels outside the square of
        // `exclude` - 1 around, in the search order, near the strip's sides too.
        for (const int exclude : {2, 5})
            for (std::size_t i = 0; i < at.size(); i += 5) {
                const int y = static_cast<int>(at[i]) / c.width, x = static_cast<int>(at[i]) % c.width;
                std::vector<std::tuple<int, int, int>> near;
                for (int p = 0; p < c.width * c.rows; ++p) {
                    const int dy = p / c.width - y, dx = p % c.width - x;
                    if (std::max(std::abs(dy), std::abs(dx)) >= exclude && !gap[p]) near.emplace_back(dy * dy + dx * dx, dy, dx);
                }
                std::sort(near.begin(), near.end());
                std::vector<std::size_t> expected, found(EDGE_NEIGHBOURS);
                int quota[8] = {};
                for (auto [d2, dy, dx] : near)
                    if (quota[edge_octant(dy, dx)]++ < 3) expected.push_back(at[i] + dy * c.width + dx);
                double w[EDGE_NEIGHBOURS];
                found.resize(interpolator.weights(gap.data(), c.width, c.rows, at[i], exclude, 3, found.data(), w));
                EXPECT_EQ(found, expected) << exclude << ": " << at[i];
            }
    }
    limit_edge_simd_path(2);
}

TEST(EdgeInterpolation, ReachOctantsAndEmptyStrips)
{
    // One row known at x = 0 and 3 only: 0 itself is never its own neighbour,
    // and 104 lies 101 pixels from 3, beyond reach.
    std::vector<double> band(150, 7.0), values(5), spread(5);
    std::vector<unsigned char> gap(150, 1);
    gap[0] = gap[3] = 0;
    const std::vector<std::size_t> at = {1, 2, 0, 103, 104};
    const double* bands[1] = {band.data()};
    const EdgeInterpolator interpolator(EdgeModel{});
    EXPECT_EQ(interpolator.predict(bands, 1, gap.data(), 150, 1, at.data(), 5, values.data(), spread.data()), 1u);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::fabs(values[i] - 7.0) < 1e-12 && spread[i] < 1e-12) << i;
    EXPECT_TRUE(std::isnan(values[4]) && std::isnan(spread[4]));
    std::fill(gap.begin(), gap.end(), 1);
    EXPECT_EQ(interpolator.predict(bands, 1, gap.data(), 150, 1, at.data(), 2, values.data(), nullptr), 2u);

    // Octant k holds the angles atan2(dy, dx) from k * 45 degrees up to the next.
    const int octants[][3] = {{0, 1, 0}, {1, 2, 0}, {1, 1, 1}, {2, 1, 1}, {1, 0, 2}, {2, -1, 2}, {1, -1, 3},
                              {0, -1, 4}, {-1, -2, 4}, {-1, -1, 5}, {-1, 0, 6}, {-2, 1, 6}, {-1, 1, 7}};
    for (const auto& o : octants) EXPECT_EQ(edge_octant(o[0], o[1]), o[2]) << o[0] << "," << o[1];
}

TEST(EdgeInterpolation, VariogramAndItsFit)
{
    // A ramp along the rows, 3 times it in a second band and a flat third:
    // row pairs differ by h, column pairs not at all, so gamma(h) is h^2 times
    // the share of row pairs, over its value at lag 10. A gap's 1e6 takes no part.
    const int width = 30, rows = 12;
    std::vector<double> ramp(width * rows), steep(width * rows), flat(width * rows, 4.0);
    std::vector<unsigned char> gap(width * rows, 0);
    for (int p = 0; p < width * rows; ++p) steep[p] = 3.0 * (ramp[p] = p % width);
    const double* bands[3] = {ramp.data(), flat.data(), steep.data()};
    double gamma[EDGE_LAGS];
    auto share = [&](int h) { return (rows * (width - h)) / double(rows * (width - h) + (rows - h) * width); };
    ASSERT_TRUE(edge_variogram(bands, 3, gap.data(), width, rows, 1, gamma));
    for (int h = 1; h <= EDGE_LAGS; ++h) EXPECT_NEAR(gamma[h - 1], h * h * share(h) / (100 * share(10)), 1e-12);
    ramp[100] = steep[100] = 1e6, gap[100] = 1;
    ASSERT_TRUE(edge_variogram(bands, 3, gap.data(), width, rows, 3, gamma));
    EXPECT_LT(gamma[0], 0.02);
    // The bands' sums run in any order (on any threads): the same bits.
    double reversed[EDGE_LAGS];
    ASSERT_TRUE(edge_variogram(bands, 3, gap.data(), width, rows, 3, reversed,
                               [](std::size_t n, const std::function<void(std::size_t)>& work) {
                                   for (std::size_t i = n; i-- > 0;) work(i);
                               }));
    EXPECT_EQ(std::memcmp(gamma, reversed, sizeof gamma), 0);
    EXPECT_FALSE(edge_variogram(bands + 1, 1, gap.data(), width, rows, 1, gamma));  // flat only

    // Noise with scattered gaps against the pairs summed one at a time, in
    // the same order: the same bits, near the strip's edges too, over more
    // columns than are summed at once.
    std::mt19937 random(3);
    std::uniform_real_distribution<double> noise(0.0, 50.0);
    const int wide = 300;
    std::vector<double> values(wide * rows);
    std::vector<unsigned char> holes(wide * rows);
    for (int p = 0; p < wide * rows; ++p) values[p] = noise(random), holes[p] = noise(random) < 15.0;
    const double* noisy[1] = {values.data()};
    for (const int step : {1, 4}) {
        double sum[EDGE_LAGS] = {}, pairs[EDGE_LAGS] = {};
        for (int y = 0; y < rows; y += step)
            for (int x = 0; x < wide; ++x)
                for (int h = 1; h <= EDGE_LAGS && holes[y * wide + x] == 0; ++h)
                    for (const int q : {x + h < wide ? y * wide + x + h : -1, y + h < rows ? (y + h) * wide + x : -1})
                        if (q >= 0 && holes[q] == 0)
                            sum[h - 1] += (values[y * wide + x] - values[q]) * (values[y * wide + x] - values[q]), ++pairs[h - 1];
        ASSERT_TRUE(edge_variogram(noisy, 1, holes.data(), wide, rows, step, gamma));
        for (int h = 0; h < EDGE_LAGS; ++h)
            EXPECT_EQ(gamma[h], sum[h] / (2.0 * pairs[h]) / (sum[EDGE_LAGS - 1] / (2.0 * pairs[EDGE_LAGS - 1]))) << h;
    }

    // An exact exponential curve on the grid of ranges gives its model back;
    // a falling one fits no range.
    const double range = 0.5 * std::pow(100.0, 20.0 / 59.0);
    for (int h = 1; h <= EDGE_LAGS; ++h) gamma[h - 1] = 0.2 + 1.6 * (1.0 - std::exp(-h / range));
    EXPECT_NEAR(fit_edge_variogram(gamma).range, range, 1e-9);
    EXPECT_NEAR(fit_edge_variogram(gamma).nugget, 0.125, 1e-9);
    for (int h = 1; h <= EDGE_LAGS; ++h) gamma[h - 1] = 5.0 - h;
    EXPECT_EQ(fit_edge_variogram(gamma).range, EdgeModel{}.range);
}

}  // namespace
}  // namespace pelvane
