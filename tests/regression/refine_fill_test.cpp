#include "regression/refine_fill.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <vector>

#include "regression/local_regression.h"
#include "regression/pixel_status.h"
#include "regression/regression_strip.h"
#include "regression/similar_pixels.h"
#include "solver/edge_interpolation.h"

namespace pelvane {
namespace {

constexpr unsigned char SPATIAL = 7;

// A textured strip whose target is a linear function of the fill image, with
// scanner stripes in the target, a few in the fill, and optionally a patch
// where the fill shows another cover (its relation to the target broken).
struct Strip {
    static constexpr int W = 60, H = 48, B = 3;
    std::vector<std::vector<double>> truth, target, fill, filled, loo, predictions;
    std::vector<unsigned char> target_mask, fill_mask, status, residual, both_valid, select;
    std::vector<float> scaled;
    std::vector<const double*> fill_ptrs;
    SimilarSearch similar{};

    explicit Strip(bool changed_patch)
        : truth(B, std::vector<double>(W * H)), target(truth), fill(truth), filled(truth),
          loo(truth), predictions((PREDICTOR_COUNT - 1) * B, std::vector<double>(W * H)), target_mask(W * H),
          fill_mask(W * H), status(W * H), residual(W * H), both_valid(W * H), select(W * H)
    {
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const std::size_t i = x + W * y;
                target_mask[i] = (y % 12) >= 8;
                fill_mask[i] = (y % 12) == 10 && x > 40;
                const bool patch = changed_patch && std::hypot(x - 30.0, y - 20.0) < 8.0;
                for (int b = 0; b < B; ++b) {
                    const double scene = 60.0 + 30.0 * std::sin(0.37 * x + b) * std::cos(0.23 * y) +
                                         (x * 7 + y * 13 + b * 5) % 11;
                    truth[b][i] = scene;
                    // In the patch: another cover, unrelated to this one.
                    fill[b][i] = patch ? 90.0 + 25.0 * std::cos(0.9 * x * y + b) : (scene - 3.0) / 1.1;
                    target[b][i] = target_mask[i] ? 0.0 : scene;
                }
            }
    }

    std::vector<double*> ptrs(std::vector<std::vector<double>>& v)
    {
        std::vector<double*> p;
        for (auto& band : v) p.push_back(band.data());
        return p;
    }
    std::vector<const double*> cptrs(std::vector<std::vector<double>>& v)
    {
        std::vector<const double*> p;
        for (auto& band : v) p.push_back(band.data());
        return p;
    }

    // The regression, then the predictions the refinement needs.
    RefineInputs regress()
    {
        const auto t = cptrs(target), f = cptrs(fill);
        const RegressionStrip strip(t.data(), f.data(), target_mask.data(), fill_mask.data(), B,
                                    H, W, 0.5, 30);
        strip.fill_rows(0, H, ptrs(filled).data(), status.data());
        mark_residual_pixels(status.data(), target_mask.data(), fill_mask.data(), H, W,
                             residual.data());
        strip.predict_rows(0, H, residual.data(), ptrs(loo).data());
        target_ptrs = cptrs(target);
        loo_ptrs = cptrs(loo);
        fill_ptrs = cptrs(fill);
        for (std::size_t i = 0; i < both_valid.size(); ++i) {
            both_valid[i] = !target_mask[i] && !fill_mask[i];
            select[i] = residual[i] || (status[i] >= PIXEL_SIMILAR_FIT && status[i] <= PIXEL_RATIO_FIT);
        }
        scaled = similar_scaled_fill(fill_ptrs.data(), both_valid.data(), B, W * H);
        similar = {target_ptrs.data(), fill_ptrs.data(), both_valid.data(), scaled.data(), B, H, W, 30};
        interpolator = std::make_unique<EdgeInterpolator>(
            fit_edge_model(target_ptrs.data(), B, target_mask.data(), W, H, 1));
        kriging = [this](const unsigned char* gap, std::size_t pos, int exclude, std::size_t* at,
                         double* weight) {
            return interpolator->weights(gap, W, H, pos, exclude, REFINE_OCTANT_QUOTA, at, weight);
        };
        predict_refined_rows(similar, target_mask.data(), kriging, select.data(), 0, H,
                             ptrs(predictions).data());
        prediction_ptrs = cptrs(predictions);
        return {target_ptrs.data(), target_mask.data(), residual.data(), loo_ptrs.data(),
                prediction_ptrs.data(), &similar, &kriging, B, H, W};
    }

