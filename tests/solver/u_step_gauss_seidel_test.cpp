#include "solver/u_step_gauss_seidel.h"

#include <gtest/gtest.h>

#include <vector>

namespace pelvane {
namespace {

TEST(UStepGaussSeidel, SteadyStateStaysAndEmptySizesDoNothing) {
    // alpha = 4: (4 * 3.5 + 4 * 3.5) / 8 is 3.5 exactly.
    std::vector<double> u(12, 3.5), g(12, 3.5), dtilde(24, 0.0);
    EXPECT_EQ(u_step_gauss_seidel(u.data(), g.data(), dtilde.data(), nullptr, 4, 3, 1, 4, 1), 0.0);
    EXPECT_EQ(u, std::vector<double>(12, 3.5));

    std::vector<double> zeros(12, 0.0);
    EXPECT_EQ(u_step_gauss_seidel(zeros.data(), g.data(), dtilde.data(), nullptr, 4, 3, 0, 8, 5), 0.0);
    EXPECT_EQ(u_step_gauss_seidel(zeros.data(), g.data(), dtilde.data(), nullptr, 4, 0, 1, 8, 5), 0.0);
    EXPECT_EQ(zeros, std::vector<double>(12, 0.0));
}

TEST(UStepGaussSeidel, UsesTheNewWestValueWithinTheSweep) {
    // alpha = 8 / 5 = 1.6, u zero, g one, dtilde zero.
    std::vector<double> u(6, 0.0), g(6, 1.0), dtilde(12, 0.0);
    const double sum = u_step_gauss_seidel(u.data(), g.data(), dtilde.data(), nullptr, 3, 2, 1, 8, 5);
    const double first = 1.6 / 5.6;
    EXPECT_DOUBLE_EQ(u[0], first);
    EXPECT_DOUBLE_EQ(u[1], (1.6 + first) / 5.6);
    double squares = 0.0;
    for (double v : u) squares += v * v;
    EXPECT_EQ(sum, squares);  // old u was zero: the changes are the new values
}

// Height 1 and width 1 give the same averages here: alpha 0 (a zero weight
// map, or a = 0), neighbours outside the image are the pixel itself.
//   first: (4 + 8 + 4 + 4) / 4 = 5; second: (5 + 12 + 8 + 8) / 4 = 8.25;
//   third: (8.25 + 12 + 12 + 12) / 4 = 11.0625.
TEST(UStepGaussSeidel, ZeroWeightMapOnASingleRowAveragesTheNeighbours) {
    std::vector<double> u = {4, 8, 12}, g = {100, -100, 100}, map(3, 0.0);
    // y-parts never enter a single row; the last column's x-part never enters.
    std::vector<double> dtilde = {0, 7, 0, -3, 1000, 9};
    const double sum = u_step_gauss_seidel(u.data(), g.data(), dtilde.data(), map.data(), 3, 1, 1, 25, 5);
    EXPECT_EQ(u, (std::vector<double>{5, 8.25, 11.0625}));
    EXPECT_EQ(sum, 1.0 + 0.0625 + 0.9375 * 0.9375);

    // The first column's x-part enters the second column: Dx = 2 - 0.
    u = {4, 8, 12};
    dtilde = {2, 0, 0, 0, 0, 0};
    u_step_gauss_seidel(u.data(), g.data(), dtilde.data(), map.data(), 3, 1, 1, 25, 5);
    EXPECT_EQ(u[1], (5.0 + 12 + 8 + 8 + 2) / 4);
}

TEST(UStepGaussSeidel, OnePixelWideColumnUsesItselfEastAndWest) {
    std::vector<double> u = {4, 8, 12}, g(3, 0.0), dtilde(6, 0.0);
    u_step_gauss_seidel(u.data(), g.data(), dtilde.data(), nullptr, 1, 3, 1, 0, 5);
    EXPECT_EQ(u, (std::vector<double>{5, 8.25, 11.0625}));

    // Dy = dtilde.y(y - 1) - dtilde.y(y); zero in row 0, whatever the y-part.
    u = {4, 8, 12};
    dtilde = {0, 1, 0, 0, 0, 0};
    u_step_gauss_seidel(u.data(), g.data(), dtilde.data(), nullptr, 1, 3, 1, 0, 5);
    EXPECT_EQ(u, (std::vector<double>{5, 8.5, 11.125}));
}

TEST(UStepGaussSeidel, WidthTwoHasNoHorizontalDivergence) {
    std::vector<double> g = {1, 2, 3, 4, 5, 6};
    std::vector<double> plain(12, 0.0), with_x(12, 0.0);
    for (int e = 0; e < 6; ++e) {
        plain[2 * e + 1] = with_x[2 * e + 1] = 0.1 * e;
        with_x[2 * e] = 10.0 + e;
    }
    std::vector<double> u1(6, 1.0), u2(6, 1.0);
    u_step_gauss_seidel(u1.data(), g.data(), plain.data(), nullptr, 2, 3, 1, 8, 5);
    u_step_gauss_seidel(u2.data(), g.data(), with_x.data(), nullptr, 2, 3, 1, 8, 5);
    EXPECT_EQ(u1, u2);
}

TEST(UStepGaussSeidel, WeightMapIsSharedByTheChannels) {
    // Two identical channels with a per-pixel map give two identical results,
    // and a uniform map gives exactly the result of the same scalar weight.
    const int w = 4, h = 3, n = w * h;
    std::vector<double> g(2 * n), dtilde(4 * n), map(n, 8.0);
    for (int e = 0; e < n; ++e) {
        g[e] = g[e + n] = (e * 7 % 5) * 0.3;
        dtilde[2 * e] = dtilde[2 * (e + n)] = (e % 3) * 0.1;
        dtilde[2 * e + 1] = dtilde[2 * (e + n) + 1] = (e % 4) * -0.2;
    }
    std::vector<double> with_map(2 * n, 0.5), scalar(2 * n, 0.5);
    const double s1 = u_step_gauss_seidel(with_map.data(), g.data(), dtilde.data(), map.data(), w, h, 2, 99, 5);
    const double s2 = u_step_gauss_seidel(scalar.data(), g.data(), dtilde.data(), nullptr, w, h, 2, 8, 5);
    EXPECT_EQ(with_map, scalar);
    EXPECT_EQ(s1, s2);
    for (int e = 0; e < n; ++e) EXPECT_EQ(with_map[e], with_map[e + n]);
}

}  // namespace
}  // namespace pelvane
