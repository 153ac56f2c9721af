#include "demo/linear_stretch.h"

#include <cmath>
#include <vector>

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>

#include "support/test_rasters.h"

namespace pelvane {
namespace {

TEST(LinearStretch, QuantilesIgnoreGaps)
{
    // 1..100 with a run of gap zeros that would drag the low end to 0.
    std::vector<double> values(40, 0.0);
    for (int v = 100; v >= 1; --v)
        values.push_back(v);
    StretchRange range = quantile_range(values.data(), static_cast<long long>(values.size()), 0.02, 0.98);
    // Of 100 sorted values, indices floor(0.02 * 99) = 1 and floor(0.98 * 99) = 97.
    EXPECT_EQ(range.low, 2.0);
    EXPECT_EQ(range.high, 98.0);

    const std::vector<double> flat(10, 7.0);
    range = quantile_range(flat.data(), 10, 0.02, 0.98);
    EXPECT_EQ(range.low, 7.0);
    EXPECT_EQ(range.high, 8.0);

    const std::vector<double> empty(10, 0.0);
    range = quantile_range(empty.data(), 10, 0.02, 0.98);
    EXPECT_EQ(range.low, 0.0);
    EXPECT_EQ(range.high, 255.0);
}

TEST(LinearStretch, MapsTheRangeOntoTheFullByteScale)
{
    const StretchRange range{20.0, 60.0};
    const std::vector<double> values{20.0, 60.0, 40.0, 10.0, 200.0, 0.0, NAN, 21.0};
    std::vector<std::uint8_t> out(values.size(), 99);
    apply_stretch(values.data(), static_cast<long long>(values.size()), range, out.data());
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 255);
    EXPECT_EQ(out[2], 128);  // 127.5 rounds up
    EXPECT_EQ(out[3], 0);    // below the range: clamped
    EXPECT_EQ(out[4], 255);  // above: clamped
    EXPECT_EQ(out[5], 0);    // a gap stays black
    EXPECT_EQ(out[6], 0);
    EXPECT_EQ(out[7], 6);    // 255 / 40 = 6.375
}

TEST(LinearStretch, QuicklookIsAnRgbPngOfBandsThreeTwoOne)
{
    test::TempDir dir;
    const int width = 30, height = 20, bands = 4;
    const long long plane = width * height;
    // Band b is a ramp along the columns scaled by b, with one gap pixel.
    std::vector<std::uint8_t> image(plane * bands);
    for (int b = 0; b < bands; ++b)
        for (long long p = 0; p < plane; ++p)
            image[b * plane + p] = static_cast<std::uint8_t>((b + 1) * (10 + p % width));
    for (int b = 0; b < bands; ++b)
        image[b * plane + 5 * width + 5] = 0;
    test::write_tiff(dir.path("image.tif"), test::raster_shape(width, height, bands, GDT_Byte), image);

    const int rgb[3] = {3, 2, 1};
    std::string error;
    ASSERT_TRUE(write_quicklook(dir.path("image.tif"), dir.path("image.tif"), rgb, dir.path("look.png"), error))
        << error;
    GDALDatasetUniquePtr png(GDALDataset::Open(dir.path("look.png").c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    ASSERT_TRUE(png);
    EXPECT_STREQ(png->GetDriver()->GetDescription(), "PNG");
    EXPECT_EQ(png->GetRasterXSize(), width);
    EXPECT_EQ(png->GetRasterYSize(), height);
    ASSERT_EQ(png->GetRasterCount(), 3);
    const std::vector<double> look = test::read_raster(dir.path("look.png")).band_sequential();
    for (int channel = 0; channel < 3; ++channel) {
        const double* values = look.data() + channel * plane;
        EXPECT_EQ(values[5 * width + 5], 0.0) << "gap";
        // Each channel is its own band's ramp stretched to nearly the full
        // scale: dark on the left, bright on the right.
        EXPECT_EQ(values[0], 0.0) << channel;
        EXPECT_EQ(values[width - 1], 255.0) << channel;
    }
    // Stretched on their own, all ramps give the same picture; the band
    // order shows against a reference whose bands differ.
    std::vector<std::uint8_t> reference(plane * bands, 0);
    for (long long p = 0; p < plane; ++p) {
        reference[0 * plane + p] = static_cast<std::uint8_t>(200 + p % 2);  // blue: far above the image
        reference[2 * plane + p] = static_cast<std::uint8_t>(1 + p % 2);    // red: far below it
        reference[1 * plane + p] = static_cast<std::uint8_t>(1 + p % 2);
    }
    test::write_tiff(dir.path("reference.tif"), test::raster_shape(width, height, bands, GDT_Byte), reference);
    ASSERT_TRUE(write_quicklook(dir.path("image.tif"), dir.path("reference.tif"), rgb, dir.path("ref.png"), error))
        << error;
    const std::vector<double> stretched = test::read_raster(dir.path("ref.png")).band_sequential();
    EXPECT_EQ(stretched[0 * plane + 10], 255.0);  // red from band 3, saturated by the reference's low range
    EXPECT_EQ(stretched[2 * plane + 10], 0.0);    // blue from band 1, below the reference's high range
}

}  // namespace
}  // namespace pelvane