    double rmse(const std::vector<std::vector<double>>& out, bool in_patch) const
    {
        double sum = 0.0;
        int n = 0;
        for (int b = 0; b < B; ++b)
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    const std::size_t i = x + W * y;
                    if (!target_mask[i] || fill_mask[i]) continue;
                    if ((std::hypot(x - 30.0, y - 20.0) < 8.0) != in_patch) continue;
                    sum += (out[b][i] - truth[b][i]) * (out[b][i] - truth[b][i]);
                    ++n;
                }
        return std::sqrt(sum / n);
    }

    std::vector<const double*> target_ptrs, loo_ptrs, prediction_ptrs;
    std::unique_ptr<EdgeInterpolator> interpolator;
    NeighbourWeights kriging;
};

TEST(MarkResidualPixels, ValidInBothImagesWithinReachOfAPrediction)
{
    // Tall enough for several pieces of rows; one prediction on a piece's
    // first row, its reach in the piece before.
    const int w = 12, h = 140;
    std::vector<unsigned char> status(w * h, PIXEL_VALID), target_mask(w * h, 0),
        fill_mask(w * h, 0);
    status[4 * w + 5] = PIXEL_COVALID_FIT;
    target_mask[4 * w + 5] = 1;
    status[64 * w + 8] = PIXEL_SIMILAR_FIT;
    target_mask[64 * w + 8] = 1;
    status[0] = PIXEL_BOTH_MISSING;  // not a prediction: marks nothing
    target_mask[0] = fill_mask[0] = 1;
    fill_mask[3 * w + 6] = 1;  // near, but not valid in the fill image
    const WorkItems last_first = [](std::size_t n, const std::function<void(std::size_t)>& work) {
        for (std::size_t i = n; i-- > 0;) work(i);
    };
    for (const bool pieces : {false, true}) {
        std::vector<unsigned char> residual(w * h, 9);
        mark_residual_pixels(status.data(), target_mask.data(), fill_mask.data(), h, w,
                             residual.data(), pieces ? last_first : WorkItems{});
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::size_t i = x + w * y;
                auto near = [&](int px, int py) {
                    return std::abs(x - px) <= RESIDUAL_REACH && std::abs(y - py) <= RESIDUAL_REACH;
                };
                EXPECT_EQ(residual[i], (near(5, 4) || near(8, 64)) && !target_mask[i] && !fill_mask[i])
                    << x << "," << y << (pieces ? " in pieces" : "");
            }
    }
}

TEST(SimilarPredict, MatchesTheBruteForceReferenceBitForBit)
{
    // A strip with gaps in both images and clumps of equal fill values (ties).
    Strip s(true);
    const RefineInputs in = s.regress();
    SimilarScratch work;
    const int B = Strip::B;
    struct Case {
        int count, exclude;
    } cases[] = {{30, 1}, {1, 1}, {30, 3}, {200, 2}, {0, 1}, {5000, 1}, {30, 9}, {30, 0}};
    for (const Case& k : cases) {
        SimilarSearch search = *in.similar;
        search.count = k.count;
        for (int row : {0, 9, 21, 47})
            for (int col : {0, 13, 59}) {
                double spatial[B], line[B], spatial_ref[B], line_ref[B];
                const int n = similar_predict(search, row, col, k.exclude, work, spatial, line);
                ASSERT_EQ(n, similar_predict_reference(search, row, col, k.exclude, spatial_ref, line_ref));
                if (k.count <= 30) {
                    EXPECT_EQ(n, k.count);
                }
                for (int b = 0; b < B && n > 0; ++b) {
                    EXPECT_EQ(std::memcmp(&spatial[b], &spatial_ref[b], sizeof(double)), 0);
                    EXPECT_EQ(std::memcmp(&line[b], &line_ref[b], sizeof(double)), 0);
                }
            }
    }
    // Without the patch the fill predicts the target exactly: so does the line.
    Strip exact(false);
    const RefineInputs plain = exact.regress();
    double spatial[B], line[B];
    ASSERT_EQ(similar_predict(*plain.similar, 10, 10, 1, work, spatial, line), 30);
    for (int b = 0; b < B; ++b) EXPECT_NEAR(line[b], exact.truth[b][10 + Strip::W * 10], 1e-9);
}

