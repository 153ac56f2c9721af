// No-data mode against mask-file mode on a crop of the olinda scene: each way
// GDAL can mark an image's gaps (no-data values, an internal mask, a .msk
// sidecar) must fill exactly as mask files that mark the same pixels. The crop
// is cut into three strips, so a mask read from the wrong rows would show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include <cpl_string.h>
#include <gdal_priv.h>
#include <gdal_utils.h>

#include "job/run_job.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

const std::string DATA = std::string(PELVANE_TEST_DATA) + "/olinda/";
constexpr int WIDTH = 349;
constexpr int ROWS = 90;  // of olinda's 352
constexpr int BANDS = 6;

enum class Marking { NodataZero, NodataInAnyBand, NodataPerBand, InternalMask, SidecarMask };

struct Case {
    const char* name;
    Marking marking;
    const char* format;  // of the marked copies: GeoTIFF, or a VRT for per-band values
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

// The top rows of an olinda image as a raster of its own.
void crop(const std::string& source, const std::string& path, const char* format = "GTiff")
{
    GDALAllRegister();
    CPLStringList args;
    for (const char* arg : {"-srcwin", "0", "0", "349", "90", "-of", format})
        args.AddString(arg);
    GDALTranslateOptions* options = GDALTranslateOptionsNew(args.List(), nullptr);
    GDALDatasetUniquePtr in(GDALDataset::Open(source.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    ASSERT_TRUE(in);
    GDALDatasetH out = GDALTranslate(path.c_str(), GDALDataset::ToHandle(in.get()), options, nullptr);
    GDALTranslateOptionsFree(options);
    ASSERT_NE(out, nullptr);
    GDALClose(out);
}

void write_byte_mask(const std::string& path, const std::vector<unsigned char>& gaps)
{
    test::RasterShape shape = test::raster_shape(WIDTH, ROWS);
    test::write_tiff(path, shape, [&](int, int x, int y) { return gaps[y * WIDTH + x] ? 255.0 : 0.0; });
}

class NodataMode : public ::testing::TestWithParam<Case> {
protected:
    // Marks a crop of olinda's `name`.tif the case's way and writes the mask
    // file that marks the same pixels. Returns the path of the marked crop
    // and the no-data value its bands now share, if any.
    std::pair<std::string, std::optional<double>> mark(const std::string& name,
                                                       const std::string& mask_file)
    {
        const Case& c = GetParam();
        const std::string image = dir.path(name + (c.format == std::string("VRT") ? ".vrt" : ".tif"));
        crop(DATA + name + ".tif", image, c.format);
        const test::Raster pixels = test::read_raster(image);
        crop(DATA + name + "_mask.tif", dir.path("olinda_mask.tif"));
        const std::vector<double> olinda_mask = test::read_band(dir.path("olinda_mask.tif"), 1);
        std::vector<unsigned char> gaps(olinda_mask.size());
        for (std::size_t i = 0; i < gaps.size(); ++i)
            gaps[i] = olinda_mask[i] != 0.0;

        // One value that band 4 takes at pixel (10, 10) and elsewhere.
        const double value = pixels.bands[3][10 * WIDTH + 10];
        std::vector<double> nodata(BANDS, std::nan(""));
        if (c.marking == Marking::NodataZero) {
            nodata.assign(BANDS, 0.0);  // olinda's gaps are 0 in every band
        } else if (c.marking == Marking::NodataInAnyBand) {
            nodata.assign(BANDS, value);
            for (std::size_t i = 0; i < gaps.size(); ++i) {
                gaps[i] = 0;
                for (int b = 0; b < BANDS; ++b)
                    gaps[i] |= pixels.bands[b][i] == value;
            }
        } else if (c.marking == Marking::NodataPerBand) {
            // Band 1's gaps, and wherever band 4 takes the value.
            nodata[0] = 0.0;
            nodata[3] = value;
            for (std::size_t i = 0; i < gaps.size(); ++i)
                gaps[i] = pixels.bands[0][i] == 0.0 || pixels.bands[3][i] == value;
        }
        write_byte_mask(mask_file, gaps);

        GDALDatasetUniquePtr ds(GDALDataset::Open(image.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
        EXPECT_TRUE(ds);
        for (int b = 0; b < BANDS; ++b)
            if (!std::isnan(nodata[b]))
                ds->GetRasterBand(b + 1)->SetNoDataValue(nodata[b]);
        if (c.marking == Marking::InternalMask || c.marking == Marking::SidecarMask) {
            CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK",
                                          c.marking == Marking::InternalMask ? "YES" : "NO");
            EXPECT_EQ(ds->CreateMaskBand(GMF_PER_DATASET), CE_None);
            CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK", nullptr);
            std::vector<unsigned char> valid(gaps.size());
            for (std::size_t i = 0; i < gaps.size(); ++i)
                valid[i] = gaps[i] ? 0 : 255;
            EXPECT_EQ(ds->GetRasterBand(1)->GetMaskBand()->RasterIO(
                          GF_Write, 0, 0, WIDTH, ROWS, valid.data(), WIDTH, ROWS, GDT_Byte, 0, 0, nullptr),
                      CE_None);
        }
        std::optional<double> shared;
        if (std::all_of(nodata.begin(), nodata.end(), [&](double v) { return v == nodata[0]; }))
            shared = nodata[0];
        return {image, shared};
    }

    std::string run(JobSettings settings, const std::string& output)
    {
        settings.output_image_path = dir.path(output);
        settings.max_iterations = 100;
        RunOptions options;
        options.solver_progress = false;
        options.strip_budget = 8LL * BANDS * WIDTH * 30;  // three strips of 30 rows
        test::RecordingHost host;
        EXPECT_TRUE(run_job(settings, host, options)) << host.messages.back();
        return settings.output_image_path;
    }

    test::TempDir dir;
};

TEST_P(NodataMode, FillsAsTheEquivalentMaskFiles)
{
    JobSettings mask_job;
    mask_job.use_threshold = 0;
    mask_job.target_mask_path = dir.path("target_mask.tif");
    mask_job.fill_mask_path = dir.path("fill_mask.tif");
    const auto [target, target_nodata] = mark("target", mask_job.target_mask_path);
    const auto [fill, fill_nodata] = mark("fill", mask_job.fill_mask_path);
    mask_job.target_image_path = target;
    mask_job.fill_image_path = fill;
    JobSettings nodata_job = mask_job;
    nodata_job.use_nodata = 1;
    nodata_job.target_mask_path = nodata_job.fill_mask_path = "";

    const std::string from_nodata = run(nodata_job, "nodata.tif");
    const std::string from_masks = run(mask_job, "masks.tif");
    EXPECT_EQ(test::count_mismatches(test::read_raster(from_nodata), test::read_raster(from_masks)), 0);

    // The output keeps the no-data value the target's bands share.
    GDALDatasetUniquePtr out(GDALDataset::Open(from_nodata.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    ASSERT_TRUE(out);
    for (int b = 1; b <= BANDS; ++b) {
        int has_value = FALSE;
        const double value = out->GetRasterBand(b)->GetNoDataValue(&has_value);
        EXPECT_EQ(has_value != FALSE, target_nodata.has_value()) << "band " << b;
        if (has_value && target_nodata) {
            EXPECT_EQ(value, *target_nodata) << "band " << b;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Olinda, NodataMode,
    ::testing::Values(Case{"nodata_zero", Marking::NodataZero, "GTiff"},
                      Case{"nodata_in_any_band", Marking::NodataInAnyBand, "GTiff"},
                      Case{"nodata_per_band", Marking::NodataPerBand, "VRT"},
                      Case{"internal_mask", Marking::InternalMask, "GTiff"},
                      Case{"sidecar_mask", Marking::SidecarMask, "GTiff"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(NodataModeOutput, NoNodataWithoutTheSwitch)
{
    test::TempDir dir;
    const test::RasterShape shape = test::raster_shape(12, 8, 2);
    const std::string target = dir.path("target.tif");
    test::write_tiff(target, shape, [](int b, int x, int y) { return 1 + (b + x * 3 + y * 5) % 200; });
    {
        GDALDatasetUniquePtr ds(GDALDataset::Open(target.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
        ds->GetRasterBand(1)->SetNoDataValue(7);
    }
    JobSettings settings;
    settings.target_image_path = target;
    settings.fill_image_path = target;
    settings.output_image_path = dir.path("out.tif");
    settings.use_threshold = 1;
    test::RecordingHost host;
    ASSERT_TRUE(run_job(settings, host));
    GDALDatasetUniquePtr out(GDALDataset::Open(settings.output_image_path.c_str(), GDAL_OF_RASTER));
    int has_value = TRUE;
    out->GetRasterBand(1)->GetNoDataValue(&has_value);
    EXPECT_FALSE(has_value);
}

}  // namespace
}  // namespace pelvane
