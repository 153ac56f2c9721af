#include "solver/shrinkage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace pelvane {
namespace {

struct Split {
    std::vector<double> d, dtilde;
    explicit Split(int n) : d(2 * n, 0.0), dtilde(2 * n, 0.0) {}
    double dx(int e) const { return d[2 * e]; }
    double dy(int e) const { return d[2 * e + 1]; }
    double tx(int e) const { return dtilde[2 * e]; }
    double ty(int e) const { return dtilde[2 * e + 1]; }
};

// u(x, y) = step * x on a 4 x 3 image, gamma1 = 4 (threshold 0.25).
Split ramp_step(double step) {
    std::vector<double> u(12);
    for (int e = 0; e < 12; ++e) u[e] = step * (e % 4);
    Split s(12);
    d_step(s.d.data(), s.dtilde.data(), u.data(), 4, 3, 1, 4.0);
    return s;
}

TEST(DStep, RampShrinksByTheThreshold) {
    const Split s = ramp_step(1.0);  // m2 = 1 > 0.0625, s = 0.75
    for (int e = 0; e < 12; ++e) {
        const bool last_column = e % 4 == 3;
        EXPECT_EQ(s.dx(e), last_column ? 0.0 : 0.75) << e;
        EXPECT_EQ(s.tx(e), last_column ? 0.0 : 0.5) << e;
        EXPECT_EQ(s.dy(e), 0.0) << e;
        EXPECT_EQ(s.ty(e), 0.0) << e;
    }
    const Split at = ramp_step(0.25);  // m2 = t2 exactly: set to zero
    for (int e = 0; e < 12; ++e) {
        EXPECT_EQ(at.dx(e), 0.0) << e;
        EXPECT_EQ(at.tx(e), e % 4 == 3 ? 0.0 : -0.25) << e;
    }
}

TEST(DStep, BregmanPartEntersTheShrinkage) {
    // g = d - dtilde + grad u = 0.5 - 0.25 + 1 = 1.25; s = 1 - 0.25 / 1.25.
    std::vector<double> u = {0, 1, 0, 1};
    Split s(4);
    s.d[0] = 0.5;
    s.dtilde[0] = 0.25;
    d_step(s.d.data(), s.dtilde.data(), u.data(), 2, 2, 1, 4.0);
    EXPECT_DOUBLE_EQ(s.dx(0), 1.0);
    EXPECT_DOUBLE_EQ(s.tx(0), 0.75);
}

TEST(DStep, ChannelsAreShrunkTogether) {
    // x-differences of 0.2: one channel alone (m2 = 0.04) is set to zero,
    // two together (m2 = 0.08 > 0.0625) are shrunk.
    std::vector<double> u = {0, 0.2, 0, 0.2, 0, 0.2, 0, 0.2};
    Split one(4), two(8);
    d_step(one.d.data(), one.dtilde.data(), u.data(), 2, 2, 1, 4.0);
    d_step(two.d.data(), two.dtilde.data(), u.data(), 2, 2, 2, 4.0);
    EXPECT_EQ(one.dx(0), 0.0);
    EXPECT_EQ(one.tx(0), -0.2);
    const double s = 1.0 - 0.25 / std::sqrt(0.2 * 0.2 + 0.2 * 0.2);
    EXPECT_DOUBLE_EQ(two.dx(0), s * 0.2);
    EXPECT_DOUBLE_EQ(two.dx(4), s * 0.2);
    EXPECT_GT(two.dx(0), 0.0);
}

TEST(DStep, LastColumnLastRowAndCornerAreHeldAtZero) {
    const int w = 5, h = 4, c = 2, n = w * h * c;
    std::vector<double> u(n);
    Split s(n);
    for (int e = 0; e < n; ++e) {
        u[e] = std::sin(0.7 * e) * 3;
        s.d[2 * e] = std::cos(0.3 * e);
        s.d[2 * e + 1] = std::sin(1.1 * e);
        s.dtilde[2 * e] = std::cos(1.9 * e);
        s.dtilde[2 * e + 1] = std::sin(0.5 * e);
    }
    d_step(s.d.data(), s.dtilde.data(), u.data(), w, h, c, 5.0);
    for (int k = 0; k < c; ++k)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int e = x + w * (y + h * k);
                if (x == w - 1) {
                    EXPECT_EQ(s.dx(e), 0.0);
                    EXPECT_EQ(s.tx(e), 0.0);
                } else {
                    EXPECT_NE(s.tx(e), 0.0);
                }
                if (y == h - 1) {
                    EXPECT_EQ(s.dy(e), 0.0);
                    EXPECT_EQ(s.ty(e), 0.0);
                }
            }
}