// The plane's sums go several rows side by side for 1 to 8 bands and one
// row at a time beyond (13 bands: Sentinel-2); every band count agrees
// with the plain reference, with and without a prior.
TEST(LocalRegression, MatchesThePlainReferenceForEveryBandCount)
{
    constexpr int W = 40, H = 30;
    for (int bands : {1, 2, 4, 5, 6, 7, 8, 9, 13}) {
        SCOPED_TRACE(bands);
        std::mt19937 rng(bands);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<std::vector<double>> fill(bands, std::vector<double>(W * H)), target(fill);
        std::vector<unsigned char> valid(W * H);
        for (int i = 0; i < W * H; ++i) {
            valid[i] = (i / W) % 7 < 5 && u(rng) > 0.1;
            double sum = 0.0;
            for (int b = 0; b < bands; ++b) sum += (fill[b][i] = 50.0 + 40.0 * u(rng)) * (b % 3 - 0.7);
            for (int b = 0; b < bands; ++b) target[b][i] = sum / bands + 3.0 * b + 5.0 * u(rng);
        }
        std::vector<const double*> t, f;
        for (int b = 0; b < bands; ++b) t.push_back(target[b].data()), f.push_back(fill[b].data());
        const std::vector<float> scaled = similar_scaled_fill(f.data(), valid.data(), bands, W * H);
        // Its bands run in any order (on any threads): the same values.
        EXPECT_EQ(similar_scaled_fill(f.data(), valid.data(), bands, W * H,
                                      [](std::size_t n, const std::function<void(std::size_t)>& work) {
                                          for (std::size_t i = n; i-- > 0;) work(i);
                                      }),
                  scaled);
        const SimilarSearch search{t.data(), f.data(), valid.data(), scaled.data(), bands, H, W, 30};
        std::vector<double> prior(bands * bands), fast(bands), slow(bands), other(bands);
        for (double& p : prior) p = u(rng) - 0.5;
        LocalScratch work;
        const double* priors[] = {nullptr, prior.data()};
        for (const double* drawn : priors)
            for (int row : {0, 5, 29})
                for (int col : {0, 17, 39}) {
                    const int n = local_regression_predict(search, row, col, 1, work, fast.data(), drawn);
                    ASSERT_EQ(n, local_regression_reference(search, row, col, 1, slow.data(), drawn));
                    ASSERT_GE(n, LOCAL_FEWEST);
                    for (KernelLevel level : {KernelLevel::PLAIN, KernelLevel::AVX2}) {  // the same bits
                        limit_kernel_level(level);
                        ASSERT_EQ(local_regression_predict(search, row, col, 1, work, other.data(), drawn), n);
                        limit_kernel_level(KernelLevel::AVX512);
                        EXPECT_EQ(other, fast) << row << "," << col;
                    }
                    for (int b = 0; b < bands; ++b)
                        EXPECT_NEAR(fast[b], slow[b], 1e-9 * std::fabs(slow[b])) << row << "," << col;
                }
    }
}

