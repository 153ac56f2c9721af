// The output file of a whole job: its size, type, georeferencing and format,
// the files beside it, and how it replaces the image it overwrites.
#include <set>

#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "run_job_fixture.h"

namespace pelvane {
namespace {

TEST_F(RunJob, CopiesSizeTypeAndGeoreferencing)
{
    const RasterShape shape = test::raster_shape(13, 9, 4, GDT_UInt16);
    JobSettings s = range_job(shape);
    // A fill image of another sample type is accepted.
    RasterShape fill_spec = shape;
    fill_spec.type = GDT_Float32;
    s.fill_image_path = image("fill_f32.tif", fill_spec, other_scene);

    RecordingHost host;
    ASSERT_TRUE(run_job(s, host).done());
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_TRUE(is_job_done(host.messages[0])) << host.messages[0];
    EXPECT_EQ(host.positions.back(), 0);
    EXPECT_DOUBLE_EQ(host.progress_step, 100.0);

    GDALDatasetUniquePtr out(GDALDataset::Open(s.output_image_path.c_str()));
    ASSERT_TRUE(out);
    EXPECT_STREQ(out->GetDriver()->GetDescription(), "GTiff");
    EXPECT_EQ(out->GetRasterXSize(), 13);
    EXPECT_EQ(out->GetRasterYSize(), 9);
    EXPECT_EQ(out->GetRasterCount(), 4);
    EXPECT_EQ(out->GetRasterBand(1)->GetRasterDataType(), GDT_UInt16);
    out.reset();

    const test::Georeferencing g = test::read_georeferencing(s.output_image_path);
    EXPECT_TRUE(g.has_geotransform);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(g.geotransform[i], test::TEST_GEOTRANSFORM[i]);
    OGRSpatialReference want, got;
    want.importFromWkt(test::test_projection_wkt().c_str());
    ASSERT_EQ(got.importFromWkt(g.wkt.c_str()), OGRERR_NONE);
    EXPECT_TRUE(got.IsSame(&want));
    for (int b = 1; b <= 4; ++b)
        EXPECT_EQ(test::read_band(s.output_image_path, b), test::read_band(s.target_image_path, b));
}

TEST_F(RunJob, TargetWithoutProjection)
{
    RasterShape shape;
    shape.georeferenced = false;
    JobSettings s = range_job(shape);
    RecordingHost plain;
    ASSERT_TRUE(run_job(s, plain).done());
    const test::Georeferencing none = test::read_georeferencing(s.output_image_path);
    EXPECT_EQ(none.wkt, "");
    EXPECT_FALSE(none.has_geotransform);

    // Geotransform only.
    {
        GDALDatasetUniquePtr t(GDALDataset::Open(s.target_image_path.c_str(), GDAL_OF_UPDATE));
        double gt[6] = {500.0, 10.0, 0.0, 800.0, 0.0, -10.0};
        t->SetGeoTransform(gt);
    }
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host).done());
    const test::Georeferencing g = test::read_georeferencing(s.output_image_path);
    EXPECT_EQ(g.wkt, "");
    ASSERT_TRUE(g.has_geotransform);
    EXPECT_EQ(g.geotransform[0], 500.0);
    EXPECT_EQ(g.geotransform[5], -10.0);
}

TEST_F(RunJob, EverySampleTypeIsWrittenInItsOwnType)
{
    const GDALDataType types[] = {GDT_Byte,  GDT_UInt16,  GDT_Int16, GDT_UInt32, GDT_Int32,
                                  GDT_Int64, GDT_UInt64, GDT_Float32, GDT_Float64};
    for (GDALDataType type : types) {
        SCOPED_TRACE(GDALGetDataTypeName(type));
        const RasterShape shape = test::raster_shape(7, 5, 2, type);
        const bool is_float = type == GDT_Float32 || type == GDT_Float64;
        const bool is_signed = is_float || type == GDT_Int16 || type == GDT_Int32 || type == GDT_Int64;
        const auto values = [&](int b, int x, int y) {
            double v = scene(b, x, y) * (type == GDT_Byte ? 1.0 : 101.0);
            if (is_signed && (x + y) % 2 == 1)
                v = -v;
            return is_float ? v + 0.375 : v;
        };
        JobSettings s;
        s.target_image_path = image("t.tif", shape, values);
        s.fill_image_path = s.target_image_path;
        s.output_image_path = dir.path("o.tif");
        s.use_threshold = 1;
        s.valid_min = -1e9;
        s.valid_max = 1e9;
        RecordingHost host;
        ASSERT_TRUE(run_job(s, host).done()) << host.messages.front();
        GDALDatasetUniquePtr out(GDALDataset::Open(s.output_image_path.c_str()));
        EXPECT_EQ(out->GetRasterBand(1)->GetRasterDataType(), type);
        out.reset();
        for (int b = 1; b <= 2; ++b)
            EXPECT_EQ(test::read_band(s.output_image_path, b), test::read_band(s.target_image_path, b));
    }
}

