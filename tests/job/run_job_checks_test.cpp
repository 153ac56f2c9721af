// Whole jobs that stop: each check, in its order, before or while the output is made;
// none changes a file.
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <tuple>

#include <gdal_priv.h>

#include "run_job_fixture.h"

namespace pelvane {
namespace {

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

TEST_F(RunJob, AFailedReadOfALaterStripStopsTheJobWithGdalsLines)
{
    // Strips of 20 rows on two threads: the strips after the first are read
    // on a thread of their own, and GDAL's word on the broken file still
    // follows the message.
    JobSettings s = range_job(test::raster_shape(64, 400, 2));
    s.target_image_path = truncated_copy(s.target_image_path, dir.path("broken.tif"));
    RunOptions options;
    options.strip_budget = 8LL * 2 * 64 * 20;
    options.threads = 2;
    const auto before = snapshot();
    RecordingHost host;
    const JobResult stop = run_job(s, host, options);
    EXPECT_EQ(host.messages, std::vector<std::string>{"Can not read the target image file!"});
    EXPECT_NE(stop.detail.find("ERROR"), std::string::npos) << stop.detail;
    EXPECT_EQ(snapshot(), before);
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
    const bool done = run_job(settings, host).done();
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