TEST(LocalRegression, MatchesThePlainReferenceAndReadsOneBandFromAnother)
{
    Strip s(true);
    const RefineInputs in = s.regress();
    LocalScratch work;
    const int B = Strip::B;
    for (int exclude : {1, 3, 9})
        for (int row : {0, 9, 21, 47})
            for (int col : {0, 13, 59}) {
                double fast[B], slow[B];
                const int n = local_regression_predict(*in.similar, row, col, exclude, work, fast);
                ASSERT_EQ(n, local_regression_reference(*in.similar, row, col, exclude, slow));
                ASSERT_GE(n, LOCAL_FEWEST);
                for (int b = 0; b < B; ++b) EXPECT_NEAR(fast[b], slow[b], 1e-9 * std::fabs(slow[b]));
            }
    const double prior[B * B] = {0.9, -0.2, 0.1, 0.3, 1.1, 0.0, -0.4, 0.2, 0.8};
    for (int row : {0, 21, 47}) {  // drawn toward a prior: as its reference
        double fast[B], slow[B];
        ASSERT_EQ(local_regression_predict(*in.similar, row, 13, 1, work, fast, prior),
                  local_regression_reference(*in.similar, row, 13, 1, slow, prior));
        for (int b = 0; b < B; ++b) EXPECT_NEAR(fast[b], slow[b], 1e-9 * std::fabs(slow[b]));
    }
    // The candidates' weights four at a time are the plain loop's bits (7: a tail too).
    const double spectral2[7] = {0.0, 1e-300, 0.37, 2.5, 1e300, INFINITY, 0.01}, pixel2[7] = {1, 2, 5, 8, 1, 9, 200};
    double lanes[7], plain[7];
    local_candidate_weights(7, spectral2, pixel2, lanes);
    local_candidate_weights(7, spectral2, pixel2, plain, false);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(lanes[i], plain[i]) << i;
    EXPECT_DOUBLE_EQ(plain[2], 1.0 / (std::pow(std::sqrt(0.37) + 0.1, 2) * 5.0));
    // Each target band the mirror of the next fill band: one band's own line
    // cannot follow it, the plane over all of them can (the ridge and the
    // other bands' noise leave a little).
    Strip crossed(false);
    for (int b = 0; b < B; ++b)
        for (int i = 0; i < Strip::W * Strip::H; ++i) {
            crossed.truth[b][i] = 200.0 - 1.5 * crossed.fill[(b + 1) % B][i];
            crossed.target[b][i] = crossed.target_mask[i] ? 0.0 : crossed.truth[b][i];
        }
    const RefineInputs x = crossed.regress();
    double plane[B];
    for (int row : {9, 10, 33})
        for (int col : {5, 30, 55}) {
            ASSERT_GT(local_regression_predict(*x.similar, row, col, 1, work, plane), 0);
            for (int b = 0; b < B; ++b)
                EXPECT_NEAR(plane[b], crossed.truth[b][col + Strip::W * row], 1.0) << row << "," << col;
        }
}

TEST(WidePlane, MatchesTheBruteForceSumsAndDrawsTheLocalSlopes)
{
    Strip s(true);
    const RefineInputs in = s.regress();
    const int B = Strip::B, cols = wide_blocks(Strip::W), blocks = wide_blocks(Strip::H) * cols;
    std::vector<double> sums(blocks * wide_sums_size(B)), slopes(blocks * B * B), level(B);
    wide_plane_sums(*in.similar, 0, wide_blocks(Strip::H), sums.data());
    wide_plane_slopes(*in.similar, sums.data(), 0, wide_blocks(Strip::H), slopes.data());
    for (int block : {0, 7, blocks - 1}) {
        // Every pixel valid in both, weighed by its block's distance.
        std::vector<double> plain(wide_sums_size(B), 0.0), slope(B * B);
        const int br = block / cols, bc = block % cols;
        for (int i = 0; i < Strip::W * Strip::H; ++i) {
            const int dr = i / Strip::W / WIDE_BLOCK - br, dc = i % Strip::W / WIDE_BLOCK - bc;
            if (!s.both_valid[i] || std::max(std::abs(dr), std::abs(dc)) > WIDE_REACH) continue;
            const double w = 1.0 / (1 + dr * dr + dc * dc);
            double z[2 * B];  // x, then y
            for (int j = 0; j < B; ++j) z[j] = s.scaled[i * B + j], z[B + j] = s.target[j][i];
            plain[0] += w;
            for (int j = 0; j < 2 * B; ++j) plain[1 + j] += w * z[j];
            for (int j = 0; j < B; ++j)
                for (int k = 0; k < 2 * B; ++k)  // w x x', then w x y'
                    plain[1 + 2 * B + (k < B ? j * B + k : B * B + j * B + k - B)] += w * z[j] * z[k];
        }
        ASSERT_TRUE(solve_centred_plane(B, B, LOCAL_RIDGE, plain.data(), slope.data(), level.data()));
        for (int v = 0; v < B * B; ++v) EXPECT_NEAR(slopes[block * B * B + v], slope[v], 1e-9);
    }
    // A ridge far above the scatter leaves the local slopes at the prior's.
    std::vector<double> one(wide_sums_size(B), 0.0), slope(B * B);
    one[0] = 2.0, one[1] = 1.0, one[1 + B] = 3.0, one[1 + 2 * B] = 1.0;
    ASSERT_TRUE(solve_centred_plane(B, B, 1e12, one.data(), slope.data(), level.data(), &slopes[0]));
    for (int v = 0; v < B * B; ++v) EXPECT_NEAR(slope[v], slopes[v], 1e-9);
}

