// Aligning the fill image: the shift found on smooth synthetic bands, and
// the resampled values beside the fill's gaps.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "regression/fill_alignment.h"

namespace pelvane {
namespace {

constexpr int W = 64, H = 48, B = 3;

// Smooth band b at (y, x): a few slow waves, each band its own mix.
double wave(int b, double y, double x)
{
    return 100.0 + 20.0 * std::sin(0.31 * x + 0.7 * b) + 15.0 * std::cos(0.23 * y - 0.4 * x + b) +
           8.0 * std::sin(0.17 * (x + y) * (1 + b));
}

// The target band b is a gain and offset of the fill band 2 - b read at
// (y + dy, x + dx), plus a little noise of its own; the fill has a stripe
// gap and the target a gap square.
struct Pair {
    std::vector<double> fill[B], target[B];
    std::vector<unsigned char> fill_gap = std::vector<unsigned char>(W * H), target_gap = fill_gap;
    std::vector<double*> fill_at;
    std::vector<const double*> target_at;
    Pair(double dy, double dx)
    {
        unsigned state = 777;
        auto noise = [&] { return (state = state * 1103515245u + 12345u) / 4294967296.0 - 0.5; };
        for (int b = 0; b < B; ++b) {
            fill[b].resize(W * H), target[b].resize(W * H);
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    fill[b][y * W + x] = wave(b, y, x);
                    target[b][y * W + x] = 3.0 + (0.5 + b) * wave(2 - b, y + dy, x + dx) + noise();
                }
            fill_at.push_back(fill[b].data()), target_at.push_back(target[b].data());
        }
        for (int i = 0; i < W * H; ++i) {
            fill_gap[i] = (i / W) % 16 == 5 || (i % W == 40 && i / W > 20);
            target_gap[i] = i / W > 30 && i / W < 40 && i % W > 20 && i % W < 35;
        }
    }
    FillShift estimate() const
    {
        return estimate_fill_shift({target_at.data(), target_gap.data(), fill_at.data(), fill_gap.data(), B, H, W});
    }
};

TEST(FillAlignment, FindsASubPixelShiftAndNoneOnAnAlignedPair)
{
    for (auto [dy, dx] : {std::pair{0.375, -0.625}, std::pair{-1.25, 0.5}, std::pair{0.0, 0.0}}) {
        const FillShift shift = Pair(dy, dx).estimate();
        EXPECT_EQ(shift.dy, dy) << dy << ", " << dx;
        EXPECT_EQ(shift.dx, dx) << dy << ", " << dx;
        EXPECT_EQ(shift.none(), dy == 0.0 && dx == 0.0);
        EXPECT_LE(shift.ratio, 1.0);
    }
}

// A plane is reproduced by the cubic convolution: every valid pixel clear
// of the strip's edge whose support is valid gets the plane at its shifted
// place; beside a gap, a value within those of its valid nearest taps; gap
// pixels keep their values.
TEST(FillAlignment, ResamplesPixelsBesideGapsSoundly)
{
    Pair pair(0.0, 0.0);
    auto plane = [](int b, double y, double x) { return 10.0 * b + 5.0 * y - x; };
    for (int b = 0; b < B; ++b)
        for (int i = 0; i < W * H; ++i) pair.fill[b][i] = pair.fill_gap[i] != 0 ? -1e6 : plane(b, i / W, i % W);
    shift_fill(pair.fill_at.data(), pair.fill_gap.data(), B, H, W, FillShift{1.5, 0.25, 0.9});
    int beside = 0;
    for (int b = 0; b < B; ++b)
        for (int y = 1; y < H - 4; ++y)
            for (int x = 2; x < W - 3; ++x) {
                const int i = y * W + x;
                bool clear = true;
                for (int r = 0; r <= 3; ++r)
                    for (int c = -1; c <= 2; ++c) clear = clear && pair.fill_gap[i + r * W + c] == 0;
                const double v = pair.fill[b][i];
                if (pair.fill_gap[i] != 0) {
                    EXPECT_EQ(v, -1e6);
                } else if (clear) {
                    ASSERT_NEAR(v, plane(b, y + 1.5, x + 0.25), 1e-9) << b << " " << y << " " << x;
                } else {
                    // The nearest taps span y + 1 .. y + 2 and x .. x + 1, not the pixel itself.
                    ASSERT_GE(v, plane(b, y + 1, x + 1) - 1e-9) << b << " " << y << " " << x;
                    ASSERT_LE(v, plane(b, y + 2, x) + 1e-9) << b << " " << y << " " << x;
                    ++beside;
                }
            }
    EXPECT_GT(beside, 0);
}

}  // namespace
}  // namespace pelvane
