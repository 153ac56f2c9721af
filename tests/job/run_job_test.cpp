#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <tuple>

#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include "job/run_job.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

using test::RasterShape;
using test::RecordingHost;
namespace fs = std::filesystem;

// Distinct, non-zero values inside 1..255 so nothing is a gap under the
// default range and a misplaced or missing row cannot go unnoticed.
double scene(int b, int x, int y)
{
    return 1 + (b * 61 + x * 7 + y * 13) % 250;
}

double other_scene(int b, int x, int y)
{
    return 1 + (b * 17 + x * 3 + y * 29) % 250;
}

class RunJob : public ::testing::Test {
protected:
    void SetUp() override { CPLPushErrorHandler(CPLQuietErrorHandler); }
    void TearDown() override
    {
        CPLPopErrorHandler();
        EXPECT_EQ(test::open_dataset_count(), 0) << "the job left a dataset open";
    }

    std::string image(const std::string& name, const RasterShape& shape,
                      const test::SampleFn& sample = scene)
    {
        const std::string path = dir.path(name);
        test::write_tiff(path, shape, sample);
        return path;
    }

    // A valid-range job over a target and fill made from `shape`.
    JobSettings range_job(const RasterShape& shape)
    {
        JobSettings s;
        s.target_image_path = image("target.tif", shape);
        s.fill_image_path = image("fill.tif", shape, other_scene);
        s.output_image_path = dir.path("out.tif");
        s.use_threshold = 1;
        return s;
    }

    // The bytes of every file in the folder, to show that a job changed none.
    std::map<std::string, std::vector<std::uint8_t>> snapshot() const
    {
        return test::snapshot_folder(dir.path(""));
    }

    // Runs a job that must stop with `message`, and checks that it changed no
    // file and left none behind: no output, no temporary file.
    void expect_stop(JobSettings& settings, const std::string& message,
                     const RunOptions& options = {})
    {
        const auto before = snapshot();
        RecordingHost host;
        EXPECT_FALSE(run_job(settings, host, options));
        EXPECT_EQ(host.messages, std::vector<std::string>{message});
        EXPECT_EQ(snapshot(), before);
    }

    test::TempDir dir;
};

bool is_job_done(const std::string& message)
{
    return std::regex_match(message, std::regex("Job Done:Total Time:[0-9]+ ms"));
}

TEST_F(RunJob, ChecksTheSettingsInOrderAndShowsTheFirstFailureOnly)
{
    JobSettings none;
    none.use_sarnic = 0;
    none.use_tolvek = 0;
    expect_stop(none, "Please select at least one method!");

    JobSettings no_paths;
    expect_stop(no_paths, "Please select target image path");

    JobSettings no_output;
    no_output.target_image_path = dir.path("absent.tif");
    expect_stop(no_output, "Please select out image path");

    JobSettings absent_target;
    absent_target.target_image_path = dir.path("absent.tif");
    absent_target.output_image_path = dir.path("out.tif");
    expect_stop(absent_target, "Can not open target image file!");
}

TEST_F(RunJob, StopsOnFillImageProblemsBeforeCreatingTheOutput)
{
    const RasterShape shape = test::raster_shape(8, 6, 3);
    JobSettings s = range_job(shape);

    JobSettings no_fill = s;
    no_fill.fill_image_path = "";
    expect_stop(no_fill, "Can't open fill image file!");

    RasterShape two_bands = shape;
    two_bands.bands = 2;
    s.fill_image_path = image("fill2.tif", two_bands);
    expect_stop(s, "Target image and fill image must have the same size!");

    RasterShape wider = shape;
    wider.width += 1;
    s.fill_image_path = image("fill_wide.tif", wider);
    expect_stop(s, "Target image and fill image must have the same size!");
}

TEST_F(RunJob, OutputInAFolderThatDoesNotExist)
{
    JobSettings s = range_job(RasterShape{});
    s.output_image_path = dir.path("no/such/folder/out.tif");
    expect_stop(s, "Can not create output image,please check the output image path.");
}

