// Whole jobs that fill: every strip, every method, every masking mode.
#include <cmath>
#include <limits>
#include <utility>

#include "run_job_fixture.h"

namespace pelvane {
namespace {

TEST_F(RunJob, StripsTogetherWriteTheWholeImageOnce)
{
    JobSettings s = range_job(test::raster_shape(40, 230, 3));

    RecordingHost one;
    ASSERT_TRUE(run_job(s, one).done());
    EXPECT_DOUBLE_EQ(one.progress_step, 100.0);
    const std::string single = dir.path("single.tif");
    fs::rename(s.output_image_path, single);

    for (int rows : {20, 7, 113, 229}) {
        SCOPED_TRACE(std::to_string(rows) + " rows per strip");
        RunOptions options;
        options.strip_budget = 8LL * 3 * 40 * rows;
        const int strips = (230 + rows - 1) / rows;
        RecordingHost many;
        ASSERT_TRUE(run_job(s, many, options).done());
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
    ASSERT_TRUE(run_job(s, host).done());
    EXPECT_TRUE(is_job_done(host.messages.back())) << host.messages.back();
    EXPECT_EQ(s.fill_image_path, s.target_image_path);

    s.use_threshold = 0;
    s.target_mask_path = image("mask.tif", shape, test::constant(0.0));
    s.fill_mask_path = "";
    s.fill_image_path = dir.path("absent.tif");
    RecordingHost masked;
    ASSERT_TRUE(run_job(s, masked).done());
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
    ASSERT_TRUE(run_job(s, host, options).done());
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
                ASSERT_TRUE(run_job(s, host).done()) << host.messages.front();
                outputs[marked] = test::read_raster(s.output_image_path).band_sequential();
            }
            EXPECT_EQ(test::file_bytes(dir.path("out0.tif")), test::file_bytes(dir.path("out1.tif")));
            for (double v : outputs[0])
                ASSERT_TRUE(std::isfinite(v));
        }
}

}  // namespace
}  // namespace pelvane
