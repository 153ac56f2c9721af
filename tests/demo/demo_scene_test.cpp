#include "demo/demo_scene.h"

#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "demo/smooth_field.h"

namespace pelvane {
namespace {

constexpr int kWidth = 230;
constexpr int kHeight = 260;
constexpr int kBands = 4;
constexpr long long kPlane = static_cast<long long>(kWidth) * kHeight;

// A textured truth that reaches both ends of the Byte range.
std::vector<std::uint8_t> textured_truth()
{
    std::vector<std::uint8_t> truth(kPlane * kBands);
    for (int b = 0; b < kBands; ++b)
        for (int row = 0; row < kHeight; ++row)
            for (int col = 0; col < kWidth; ++col)
                truth[b * kPlane + row * kWidth + col] = static_cast<std::uint8_t>(1 + (row * 7 + col * 13 + b * 29) % 255);
    return truth;
}

std::vector<std::uint8_t> constant_truth(std::uint8_t value)
{
    return std::vector<std::uint8_t>(kPlane * kBands, value);
}

bool all_bands(const std::vector<std::uint8_t>& image, long long pixel, std::uint8_t value)
{
    for (int b = 0; b < kBands; ++b)
        if (image[b * kPlane + pixel] != value)
            return false;
    return true;
}

// Radiometry switched off, so the fill is the (changed) truth itself.
DemoSceneParams plain_params()
{
    DemoSceneParams params;
    params.gain_spread = 0.0;
    params.offset_spread = 0.0;
    params.noise_sigma = 0.0;
    params.land_changes.clear();
    return params;
}

TEST(DemoScene, TargetIsTheTruthWithItsStripesBlanked)
{
    const std::vector<std::uint8_t> truth = textured_truth();
    const DemoSceneParams params;
    const DemoScene scene = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
    ASSERT_EQ(scene.target.size(), truth.size());
    long long stripe_pixels = 0;
    for (int row = 0; row < kHeight; ++row) {
        for (int col = 0; col < kWidth; ++col) {
            long long p = static_cast<long long>(row) * kWidth + col;
            if (in_stripe(params.target_stripes, row, col, kWidth)) {
                ++stripe_pixels;
                EXPECT_TRUE(all_bands(scene.target, p, 0)) << row << "," << col;
            } else {
                for (int b = 0; b < kBands; ++b)
                    ASSERT_EQ(scene.target[b * kPlane + p], truth[b * kPlane + p]) << row << "," << col;
            }
        }
    }
    EXPECT_EQ(scene.target_gap_pixels, stripe_pixels);
    EXPECT_NEAR(static_cast<double>(stripe_pixels) / kPlane, expected_gap_fraction(params.target_stripes), 0.01);
}

TEST(DemoScene, FillStaysWithinOneTo255OutsideItsOwnStripes)
{
    const DemoSceneParams params;
    // Extreme truths push the gain, offset and noise past both ends.
    for (const std::vector<std::uint8_t>& truth : {textured_truth(), constant_truth(0), constant_truth(255)}) {
        const DemoScene scene = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
        ASSERT_EQ(scene.fill.size(), truth.size());
        for (int row = 0; row < kHeight; ++row) {
            for (int col = 0; col < kWidth; ++col) {
                long long p = static_cast<long long>(row) * kWidth + col;
                if (in_stripe(params.fill_stripes, row, col, kWidth)) {
                    EXPECT_TRUE(all_bands(scene.fill, p, 0)) << row << "," << col;
                    continue;
                }
                for (int b = 0; b < kBands; ++b)
                    ASSERT_GE(scene.fill[b * kPlane + p], 1) << row << "," << col;
            }
        }
    }
}

TEST(DemoScene, GapMapSeparatesGapsWithAndWithoutAValidFill)
{
    const std::vector<std::uint8_t> truth = textured_truth();
    const DemoSceneParams params;
    const DemoScene scene = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
    long long fill_valid = 0, both = 0;
    for (int row = 0; row < kHeight; ++row) {
        for (int col = 0; col < kWidth; ++col) {
            bool target_gap = in_stripe(params.target_stripes, row, col, kWidth);
            bool fill_gap = in_stripe(params.fill_stripes, row, col, kWidth);
            std::uint8_t expected = !target_gap ? GAP_NONE : fill_gap ? GAP_BOTH_MISSING : GAP_FILL_VALID;
            ASSERT_EQ(scene.gaps[static_cast<long long>(row) * kWidth + col], expected) << row << "," << col;
            fill_valid += expected == GAP_FILL_VALID ? 1 : 0;
            both += expected == GAP_BOTH_MISSING ? 1 : 0;
        }
    }
    EXPECT_EQ(scene.both_gap_pixels, both);
    EXPECT_EQ(scene.target_gap_pixels, fill_valid + both);
    // The two stripe families drift across each other, so some pixels are
    // missing in both images, but far from all.
    EXPECT_GT(both, 0);
    EXPECT_GT(fill_valid, 3 * both);
}

TEST(DemoScene, AZeroInTheTruthCountsAsAGapAsTheToolSeesIt)
{
    std::vector<std::uint8_t> truth = textured_truth();
    const DemoSceneParams params;
    // A pixel between the stripes, 0 in one band only.
    int row = 0, col = 0;
    while (in_stripe(params.target_stripes, row, col, kWidth))
        ++row;
    truth[2 * kPlane + row * kWidth + col] = 0;
    const DemoScene scene = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
    EXPECT_NE(scene.gaps[row * kWidth + col], GAP_NONE);
}

TEST(DemoScene, SameSeedSameSceneOtherSeedOtherNoise)
{
    const std::vector<std::uint8_t> truth = textured_truth();
    DemoSceneParams params;
    const DemoScene first = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
    const DemoScene again = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
    EXPECT_EQ(first.fill, again.fill);
    EXPECT_EQ(first.target, again.target);
    EXPECT_EQ(first.gaps, again.gaps);

    params.seed += 1;
    const DemoScene other = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
    EXPECT_NE(first.fill, other.fill);
    // The stripes belong to the sensor, not to the random draw.
    EXPECT_EQ(first.target, other.target);
    EXPECT_EQ(first.gaps, other.gaps);
}

// FNV-1a over the bytes of the three images, in the order given.
std::uint64_t scene_digest(const DemoScene& scene)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (const std::vector<std::uint8_t>* image : {&scene.target, &scene.fill, &scene.gaps})
        for (std::uint8_t byte : *image)
            hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

TEST(DemoScene, DefaultSceneKeepsItsBytes)
{
    // The demo's scene must not change when the generator is reworked: this
    // digest was taken from the first version of the generator.
    const std::vector<std::uint8_t> truth = textured_truth();
    const DemoScene scene = make_demo_scene(truth.data(), kWidth, kHeight, kBands, DemoSceneParams{});
    EXPECT_EQ(scene_digest(scene), 0x4fd9bead4fb65b9dull);
}

TEST(DemoScene, NoiseHasTheRequestedSpread)
{
    const std::vector<std::uint8_t> truth = constant_truth(100);
    DemoSceneParams params = plain_params();
    params.noise_sigma = 3.0;
    const DemoScene scene = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
    double sum = 0.0, sum_squares = 0.0;
    long long count = 0;
    for (long long i = 0; i < kPlane * kBands; ++i) {
        if (scene.fill[i] == 0)
            continue;
        double difference = static_cast<double>(scene.fill[i]) - 100.0;
        sum += difference;
        sum_squares += difference * difference;
        ++count;
    }
    ASSERT_GT(count, 100000);
    double mean = sum / count;
    // Rounding to whole DN adds 1/12 to the variance.
    EXPECT_NEAR(mean, 0.0, 0.05);
    EXPECT_NEAR(std::sqrt(sum_squares / count - mean * mean), std::sqrt(9.0 + 1.0 / 12.0), 0.05);
}

TEST(DemoScene, GainAndOffsetStayWithinTheirSpreads)
{
    const std::vector<std::uint8_t> truth = textured_truth();
    const DemoSceneParams params;
    const DemoScene scene = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);
    ASSERT_EQ(scene.gain_min.size(), static_cast<size_t>(kBands));
    for (int b = 0; b < kBands; ++b) {
        EXPECT_GE(scene.gain_min[b], 1.0 - params.gain_spread);
        EXPECT_LE(scene.gain_max[b], 1.0 + params.gain_spread);
        EXPECT_GE(scene.offset_min[b], -params.offset_spread);
        EXPECT_LE(scene.offset_max[b], params.offset_spread);
        // Not flat: the second date differs from the first.
        EXPECT_GT(scene.gain_max[b] - scene.gain_min[b], 0.01);
        EXPECT_GT(scene.offset_max[b] - scene.offset_min[b], 0.5);
    }
}

TEST(DemoScene, LandChangeCopiesAnotherPlaceIntoThePatch)
{
    const std::vector<std::uint8_t> truth = textured_truth();
    DemoSceneParams params = plain_params();
    params.fill_stripes.min_width = 0.0;  // no fill stripes: every pixel visible
    params.fill_stripes.max_width = 0.0;
    const LandChange change{0.5, 0.5, 10.0, 0.2, 0.3};
    params.land_changes = {change};
    const DemoScene scene = make_demo_scene(truth.data(), kWidth, kHeight, kBands, params);

    const int row = kHeight / 2, col = kWidth / 2;
    const int shift_row = static_cast<int>(std::lround((change.source_row - change.row) * kHeight));
    const int shift_col = static_cast<int>(std::lround((change.source_col - change.col) * kWidth));
    for (int b = 0; b < kBands; ++b) {
        // The patch's centre shows the source place.
        EXPECT_EQ(scene.fill[b * kPlane + row * kWidth + col],
                  truth[b * kPlane + (row + shift_row) * kWidth + col + shift_col]);
        // Twice the radius away nothing changed.
        EXPECT_EQ(scene.fill[b * kPlane + (row + 25) * kWidth + col], truth[b * kPlane + (row + 25) * kWidth + col]);
    }
    long long changed = 0;
    for (long long i = 0; i < kPlane; ++i)
        changed += scene.fill[i] != truth[i] ? 1 : 0;
    // About the disc's area; the wavy edge makes it vary.
    EXPECT_GT(changed, 0.4 * std::numbers::pi * 100.0);
    EXPECT_LT(changed, 1.8 * std::numbers::pi * 100.0);
}

TEST(SmoothField, StaysWithinOneAndChangesSlowly)
{
    SeededRandom random(42);
    const int width = 300, height = 200;
    for (int i = 0; i < 5; ++i) {
        const SmoothField field = make_smooth_field(random, width, height, 3, 200.0, 800.0);
        double low = 1.0, high = -1.0;
        for (int y = 0; y < height; y += 3) {
            for (int x = 0; x < width; x += 3) {
                double value = smooth_field_at(field, x + 0.5, y + 0.5);
                ASSERT_LE(std::fabs(value), 1.0);
                low = std::min(low, value);
                high = std::max(high, value);
                // Neighbours differ by at most the steepest slope's share.
                EXPECT_LT(std::fabs(smooth_field_at(field, x + 1.5, y + 0.5) - value), 0.05);
                EXPECT_LT(std::fabs(smooth_field_at(field, x + 0.5, y + 1.5) - value), 0.05);
            }
        }
        EXPECT_GT(high - low, 0.1);
    }
}

}  // namespace
}  // namespace pelvane
