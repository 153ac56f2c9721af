// fallback_fill on small synthetic strips, one rule at a time, and against a
// plain transcription of the method that rescans every window from scratch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "regression/fallback_fill.h"
#include "regression/pixel_status.h"

namespace pelvane {
namespace {

// A strip after regression_fill: filled values, fill values and status. By
// default nothing is present (all 0) and no pixel is selected.
struct Strip {
    int rows, width, bands;
    std::vector<std::vector<double>> filled, fill;
    std::vector<unsigned char> status;
    std::vector<std::string> messages;

    Strip(int rows_, int width_, int bands_ = 1)
        : rows(rows_), width(width_), bands(bands_),
          filled(bands_, std::vector<double>(size(), 0.0)),
          fill(bands_, std::vector<double>(size(), 0.0)), status(size(), PIXEL_VALID) {}

    size_t size() const { return static_cast<size_t>(rows) * width; }
    size_t at(int r, int c) const { return static_cast<size_t>(r) * width + c; }

    void set(int r, int c, double filled_value, double fill_value, int band = 0)
    {
        filled[band][at(r, c)] = filled_value;
        fill[band][at(r, c)] = fill_value;
    }
    // A pixel to revisit: missing in both, nothing filled yet.
    void hole(int r, int c, double fill_value, int band = 0)
    {
        status[at(r, c)] = PIXEL_BOTH_MISSING;
        set(r, c, 0.0, fill_value, band);
    }
    double value(int r, int c, int band = 0) const { return filled[band][at(r, c)]; }

    static void record(const char* text, void* context)
    {
        static_cast<Strip*>(context)->messages.push_back(text);
    }

