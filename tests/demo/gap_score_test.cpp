#include "demo/gap_score.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "demo/demo_scene.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

// Six pixels, two bands. Truth: 10 in band 1, 20 in band 2.
//   pixel  gap code          filled - truth (band 1, band 2)
//   0      none              0, 0
//   1      fill valid        +3, -4
//   2      fill valid        -4, 0
//   3      both missing      +1, +2
//   4      both missing      -1, +2
//   5      other gap (7)     +6, 0
struct SixPixels {
    std::vector<double> truth{10, 10, 10, 10, 10, 10, 20, 20, 20, 20, 20, 20};
    std::vector<double> filled{10, 13, 6, 11, 9, 16, 20, 16, 20, 22, 22, 20};
    std::vector<std::uint8_t> gaps{GAP_NONE, GAP_FILL_VALID, GAP_FILL_VALID, GAP_BOTH_MISSING, GAP_BOTH_MISSING, 7};
};

TEST(GapScore, RmsePerClassPerBandAndPooled)
{
    const SixPixels case6;
    GapScore score = make_gap_score(2);
    add_to_gap_score(score, case6.truth.data(), case6.filled.data(), case6.gaps.data(), 6);

    EXPECT_EQ(score.fill_valid.pixels, 2);
    EXPECT_DOUBLE_EQ(band_rmse(score.fill_valid, 0), std::sqrt((9.0 + 16.0) / 2.0));
    EXPECT_DOUBLE_EQ(band_rmse(score.fill_valid, 1), std::sqrt(16.0 / 2.0));
    EXPECT_DOUBLE_EQ(pooled_rmse(score.fill_valid), std::sqrt((9.0 + 16.0 + 16.0) / 4.0));

    EXPECT_EQ(score.both_missing.pixels, 2);
    EXPECT_DOUBLE_EQ(band_rmse(score.both_missing, 0), 1.0);
    EXPECT_DOUBLE_EQ(band_rmse(score.both_missing, 1), 2.0);

    // All gaps include the pixel with an unknown code.
    EXPECT_EQ(score.all.pixels, 5);
    EXPECT_DOUBLE_EQ(band_rmse(score.all, 0), std::sqrt((9.0 + 16.0 + 1.0 + 1.0 + 36.0) / 5.0));
    EXPECT_DOUBLE_EQ(pooled_rmse(score.all), std::sqrt((9.0 + 16.0 + 1.0 + 1.0 + 36.0 + 16.0 + 4.0 + 4.0) / 10.0));
    EXPECT_EQ(score.changed_outside_gaps, 0);
}

TEST(GapScore, ChangedPixelsOutsideTheGapsCountOnceEach)
{
    const std::vector<double> truth{5, 5, 5, 7, 7, 7};
    const std::vector<double> filled{5, 6, 9, 7, 8, 7};  // pixel 1 differs in both bands, pixel 2 in one
    const std::vector<std::uint8_t> gaps{GAP_NONE, GAP_NONE, GAP_NONE};
    GapScore score = make_gap_score(2);
    add_to_gap_score(score, truth.data(), filled.data(), gaps.data(), 3);
    EXPECT_EQ(score.changed_outside_gaps, 2);
    EXPECT_EQ(score.all.pixels, 0);
    EXPECT_TRUE(std::isnan(band_rmse(score.all, 0)));
    EXPECT_TRUE(std::isnan(pooled_rmse(score.both_missing)));
}

// The files are read in blocks of rows; 300 rows make two blocks.
TEST(GapScore, ScoresFilesAcrossRowBlocks)
{
    test::TempDir dir;
    const int width = 40, height = 300, bands = 3;
    const long long plane = static_cast<long long>(width) * height;
    std::vector<std::uint8_t> truth(plane * bands), gaps(plane, GAP_NONE);
    std::vector<double> filled(plane * bands);
    long long fill_valid = 0, both = 0;
    for (long long p = 0; p < plane; ++p) {
        long long row = p / width;
        gaps[p] = row % 10 == 3 ? GAP_FILL_VALID : row % 10 == 7 ? GAP_BOTH_MISSING : GAP_NONE;
        fill_valid += gaps[p] == GAP_FILL_VALID;
        both += gaps[p] == GAP_BOTH_MISSING;
        for (int b = 0; b < bands; ++b) {
            truth[b * plane + p] = static_cast<std::uint8_t>(50 + (p + b) % 100);
            double error = gaps[p] == GAP_FILL_VALID ? 2.0 : gaps[p] == GAP_BOTH_MISSING ? -5.0 : 0.0;
            filled[b * plane + p] = truth[b * plane + p] + error;
        }
    }
    test::write_tiff(dir.path("truth.tif"), test::raster_shape(width, height, bands, GDT_Byte), truth);
    test::write_tiff(dir.path("filled.tif"), test::raster_shape(width, height, bands, GDT_Float64), filled);
    test::write_tiff(dir.path("gaps.tif"), test::raster_shape(width, height, 1, GDT_Byte), gaps);

    GapScore score;
    std::string error;
    ASSERT_TRUE(score_image_files(dir.path("truth.tif"), dir.path("filled.tif"), dir.path("gaps.tif"), score, error))
        << error;
    EXPECT_EQ(score.fill_valid.pixels, fill_valid);
    EXPECT_EQ(score.both_missing.pixels, both);
    EXPECT_DOUBLE_EQ(pooled_rmse(score.fill_valid), 2.0);
    EXPECT_DOUBLE_EQ(band_rmse(score.both_missing, 2), 5.0);
    EXPECT_NEAR(pooled_rmse(score.all),
                std::sqrt((4.0 * fill_valid + 25.0 * both) / static_cast<double>(fill_valid + both)), 1e-12);
    EXPECT_EQ(score.changed_outside_gaps, 0);

    // The same file pair with one band too few, and a gap map of another size.
    test::write_tiff(dir.path("two.tif"), test::raster_shape(width, height, 2, GDT_Byte), test::constant(1));
    test::write_tiff(dir.path("small.tif"), test::raster_shape(width, height - 1, 1, GDT_Byte), test::constant(0));
    EXPECT_FALSE(score_image_files(dir.path("truth.tif"), dir.path("two.tif"), dir.path("gaps.tif"), score, error));
    EXPECT_FALSE(score_image_files(dir.path("truth.tif"), dir.path("filled.tif"), dir.path("small.tif"), score, error));
    EXPECT_FALSE(score_image_files(dir.path("missing.tif"), dir.path("filled.tif"), dir.path("gaps.tif"), score, error));
    EXPECT_NE(error.find("missing.tif"), std::string::npos);
}

}  // namespace
}  // namespace pelvane
