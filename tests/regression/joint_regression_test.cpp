// The joint fit over several dates against a plain reference, and what it
// reads from which date.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "regression/joint_regression.h"
#include "regression/similar_pixels.h"

namespace pelvane {
namespace {

constexpr int W = 40, H = 30, B = 2, D = 3, N = W * H;

// Three dates of two bands with gaps of their own; the target a plane in
// date 1's bands plus a little of date 0, with every sixth row a gap.
struct Dates {
    std::vector<double> value[D * B], target[B];
    std::vector<unsigned char> gap[D], target_gap;
    std::vector<const double*> fill_at, target_at;
    std::vector<const unsigned char*> gap_at;
    std::vector<double> scale;
    JointDates in{};
    Dates()
    {
        unsigned state = 12345;
        auto noise = [&] { return (state = state * 1103515245u + 12345u) / 4294967296.0; };
        for (auto& v : value) v.resize(N), fill_at.push_back(v.data());
        for (int d = 0; d < D; ++d) gap[d].resize(N);
        target_gap.resize(N);
        for (int i = 0; i < N; ++i) {
            for (auto& v : value) v[i] = 100.0 + 50.0 * noise() + (i % W);
            gap[0][i] = i % 7 == 0, gap[1][i] = (i / W) % 4 == 1, gap[2][i] = i % 5 == 0;
            target_gap[i] = (i / W) % 6 == 0;
        }
        for (int b = 0; b < B; ++b) {
            target[b].resize(N);
            for (int i = 0; i < N; ++i)
                target[b][i] = 10.0 + 2.0 * value[B + b][i] - 0.5 * value[B + 1 - b][i] + 0.1 * value[b][i];
            target_at.push_back(target[b].data());
        }
        for (auto& g : gap) gap_at.push_back(g.data());
        in = {target_at.data(), target_gap.data(), fill_at.data(), gap_at.data(), nullptr, D, B, H, W};
        scale = joint_scales(in);
        in.scale = scale.data();
    }
};

// The fit written out plainly: candidates listed, means first, then the
// centred sums solved by Gaussian elimination.
int reference(const JointDates& in, int row, int col, double* out)
{
    const int centre = row * W + col;
    std::vector<int> terms;
    for (int d = 0, used = 0; d < D && used < JOINT_DATES_MOST; ++d)
        if (in.fill_gap[d][centre] == 0 && ++used)
            for (int b = 0; b < B; ++b) terms.push_back(d * B + b);
    const int n = static_cast<int>(terms.size());
    auto x = [&](int q, int j) { return (in.fill[terms[j]][q] - in.fill[terms[j]][centre]) / in.scale[terms[j]]; };
    std::vector<int> chosen;
    for (int half = JOINT_HALF;; half = next_similar_half(half)) {
        chosen.clear();
        for (int q = 0; q < N; ++q) {
            bool ok = q != centre && in.target_gap[q] == 0 && std::abs(q / W - row) <= half && std::abs(q % W - col) <= half;
            for (int j = 0; j < n; j += B) ok = ok && in.fill_gap[terms[j] / B][q] == 0;
            if (ok) chosen.push_back(q);
        }
        if (static_cast<int>(chosen.size()) >= std::max(JOINT_FEWEST, JOINT_PER_TERM * n) || half >= SIMILAR_MAX_HALF) break;
    }
    std::vector<double> w, mx(n, 0.0);
    double sw = 0.0;
    for (const int q : chosen) {
        double d2 = 0.0;
        for (int j = 0; j < n; ++j) d2 += x(q, j) * x(q, j);
        const double s = std::sqrt(d2 / n) + SIMILAR_DISTANCE_OFFSET, dr = q / W - row, dc = q % W - col;
        w.push_back(1.0 / (s * s * (dr * dr + dc * dc)));
        sw += w.back();
    }
    for (std::size_t i = 0; i < chosen.size(); ++i)
        for (int j = 0; j < n; ++j) mx[j] += w[i] * x(chosen[i], j) / sw;
    for (int b = 0; b < B; ++b) {
        double my = 0.0;
        for (std::size_t i = 0; i < chosen.size(); ++i) my += w[i] * in.target[b][chosen[i]] / sw;
        std::vector<double> a(n * (n + 1), 0.0);
        for (std::size_t i = 0; i < chosen.size(); ++i)
            for (int j = 0; j < n; ++j) {
                for (int k = 0; k < n; ++k) a[j * (n + 1) + k] += w[i] * (x(chosen[i], j) - mx[j]) * (x(chosen[i], k) - mx[k]);
                a[j * (n + 1) + n] += w[i] * (x(chosen[i], j) - mx[j]) * (in.target[b][chosen[i]] - my);
            }
        for (int j = 0; j < n; ++j) a[j * (n + 1) + j] += JOINT_RIDGE * sw;
        for (int p = 0; p < n; ++p)
            for (int i = 0; i < n; ++i)
                if (i != p)
                    for (int k = n; k >= p; --k) a[i * (n + 1) + k] -= a[i * (n + 1) + p] / a[p * (n + 1) + p] * a[p * (n + 1) + k];
        out[b] = my;
        for (int j = 0; j < n; ++j) out[b] -= a[j * (n + 1) + n] / a[j * (n + 1) + j] * mx[j];
    }
    return static_cast<int>(chosen.size());
}

TEST(JointRegression, MatchesThePlainReferenceAndReadsTheDateThatTellsTheTarget)
{
    Dates s;
    JointScratch work;
    for (const auto& [row, col] : {std::pair{0, 0}, {6, 13}, {12, 39}, {29, 20}, {5, 7}, {17, 21}}) {
        const int at = row * W + col;
        double fast[B], slow[B];
        const int n = joint_regression_predict(s.in, row, col, work, fast);
        ASSERT_EQ(n, reference(s.in, row, col, slow)) << row << "," << col;
        for (int b = 0; b < B; ++b) {
            EXPECT_NEAR(fast[b], slow[b], 1e-9 * std::fabs(slow[b])) << row << "," << col;
            // Where date 1, which tells the target, is in the fit, the
            // plane follows it (the ridge leaves a little).
            if (s.gap[1][at] == 0 && (s.gap[0][at] == 0 || s.gap[2][at] == 0)) {
                EXPECT_NEAR(fast[b], s.target[b][at], 0.02 * s.target[b][at]) << row << "," << col;
            }
        }
    }
    // A pixel no date has: nothing.
    s.gap[0][7] = s.gap[1][7] = s.gap[2][7] = 1;
    double out[B] = {-1.0, -1.0};
    EXPECT_EQ(joint_regression_predict(s.in, 0, 7, work, out), 0);
    EXPECT_EQ(out[0], -1.0);
}

}  // namespace
}  // namespace pelvane
