// Whole runs of the demo's programs on small GeoTIFFs written here.

#include <cstdint>
#include <string>
#include <vector>

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>

#include "demo/demo_scene.h"
#include "demo/mirrored_tiling.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

using test::ProgramRun;
using test::run_program;
using test::TempDir;

std::vector<double> read_all(const std::string& path)
{
    return test::read_raster(path).band_sequential();
}

constexpr int kWidth = 90;
constexpr int kHeight = 80;
constexpr int kBands = 3;

std::vector<std::uint8_t> source_pixels()
{
    std::vector<std::uint8_t> pixels(kWidth * kHeight * kBands);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>(20 + (i * 37) % 200);
    return pixels;
}

std::vector<double> as_doubles(const std::vector<std::uint8_t>& bytes)
{
    return std::vector<double>(bytes.begin(), bytes.end());
}

// The four files of a scene in `folder` hold what the scene model makes from
// `truth` with seed 7.
void expect_scene_files(const std::string& folder, const std::vector<std::uint8_t>& truth, int width,
                        int height)
{
    DemoSceneParams params;
    params.seed = 7;
    const DemoScene scene = make_demo_scene(truth.data(), width, height, kBands, params);
    EXPECT_EQ(read_all(folder + "/truth.tif"), as_doubles(truth));
    EXPECT_EQ(read_all(folder + "/target.tif"), as_doubles(scene.target));
    EXPECT_EQ(read_all(folder + "/fill.tif"), as_doubles(scene.fill));
    EXPECT_EQ(read_all(folder + "/gaps.tif"), as_doubles(scene.gaps));
}

TEST(DemoSceneProgram, WritesTheFourImagesWithTheSourceGeoreferencing)
{
    TempDir dir;
    const std::vector<std::uint8_t> source = source_pixels();
    test::write_tiff(dir.path("source.tif"), test::raster_shape(kWidth, kHeight, kBands, GDT_Byte), source);

    ProgramRun run = run_program(PELVANE_DEMO_SCENE, {"--seed", "7", dir.path("source.tif"), dir.path("scene")},
                                dir.path("log"));
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("target gaps"), std::string::npos) << run.out;

    const std::string projection = test::test_projection_wkt();
    for (const char* name : {"truth.tif", "target.tif", "fill.tif", "gaps.tif"}) {
        std::string path = dir.path("scene/") + name;
        GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
        ASSERT_TRUE(dataset) << name;
        EXPECT_EQ(dataset->GetRasterXSize(), kWidth) << name;
        EXPECT_EQ(dataset->GetRasterYSize(), kHeight) << name;
        EXPECT_EQ(dataset->GetRasterCount(), std::string(name) == "gaps.tif" ? 1 : kBands) << name;
        EXPECT_EQ(dataset->GetRasterBand(1)->GetRasterDataType(), GDT_Byte) << name;
        double geotransform[6];
        ASSERT_EQ(dataset->GetGeoTransform(geotransform), CE_None) << name;
        for (int i = 0; i < 6; ++i)
            EXPECT_DOUBLE_EQ(geotransform[i], test::TEST_GEOTRANSFORM[i]) << name;
        OGRSpatialReference written, expected;
        written.importFromWkt(dataset->GetProjectionRef());
        expected.importFromWkt(projection.c_str());
        EXPECT_TRUE(written.IsSame(&expected)) << name;
    }

    // The files hold what the scene model makes for the same seed.
    expect_scene_files(dir.path("scene"), source, kWidth, kHeight);
}

TEST(DemoSceneProgram, SizeTilesTheSourceAndTheSameSeedGivesTheSameFiles)
{
    TempDir dir;
    const std::vector<std::uint8_t> source = source_pixels();
    test::write_tiff(dir.path("source.tif"), test::raster_shape(kWidth, kHeight, kBands, GDT_Byte), source);

    const int width = 200, height = 170;  // more than two copies across, a part of the third down
    for (const char* name : {"scene", "again"}) {
        ProgramRun run = run_program(PELVANE_DEMO_SCENE,
                                    {"--seed", "7", "--size", "200x170", dir.path("source.tif"), dir.path(name)},
                                    dir.path("log"));
        ASSERT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("200 x 170 pixels"), std::string::npos) << run.out;
    }

    const std::vector<std::uint8_t> truth = mirrored_tiling(source.data(), kWidth, kHeight, kBands, width, height);
    expect_scene_files(dir.path("scene"), truth, width, height);
    // The tiled scene keeps the source's origin and pixel size.
    const test::Georeferencing georef = test::read_georeferencing(dir.path("scene/target.tif"));
    for (int i = 0; i < 6; ++i)
        EXPECT_DOUBLE_EQ(georef.geotransform[i], test::TEST_GEOTRANSFORM[i]) << i;
    for (const char* name : {"truth.tif", "target.tif", "fill.tif", "gaps.tif"})
        EXPECT_EQ(test::file_bytes(dir.path("scene/") + name), test::file_bytes(dir.path("again/") + name)) << name;
}

