#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "job/gap_masks.h"
#include "job/job_plan.h"
#include "job/range_masker.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

using test::RasterShape;
using test::TempDir;
using Mask = std::vector<unsigned char>;

Mask mark(const std::vector<std::vector<double>>& bands, double lo, double hi, Mask mask = {})
{
    const std::size_t n = bands.front().size();
    if (mask.empty())
        mask.assign(n, 0);
    std::vector<const double*> stack;
    for (const auto& band : bands)
        stack.push_back(band.data());
    RangeMasker().mark_out_of_range(stack.data(), mask.data(), static_cast<std::ptrdiff_t>(n),
                                    static_cast<int>(bands.size()), lo, hi);
    return mask;
}

TEST(RangeMasker, BoundsAreInRangeAndNaNNeverOutOfRange)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(mark({{1.0, 255.0, 0.0, 255.5, 0.999999, nan, inf, -inf, 128.0}}, 1.0, 255.0),
              (Mask{0, 0, 1, 1, 1, 0, 1, 1, 0}));
}

TEST(RangeMasker, AnyOutOfRangeBandMarksThePixel)
{
    // Pixel 0 valid in every band; pixel 1 out in band 3 only; pixel 2 out in band 1 only.
    EXPECT_EQ(mark({{1, 1, 0}, {255, 255, 9}, {7, 256, 9}}, 1.0, 255.0), (Mask{0, 1, 1}));
}

TEST(RangeMasker, OnlyEverSetsBytes)
{
    // A byte already set stays set although its samples are in range.
    EXPECT_EQ(mark({{5, 5, 500}}, 1.0, 255.0, Mask{1, 0, 0}), (Mask{1, 0, 1}));
}

TEST(RangeMasker, MinimumAboveMaximumMarksEverything)
{
    EXPECT_EQ(mark({{1, 100, 255}}, 200.0, 100.0), (Mask{1, 1, 1}));
}

TEST(RangeMasker, NothingToDoForAnEmptyOrNegativeLength)
{
    const double v[] = {0.0};
    const double* stack[] = {v};
    unsigned char mask[] = {7};
    RangeMasker().mark_out_of_range(stack, mask, 0, 1, 1.0, 255.0);
    RangeMasker().mark_out_of_range(stack, mask, -3, 1, 1.0, 255.0);
    EXPECT_EQ(mask[0], 7);
}

TEST(RangeMasker, MaskFileToleranceBand)
{
    EXPECT_EQ(mark({{0.0, 0.0000005, -0.0000005, 0.000001, -0.000001, 0.000002, -0.5, 255.0}},
                   -MASK_ZERO_TOLERANCE, MASK_ZERO_TOLERANCE),
              (Mask{0, 0, 0, 0, 0, 1, 1, 1}));
}

TEST(GapMasks, ValidRangeModeMarksEachImageFromItsOwnBands)
{
    BandStack target(2, 4);
    BandStack fill(2, 4);
    const double t[2][4] = {{0, 1, 255, 10}, {5, 5, 5, 256}};
    const double f[2][4] = {{9, 9, 9, 9}, {9, 0, 9, 9}};
    for (int b = 0; b < 2; ++b)
        for (int i = 0; i < 4; ++i) {
            target.band(b)[i] = t[b][i];
            fill.band(b)[i] = f[b][i];
        }
    Mask tm(4, 0), fm(4, 0);
    build_range_gap_masks(RangeMasker(), target, fill, tm.data(), fm.data(), 1.0, 255.0);
    EXPECT_EQ(tm, (Mask{1, 0, 0, 1}));
    EXPECT_EQ(fm, (Mask{0, 1, 0, 0}));
}

TEST(GapMasks, CombinationKeepsOnlyPixelsMissingInBoth)
{
    Mask target{1, 1, 0, 0, 1};
    const Mask fill{0, 1, 1, 0, 1};
    combine_gap_masks(target.data(), fill.data(), target.size());
    EXPECT_EQ(target, (Mask{0, 1, 0, 0, 1}));
    EXPECT_TRUE(has_remaining_gap(target.data(), target.size()));
    const Mask none(1000, 0);
    EXPECT_FALSE(has_remaining_gap(none.data(), none.size()));
    Mask last(1000, 0);
    last.back() = 1;
    EXPECT_TRUE(has_remaining_gap(last.data(), last.size()));
}

// Mask files of a 5 x 8 image: the value of pixel (x, y) in band b.
class MaskFiles : public ::testing::Test {
protected:
    static constexpr int W = 5;
    static constexpr int H = 8;

    std::string write_mask(const std::string& name, int bands, const test::SampleFn& sample,
                           int width = W, int height = H)
    {
        RasterShape shape = test::raster_shape(width, height, bands, GDT_Float32);
        shape.georeferenced = false;
        const std::string path = dir.path(name);
        test::write_tiff(path, shape, sample);
        return path;
    }

    // Builds both masks of the job's plan over rows first..first + rows - 1.
    std::string build(int first, int rows)
    {
        target_mask.assign(static_cast<std::size_t>(W * rows), 0);
        fill_mask.assign(static_cast<std::size_t>(W * rows), 0);
        const JobPlan plan = plan_job(settings, {});
        return build_file_gap_masks(RangeMasker(), plan.target_mask_path, plan.fill().mask_path, W, H,
                                    first, rows, target_mask.data(), fill_mask.data())
            .message;
    }