TEST(RefineRegression, LeavesAnExactRegressionAlone)
{
    // The fill predicts the target exactly: no residual, nothing to correct,
    // and the spatial prediction gets no weight.
    Strip s(false);
    const RefineInputs in = s.regress();
    const auto before = s.filled;
    std::vector<unsigned char> status = s.status;
    refine_rows(calibrate_refinement(in), in, 0, Strip::H, s.ptrs(s.filled).data(), nullptr,
                status.data(), SPATIAL);
    EXPECT_EQ(status, s.status);
    // The local plane is nearly exact too (its ridge aside) and shares a
    // sliver of the weight: far below a DN's thousandth.
    for (int b = 0; b < Strip::B; ++b)
        for (std::size_t i = 0; i < before[b].size(); ++i)
            EXPECT_NEAR(s.filled[b][i], before[b][i], 1e-6) << b << ", " << i;
}

TEST(RefineRegression, LeansOnTheSpatialPredictionWhereTheFillChangedAndAnyRowOrderGivesTheSame)
{
    Strip s(true);
    const RefineInputs in = s.regress();
    const auto regressed = s.filled;
    const std::vector<unsigned char> regressed_status = s.status;

    std::vector<unsigned char> status = s.status;
    const RefineModel model = calibrate_refinement(in);
    auto error = s.filled;
    refine_rows(model, in, 0, Strip::H, s.ptrs(s.filled).data(), s.ptrs(error).data(),
                status.data(), SPATIAL);
    EXPECT_LT(s.rmse(s.filled, true), 0.9 * s.rmse(regressed, true));
    // Elsewhere the regression was exact; the patch's errors may reach a
    // little beyond it.
    EXPECT_LT(s.rmse(s.filled, false), 1.0);
    int spatial = 0;
    for (std::size_t i = 0; i < status.size(); ++i) {
        if (status[i] == SPATIAL) {
            ++spatial;
            EXPECT_TRUE(regressed_status[i] >= PIXEL_SIMILAR_FIT &&
                        regressed_status[i] <= PIXEL_RATIO_FIT);
        } else {
            EXPECT_EQ(status[i], regressed_status[i]);
        }
        // Only predicted pixels change.
        if (regressed_status[i] == PIXEL_VALID || regressed_status[i] == PIXEL_BOTH_MISSING) {
            for (int b = 0; b < Strip::B; ++b) EXPECT_EQ(s.filled[b][i], regressed[b][i]);
        }
    }
    EXPECT_GT(spatial, 0);
    // The estimated error is larger where the fill image changed.
    double in_patch = 0.0, outside = 0.0, n_in = 0.0, n_out = 0.0;
    for (int y = 0; y < Strip::H; ++y)
        for (int x = 0; x < Strip::W; ++x) {
            const std::size_t i = x + Strip::W * y;
            if (regressed_status[i] < PIXEL_SIMILAR_FIT || regressed_status[i] > PIXEL_RATIO_FIT) continue;
            const bool patch = std::hypot(x - 30.0, y - 20.0) < 8.0;
            (patch ? in_patch : outside) += error[0][i];
            (patch ? n_in : n_out) += 1.0;
        }
    EXPECT_GT(in_patch / n_in, 5.0 * outside / n_out);

    // Refines the regression's values with `m` over the rows of `firsts`
    // (20 each), in that order; the values and statuses must be those above.
    auto same_as_above = [&](const RefineModel& m, std::initializer_list<int> firsts) {
        auto values = regressed;
        std::vector<unsigned char> codes = regressed_status;
        for (int first : firsts)
            refine_rows(m, in, first, first + 20, s.ptrs(values).data(), nullptr, codes.data(), SPATIAL);
        EXPECT_EQ(codes, status);
        for (int b = 0; b < Strip::B; ++b)
            EXPECT_EQ(std::memcmp(values[b].data(), s.filled[b].data(), values[b].size() * sizeof(double)), 0);
    };
    // The same model applied in chunks of rows, last chunk first.
    same_as_above(model, {40, 20, 0});

    // The model from samples visited and tables made in chunks, last first:
    // the same values.
    CalibrationSamples samples = calibration_samples(in);
    for (std::size_t chunk = samples.chunks(); chunk-- > 0;) visit_samples(in, samples, chunk);
    same_as_above(calibrate_refinement(in, samples,
                                       [](std::size_t count, const std::function<void(std::size_t)>& work) {
                                           for (std::size_t i = count; i-- > 0;) work(i);
                                       }),
                  {0, 20, 40});
}