TEST_F(RunJob, CopiesSizeTypeAndGeoreferencing)
{
    const RasterShape shape = test::raster_shape(13, 9, 4, GDT_UInt16);
    JobSettings s = range_job(shape);
    // A fill image of another sample type is accepted.
    RasterShape fill_spec = shape;
    fill_spec.type = GDT_Float32;
    s.fill_image_path = image("fill_f32.tif", fill_spec, other_scene);

    RecordingHost host;
    ASSERT_TRUE(run_job(s, host));
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
    ASSERT_TRUE(run_job(s, plain));
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
    ASSERT_TRUE(run_job(s, host));
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
        ASSERT_TRUE(run_job(s, host)) << host.messages.front();
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
    ASSERT_TRUE(run_job(s, host));
    GDALDatasetUniquePtr out(GDALDataset::Open(s.output_image_path.c_str()));
    const char* pixel_type = out->GetRasterBand(1)->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    ASSERT_NE(pixel_type, nullptr);
    EXPECT_STREQ(pixel_type, "SIGNEDBYTE");
    out.reset();
    EXPECT_EQ(test::read_band(s.output_image_path, 1), test::read_band(s.target_image_path, 1));
}

TEST_F(RunJob, StripsTogetherWriteTheWholeImageOnce)
{
    JobSettings s = range_job(test::raster_shape(40, 230, 3));

    RecordingHost one;
    ASSERT_TRUE(run_job(s, one));
    EXPECT_DOUBLE_EQ(one.progress_step, 100.0);
    const std::string single = dir.path("single.tif");
    fs::rename(s.output_image_path, single);

    for (int rows : {20, 7, 113, 229}) {
        SCOPED_TRACE(std::to_string(rows) + " rows per strip");
        RunOptions options;
        options.strip_budget = 8LL * 3 * 40 * rows;
        const int strips = (230 + rows - 1) / rows;
        RecordingHost many;
        ASSERT_TRUE(run_job(s, many, options));
        EXPECT_TRUE(is_job_done(many.messages.back())) << many.messages.back();
        EXPECT_DOUBLE_EQ(many.progress_step, 100.0 / strips);
        EXPECT_EQ(many.progress_base, static_cast<int>((strips - 1.0) / strips * 100));
        for (int b = 1; b <= 3; ++b) {
            const auto got = test::read_band(s.output_image_path, b);
            EXPECT_EQ(got, test::read_band(single, b));
            EXPECT_EQ(got, test::read_band(s.target_image_path, b));
        }
    }
}

TEST_F(RunJob, CreationOptionsReachTheOutput)
{
    const RasterShape shape = test::raster_shape(64, 64);
    JobSettings s = range_job(shape);
    RunOptions options;
    options.creation_options = {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=32"};
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host, options));
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
    ASSERT_TRUE(run_job(w, wide_host, options));
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

TEST_F(RunJob, TolvekAloneUsesTheTargetAsFillImageAndMask)
{
    const RasterShape shape = test::raster_shape(8, 6, 2);
    JobSettings s;
    s.use_sarnic = 0;
    s.use_tolvek = 1;
    s.target_image_path = image("target.tif", shape);
    s.output_image_path = dir.path("out.tif");
    s.use_threshold = 1;
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host));
    EXPECT_TRUE(is_job_done(host.messages.back())) << host.messages.back();
    EXPECT_EQ(s.fill_image_path, s.target_image_path);

    s.use_threshold = 0;
    s.target_mask_path = image("mask.tif", shape, test::constant(0.0));
    s.fill_mask_path = "";
    s.fill_image_path = dir.path("absent.tif");
    RecordingHost masked;
    ASSERT_TRUE(run_job(s, masked));
    EXPECT_TRUE(is_job_done(masked.messages.back())) << masked.messages.back();
    EXPECT_EQ(s.fill_image_path, s.target_image_path);
    EXPECT_EQ(s.fill_mask_path, s.target_mask_path);
}

