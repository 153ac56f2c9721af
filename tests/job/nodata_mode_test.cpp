// No-data mode against mask-file mode on a crop of the olinda scene: each way
// GDAL can mark an image's gaps (a no-data value, values per band, an internal
// mask, a .msk sidecar) must fill exactly as mask files that mark the same
// pixels. The crop is cut into three strips, so a mask read from the wrong
// rows would show.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
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

enum class Marking { NodataZero, NodataPerBand, InternalMask, SidecarMask };

struct Case {
    const char* name;
    Marking marking;
    const char* format;          // of the marked copies: a GeoTIFF holds one no-data value
    std::optional<double> kept;  // the no-data value the output keeps
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
    GDALClose(GDALTranslate(path.c_str(), GDALDataset::ToHandle(in.get()), options, nullptr));
    GDALTranslateOptionsFree(options);
}

class NodataMode : public ::testing::TestWithParam<Case> {
protected:
    // Marks a crop of olinda's `name`.tif the case's way, writes the mask file
    // that marks the same pixels, and returns the crop's path.
    std::string mark(const std::string& name, const std::string& mask_file)
    {
        const Case& c = GetParam();
        const std::string image = dir.path(name + (c.format == std::string("VRT") ? ".vrt" : ".tif"));
        crop(DATA + name + ".tif", image, c.format);
        crop(DATA + name + "_mask.tif", mask_file);  // olinda's gaps: 0 in every band
        const test::Raster pixels = test::read_raster(image);
        std::vector<double> gaps = test::read_band(mask_file, 1);

        GDALDatasetUniquePtr ds(GDALDataset::Open(image.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
        if (c.marking == Marking::NodataZero) {
            for (int b = 1; b <= BANDS; ++b)
                ds->GetRasterBand(b)->SetNoDataValue(0.0);
        } else if (c.marking == Marking::NodataPerBand) {
            // Band 1's gaps, and wherever band 4 takes the value it has at (10, 10).
            const double value = pixels.bands[3][10 * WIDTH + 10];
            ds->GetRasterBand(1)->SetNoDataValue(0.0);
            ds->GetRasterBand(4)->SetNoDataValue(value);
            for (std::size_t i = 0; i < gaps.size(); ++i)
                gaps[i] = pixels.bands[0][i] == 0.0 || pixels.bands[3][i] == value;
            test::write_tiff(mask_file, test::raster_shape(WIDTH, ROWS),
                             [&](int, int x, int y) { return gaps[y * WIDTH + x] ? 255.0 : 0.0; });
        } else {
            CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK",
                                          c.marking == Marking::InternalMask ? "YES" : "NO");
            EXPECT_EQ(ds->CreateMaskBand(GMF_PER_DATASET), CE_None);
            CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK", nullptr);
            std::vector<unsigned char> valid(gaps.size());
            for (std::size_t i = 0; i < gaps.size(); ++i)
                valid[i] = gaps[i] != 0.0 ? 0 : 255;
            EXPECT_EQ(ds->GetRasterBand(1)->GetMaskBand()->RasterIO(
                          GF_Write, 0, 0, WIDTH, ROWS, valid.data(), WIDTH, ROWS, GDT_Byte, 0, 0, nullptr),
                      CE_None);
        }
        return image;
    }

    std::string run(JobSettings settings, const std::string& output)
    {
        settings.output_image_path = dir.path(output);
        settings.max_iterations = 100;
        RunOptions options;
        options.solver_progress = false;
        options.strip_budget = 8LL * BANDS * WIDTH * 30;  // three strips of 30 rows
        test::RecordingHost host;
        EXPECT_TRUE(run_job(settings, host, options).done()) << host.messages.back();
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
    mask_job.target_image_path = mark("target", mask_job.target_mask_path);
    mask_job.fill_image_path = mark("fill", mask_job.fill_mask_path);
    JobSettings nodata_job = mask_job;
    nodata_job.use_nodata = 1;
    nodata_job.target_mask_path = nodata_job.fill_mask_path = "";

    const std::string from_nodata = run(nodata_job, "nodata.tif");
    const std::string from_masks = run(mask_job, "masks.tif");
    EXPECT_EQ(test::count_mismatches(test::read_raster(from_nodata), test::read_raster(from_masks)), 0);

    // The output keeps the value when the target's bands share it.
    GDALDatasetUniquePtr out(GDALDataset::Open(from_nodata.c_str(), GDAL_OF_RASTER));
    for (int b = 1; b <= BANDS; ++b) {
        int has_value = FALSE;
        const double value = out->GetRasterBand(b)->GetNoDataValue(&has_value);
        EXPECT_EQ(has_value ? std::optional<double>(value) : std::nullopt, GetParam().kept) << b;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Olinda, NodataMode,
    ::testing::Values(Case{"nodata_zero", Marking::NodataZero, "GTiff", 0.0},
                      Case{"nodata_per_band", Marking::NodataPerBand, "VRT", std::nullopt},
                      Case{"internal_mask", Marking::InternalMask, "GTiff", std::nullopt},
                      Case{"sidecar_mask", Marking::SidecarMask, "GTiff", std::nullopt}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pelvane