TEST(DStep, OnePixelWideOrHighImagesUseTheBorderRules) {
    // A column: the y-parts of rows 0 and 1 are shrunk, the bottom is the
    // corner. A row: the same with the x-parts. Differences 1 and 2, t = 0.25.
    std::vector<double> u = {0, 1, 3};
    Split column(3), row(3);
    d_step(column.d.data(), column.dtilde.data(), u.data(), 1, 3, 1, 4.0);
    d_step(row.d.data(), row.dtilde.data(), u.data(), 3, 1, 1, 4.0);
    const double expected_d[] = {0.75, 1.75, 0.0}, expected_t[] = {0.5, 1.5, 0.0};
    for (int e = 0; e < 3; ++e) {
        EXPECT_EQ(column.dy(e), expected_d[e]);
        EXPECT_EQ(column.ty(e), expected_t[e]);
        EXPECT_EQ(column.dx(e), 0.0);
        EXPECT_EQ(row.dx(e), expected_d[e]);
        EXPECT_EQ(row.tx(e), expected_t[e]);
        EXPECT_EQ(row.dy(e), 0.0);
    }
}

TEST(ZStepLaplace, HoldsZAtTheDataWithinTheThreshold) {
    // Weight 1000, gamma2 8: t = 125. g = 0.6 - 0.5 + 0 = 0.1, so z' = f and
    // the new c = z' - ztilde' = 0.1.
    std::vector<double> z = {0.6}, zt = {0.6}, u = {0.6}, f = {0.5}, map = {1000};
    z_step_laplace(z.data(), zt.data(), u.data(), f.data(), map.data(), 1, 1, 1, 25, 8);
    EXPECT_EQ(z[0], 0.5);
    EXPECT_DOUBLE_EQ(zt[0], 0.4);
}

TEST(ZStepLaplace, ZeroWeightIgnoresTheDataInEveryChannel) {
    // Pixel 0 has weight 0 (z' = u + z - ztilde), pixel 1 a large one (z' = f);
    // channel 1 reads the same map. Without a map lambda applies everywhere.
    std::vector<double> z = {0.25, 0.25, 0, 0}, zt = {0.125, 0.125, 0.125, 0.125};
    std::vector<double> u = {0.75, 0.75, 0.25, 0.25}, f = {0.5, 0.5, 0.5, 0.5};
    std::vector<double> map = {0, 1000};
    auto z2 = z, zt2 = zt;
    z_step_laplace(z.data(), zt.data(), u.data(), f.data(), map.data(), 2, 1, 2, 25, 8);
    EXPECT_EQ(z, (std::vector<double>{0.875, 0.5, 0.125, 0.5}));
    EXPECT_EQ(zt, (std::vector<double>{0.125 + 1.75 - 0.25 - 0.75, 0.125 + 1.0 - 0.25 - 0.75,
                                       0.125 + 0.25 - 0 - 0.25, 0.125 + 1.0 - 0 - 0.25}));

    // lambda 0.8: t = 0.1; g = 0.375 at pixel 0 gives z' = f + g - t.
    z_step_laplace(z2.data(), zt2.data(), u.data(), f.data(), nullptr, 2, 1, 2, 0.8, 8);
    EXPECT_DOUBLE_EQ(z2[0], 0.5 + 0.375 - 0.1);
    EXPECT_DOUBLE_EQ(z2[2], 0.5 - 0.375 + 0.1);
}

TEST(ZStepPoisson, ZeroDataTakesThePositivePartOfTwiceH) {
    // t = 8 / 8 = 1, h = (u + z - ztilde - 1) / 2: 1 for u = 3, -0.25 for u = 0.5.
    std::vector<double> z = {0, 0}, zt = {0, 0}, u = {3, 0.5}, f = {0, 0};
    z_step_poisson(z.data(), zt.data(), u.data(), f.data(), nullptr, 2, 1, 1, 8, 8);
    EXPECT_EQ(z, (std::vector<double>{2, 0}));
    EXPECT_EQ(zt, (std::vector<double>{4 - 3, -0.5}));
}

TEST(ZStepPoisson, SolvesTheQuadraticAndStaysFiniteForNegativeData) {
    std::vector<double> z = {0.5, 0.5}, zt = {0.25, 0.25}, u = {2, 0}, f = {3, -100};
    z_step_poisson(z.data(), zt.data(), u.data(), f.data(), nullptr, 2, 1, 1, 16, 8);
    // z'^2 - (u + c - t) z' - t f = 0 with c = 0.25, t = 2.
    EXPECT_NEAR(z[0] * z[0] - (2 + 0.25 - 2) * z[0] - 2 * 3, 0.0, 1e-12);
    EXPECT_TRUE(std::isfinite(z[1]));
    EXPECT_TRUE(std::isfinite(zt[1]));
}

}  // namespace
}  // namespace pelvane