TEST_F(RunJob, MaskFileModeReadsTheMasksOfEveryStrip)
{
    const RasterShape shape = test::raster_shape(30, 120, 2);
    JobSettings s = range_job(shape);
    s.use_threshold = 0;
    s.use_tolvek = 0;  // the regression alone keeps every valid pixel exactly
    s.target_mask_path = image("tmask.tif", shape, [](int, int x, int y) { return x == y ? 255.0 : 0.0; });
    s.fill_mask_path = image("fmask.tif", shape, [](int, int x, int) { return x == 3 ? 255.0 : 0.0; });
    RunOptions options;
    options.strip_budget = 8LL * 2 * 30 * 25;
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host, options));
    EXPECT_TRUE(is_job_done(host.messages.back())) << host.messages.back();
    // Pixels valid in the target are the target's, whatever fills the gaps.
    const auto out = test::read_band(s.output_image_path, 1);
    const auto target = test::read_band(s.target_image_path, 1);
    for (int y = 0; y < shape.height; ++y)
        for (int x = 0; x < shape.width; ++x)
            if (x != y) {
                ASSERT_EQ(out[static_cast<std::size_t>(y * shape.width + x)],
                          target[static_cast<std::size_t>(y * shape.width + x)]);
            }
}

TEST_F(RunJob, MaskFilesThatCannotBeOpenedStopBeforeTheOutputIsCreated)
{
    const RasterShape shape = test::raster_shape(20, 60);
    JobSettings s = range_job(shape);
    s.use_threshold = 0;
    const std::string mask = image("mask.tif", shape, test::constant(0.0));
    RunOptions options;
    options.strip_budget = 8LL * 20 * 10;

    for (int which = 0; which < 2; ++which) {
        s.target_mask_path = which == 0 ? dir.path("absent.tif") : mask;
        s.fill_mask_path = which == 0 ? mask : dir.path("absent.tif");
        expect_stop(s, which == 0 ? "Can not open the target mask file!" : "Can not open the fill mask file!",
                    options);
    }
}

TEST_F(RunJob, RefusesTargetsItCannotHandle)
{
    // A complex sample type: stopped before the fill image is even opened.
    RasterShape complex;
    complex.type = GDT_CInt16;
    JobSettings s;
    s.target_image_path = image("complex.tif", complex);
    s.fill_image_path = dir.path("absent.tif");
    s.output_image_path = dir.path("out.tif");
    s.use_threshold = 1;
    expect_stop(s, "Complex sample types are not supported!");

    // A container of two rasters opens with none of its own.
    s.target_image_path = dir.path("two_tables.gpkg");
    GDALDriver* gpkg = GetGDALDriverManager()->GetDriverByName("GPKG");
    ASSERT_NE(gpkg, nullptr);
    for (const char* table : {"RASTER_TABLE=a", "RASTER_TABLE=b"}) {
        const char* options[] = {table, "APPEND_SUBDATASET=YES", nullptr};
        GDALDatasetUniquePtr ds(gpkg->Create(s.target_image_path.c_str(), 8, 6, 1, GDT_Byte, options));
        ASSERT_TRUE(ds);
        double gt[6] = {0.0, 1.0, 0.0, 6.0, 0.0, -1.0};
        ds->SetGeoTransform(gt);
        ds->GetRasterBand(1)->Fill(7.0);
    }
    expect_stop(s, "Target image has no raster band!");
}

TEST_F(RunJob, MaskFilesSmallerThanTheImageStopTheJob)
{
    const RasterShape shape = test::raster_shape(8, 6, 2);
    JobSettings s = range_job(shape);
    s.use_threshold = 0;
    const auto zero = test::constant(0.0);
    const std::string good = image("mask.tif", shape, zero);
    RasterShape narrow = shape;
    narrow.width -= 1;
    RasterShape one_band = shape;
    one_band.bands = 1;

    s.target_mask_path = image("narrow.tif", narrow, zero);
    s.fill_mask_path = good;
    expect_stop(s, "The target mask file is smaller than the target image!");

    s.target_mask_path = good;
    s.fill_mask_path = dir.path("narrow.tif");
    expect_stop(s, "The fill mask file is smaller than the target image!");

    s.fill_mask_path = image("one_band.tif", one_band, zero);
    expect_stop(s, "The fill mask file has fewer bands than the target mask file!");
}