TEST_F(RunJob, SignedBytesStaySigned)
{
    RasterShape shape;
    shape.creation_options = {"PIXELTYPE=SIGNEDBYTE"};
    JobSettings s = range_job(shape);
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host).done());
    GDALDatasetUniquePtr out(GDALDataset::Open(s.output_image_path.c_str()));
    const char* pixel_type = out->GetRasterBand(1)->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    ASSERT_NE(pixel_type, nullptr);
    EXPECT_STREQ(pixel_type, "SIGNEDBYTE");
    out.reset();
    EXPECT_EQ(test::read_band(s.output_image_path, 1), test::read_band(s.target_image_path, 1));
}

TEST_F(RunJob, CreationOptionsReachTheOutput)
{
    const RasterShape shape = test::raster_shape(64, 64);
    JobSettings s = range_job(shape);
    RunOptions options;
    options.creation_options = {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=32"};
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host, options).done());
    GDALDatasetUniquePtr out(GDALDataset::Open(s.output_image_path.c_str()));
    EXPECT_STREQ(out->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
    int bx = 0, by = 0;
    out->GetRasterBand(1)->GetBlockSize(&bx, &by);
    EXPECT_EQ(bx, 32);
    EXPECT_EQ(by, 32);
    out.reset();
    EXPECT_EQ(test::read_band(s.output_image_path, 1), test::read_band(s.target_image_path, 1));

    // Strip by strip, band by band, a compressed file holds each block once:
    // no larger than GDAL's own copy of the same pixels.
    JobSettings w = range_job(test::raster_shape(300, 200, 4));
    w.output_image_path = dir.path("wide.tif");
    options.creation_options = {"COMPRESS=DEFLATE"};
    options.strip_budget = 8LL * 4 * 300 * 60;
    RecordingHost wide_host;
    ASSERT_TRUE(run_job(w, wide_host, options).done());
    {
        GDALDatasetUniquePtr src(GDALDataset::Open(w.target_image_path.c_str()));
        const char* deflate[] = {"COMPRESS=DEFLATE", nullptr};
        GDALDatasetUniquePtr copy(GetGDALDriverManager()->GetDriverByName("GTiff")->CreateCopy(
            dir.path("copy.tif").c_str(), src.get(), FALSE, const_cast<char**>(deflate), nullptr,
            nullptr));
        ASSERT_TRUE(copy);
    }
    EXPECT_LE(fs::file_size(w.output_image_path), fs::file_size(dir.path("copy.tif")) * 11 / 10);

    // An option GDAL does not know is refused rather than dropped.
    JobSettings again = range_job(shape);
    again.output_image_path = dir.path("out2.tif");
    options.creation_options = {"COMPRESS=NO_SUCH_CODEC"};
    expect_stop(again, "Invalid creation option for the output image!", options);
}

