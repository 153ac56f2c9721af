// regression_fill on small synthetic strips, one rule at a time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "regression/pixel_status.h"
#include "regression/regression_fill.h"
#include "regression/regression_fill_reference.h"
#include "regression/sarnic_rules.h"

namespace pelvane {
namespace {

// A strip with its inputs and outputs. By default every pixel is valid in
// the target and missing in the fill image, so nothing is a candidate until
// a test says so.
struct Strip {
    int rows, width, bands;
    std::vector<std::vector<double>> target, fill, filled;
    std::vector<unsigned char> target_mask, fill_mask, status;

    Strip(int rows_, int width_, int bands_ = 1)
        : rows(rows_), width(width_), bands(bands_),
          target(bands_, std::vector<double>(size(), 0.0)),
          fill(bands_, std::vector<double>(size(), 0.0)),
          filled(bands_, std::vector<double>(size(), -12345.0)),
          target_mask(size(), 0), fill_mask(size(), 1), status(size(), 0xEE) {}

    size_t size() const { return static_cast<size_t>(rows) * width; }
    size_t at(int r, int c) const { return static_cast<size_t>(r) * width + c; }

    // The pixel to predict: missing in the target, valid in the fill image.
    void gap(int r, int c, double x)
    {
        target_mask[at(r, c)] = 1;
        fill_mask[at(r, c)] = 0;
        for (int b = 0; b < bands; ++b) fill[b][at(r, c)] = x;
    }
    // A position valid in both images (a candidate when it passes the tests).
    void both_valid(int r, int c, double x, double y)
    {
        target_mask[at(r, c)] = 0;
        fill_mask[at(r, c)] = 0;
        for (int b = 0; b < bands; ++b) {
            fill[b][at(r, c)] = x;
            target[b][at(r, c)] = y;
        }
    }
    // Valid in the fill image only: shapes the tolerance, never a candidate.
    void fill_only(int r, int c, double x)
    {
        target_mask[at(r, c)] = 1;
        fill_mask[at(r, c)] = 0;
        for (int b = 0; b < bands; ++b) fill[b][at(r, c)] = x;
    }