// Cuts a file to half its length, so that its directory opens but its image
// data ends early.
std::string truncated_copy(const std::string& path, const std::string& to)
{
    fs::copy_file(path, to);
    fs::resize_file(to, fs::file_size(to) / 2);
    return to;
}

TEST_F(RunJob, FailedReadsStopTheJob)
{
    const RasterShape shape = test::raster_shape(64, 64, 2);
    const JobSettings range = range_job(shape);
    JobSettings masked = range;
    masked.use_threshold = 0;
    masked.target_mask_path = masked.fill_mask_path = image("mask.tif", shape, test::constant(0.0));

    const std::tuple<JobSettings, std::string JobSettings::*, const char*> cases[] = {
        {range, &JobSettings::target_image_path, "Can not read the target image file!"},
        {range, &JobSettings::fill_image_path, "Can not read the fill image file!"},
        {masked, &JobSettings::target_mask_path, "Can not read the target mask file!"},
        {masked, &JobSettings::fill_mask_path, "Can not read the fill mask file!"},
    };
    int n = 0;
    for (auto [settings, file, message] : cases) {
        settings.*file = truncated_copy(settings.*file, dir.path("broken" + std::to_string(++n) + ".tif"));
        expect_stop(settings, message);
    }
}

TEST_F(RunJob, OutputMustNotBeAnInput)
{
    const RasterShape shape = test::raster_shape(8, 6, 2);
    const JobSettings range = range_job(shape);
    const std::string target = range.target_image_path;
    fs::create_symlink(target, dir.path("link.tif"));
    // With Tolvek alone the fill image is the target, whatever the field held.
    JobSettings tolvek = range;
    tolvek.use_sarnic = 0;
    tolvek.fill_image_path = dir.path("elsewhere.tif");
    JobSettings masked = range;
    masked.use_threshold = 0;
    masked.target_mask_path = image("tmask.tif", shape, test::constant(0.0));
    masked.fill_mask_path = image("fmask.tif", shape, test::constant(0.0));

    const std::pair<JobSettings, std::string> cases[] = {
        {range, target},
        {range, dir.path("./target.tif")},
        {range, dir.path("link.tif")},
        {range, range.fill_image_path},
        {tolvek, target},
        {masked, masked.target_mask_path},
        {masked, masked.fill_mask_path},
    };
    for (auto [settings, output] : cases) {
        SCOPED_TRACE(output);
        settings.output_image_path = output;
        expect_stop(settings, "Output image path must differ from the input paths!");
    }
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
    ASSERT_TRUE(run_job(s, host, baseline));
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
    ASSERT_TRUE(run_job(s, plain));
    EXPECT_EQ(names(), (std::set<std::string>{"target.tif", "fill.tif", "out.tif"}));
}

// GDAL's in-memory files take the same way as files on disk.
TEST_F(RunJob, InMemoryOutputsAreReplacedOnlyBySuccess)
{
    JobSettings s = range_job(test::raster_shape(8, 6, 2));
    s.output_image_path = "/vsimem/pelvane-run-job/out.tif";
    RecordingHost host;
    ASSERT_TRUE(run_job(s, host));
    const auto target = test::read_band(s.target_image_path, 1);
    EXPECT_EQ(test::read_band(s.output_image_path, 1), target);

    // A target that opens but cannot be read fails after the output was begun.
    s.target_image_path = dir.path("cut.tif");
    test::write_tiff(s.target_image_path, test::raster_shape(64, 64, 2), scene);
    fs::resize_file(s.target_image_path, fs::file_size(s.target_image_path) / 2);
    s.fill_image_path = s.target_image_path;
    RecordingHost failed;
    EXPECT_FALSE(run_job(s, failed));
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
        EXPECT_FALSE(run_job(s, host, options));
        EXPECT_EQ(host.header, magic) << creation_options.back();
        EXPECT_FALSE(fs::exists(s.output_image_path));
    }
}