// Files GDAL writes beside the output follow it from its temporary name;
// those of the image it replaces go, as when GDAL creates a file over another.
TEST_F(RunJob, SideFilesFollowTheOutputAndThoseOfTheImageReplacedGo)
{
    JobSettings s = range_job(test::raster_shape(8, 6, 2));
    test::write_tiff(s.output_image_path, test::raster_shape(8, 6, 2), test::constant(9.0));
    {
        // Statistics of the earlier image, kept in an .aux.xml beside it.
        GDALDatasetUniquePtr earlier(GDALDataset::Open(s.output_image_path.c_str()));
        earlier->GetRasterBand(1)->SetMetadataItem("STATISTICS_MEAN", "9");
    }
    ASSERT_TRUE(fs::exists(s.output_image_path + ".aux.xml"));
    RunOptions baseline;  // georeferencing in an .aux.xml and a world file
    baseline.creation_options = {"PROFILE=BASELINE", "TFW=YES"};
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host, baseline).done());
    const auto names = [&] {
        std::set<std::string> all;
        for (const auto& entry : fs::directory_iterator(dir.path(""))) all.insert(entry.path().filename().string());
        return all;
    };
    EXPECT_EQ(names(), (std::set<std::string>{"target.tif", "fill.tif", "out.tif", "out.tif.aux.xml", "out.tfw"}));
    EXPECT_EQ(test::file_text(s.output_image_path + ".aux.xml").find("STATISTICS_MEAN"), std::string::npos);
    const test::Georeferencing g = test::read_georeferencing(s.output_image_path);
    ASSERT_TRUE(g.has_geotransform);
    EXPECT_EQ(g.geotransform[0], test::TEST_GEOTRANSFORM[0]);

    RecordingHost plain;
    ASSERT_TRUE(run_job(s, plain).done());
    EXPECT_EQ(names(), (std::set<std::string>{"target.tif", "fill.tif", "out.tif"}));
}

// GDAL's in-memory files take the same way as files on disk.
TEST_F(RunJob, InMemoryOutputsAreReplacedOnlyBySuccess)
{
    JobSettings s = range_job(test::raster_shape(8, 6, 2));
    s.output_image_path = "/vsimem/pelvane-run-job/out.tif";
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host).done());
    const auto target = test::read_band(s.target_image_path, 1);
    EXPECT_EQ(test::read_band(s.output_image_path, 1), target);

    // A target that opens but cannot be read fails after the output was begun.
    s.target_image_path = dir.path("cut.tif");
    test::write_tiff(s.target_image_path, test::raster_shape(64, 64, 2), scene);
    fs::resize_file(s.target_image_path, fs::file_size(s.target_image_path) / 2);
    s.fill_image_path = s.target_image_path;
    RecordingHost failed;
    EXPECT_FALSE(run_job(s, failed).done());
    EXPECT_EQ(test::read_band(s.output_image_path, 1), target);
    const CPLStringList files(VSIReadDir("/vsimem/pelvane-run-job"));
    EXPECT_EQ(files.size(), 1);
    VSIUnlink(s.output_image_path.c_str());
}

// Reads the first bytes of the output's temporary file once the first strip
// is under way, then stops the job: enough to see how GDAL created the file.
struct TemporaryHeaderHost : RecordingHost {
    explicit TemporaryHeaderHost(std::string folder) : folder(std::move(folder)) {}
    int set_progress_position(int position) override
    {
        for (const auto& entry : fs::directory_iterator(folder))
            if (header.empty() && entry.path().string().find(".pelvane-tmp-") != std::string::npos)
                header = test::file_text(entry.path().string()).substr(0, 4);
        return RecordingHost::set_progress_position(position);
    }
    bool stop_requested() override { return !header.empty(); }
    std::string folder, header;
};

TEST_F(RunJob, OutputsThatMayPassFourGigabytesAreBigTiffsUnlessTheUserSaysOtherwise)
{
    // 50000 x 45000 Byte samples: 2.25 GB before compression. A compressed
    // classic TIFF of a scene like it can pass 4 GB at the end of a long run;
    // GDAL only guesses so when asked. A VRT without sources reads as zeros.
    GDALAllRegister();
    const std::string big = dir.path("big.vrt");
    GDALDatasetUniquePtr(GetGDALDriverManager()->GetDriverByName("VRT")->Create(
        big.c_str(), 50000, 45000, 1, GDT_Byte, nullptr));
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"COMPRESS=DEFLATE"}, std::string("II+\0", 4)},             // BigTIFF
        {{"COMPRESS=DEFLATE", "BIGTIFF=NO"}, std::string("II*\0", 4)}, // classic, as asked
    };
    for (const auto& [creation_options, magic] : cases) {
        JobSettings s;
        s.target_image_path = s.fill_image_path = big;
        s.output_image_path = dir.path("big.tif");
        s.use_threshold = 1;
        RunOptions options;
        options.creation_options = creation_options;
        options.strip_budget = 8 * 50000;  // one row per strip, so the first comes soon
        TemporaryHeaderHost host(dir.path(""));
        EXPECT_FALSE(run_job(s, host, options).done());
        EXPECT_EQ(host.header, magic) << creation_options.back();
        EXPECT_FALSE(fs::exists(s.output_image_path));
    }
}

}  // namespace
}  // namespace pelvane