// The residuals' ring statistics of six bands (the usual band count, which
// has a way of its own) against ring_stats reading each value as defined,
// bit for bit, with predictions missing here and there: near the corners,
// in the middle, from a later ring, and around a pixel with none near.
// The ring walk against its definition, on random marks: it visits, ring
// by ring and in raster order within a ring, exactly the marked pixels whose
// Chebyshev distance lies from the first ring at or beyond `start` that
// holds one to RING_ANNULUS - 1 rings further (at most RING_REACH), each
// weighed 1/d^2; near the image's sides and corners and with nothing marked.
TEST(WalkRings, VisitsTheMarkedPixelsOfItsRingsInOrder)
{
    struct Case {
        int rows, width, r, c, start;
        double marked_share;
    };
    const Case cases[] = {{30, 30, 15, 15, 1, 0.05}, {30, 30, 0, 0, 1, 0.2},  {30, 30, 29, 3, 2, 0.1},
                          {5, 40, 2, 39, 1, 0.3},    {40, 3, 20, 1, 1, 0.02}, {30, 30, 15, 15, 4, 0.5},
                          {30, 30, 15, 15, 1, 0.0},  {1, 1, 0, 0, 1, 1.0},    {25, 25, 12, 12, 1, 0.005}};
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (const Case& k : cases)
        for (int trial = 0; trial < 20; ++trial) {
            SCOPED_TRACE(testing::Message() << k.rows << "x" << k.width << " at " << k.r << "," << k.c
                                            << " from ring " << k.start << ", trial " << trial);
            std::vector<unsigned char> marks(static_cast<std::size_t>(k.rows) * k.width);
            for (auto& m : marks) m = u(rng) < k.marked_share;
            auto ring = [&](std::size_t q) {
                const int dr = static_cast<int>(q) / k.width - k.r, dc = static_cast<int>(q) % k.width - k.c;
                return std::max(std::abs(dr), std::abs(dc));
            };
            int first = 0;
            for (std::size_t q = 0; q < marks.size(); ++q)
                if (marks[q] && ring(q) >= k.start && ring(q) <= RING_REACH && (first == 0 || ring(q) < first))
                    first = ring(q);
            std::vector<std::size_t> want;
            for (int h = first; first > 0 && h <= std::min(first + RING_ANNULUS - 1, RING_REACH); ++h)
                for (std::size_t q = 0; q < marks.size(); ++q)
                    if (marks[q] && ring(q) == h) want.push_back(q);
            std::vector<std::size_t> got;
            const int found = walk_rings(k.r, k.c, k.rows, k.width, k.start,
                                         [&](std::size_t q) { return marks[q] != 0; },
                                         [&](std::size_t q, double w) {
                                             const int dr = static_cast<int>(q) / k.width - k.r,
                                                       dc = static_cast<int>(q) % k.width - k.c;
                                             EXPECT_EQ(w, 1.0 / (dr * dr + dc * dc)) << q;
                                             got.push_back(q);
                                         });
            EXPECT_EQ(found, first);
            EXPECT_EQ(got, want);
        }
}