    // Runs regression_fill; without progress, also the reference kernel,
    // which must give the same bits.
    void run(int similar_pixel_count = 30, ProgressFn progress = nullptr, void* context = nullptr,
             double weight_offset = 0.5)
    {
        std::vector<const double*> t, f;
        std::vector<double*> out;
        for (int b = 0; b < bands; ++b) {
            t.push_back(target[b].data());
            f.push_back(fill[b].data());
            out.push_back(filled[b].data());
        }
        regression_fill(t.data(), f.data(), target_mask.data(), fill_mask.data(), bands, rows,
                        width, out.data(), status.data(), weight_offset, similar_pixel_count,
                        progress, context);
        if (progress != nullptr) return;

        auto reference = filled;
        std::vector<unsigned char> reference_status(size());
        std::vector<double*> ref_out;
        for (auto& band : reference) ref_out.push_back(band.data());
        regression_fill_reference(t.data(), f.data(), target_mask.data(), fill_mask.data(), bands,
                                  rows, width, ref_out.data(), reference_status.data(),
                                  weight_offset, similar_pixel_count, nullptr, nullptr);
        EXPECT_TRUE(reference_status == status) << "status differs from the reference";
        for (int b = 0; b < bands; ++b)
            EXPECT_EQ(std::memcmp(reference[b].data(), filled[b].data(), size() * sizeof(double)),
                      0) << "band " << b;
    }
};

TEST(RegressionFill, CopiesValidPixelsAndPixelsMissingInBoth)
{
    Strip s(6, 7, 3);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> value(-50.0, 300.0);
    for (int b = 0; b < s.bands; ++b)
        for (size_t i = 0; i < s.size(); ++i) {
            s.target[b][i] = value(rng);
            s.fill[b][i] = value(rng);
        }
    std::fill(s.fill_mask.begin(), s.fill_mask.end(), 0);
    s.target_mask[s.at(2, 3)] = 1;  // missing in both, amid valid neighbours
    s.fill_mask[s.at(2, 3)] = 1;
    s.target_mask[s.at(0, 0)] = 7;  // any non-zero byte marks a gap
    s.fill_mask[s.at(0, 0)] = 255;
    s.run();
    for (size_t i = 0; i < s.size(); ++i) {
        const bool both = i == s.at(2, 3) || i == s.at(0, 0);
        EXPECT_EQ(s.status[i], both ? PIXEL_BOTH_MISSING : PIXEL_VALID) << i;
        for (int b = 0; b < s.bands; ++b) EXPECT_EQ(s.filled[b][i], s.target[b][i]);
    }
}

// Result at the centre of a 401 x 401 strip holding the given candidates.
struct Placed {
    int dr, dc;
    double x, y;
};

Strip centre_strip(double xc, const std::vector<Placed>& candidates)
{
    Strip s(401, 401);
    s.gap(200, 200, xc);
    for (const Placed& p : candidates) s.both_valid(200 + p.dr, 200 + p.dc, p.x, p.y);
    return s;
}

// Runs the window schedule of one search over its sides with the count 2:
// two candidates (fill candidate_x, target near_y) in the first ring of a
// window end the search with that window, so a third one (target 1000) in its
// last ring is found too; two in its last ring end it there, so a third one
// just outside is never seen, and the prediction is that of the two alone.
void check_schedule(const std::vector<int>& sides, double candidate_x, double near_y,
                    double expect_alone, unsigned char expect_status)
{
    const double xc = 100.0;
    for (size_t i = 0; i < sides.size(); ++i) {
        const int h = (sides[i] - 1) / 2;
        const int prev = i == 0 ? 0 : (sides[i - 1] - 1) / 2;
        SCOPED_TRACE("side " + std::to_string(sides[i]));

        // First ring of the window: the search ends here, the far one at h is inside.
        Strip in = centre_strip(xc, {{prev + 1, 0, candidate_x, near_y},
                                     {-(prev + 1), 0, candidate_x, near_y},
                                     {0, h, candidate_x, 1000.0}});
        in.run(2);
        EXPECT_EQ(in.status[in.at(200, 200)], expect_status);
        EXPECT_GT(std::fabs(in.filled[0][in.at(200, 200)] - expect_alone), 1.0);

        // Last ring of the window: the one just outside it is never seen.
        Strip out = centre_strip(xc, {{h, 0, candidate_x, near_y},
                                      {-h, 0, candidate_x, near_y},
                                      {0, h + 1, candidate_x, 1000.0}});
        out.run(2);
        EXPECT_EQ(out.status[out.at(200, 200)], expect_status);
        EXPECT_NEAR(out.filled[0][out.at(200, 200)], expect_alone, 1e-9);
    }
}

TEST(RegressionFill, SimilarSearchVisitsTwentyOneSides)
{
    // Candidates equal to the pixel's fill value are similar at any tolerance;
    // two of them with y = 0 predict 0.
    check_schedule({7, 11, 15, 19, 23, 31, 39, 47, 55, 71, 87, 103, 135, 167, 199, 231, 263,
                    295, 327, 359, 391},
                   100.0, 0.0, 0.0, PIXEL_SIMILAR_FIT);
}

TEST(RegressionFill, CovalidSearchVisitsThirtySides)
{
    // Candidates at fill 200 are never similar to 100 (the tolerance is at most
    // 5 % of 200 when they are close); far from the pixel's value, the ratio
    // method applies. With y = x the ratio is 1 and the prediction 100, also
    // far out where the weight sum is too small to divide the means by.
    check_schedule({7, 11, 15, 19, 23, 31, 39, 47, 55, 71, 87, 103, 119, 135, 151, 167, 183,
                    199, 215, 231, 247, 263, 279, 295, 311, 327, 343, 359, 375, 391},
                   200.0, 200.0, 100.0, PIXEL_RATIO_FIT);
}

// One gap at the centre of a square strip of `side`, with fill value xc;
// positions valid in the fill image only and candidates valid in both, as
// offsets from the centre.
struct OneGap {
    const char* rule;
    int side;
    double xc;
    std::vector<Placed> fill_only, candidates;
    int count;
    unsigned char status;
    double value;
    double tolerance = 1e-9;
};

// The 5 x 5 square around the centre, all holding x.
std::vector<Placed> square(double x)
{
    std::vector<Placed> p;
    for (int dr = -2; dr <= 2; ++dr)
        for (int dc = -2; dc <= 2; ++dc) p.push_back({dr, dc, x, 0.0});
    return p;
}

// Weights of two_same's candidates: 1 / (|x - xc| + 0.5) / d^2.
const double W1 = 1.0 / 4.5 / 13.0, W2 = 1.0 / 4.5 / 5.0;

// Two equally weighted similar candidates on the line y = a x + b:
// (|x - xc| + 0.5) * d^2 = 32.5 for both, mean_x = 104 while xc = 100. The
// 5 x 5 samples 50 and 150 make a wide spread, so both pass.
OneGap two_on_line(const char* rule, double a, double b, double value)
{
    return {rule, 11, 100.0, {{-2, -1, 50.0, 0.0}, {2, 1, 150.0, 0.0}},
            {{2, 3, 102.0, a * 102.0 + b}, {-1, 2, 106.0, a * 106.0 + b}}, 30, PIXEL_SIMILAR_FIT, value};
}

TEST(RegressionFill, OneGapRules)
{
    const OneGap cases[] = {
        // Tolerance.
        {"the 5 x 5 neighbours all hold 100: no spread, the floor 5.0; 5 away passes, 5.5 does not;"
         " two equally weighted candidates on y = x - 55",
         15, 100.0, square(100.0), {{0, 4, 105.0, 50.0}, {0, -4, 95.0, 40.0}, {-4, 0, 105.5, 200.0}},
         30, PIXEL_SIMILAR_FIT, 45.0},
        {"5 x 5 empty; the 7 x 7 ring holds 100 and 120 (target missing there, no matter): deviation"
         " sqrt(200 / 1) = 14.14 with the k - 1 divisor; the 9 x 9 sample 1000 is not taken",
         21, 110.0, {{-3, 0, 100.0, 0.0}, {3, 0, 120.0, 0.0}, {-4, -4, 1000.0, 0.0}},
         {{0, 6, 124.0, 124.0}, {0, -6, 96.0, 96.0}, {6, 0, 124.5, 500.0}}, 30, PIXEL_SIMILAR_FIT, 110.0},
        {"only the 9 x 9 ring holds valid fill (one sample, 200): the tolerance is 5 % of it, 10",
         21, 100.0, {{-4, 0, 200.0, 0.0}},
         {{0, 6, 110.0, 30.0}, {0, -6, 90.0, 10.0}, {6, 0, 110.5, 900.0}}, 30, PIXEL_SIMILAR_FIT, 20.0},
        {"no valid fill within 9 x 9: exact matches only; both share the fill value, slope 1,"
         " prediction = the mean of y",
         21, 100.0, {}, {{0, 5, 100.0, 70.0}, {5, 0, 100.0, 70.0}, {-5, 0, 100.001, 900.0}},
         30, PIXEL_SIMILAR_FIT, 70.0},
        // Which search decides.
        {"two similar candidates in the whole strip, far apart: the search runs to its last window"
         " and still fits them, not the co-valid search",
         401, 100.0, {}, {{150, 0, 100.0, 30.0}, {0, -190, 100.0, 30.0}, {3, 0, 150.0, 500.0}},
         30, PIXEL_SIMILAR_FIT, 30.0},
        {"k = 0: one similar candidate falls through to the co-valid search, which sees all three;"
         " 100 lies within [0.9 * 80, 1.1 * 120]: a regression; symmetric weights give the mean, 100",
         21, 100.0, {}, {{0, 5, 100.0, 100.0}, {6, 0, 80.0, 60.0}, {-6, 0, 120.0, 140.0}},
         30, PIXEL_COVALID_FIT, 100.0},
        {"count 0: the 7 x 7 window alone; the candidate at distance 4 is never seen",
         401, 100.0, {}, {{3, 0, 100.0, 20.0}, {-3, 0, 100.0, 20.0}, {4, 4, 100.0, 1000.0}},
         0, PIXEL_SIMILAR_FIT, 20.0},
        {"count 1: the similar search stops at side 11 with its one candidate (fill 100 at distance"
         " 5; the 5 x 5 sample 150 makes the tolerance 7.5), not enough; the co-valid search stops"
         " at side 7 with the dissimilar one; ratio 180 / 150 = 1.2: 1.2 * 100 + 180 - 1.2 * 150",
         401, 100.0, {}, {{2, 0, 150.0, 180.0}, {5, 0, 100.0, 900.0}, {0, 9, 100.0, 900.0}},
         1, PIXEL_RATIO_FIT, 120.0},
        // Slope clamps.
        two_on_line("slope 2 -> 1.5: 150 + 108 - 156", 2.0, -100.0, 102.0),
        two_on_line("slope 0.3 -> 0.6: 60 + 31.2 - 62.4", 0.3, 0.0, 28.8),
        two_on_line("inside the clamps: on the line", 1.2, 5.0, 125.0),
        {"one shared fill value: no spread, slope 1, prediction xc + mean_y - mean_x",
         11, 100.0, {{-2, -1, 50.0, 0.0}, {2, 1, 150.0, 0.0}}, {{2, 3, 104.0, 10.0}, {-1, 2, 104.0, 30.0}},
         30, PIXEL_SIMILAR_FIT, 100.0 + (10.0 * W1 + 30.0 * W2) / (W1 + W2) - 104.0},
        {"ratio method (co-valid at 200, none similar at tolerance 0): ratio 2 -> 1.5: 150 + 400 - 300",
         401, 100.0, {}, {{5, 0, 200.0, 400.0}, {-5, 0, 200.0, 400.0}}, 30, PIXEL_RATIO_FIT, 250.0},
        {"ratio method: ratio 0.3 -> 0.6: 60 + 60 - 120",
         401, 100.0, {}, {{5, 0, 200.0, 60.0}, {-5, 0, 200.0, 60.0}}, 30, PIXEL_RATIO_FIT, 0.0},
        {"two far co-valid candidates: W sums to about 2e-7, so the 'means' are the weighted sums"
         " themselves (about 0); ratio 0 clamps to 0.6, intercept about 0: 0.6 * 100 (divided means"
         " would give 60 - 120)",
         401, 100.0, {}, {{190, 0, 200.0, 0.0}, {-190, 0, 200.0, 0.0}}, 30, PIXEL_RATIO_FIT, 60.0, 1e-4},
    };
    for (const OneGap& c : cases) {
        SCOPED_TRACE(c.rule);
        const int m = c.side / 2;
        Strip s(c.side, c.side);
        for (const Placed& p : c.fill_only) s.fill_only(m + p.dr, m + p.dc, p.x);
        s.gap(m, m, c.xc);
        for (const Placed& p : c.candidates) s.both_valid(m + p.dr, m + p.dc, p.x, p.y);
        s.run(c.count);
        EXPECT_EQ(s.status[s.at(m, m)], c.status);
        EXPECT_NEAR(s.filled[0][s.at(m, m)], c.value, c.tolerance);
    }
}

TEST(RegressionFill, NegativeSimilarPixelCountActsAsZero)
{
    Strip zero = centre_strip(100.0, {{3, 0, 100.0, 20.0}, {-3, 0, 100.0, 20.0}, {4, 4, 100.0, 1000.0}});
    Strip negative = zero;
    zero.run(0);
    negative.run(-5);
    EXPECT_EQ(negative.filled[0][negative.at(200, 200)], zero.filled[0][zero.at(200, 200)]);
}

TEST(RegressionFill, CountsAboveTheOldStoreSizeGrowTheStore)
{
    // Everything similar: a count of 39700 is reached only by the side-231
    // window, 53360 candidates at once. Its outermost ring holds y = 1000.
    Strip s(401, 401);
    for (int r = 0; r < s.rows; ++r)
        for (int c = 0; c < s.width; ++c) {
            const bool ring = std::max(std::abs(r - 200), std::abs(c - 200)) == 115;
            s.both_valid(r, c, 100.0, ring ? 1000.0 : 50.0);
        }
    s.gap(200, 200, 100.0);
    Strip small = s;
    small.run(39000);  // ends at side 199: the ring is not reached
    EXPECT_NEAR(small.filled[0][small.at(200, 200)], 50.0, 1e-9);
    s.run(39700);
    EXPECT_EQ(s.status[s.at(200, 200)], PIXEL_SIMILAR_FIT);
    const double v = s.filled[0][s.at(200, 200)];
    EXPECT_TRUE(std::isfinite(v));
    EXPECT_GT(v, 50.5);
}

TEST(RegressionFill, NoCandidateAnywhereGivesTheFillValue)
{
    Strip s(9, 12, 2);
    s.gap(4, 6, 0.0);
    s.fill[0][s.at(4, 6)] = 87.25;
    s.fill[1][s.at(4, 6)] = -3.5;  // predictions are not bounded
    s.run();
    EXPECT_EQ(s.status[s.at(4, 6)], PIXEL_RATIO_FIT);
    EXPECT_EQ(s.filled[0][s.at(4, 6)], 87.25);
    EXPECT_EQ(s.filled[1][s.at(4, 6)], -3.5);
}

TEST(RegressionFill, StatusIsThatOfTheLastBand)
{
    // Co-valid fit with two bands: band 0 of the pixel lies inside the
    // candidates' range (regression), band 1 far above it (ratio), or the
    // other way round.
    for (int ratio_band = 0; ratio_band < 2; ++ratio_band) {
        Strip s(21, 21, 2);
        s.gap(10, 10, 100.0);
        s.both_valid(10, 16, 90.0, 80.0);
        s.both_valid(16, 10, 110.0, 120.0);
        s.fill[ratio_band][s.at(10, 10)] = 500.0;
        s.run();
        EXPECT_EQ(s.status[s.at(10, 10)], ratio_band == 1 ? PIXEL_RATIO_FIT : PIXEL_COVALID_FIT);
    }
}

// Random strip: mixed gaps, values that make all three fits appear.
Strip random_strip(int rows, int width, int bands, unsigned seed)
{
    Strip s(rows, width, bands);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (size_t i = 0; i < s.size(); ++i) {
        s.target_mask[i] = u(rng) < 0.3;
        s.fill_mask[i] = u(rng) < 0.25;
        for (int b = 0; b < bands; ++b) {
            const double base = 40.0 + 20.0 * b + 30.0 * u(rng);
            s.fill[b][i] = base;
            s.target[b][i] = 0.9 * base + 8.0 * u(rng);
        }
    }
    return s;
}

TEST(RegressionFill, WindowsAreClippedAtTheStripEdges)
{
    // The strip alone, and the same strip inside a border of pixels missing in
    // both images: a border position is never sampled nor a candidate, so
    // clipping must give the very same bits.
    const int rows = 14, width = 17, border = 6;
    Strip inner = random_strip(rows, width, 3, 11);
    Strip outer(rows + 2 * border, width + 2 * border, 3);
    std::fill(outer.target_mask.begin(), outer.target_mask.end(), 1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < width; ++c) {
            const size_t o = outer.at(r + border, c + border), i = inner.at(r, c);
            outer.target_mask[o] = inner.target_mask[i];
            outer.fill_mask[o] = inner.fill_mask[i];
            for (int b = 0; b < 3; ++b) {
                outer.target[b][o] = inner.target[b][i];
                outer.fill[b][o] = inner.fill[b][i];
            }
        }
    for (int count : {1, 5, 30}) {
        inner.run(count);
        outer.run(count);
        int predicted = 0;
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < width; ++c) {
                const size_t o = outer.at(r + border, c + border), i = inner.at(r, c);
                ASSERT_EQ(inner.status[i], outer.status[o]) << r << "," << c;
                predicted += inner.status[i] >= 1 && inner.status[i] <= 3;
                for (int b = 0; b < 3; ++b)
                    ASSERT_EQ(std::memcmp(&inner.filled[b][i], &outer.filled[b][o], sizeof(double)), 0)
                        << r << "," << c << " band " << b;
            }
        EXPECT_GT(predicted, 20);
    }
}

struct ProgressLog {
    std::vector<double> fractions;
    bool texts_empty = true;
};

int record_progress(double fraction, const char* text, void* context)
{
    auto* log = static_cast<ProgressLog*>(context);
    log->fractions.push_back(fraction);
    log->texts_empty = log->texts_empty && text != nullptr && text[0] == '\0';
    return 0;
}

int calls = 0;
int count_call(double, const char*, void*)
{
    ++calls;
    return 0;
}

TEST(RegressionFill, ReportsProgressOncePerPixelUnlessThereIsNoContext)
{
    Strip s = random_strip(5, 8, 2, 3);
    ProgressLog log;
    s.run(30, record_progress, &log);
    ASSERT_EQ(log.fractions.size(), s.size());
    EXPECT_TRUE(log.texts_empty);
    for (size_t i = 0; i < s.size(); ++i)
        EXPECT_EQ(log.fractions[i], static_cast<double>(i) / 40.0);
    EXPECT_LT(log.fractions.back(), 1.0);

    Strip quiet = random_strip(5, 8, 2, 3);
    quiet.run(30, count_call, nullptr);
    EXPECT_EQ(calls, 0);
    for (int b = 0; b < 2; ++b) EXPECT_EQ(quiet.filled[b], s.filled[b]);
}

// The tolerance with the band count fixed at compile time against the plain
// one, bit for bit, at every pixel of strips too small for the square to be
// read without tests, and of larger ones: valid pixels dense, sparse (the
// next rings out) and none, with negative, NaN and infinite fill values.
template <int BANDS>
void expect_lanes_match_plain_tolerance(std::mt19937& rng)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int shapes[][2] = {{1, 1}, {1, 9}, {4, 4}, {5, 5}, {9, 13}, {12, 7}};
    for (const auto& [rows, width] : shapes)
        for (const double valid_share : {0.9, 0.1, 0.0}) {
            SCOPED_TRACE(testing::Message() << BANDS << " bands, " << rows << "x" << width
                                            << ", valid " << valid_share);
            const std::size_t n = static_cast<std::size_t>(rows) * width;
            std::vector<std::vector<double>> bands(BANDS, std::vector<double>(n));
            std::vector<const double*> fill;
            for (auto& band : bands) {
                for (double& v : band) {
                    const double r = u(rng);
                    v = r < 0.02 ? std::nan("") : r < 0.04 ? -HUGE_VAL : r < 0.2 ? -100.0 * r : 255.0 * r;
                }
                fill.push_back(band.data());
            }
            std::vector<unsigned char> mask(n);
            for (auto& m : mask) m = u(rng) >= valid_share;
            std::vector<double> samples(BANDS * sarnic::MAX_TOLERANCE_SAMPLES), plain(BANDS), lanes(BANDS);
            for (int row = 0; row < rows; ++row)
                for (int col = 0; col < width; ++col) {
                    sarnic::spectral_tolerance(fill.data(), mask.data(), BANDS, rows, width, row, col,
                                               samples.data(), plain.data());
                    sarnic::spectral_tolerance_lanes<BANDS>(fill.data(), mask.data(), rows, width, row,
                                                            col, samples.data(), lanes.data());
                    EXPECT_EQ(0, std::memcmp(plain.data(), lanes.data(), BANDS * sizeof(double)))
                        << row << "," << col;
                }
        }
}

TEST(SpectralTolerance, FixedBandCountsMatchThePlainFormBitForBit)
{
    std::mt19937 rng(17);
    expect_lanes_match_plain_tolerance<1>(rng);
    expect_lanes_match_plain_tolerance<3>(rng);
    expect_lanes_match_plain_tolerance<4>(rng);
    expect_lanes_match_plain_tolerance<6>(rng);
    expect_lanes_match_plain_tolerance<8>(rng);
}

}  // namespace
}  // namespace pelvane