TEST(DemoSceneProgram, RefusesWhatItCannotUse)
{
    TempDir dir;
    ProgramRun run = run_program(PELVANE_DEMO_SCENE, {dir.path("nothing.tif"), dir.path("scene")}, dir.path("log"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("nothing.tif"), std::string::npos) << run.out;

    // The model blanks pixels with byte zeros; other sample types are refused.
    test::write_tiff(dir.path("float.tif"), test::raster_shape(10, 10, 1, GDT_Float64), test::constant(3.0));
    run = run_program(PELVANE_DEMO_SCENE, {dir.path("float.tif"), dir.path("scene")}, dir.path("log"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Byte"), std::string::npos) << run.out;

    run = run_program(PELVANE_DEMO_SCENE, {dir.path("float.tif")}, dir.path("log"));
    EXPECT_EQ(run.status, 2);
    run = run_program(PELVANE_DEMO_SCENE, {"--seed", "x", dir.path("float.tif"), dir.path("scene")}, dir.path("log"));
    EXPECT_EQ(run.status, 2);
    for (const char* size : {"0x5", "5x0", "12x", "x4", "-3x4", "10x10x", "10 x 10", "8000"}) {
        run = run_program(PELVANE_DEMO_SCENE, {"--size", size, dir.path("float.tif"), dir.path("scene")},
                          dir.path("log"));
        EXPECT_EQ(run.status, 2) << size;
        EXPECT_NE(run.out.find("WIDTHxHEIGHT"), std::string::npos) << size << ": " << run.out;
    }
}

TEST(ScoreProgram, PrintsTheRmseOfEachClassAndFailsOnMismatch)
{
    TempDir dir;
    const long long plane = kWidth * kHeight;
    std::vector<std::uint8_t> truth(plane, 100), filled(plane, 100), gaps(plane, GAP_NONE);
    // Ten gaps with a valid fill, 3 DN too high; five missing in both, 4 DN low.
    for (int i = 0; i < 10; ++i) {
        gaps[i * 7] = GAP_FILL_VALID;
        filled[i * 7] = 103;
    }
    for (int i = 0; i < 5; ++i) {
        gaps[1000 + i] = GAP_BOTH_MISSING;
        filled[1000 + i] = 96;
    }
    test::write_tiff(dir.path("truth.tif"), test::raster_shape(kWidth, kHeight, 1, GDT_Byte), truth);
    test::write_tiff(dir.path("filled.tif"), test::raster_shape(kWidth, kHeight, 1, GDT_Byte), filled);
    test::write_tiff(dir.path("gaps.tif"), test::raster_shape(kWidth, kHeight, 1, GDT_Byte), gaps);

    ProgramRun run = run_program(PELVANE_SCORE, {dir.path("truth.tif"), dir.path("filled.tif"), dir.path("gaps.tif")},
                                dir.path("log"));
    ASSERT_EQ(run.status, 0) << run.out;
    // One band: each row shows its pixels, the band's RMSE and the pooled one.
    EXPECT_NE(run.out.find("fill valid             10    3.00    3.00"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("missing in both         5    4.00    4.00"), std::string::npos) << run.out;
    // sqrt((10 * 9 + 5 * 16) / 15) = 3.37
    EXPECT_NE(run.out.find("all gaps               15    3.37    3.37"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("differ from the truth: 0"), std::string::npos) << run.out;
    run = run_program(PELVANE_SCORE, {"--brief", dir.path("truth.tif"), dir.path("filled.tif"), dir.path("gaps.tif")},
                      dir.path("log"));
    EXPECT_EQ(run.out, "all gaps 3.37, fill valid 3.00, missing in both 4.00\n");

    test::write_tiff(dir.path("wide.tif"), test::raster_shape(kWidth + 1, kHeight, 1, GDT_Byte), test::constant(100));
    run = run_program(PELVANE_SCORE, {dir.path("truth.tif"), dir.path("wide.tif"), dir.path("gaps.tif")},
                      dir.path("log"));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("differ in size"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace pelvane