TEST(ResidualRingStats, SixBandsMatchRingStatsBitForBit)
{
    constexpr int W = 30, H = 20, B = 6, V = PREDICTOR_COUNT * B;
    std::mt19937 random(11);
    std::uniform_real_distribution<double> uniform(0.0, 100.0);
    std::vector<std::vector<double>> target(B, std::vector<double>(W * H)), loo(target),
        predictions((PREDICTOR_COUNT - 1) * B, std::vector<double>(W * H));
    std::vector<unsigned char> residual(W * H);
    for (int i = 0; i < W * H; ++i) {
        residual[i] = uniform(random) < 30.0 && !(i % W > 20 && i / W > 12);
        for (auto& band : target) band[i] = uniform(random);
        for (auto* stack : {&loo, &predictions})
            for (auto& band : *stack) band[i] = uniform(random) < 3.0 ? NAN : uniform(random);
    }
    std::vector<const double*> t, l, p;
    for (auto& band : target) t.push_back(band.data());
    for (auto& band : loo) l.push_back(band.data());
    for (auto& band : predictions) p.push_back(band.data());
    const RefineInputs in{t.data(), nullptr, residual.data(), l.data(), p.data(), nullptr, nullptr, B, H, W};
    auto value = [&](std::size_t q, double* x) {
        for (int v = 0; v < V; ++v) {
            const int k = v / B, b = v % B;
            const double o = k == 0 ? loo[b][q] : predictions[(k - 1) * B + b][q];
            x[v] = std::isfinite(o) ? o - target[b][q] : 0.0;
        }
    };
    const int cases[][3] = {{0, 0, 1}, {10, 15, 1}, {10, 15, 3}, {19, 29, 1}, {17, 26, 1}};
    for (const auto& [row, col, start] : cases)
      for (KernelLevel level : {KernelLevel::PLAIN, KernelLevel::AVX2, KernelLevel::AVX512}) {
        limit_kernel_level(level);
        RingStats fast(V), plain(V);
        residual_ring_stats(in, row, col, start, fast);
        limit_kernel_level(KernelLevel::AVX512);
        ring_stats(row, col, H, W, start, V, [&](std::size_t q) { return residual[q] != 0; }, value, plain);
        EXPECT_EQ(fast.ring, plain.ring) << row << "," << col;
        for (int v = 0; v < V; ++v)
            EXPECT_TRUE(fast.mean[v] == plain.mean[v] && fast.square[v] == plain.square[v]) << row << "," << col;
    }
}