    TempDir dir;
    JobSettings settings;
    Mask target_mask;
    Mask fill_mask;
};

TEST_F(MaskFiles, NonZeroMarksAGapAndTheStripWindowIsRead)
{
    // Target: 255 marks a gap at x == y. Fill: 1 everywhere but 0 in row 5, so
    // a 1-valid/0-gap convention marks the valid pixels missing.
    settings.target_mask_path = write_mask("t.tif", 1, [](int, int x, int y) { return x == y ? 255.0 : 0.0; });
    settings.fill_mask_path = write_mask("f.tif", 1, [](int, int, int y) { return y == 5 ? 0.0 : 1.0; });
    ASSERT_EQ(build(2, 4), "");
    for (int r = 0; r < 4; ++r)
        for (int x = 0; x < W; ++x) {
            const std::size_t i = static_cast<std::size_t>(r * W + x);
            EXPECT_EQ(target_mask[i], x == r + 2 ? 1 : 0) << "row " << r << " col " << x;
            EXPECT_EQ(fill_mask[i], r + 2 == 5 ? 0 : 1) << "row " << r << " col " << x;
        }
}

TEST_F(MaskFiles, AnyBandMarksTinyValuesCountAsZeroAndNaNMarks)
{
    // Three bands; band 3 non-zero at column 1 only; band 1 holds values
    // within the zero tolerance at column 2 and just outside at column 3;
    // band 2 is NaN, not zero, at column 4.
    settings.target_mask_path = write_mask("t.tif", 3, [](int b, int x, int) {
        if (b == 2)
            return x == 1 ? 3.0 : 0.0;
        if (b == 1 && x == 4)
            return std::numeric_limits<double>::quiet_NaN();
        if (b == 0 && x == 2)
            return 0.0000005;
        if (b == 0 && x == 3)
            return -0.000002;
        return 0.0;
    });
    // Extra bands of the fill mask are ignored: band 4 is all gaps.
    settings.fill_mask_path = write_mask("f.tif", 4, [](int b, int, int) { return b == 3 ? 1.0 : 0.0; });
    ASSERT_EQ(build(0, H), "");
    for (int y = 0; y < H; ++y) {
        const std::size_t row = static_cast<std::size_t>(y * W);
        EXPECT_EQ(Mask(target_mask.begin() + row, target_mask.begin() + row + W),
                  (Mask{0, 1, 0, 1, 1}));
    }
    EXPECT_FALSE(has_remaining_gap(fill_mask.data(), fill_mask.size()));
}

TEST_F(MaskFiles, TolvekAloneUsesTheTargetMaskForBoth)
{
    settings.use_sarnic = 0;
    settings.use_tolvek = 1;
    settings.target_mask_path = write_mask("t.tif", 1, [](int, int x, int y) { return (x + y) % 3 == 0 ? 1.0 : 0.0; });
    settings.fill_mask_path = "";
    ASSERT_EQ(build(0, H), "");
    EXPECT_EQ(plan_job(settings, {}).fill().mask_path, settings.target_mask_path);
    EXPECT_EQ(target_mask, fill_mask);
    Mask combined = target_mask;
    combine_gap_masks(combined.data(), fill_mask.data(), combined.size());
    EXPECT_EQ(combined, target_mask);
}

TEST_F(MaskFiles, StopsOnMissingOrUnfitMaskFiles)
{
    const auto zero = test::constant(0.0);
    const std::string good = write_mask("good.tif", 2, zero);

    settings.target_mask_path = dir.path("absent.tif");
    settings.fill_mask_path = good;
    EXPECT_EQ(build(0, H), "Can not open the target mask file!");

    settings.target_mask_path = good;
    settings.fill_mask_path = "";
    EXPECT_EQ(build(0, H), "Can not open the fill mask file!");

    settings.target_mask_path = write_mask("narrow.tif", 2, zero, W - 1, H);
    settings.fill_mask_path = good;
    EXPECT_EQ(build(0, 3), "The target mask file is smaller than the target image!");

    settings.target_mask_path = good;
    settings.fill_mask_path = write_mask("short.tif", 2, zero, W, H - 1);
    EXPECT_EQ(build(0, 3), "The fill mask file is smaller than the target image!");

    settings.fill_mask_path = write_mask("one_band.tif", 1, zero);
    EXPECT_EQ(build(0, 3), "The fill mask file has fewer bands than the target mask file!");

    // Larger masks are fine: only the image's columns and the window's rows are read.
    settings.target_mask_path = write_mask("large.tif", 1, [](int, int x, int y) { return x == 4 && y == 7 ? 1.0 : 0.0; }, W + 3, H + 2);
    settings.fill_mask_path = good;
    ASSERT_EQ(build(5, 3), "");
    Mask expected(static_cast<std::size_t>(3 * W), 0);
    expected.back() = 1;
    EXPECT_EQ(target_mask, expected);
    EXPECT_EQ(test::open_dataset_count(), 0);
}

}  // namespace
}  // namespace pelvane
