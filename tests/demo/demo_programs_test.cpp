// Whole runs of the demo's programs on small GeoTIFFs written here.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "demo/demo_scene.h"
#include "demo_test_files.h"

namespace pelvane {
namespace {

using demo_test::read_all;
using demo_test::run_program;
using demo_test::RunResult;
using demo_test::ScratchDir;

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

TEST(DemoSceneProgram, WritesTheFourImagesWithTheSourceGeoreferencing)
{
    ScratchDir dir("scene-program");
    const std::vector<std::uint8_t> source = source_pixels();
    demo_test::write_geotiff(dir.file("source.tif"), kWidth, kHeight, kBands, GDT_Byte, source);

    RunResult run = run_program(PELVANE_DEMO_SCENE, {"--seed", "7", dir.file("source.tif"), dir.file("scene")},
                                dir.file("log"));
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_NE(run.output.find("target gaps"), std::string::npos) << run.output;

    const std::string projection = demo_test::utm_projection();
    for (const char* name : {"truth.tif", "target.tif", "fill.tif", "gaps.tif"}) {
        std::string path = dir.file("scene/") + name;
        GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
        ASSERT_TRUE(dataset) << name;
        EXPECT_EQ(dataset->GetRasterXSize(), kWidth) << name;
        EXPECT_EQ(dataset->GetRasterYSize(), kHeight) << name;
        EXPECT_EQ(dataset->GetRasterCount(), std::string(name) == "gaps.tif" ? 1 : kBands) << name;
        EXPECT_EQ(dataset->GetRasterBand(1)->GetRasterDataType(), GDT_Byte) << name;
        double geotransform[6];
        ASSERT_EQ(dataset->GetGeoTransform(geotransform), CE_None) << name;
        for (int i = 0; i < 6; ++i)
            EXPECT_DOUBLE_EQ(geotransform[i], demo_test::kGeoTransform[i]) << name;
        OGRSpatialReference written, expected;
        written.importFromWkt(dataset->GetProjectionRef());
        expected.importFromWkt(projection.c_str());
        EXPECT_TRUE(written.IsSame(&expected)) << name;
    }

    // The files hold what the scene model makes for the same seed.
    DemoSceneParams params;
    params.seed = 7;
    const DemoScene scene = make_demo_scene(source.data(), kWidth, kHeight, kBands, params);
    EXPECT_EQ(read_all(dir.file("scene/truth.tif")), as_doubles(source));
    EXPECT_EQ(read_all(dir.file("scene/target.tif")), as_doubles(scene.target));
    EXPECT_EQ(read_all(dir.file("scene/fill.tif")), as_doubles(scene.fill));
    EXPECT_EQ(read_all(dir.file("scene/gaps.tif")), as_doubles(scene.gaps));
}

TEST(DemoSceneProgram, RefusesWhatItCannotUse)
{
    ScratchDir dir("scene-refusals");
    RunResult run = run_program(PELVANE_DEMO_SCENE, {dir.file("nothing.tif"), dir.file("scene")}, dir.file("log"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.output.find("nothing.tif"), std::string::npos) << run.output;

    // The model blanks pixels with byte zeros; other sample types are refused.
    demo_test::write_geotiff(dir.file("float.tif"), 10, 10, 1, GDT_Float64, std::vector<double>(100, 3.0));
    run = run_program(PELVANE_DEMO_SCENE, {dir.file("float.tif"), dir.file("scene")}, dir.file("log"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.output.find("Byte"), std::string::npos) << run.output;

    run = run_program(PELVANE_DEMO_SCENE, {dir.file("float.tif")}, dir.file("log"));
    EXPECT_EQ(run.exit_code, 2);
    run = run_program(PELVANE_DEMO_SCENE, {"--seed", "x", dir.file("float.tif"), dir.file("scene")}, dir.file("log"));
    EXPECT_EQ(run.exit_code, 2);
}

TEST(ScoreProgram, PrintsTheRmseOfEachClassAndFailsOnMismatch)
{
    ScratchDir dir("score-program");
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
    demo_test::write_geotiff(dir.file("truth.tif"), kWidth, kHeight, 1, GDT_Byte, truth);
    demo_test::write_geotiff(dir.file("filled.tif"), kWidth, kHeight, 1, GDT_Byte, filled);
    demo_test::write_geotiff(dir.file("gaps.tif"), kWidth, kHeight, 1, GDT_Byte, gaps);

    RunResult run = run_program(PELVANE_SCORE, {dir.file("truth.tif"), dir.file("filled.tif"), dir.file("gaps.tif")},
                                dir.file("log"));
    ASSERT_EQ(run.exit_code, 0) << run.output;
    // One band: each row shows its pixels, the band's RMSE and the pooled one.
    EXPECT_NE(run.output.find("fill valid             10    3.00    3.00"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("missing in both         5    4.00    4.00"), std::string::npos) << run.output;
    // sqrt((10 * 9 + 5 * 16) / 15) = 3.37
    EXPECT_NE(run.output.find("all gaps               15    3.37    3.37"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("differ from the truth: 0"), std::string::npos) << run.output;
    run = run_program(PELVANE_SCORE, {"--brief", dir.file("truth.tif"), dir.file("filled.tif"), dir.file("gaps.tif")},
                      dir.file("log"));
    EXPECT_EQ(run.output, "all gaps 3.37, fill valid 3.00, missing in both 4.00\n");

    demo_test::write_geotiff(dir.file("wide.tif"), kWidth + 1, kHeight, 1, GDT_Byte,
                             std::vector<std::uint8_t>((kWidth + 1) * kHeight, 100));
    run = run_program(PELVANE_SCORE, {dir.file("truth.tif"), dir.file("wide.tif"), dir.file("gaps.tif")},
                      dir.file("log"));
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(run.output.find("differ in size"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace pelvane