// The spectral neighbours' mean against a plain search: every residual pixel
// of the window outside the left-out square, all sorted by (distance,
// raster place), the first SPECTRAL_NEIGHBOURS averaged. Rows: a corner,
// the middle with and without rings left out, a pixel with none around.
TEST(SpectralResidualMean, MatchesAPlainSearch)
{
    constexpr int W = 40, H = 35, B = 3, V = 2;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    std::vector<float> scaled(static_cast<std::size_t>(W) * H * B);
    for (float& x : scaled) x = std::round(uniform(random) * 2.0f) / 2.0f;  // many ties in distance
    ResidualTable table;
    table.count = V;
    table.row_first.assign(H + 1, 0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (uniform(random) < 0.3f && !(y > 25 && x > 30)) {  // none in the far corner
                table.at.push_back(static_cast<std::size_t>(y) * W + x);
                ++table.row_first[y + 1];
                for (int v = 0; v < V; ++v) table.values.push_back(uniform(random) - 0.5f);
            }
    for (int y = 0; y < H; ++y) table.row_first[y + 1] += table.row_first[y];
    ResidualTable indexed = table;
    index_residual_table(indexed, W);
    const SimilarSearch s{nullptr, nullptr, nullptr, scaled.data(), B, H, W, 0};
    ResidualTable with_fill = indexed;
    index_residual_fill(with_fill, s);
    const int cases[][3] = {{0, 0, 1}, {17, 20, 1}, {17, 20, 3}, {34, 39, 1}, {20, 31, 1}};
    for (const auto& [row, col, exclude] : cases) {
        std::vector<std::pair<double, std::size_t>> plain, scratch;
        const float* own = scaled.data() + (static_cast<std::size_t>(row) * W + col) * B;
        for (std::size_t e = 0; e < table.at.size(); ++e) {
            const int y = static_cast<int>(table.at[e] / W), x = static_cast<int>(table.at[e] % W);
            const int dy = std::abs(y - row), dx = std::abs(x - col);
            if (dy <= SPECTRAL_HALF && dx <= SPECTRAL_HALF && std::max(dy, dx) >= exclude)
                plain.emplace_back(spectral_distance2(s, own, table.at[e]), e);
        }
        std::sort(plain.begin(), plain.end());
        plain.resize(std::min<std::size_t>(plain.size(), SPECTRAL_NEIGHBOURS));
        double expected[V] = {0.0, 0.0}, mean[V] = {1.0, 1.0}, squares[V] = {0.0, 0.0}, square[V] = {1.0, 1.0};
        for (const auto& p : plain)
            for (int v = 0; v < V; ++v) {
                expected[v] += double{table.values[p.second * V + v]} / plain.size();
                squares[v] += std::pow(double{table.values[p.second * V + v]}, 2) / plain.size();
            }
        // The same through the table's per-block index of each row, and
        // with its own copy of the fill (the nearest kept as found, by each
        // vector form), those with the mean squares beside.
        std::vector<double> means;
        using L = KernelLevel;
        const std::pair<const ResidualTable*, L> ways[] = {
            {&table, L::AVX512}, {&indexed, L::AVX512}, {&with_fill, L::PLAIN}, {&with_fill, L::AVX2}, {&with_fill, L::AVX512}};
        for (const auto& [t, level] : ways) {
            limit_kernel_level(level);
            EXPECT_EQ(spectral_residual_mean(s, *t, row, col, exclude, scratch, mean,
                                             t != &table ? square : nullptr),
                      static_cast<int>(plain.size()));
            for (int v = 0; v < V; ++v) EXPECT_NEAR(mean[v], expected[v], 1e-12) << row << " " << col;
            if (t != &table) {
                for (int v = 0; v < V; ++v) EXPECT_NEAR(square[v], squares[v], 1e-12) << row << " " << col;
            }
            means.insert(means.end(), mean, mean + V);
        }
        limit_kernel_level(KernelLevel::AVX512);
        for (std::size_t i = V; i < means.size(); i += V)
            EXPECT_TRUE(std::equal(means.begin(), means.begin() + V, means.begin() + i)) << row << " " << col;
    }
}

TEST(PredictRefinedRows, KeptInterpolationsAreReadAndKeptAsMadeAnew)
{
    // The rows below 24 made and kept first, then every row: the same bits
    // as without keeping; a value kept beforehand is read, not made.
    Strip s(false);
    s.regress();
    std::vector<std::vector<double>> kept_values(Strip::B, std::vector<double>(Strip::W * Strip::H));
    std::vector<unsigned char> known(Strip::W * Strip::H, 0);
    const std::vector<double*> kept_bands = s.ptrs(kept_values);
    const KnownInterpolation kept{kept_bands.data(), known.data()};
    const std::size_t planted = std::find(s.select.begin(), s.select.end(), 1) - s.select.begin();
    for (int b = 0; b < Strip::B; ++b) kept_values[b][planted] = -1.0 - b;
    known[planted] = 1;
    auto again = s.predictions;
    for (int first : {24, 0})
        predict_refined_rows(s.similar, s.target_mask.data(), s.kriging, s.select.data(), first,
                             Strip::H, s.ptrs(again).data(), &kept);
    EXPECT_EQ(known, s.select);
    for (int b = 0; b < Strip::B; ++b) {
        EXPECT_EQ(again[b][planted], -1.0 - b);  // the interpolation's bands come first
        again[b][planted] = s.predictions[b][planted];
    }
    for (std::size_t v = 0; v < again.size(); ++v)
        EXPECT_EQ(std::memcmp(again[v].data(), s.predictions[v].data(), again[v].size() * sizeof(double)), 0) << v;
}

TEST(SteadyErrors, MatchesThePlainMeanOverTheMarkedNeighbours)
{
    // Two bands, every third pixel unmarked (kept as it is), a NaN among the
    // marked ones (kept, and heard by no neighbour).
    const int rows = 4, width = 5, n = rows * width;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.5, 4.0);
    std::vector<std::vector<double>> error(2, std::vector<double>(n));
    std::vector<unsigned char> marked(n);
    for (int p = 0; p < n; ++p) {
        error[0][p] = u(rng), error[1][p] = u(rng);
        marked[p] = p % 3 != 0;
    }
    error[1][7] = std::nan("");
    const auto before = error;
    double* bands[2] = {error[0].data(), error[1].data()};
    steady_errors(bands, 2, marked.data(), rows, width);
    for (int b = 0; b < 2; ++b)
        for (int p = 0; p < n; ++p) {
            const double own = before[b][p];
            if (!marked[p] || std::isnan(own)) {
                EXPECT_TRUE(error[b][p] == own || (std::isnan(own) && std::isnan(error[b][p]))) << p;
                continue;
            }
            double sum = 0.0, count = 0.0;
            for (int q = 0; q < n; ++q)
                if (marked[q] && std::isfinite(before[b][q]) && std::abs(q / width - p / width) <= 1 &&
                    std::abs(q % width - p % width) <= 1)
                    sum += before[b][q] * before[b][q], count += 1.0;
            EXPECT_NEAR(error[b][p], std::sqrt(0.5 * own * own + 0.5 * sum / count), 1e-12) << b << ", " << p;
        }
}

}  // namespace
}  // namespace pelvane