// A sample that is not finite is a gap like any other: a job over images
// with NaN and infinite samples writes exactly what it writes when those
// samples are 0 and marked as gaps, in both masking modes and for every choice
// of methods, and never a sample that is not finite.
TEST_F(RunJob, SamplesThatAreNotFiniteAreGaps)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const RasterShape shape = test::raster_shape(24, 18, 2, GDT_Float64);
    // Target: non-finite on one diagonal family, fill: on every fourth column
    // (band 1 only), so that some pixels miss in both images.
    const auto odd_target = [](int x, int y) { return (x + 2 * y) % 7 == 0; };
    const auto odd_fill = [](int b, int x) { return b == 1 && x % 4 == 1; };
    const auto target = [&](bool marked) {
        return [=](int b, int x, int y) { return !odd_target(x, y) ? scene(b, x, y) : marked ? 0.0 : b ? -inf : nan; };
    };
    const auto fill = [&](bool marked) {
        return [=](int b, int x, int y) { return !odd_fill(b, x) ? other_scene(b, x, y) : marked ? 0.0 : inf; };
    };
    const auto mask = [&](bool marked, bool of_fill) {
        return [=](int, int x, int y) { return marked && (of_fill ? odd_fill(1, x) : odd_target(x, y)) ? 1.0 : 0.0; };
    };
    for (int masks = 0; masks < 2; ++masks)
        for (const auto& [sarnic, tolvek] : {std::pair{1, 0}, {0, 1}, {1, 1}}) {
            SCOPED_TRACE(testing::Message() << "mask files " << masks << ", sarnic " << sarnic << ", tolvek " << tolvek);
            std::vector<double> outputs[2];
            for (int marked = 0; marked < 2; ++marked) {
                const std::string tag = std::to_string(marked);
                JobSettings s;
                s.use_sarnic = sarnic;
                s.use_tolvek = tolvek;
                s.use_threshold = !masks;
                s.target_image_path = image("t" + tag + ".tif", shape, target(marked));
                s.fill_image_path = image("f" + tag + ".tif", shape, fill(marked));
                s.target_mask_path = image("tm" + tag + ".tif", shape, mask(marked, false));
                s.fill_mask_path = image("fm" + tag + ".tif", shape, mask(marked, true));
                s.output_image_path = dir.path("out" + tag + ".tif");
                RecordingHost host;
                ASSERT_TRUE(run_job(s, host)) << host.messages.front();
                outputs[marked] = test::read_raster(s.output_image_path).band_sequential();
            }
            EXPECT_EQ(test::file_bytes(dir.path("out0.tif")), test::file_bytes(dir.path("out1.tif")));
            for (double v : outputs[0])
                ASSERT_TRUE(std::isfinite(v));
        }
}

// Runs a job with the file size limit below the output's size, in a child
// process, and reports the job's messages on standard error.
void run_with_small_file_limit(JobSettings settings)
{
    std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed process
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    CPLPushErrorHandler(CPLQuietErrorHandler);
    RecordingHost host;
    const bool done = run_job(settings, host);
    for (const std::string& m : host.messages)
        std::cerr << "[" << m << "]";
    // exit() skips the fixture's clean-up in this process.
    std::error_code ec;
    fs::remove_all(fs::path(settings.output_image_path).parent_path(), ec);
    std::exit(done ? 0 : 1);
}

TEST_F(RunJob, FailedWriteStopsTheJob)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    JobSettings s = range_job(test::raster_shape(200, 200, 2));
    EXPECT_EXIT(run_with_small_file_limit(s), ::testing::ExitedWithCode(1),
                "^\\[Can not write the output image!\\]$");
}

}  // namespace
}  // namespace pelvane
