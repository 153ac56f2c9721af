#include "solver/edge_interpolation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

namespace pelvane {
namespace {

// The plain way: every known pixel within reach sorted by distance, row,
// column; the quota per octant; the kriging system with its sum condition
// solved whole by Gaussian elimination.
std::vector<double> reference_predict(const EdgeModel& m, const std::vector<double>& v,
                                      const std::vector<unsigned char>& gap, int width, int rows,
                                      int y, int x)
{
    std::vector<std::tuple<int, int, int>> near;  // d^2, dy, dx
    for (int yy = 0; yy < rows; ++yy)
        for (int xx = 0; xx < width; ++xx) {
            const int dy = yy - y, dx = xx - x;
            if ((dy || dx) && !gap[yy * width + xx] && dy * dy + dx * dx <= EDGE_REACH * EDGE_REACH)
                near.emplace_back(dy * dy + dx * dx, dy, dx);
        }
    std::sort(near.begin(), near.end());
    std::vector<std::pair<int, int>> taken;
    int quota[8] = {};
    for (auto [d2, dy, dx] : near)
        if (quota[edge_octant(dy, dx)]++ < EDGE_OCTANT_QUOTA) taken.emplace_back(dy, dx);
    const int n = static_cast<int>(taken.size());
    auto cov = [&](int dy, int dx) {
        return dy == 0 && dx == 0 ? 1.0 + m.nugget : std::exp(-std::hypot(dy, dx) / m.range);
    };
    std::vector<std::vector<double>> a(n + 1, std::vector<double>(n + 2, 1.0));
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c)
            a[r][c] = cov(taken[r].first - taken[c].first, taken[r].second - taken[c].second);
        a[r][n + 1] = cov(taken[r].first, taken[r].second);
    }
    a[n][n] = 0.0;
    for (int c = 0; c <= n; ++c) {
        int p = c;
        for (int r = c + 1; r <= n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        std::swap(a[c], a[p]);
        for (int r = 0; r <= n; ++r)
            if (r != c)
                for (int k = n + 1; k >= c; --k) a[r][k] -= a[r][c] / a[c][c] * a[c][k];
    }
    double value = 0.0, abs_sum = 0.0, spread = 0.0;
    for (int k = 0; k < n; ++k) value += a[k][n + 1] / a[k][k] * v[(y + taken[k].first) * width + x + taken[k].second];
    for (int k = 0; k < n; ++k) {
        const double w = a[k][n + 1] / a[k][k];
        const double d = v[(y + taken[k].first) * width + x + taken[k].second] - value;
        abs_sum += std::fabs(w);
        spread += std::fabs(w) * d * d;
    }
    return {value, spread / abs_sum};
}

TEST(EdgeInterpolation, MatchesThePlainKrigingSystem)
{
    // Random textures with stripes, holes and a corner gap; every gap pixel
    // predicted by both, for two models.
    struct Case { int width, rows; EdgeModel model; unsigned seed; };
    for (const Case& c : {Case{23, 17, {0.01, 3.0}, 1u}, Case{40, 9, {0.3, 8.0}, 2u},
                          Case{7, 30, {0.05, 1.0}, 3u}}) {
        std::mt19937 rng(c.seed);
        std::uniform_real_distribution<double> u(0.0, 100.0);
        const std::size_t pixels = static_cast<std::size_t>(c.width) * c.rows;
        std::vector<double> band(pixels), twice(pixels);
        std::vector<unsigned char> gap(pixels);
        std::vector<std::size_t> at;
        for (std::size_t p = 0; p < pixels; ++p) {
            const int y = static_cast<int>(p) / c.width, x = static_cast<int>(p) % c.width;
            band[p] = u(rng) + 3.0 * x;
            twice[p] = 2.0 * band[p] - 5.0;
            gap[p] = (y % 6 < 2) || (x < 3 && y < 4) || u(rng) < 10.0;
            if (gap[p]) at.push_back(p);
        }
        const double* bands[2] = {band.data(), twice.data()};
        std::vector<double> values(2 * at.size()), spread(2 * at.size());
        const EdgeInterpolator interpolator(c.model);
        EXPECT_EQ(interpolator.predict(bands, 2, gap.data(), c.width, c.rows, at.data(), at.size(),
                                       values.data(), spread.data()), 0u);
        for (std::size_t i = 0; i < at.size(); ++i) {
            const int y = static_cast<int>(at[i]) / c.width, x = static_cast<int>(at[i]) % c.width;
            const std::vector<double> ref = reference_predict(c.model, band, gap, c.width, c.rows, y, x);
            EXPECT_NEAR(values[2 * i], ref[0], 1e-9) << c.seed << ": " << x << "," << y;
            EXPECT_NEAR(spread[2 * i], ref[1], 1e-7);
            // The weights sum to 1: a linear map of the band maps the prediction.
            EXPECT_NEAR(values[2 * i + 1], 2.0 * values[2 * i] - 5.0, 1e-9);
            EXPECT_NEAR(spread[2 * i + 1], 4.0 * spread[2 * i], 1e-7);
        }
    }
}

TEST(EdgeInterpolation, ConstantsReachAndEmptyStrips)
{
    // One row: known at x = 0 and x = 3 only, value 7.
    const int width = 150;
    std::vector<double> band(width, 7.0);
    std::vector<unsigned char> gap(width, 1);
    gap[0] = gap[3] = 0;
    const std::vector<std::size_t> at = {1, 2, 0, 103, 104};  // 0 itself known: never its own neighbour
    const double* bands[1] = {band.data()};
    std::vector<double> values(at.size()), spread(at.size());
    const EdgeInterpolator interpolator(EdgeModel{});
    EXPECT_EQ(interpolator.predict(bands, 1, gap.data(), width, 1, at.data(), at.size(),
                                   values.data(), spread.data()), 1u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(values[i], 7.0, 1e-12) << i;
        EXPECT_NEAR(spread[i], 0.0, 1e-12);
    }
    EXPECT_TRUE(std::isnan(values[4]) && std::isnan(spread[4]));  // 101 pixels from x = 3
    // Nothing known: nothing predicted; no output without spread asked.
    std::fill(gap.begin(), gap.end(), 1);
    EXPECT_EQ(interpolator.predict(bands, 1, gap.data(), width, 1, at.data(), 2, values.data(), nullptr), 2u);
    EXPECT_TRUE(std::isnan(values[0]));
}

TEST(EdgeInterpolation, OctantsSplitThePlaneOnce)
{
    // Octant k holds the angles atan2(dy, dx) from k * 45 degrees up to,
    // not including, the next: each axis and diagonal opens an octant.
    const int expected[][3] = {{0, 1, 0}, {1, 2, 0}, {1, 1, 1}, {2, 1, 1}, {1, 0, 2}, {2, -1, 2},
                               {1, -1, 3}, {0, -1, 4}, {-1, -2, 4}, {-1, -1, 5}, {-1, 0, 6},
                               {-2, 1, 6}, {-1, 1, 7}};
    for (const auto& e : expected) EXPECT_EQ(edge_octant(e[0], e[1]), e[2]) << e[0] << "," << e[1];
}

TEST(EdgeInterpolation, VariogramAndItsFit)
{
    // A ramp along the rows in one band, three times it in another: row pairs
    // differ by h, column pairs not at all; pooled and scaled by lag 10.
    const int width = 30, rows = 12;
    std::vector<double> ramp(width * rows), steep(width * rows), flat(width * rows, 4.0);
    std::vector<unsigned char> gap(width * rows, 0);
    for (int p = 0; p < width * rows; ++p) {
        ramp[p] = p % width;
        steep[p] = 3.0 * ramp[p];
    }
    gap[5 * width + 4] = 1;  // a gap takes no part in any pair
    ramp[5 * width + 4] = steep[5 * width + 4] = 1e6;
    const double* bands[3] = {ramp.data(), flat.data(), steep.data()};
    double gamma[EDGE_LAGS];
    ASSERT_TRUE(edge_variogram(bands, 3, gap.data(), width, rows, 1, gamma));
    auto share = [&](int h) {  // row pairs at lag h among all its pairs
        int row_pairs = 0, pairs = 0;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < width; ++x) {
                auto known = [&](int yy, int xx) { return yy < rows && xx < width && !gap[yy * width + xx]; };
                if (!known(y, x)) continue;
                row_pairs += known(y, x + h);
                pairs += known(y, x + h) + known(y + h, x);
            }
        return static_cast<double>(row_pairs) / pairs;
    };
    for (int h = 1; h <= EDGE_LAGS; ++h)
        EXPECT_NEAR(gamma[h - 1], h * h * share(h) / (100.0 * share(EDGE_LAGS)), 1e-12) << h;
    EXPECT_FALSE(edge_variogram(bands + 1, 1, gap.data(), width, rows, 1, gamma));  // flat only

    // An exact exponential curve on the grid of ranges gives its model back.
    const double range = 0.5 * std::pow(100.0, 20.0 / 59.0);
    for (int h = 1; h <= EDGE_LAGS; ++h) gamma[h - 1] = 0.2 + 1.6 * (1.0 - std::exp(-h / range));
    const EdgeModel fitted = fit_edge_variogram(gamma);
    EXPECT_NEAR(fitted.range, range, 1e-9);
    EXPECT_NEAR(fitted.nugget, 0.125, 1e-9);
    for (int h = 1; h <= EDGE_LAGS; ++h) gamma[h - 1] = 5.0 - h;  // falling: nothing fits
    EXPECT_EQ(fit_edge_variogram(gamma).range, EdgeModel{}.range);
}

}  // namespace
}  // namespace pelvane