    void run(bool with_messages = true)
    {
        std::vector<double*> out;
        std::vector<const double*> in;
        for (int b = 0; b < bands; ++b) {
            out.push_back(filled[b].data());
            in.push_back(fill[b].data());
        }
        fallback_fill(out.data(), in.data(), status.data(), bands, rows, width,
                      with_messages ? record : nullptr, with_messages ? this : nullptr);
    }
};

TEST(FallbackFill, TouchesOnlySelectedPixelsAndBands)
{
    Strip s(9, 12, 4);
    for (int b = 0; b < 4; ++b)
        for (int r = 0; r < 9; ++r)
            for (int c = 0; c < 12; ++c) s.set(r, c, 60.0 + r + b, 50.0 + c, b);
    // Every status but 4 is left alone, even with a tiny filled value.
    for (unsigned char code : {PIXEL_VALID, PIXEL_SIMILAR_FIT, PIXEL_COVALID_FIT, PIXEL_RATIO_FIT}) {
        s.status[s.at(1, 1 + code)] = code;
        s.set(1, 1 + code, 0.0, 55.0);
    }
    s.hole(4, 6, 56.0, 0);
    s.status[s.at(4, 6)] = PIXEL_BOTH_MISSING;
    s.set(4, 6, 1.0, 56.0, 1);   // filled value not below 1.0
    s.set(4, 6, 0.5, 0.0, 2);    // no fill value
    s.set(4, 6, 0.0, -5.0, 3);   // negative fill value
    const Strip before = s;
    s.run();
    for (int b = 0; b < 4; ++b)
        for (size_t i = 0; i < s.size(); ++i)
            if (!(b == 0 && i == s.at(4, 6))) {
                EXPECT_EQ(s.filled[b][i], before.filled[b][i]) << b << " " << i;
            }
    EXPECT_GT(s.value(4, 6, 0), 1.0);
    EXPECT_TRUE(s.messages.empty());
}

// Centre (12, 20) of a 25 x 40 strip with fill 100; 30 positions 10 rows above
// at fill 100 + t - 0.01 with y = 2x, 30 positions 10 rows below at exactly
// 100 + t with y = 3x. All lie above the pixel's value, so the ratio is used
// over whichever are similar: 2 when the tolerance is t, more otherwise.
Strip tolerance_strip(double t, const std::vector<double>& square_samples)
{
    Strip s(25, 40);
    s.hole(12, 20, 100.0);
    const int spots[4][2] = {{10, 18}, {14, 22}, {11, 21}, {13, 19}};
    for (size_t i = 0; i < square_samples.size(); ++i)
        s.set(spots[i][0], spots[i][1], 0.0, square_samples[i]);  // fill only: not usable
    for (int c = 5; c < 35; ++c) {
        const double near = 100.0 + t - 0.01, edge = 100.0 + t;
        s.set(2, c, 2.0 * near, near);
        s.set(22, c, 3.0 * edge, edge);
    }
    return s;
}

TEST(FallbackFill, ToleranceIsTheSquaresDeviationClampedToSixAndThirty)
{
    struct Case {
        const char* name;
        double t;
        std::vector<double> samples;
    };
    const Case cases[] = {
        {"own value only", 6.0, {}},
        {"deviation 0.7 raised to 6", 6.0, {101.0}},
        {"deviation 10 kept", 10.0, {90.0, 110.0}},
        {"deviation 121 lowered to 30", 30.0, {10.0, 250.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Strip s = tolerance_strip(c.t, c.samples);
        s.run();
        EXPECT_EQ(s.value(12, 20), 200.0);
        // Just outside the tolerance the upper row is not similar either.
        Strip wide = tolerance_strip(c.t + 0.02, c.samples);
        wide.run();
        EXPECT_GT(std::fabs(wide.value(12, 20) - 200.0), 1.0);
    }
}

TEST(FallbackFill, RatioOutsideTheSimilarRangeIsNotClamped)
{
    Strip s = tolerance_strip(6.0, {});
    for (int c = 5; c < 35; ++c) s.set(22, c, 0.0, 0.0);
    for (int c = 5; c < 35; ++c) s.filled[0][s.at(2, c)] = 7.0 * s.fill[0][s.at(2, c)];
    s.run();
    EXPECT_NEAR(s.value(12, 20), 700.0, 1e-9);
}

// 32 positions at the same squared distance 1105 from the centre of a 71 x 71
// strip (offsets 23/24, 12/31, 9/32 and 4/33): the similar search reaches 30
// only with the side-67 window. The 4/33 family takes fill value x_far, the
// others x_near; y = a (x - xc) + 100 for all, the line through (xc, 100).
Strip ring_strip(double xc, double x_near, double x_far, double a)
{
    Strip s(71, 71);
    s.hole(35, 35, xc);
    const int pairs[4][2] = {{23, 24}, {12, 31}, {9, 32}, {4, 33}};
    for (int p = 0; p < 4; ++p) {
        const double x = p == 3 ? x_far : x_near;
        const double y = a * (x - xc) + 100.0;
        for (int sr : {-1, 1})
            for (int sc : {-1, 1}) {
                const int u = pairs[p][0], v = pairs[p][1];
                s.set(35 + sr * u, 35 + sc * v, y, x);
                s.set(35 + sr * v, 35 + sc * u, y, x);
            }
    }
    return s;
}

// Weighted mean of the fill values of ring_strip's 32 positions, less xc: the
// weights differ only by |x - xc| + 0.5.
double ring_mean_offset(double d_near, double d_far)
{
    const double w_near = 1.0 / (d_near + 0.5), w_far = 1.0 / (d_far + 0.5);
    return (24.0 * w_near * d_near + 8.0 * w_far * d_far) / (24.0 * w_near + 8.0 * w_far);
}

TEST(FallbackFill, RegressionSlopeIsClampedToPointTwoAndFive)
{
    // 24 positions at 102 and 8 at 98, all weights equal: mean_x = 101, so the
    // prediction is 100 + (a - clamped slope) * 1.
    const double slopes[][2] = {{3.0, 100.0}, {7.0, 102.0}, {0.1, 99.9}, {-2.0, 97.8}};
    for (const auto& c : slopes) {
        SCOPED_TRACE(c[0]);
        Strip s = ring_strip(100.0, 102.0, 98.0, c[0]);
        s.run();
        EXPECT_NEAR(s.value(35, 35), c[1], 1e-9);
    }
}

TEST(FallbackFill, RatioWhenThePixelIsNotBracketedBySimilarValues)
{
    // All similar values above the pixel's own: the ratio of the weighted means,
    // not the line (which would give 100).
    const double m = ring_mean_offset(2.0, 4.0);
    Strip above = ring_strip(100.0, 102.0, 104.0, 3.0);
    above.run();
    EXPECT_NEAR(above.value(35, 35), (100.0 + 3.0 * m) / (100.0 + m) * 100.0, 1e-9);

    // Nothing similar (every value 10 or 20 above, tolerance 6): the usable
    // positions are fitted, and the highest similar value stays 0, so again the
    // ratio.
    const double u = ring_mean_offset(10.0, 20.0);
    Strip usable = ring_strip(100.0, 110.0, 120.0, 3.0);
    usable.run();
    EXPECT_NEAR(usable.value(35, 35), (100.0 + 3.0 * u) / (100.0 + u) * 100.0, 1e-9);

    // Above 255 the lowest similar value never drops below its start, 255, so a
    // pixel at 256 with similar values 258 and 260 counts as bracketed: the line.
    Strip high = ring_strip(256.0, 258.0, 260.0, 3.0);
    high.run();
    EXPECT_NEAR(high.value(35, 35), 100.0, 1e-9);
}

TEST(FallbackFill, UsableSearchStopsAtTheFirstWindowWithThirty)
{
    // Nothing similar (all at 150 against 100, tolerance 18.9). The 7 x 7
    // window holds exactly 30 usable positions with ratio 2; the ring just
    // outside it holds more, with ratio 6, which must stay out.
    Strip s(21, 21);
    s.hole(10, 10, 100.0);
    int inner = 0;
    for (int r = 6; r <= 14; ++r)
        for (int c = 6; c <= 14; ++c) {
            const int d = std::max(std::abs(r - 10), std::abs(c - 10));
            if (d == 3 || (d == 2 && inner++ < 6)) s.set(r, c, 300.0, 150.0);
            if (d == 4) s.set(r, c, 900.0, 150.0);
        }
    s.run();
    EXPECT_NEAR(s.value(10, 10), 200.0, 1e-9);
}

TEST(FallbackFill, NothingUsableGivesTheFillValueAndTinyResultsBecomeZero)
{
    // Fill values around, but no filled value above 1e-6: nothing to fit. The
    // pixel's own filled value 0.5 is never used (its distance would be 0).
    const double cases[][3] = {
        {37.5, 0.0, 37.5}, {37.5, 0.5, 37.5}, {2e-6, 0.0, 2e-6}, {1e-6, 0.0, 0.0}, {5e-7, 0.0, 0.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        Strip s(9, 9);
        s.set(3, 3, 0.0, 40.0);
        s.hole(4, 4, c[0]);
        s.filled[0][s.at(4, 4)] = c[1];
        s.run();
        EXPECT_EQ(s.value(4, 4), c[2]);
    }
}

TEST(FallbackFill, OwnPositionNeverEntersTheFit)
{
    // One usable neighbour with ratio 2; the pixel's own filled value 0.5 is
    // above 1e-6 but must not be taken (weight 1 / 0).
    Strip s(9, 9);
    s.hole(4, 4, 50.0);
    s.filled[0][s.at(4, 4)] = 0.5;
    s.set(4, 7, 100.0, 50.0);
    s.run();
    EXPECT_NEAR(s.value(4, 4), 100.0, 1e-9);
}

TEST(FallbackFill, LaterPixelsSeeValuesWrittenForEarlierOnes)
{
    // A at column 49 sees the only usable position (column 0, ratio 2) and
    // becomes 100; B at column 50 cannot reach column 0, so its only usable
    // position is A's new value, and it becomes 2 * 80.
    Strip s(1, 60);
    s.set(0, 0, 100.0, 50.0);
    s.hole(0, 49, 50.0);
    s.hole(0, 50, 80.0);
    s.run();
    EXPECT_NEAR(s.value(0, 49), 100.0, 1e-9);
    EXPECT_NEAR(s.value(0, 50), 160.0, 1e-9);
}

TEST(FallbackFill, EmptySquareReportsAndLeavesTheBandAlone)
{
    // The pixel's own fill value is positive but not above 1e-6, and nothing
    // around it is: no tolerance. Bands 0 and 2 are affected, band 1 is not.
    Strip s(7, 7, 3);
    s.hole(3, 3, 1e-7, 0);
    s.hole(3, 3, 42.0, 1);
    s.hole(3, 3, 5e-7, 2);
    s.filled[0][s.at(3, 3)] = 0.25;
    s.filled[2][s.at(3, 3)] = -1.0;
    s.run();
    ASSERT_EQ(s.messages.size(), 2u);
    EXPECT_EQ(s.messages[0], "alr Error!");
    EXPECT_EQ(s.messages[1], "alr Error!");
    EXPECT_EQ(s.value(3, 3, 0), 0.25);
    EXPECT_EQ(s.value(3, 3, 1), 42.0);  // nothing usable: the fill value
    EXPECT_EQ(s.value(3, 3, 2), -1.0);

    Strip quiet(7, 7);
    quiet.hole(3, 3, 1e-7);
    quiet.run(false);
    EXPECT_EQ(quiet.value(3, 3), 0.0);
}

// The method read literally: each window scanned whole and counted afresh,
// fresh arrays per pixel and band.
void plain_fallback(std::vector<std::vector<double>>& filled,
                    const std::vector<std::vector<double>>& fill,
                    const std::vector<unsigned char>& status, int rows, int width, int& messages)
{
    const int bands = static_cast<int>(filled.size());
    for (int row = 0; row < rows; ++row)
        for (int col = 0; col < width; ++col) {
            const int pos = row * width + col;
            if (status[pos] != PIXEL_BOTH_MISSING) continue;
            for (int j = 0; j < bands; ++j) {
                std::vector<double>& f = filled[j];
                const std::vector<double>& x = fill[j];
                if (!(f[pos] < 1.0 && x[pos] > 0.0)) continue;
                const double xc = x[pos];
                auto inside = [&](int r, int c) { return r >= 0 && r < rows && c >= 0 && c < width; };

                std::vector<double> sq;
                for (int r = row - 2; r <= row + 2; ++r)
                    for (int c = col - 2; c <= col + 2; ++c)
                        if (inside(r, c) && x[r * width + c] > 1e-6) sq.push_back(x[r * width + c]);
                if (sq.empty()) {
                    ++messages;
                    continue;
                }
                double tol = 6.0;
                if (sq.size() > 1) {
                    double sum = 0.0;
                    for (double v : sq) sum += v;
                    const double mean = sum / static_cast<double>(sq.size());
                    double ss = 0.0;
                    for (double v : sq) ss += (v - mean) * (v - mean);
                    tol = std::sqrt(ss / static_cast<double>(sq.size() - 1));
                    tol = tol < 6.0 ? 6.0 : (tol > 30.0 ? 30.0 : tol);
                }
                auto usable = [&](int r, int c) {
                    const int q = r * width + c;
                    return inside(r, c) && q != pos && f[q] > 1e-6 && x[q] > 1e-6;
                };
                auto similar = [&](int r, int c) {
                    return usable(r, c) && std::fabs(x[r * width + c] - xc) < tol;
                };
                double lowest = 255.0, highest = 0.0;
                int count = 0, h = 2;
                for (int side = 5; side <= 99; side += 2) {
                    h = (side - 1) / 2;
                    count = 0;
                    for (int r = row - h; r <= row + h; ++r)
                        for (int c = col - h; c <= col + h; ++c)
                            if (similar(r, c)) {
                                ++count;
                                const double v = x[r * width + c];
                                if (v > highest) highest = v;
                                if (v < lowest) lowest = v;
                            }
                    if (count >= 30 && lowest <= xc && xc <= highest) break;
                }
                const bool similar_mode = count >= 30;
                if (!similar_mode)
                    for (int side = 5; side <= 99; side += 2) {
                        h = (side - 1) / 2;
                        count = 0;
                        for (int r = row - h; r <= row + h; ++r)
                            for (int c = col - h; c <= col + h; ++c) count += usable(r, c);
                        if (count >= 30) break;
                    }
                std::vector<double> ys(count), xs(count), ws(count);
                int n = 0;
                for (int r = row - h; r <= row + h; ++r)
                    for (int c = col - h; c <= col + h; ++c)
                        if (similar_mode ? similar(r, c) : usable(r, c)) {
                            const int q = r * width + c, dr = r - row, dc = c - col;
                            ys[n] = f[q];
                            xs[n] = x[q];
                            ws[n] = 1.0 / ((std::fabs(x[q] - xc) + 0.5) * (dr * dr + dc * dc));
                            ++n;
                        }
                double slope = 1.0, intercept = 0.0;
                if (n > 0) {
                    double sw = 0.0, sx = 0.0, sy = 0.0;
                    for (int m = 0; m < n; ++m) sw += ws[m];
                    for (int m = 0; m < n; ++m) sx += ws[m] * xs[m];
                    for (int m = 0; m < n; ++m) sy += ws[m] * ys[m];
                    const double mx = sw > 1e-6 ? sx / sw : sx, my = sw > 1e-6 ? sy / sw : sy;
                    double sxx = 0.0, sxy = 0.0;
                    for (int m = 0; m < n; ++m) sxx += ws[m] * ((xs[m] - mx) * (xs[m] - mx));
                    for (int m = 0; m < n; ++m) sxy += (ws[m] * (xs[m] - mx)) * (ys[m] - my);
                    slope = sxy / sxx;
                    slope = slope > 5.0 ? 5.0 : (slope < 0.2 ? 0.2 : slope);
                    if (xc > highest || xc < lowest || (sxx > -1e-6 && sxx < 1e-6)) slope = my / mx;
                    intercept = my - slope * mx;
                }
                const double v = slope * xc + intercept;
                f[pos] = v > 1e-6 ? v : 0.0;
            }
        }
}

TEST(FallbackFill, SameBitsAsWindowsRescannedWhole)
{
    // Random strips with patches of holes: many handled pixels see each other's
    // values, all paths (similar, usable, ratio, nothing) occur.
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        const int rows = 30 + static_cast<int>(seed) * 7, width = 45 + static_cast<int>(seed) * 5;
        Strip s(rows, width, 2);
        for (int b = 0; b < 2; ++b)
            for (size_t i = 0; i < s.size(); ++i) {
                const double x = u(rng) < 0.15 ? 0.0 : 20.0 + 60.0 * u(rng) + 200.0 * (u(rng) < 0.05);
                s.fill[b][i] = x;
                s.filled[b][i] = u(rng) < 0.2 ? 0.0 : 0.8 * x + 25.0 * u(rng);
            }
        // Some holes stand out from their surroundings, so that few positions
        // are similar and the usable search decides.
        for (size_t i = 0; i < s.size(); ++i)
            if (u(rng) < 0.25) {
                s.status[i] = PIXEL_BOTH_MISSING;
                const bool odd = u(rng) < 0.4;
                for (int b = 0; b < 2; ++b) {
                    s.filled[b][i] = u(rng) < 0.8 ? 0.0 : 0.5;
                    if (odd && s.fill[b][i] > 0.0) s.fill[b][i] = 100.0 + 40.0 * u(rng);
                }
            }
        auto expected = s.filled;
        int plain_messages = 0;
        plain_fallback(expected, s.fill, s.status, rows, width, plain_messages);
        s.run();
        EXPECT_EQ(static_cast<int>(s.messages.size()), plain_messages);
        int changed = 0;
        for (int b = 0; b < 2; ++b)
            for (size_t i = 0; i < s.size(); ++i) {
                ASSERT_EQ(std::memcmp(&s.filled[b][i], &expected[b][i], sizeof(double)), 0)
                    << "band " << b << " pixel " << i << ": " << s.filled[b][i]
                    << " != " << expected[b][i];
                changed += s.status[i] == PIXEL_BOTH_MISSING && s.filled[b][i] > 1.0;
            }
        EXPECT_GT(changed, 50);
    }
}

}  // namespace
}  // namespace pelvane
