// Whole jobs with their fill stages on 1, 2 and 3 threads: the same output
// file byte for byte, the same calls reaching the host, and stops that work.
#include <gdal.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "job/fill_status.h"
#include "job/job_messages.h"
#include "job/progress.h"
#include "job/run_job.h"
#include "job/strip_plan.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

constexpr int WIDTH = 60, HEIGHT = 48, BANDS = 3;

// Slanted stripes of gaps, different in the two images, so that some pixels
// are missing in both and every stage has work in every strip.
bool target_gap(int x, int y) { return (y * 7 + x) / 6 % 5 == 0; }
bool fill_gap(int x, int y) { return (y * 5 + 2 * x) / 7 % 6 == 0; }

class ParallelStages : public ::testing::Test {
protected:
    JobSettings settings(int use_sarnic, bool mask_files)
    {
        JobSettings s;
        s.target_image_path = dir.path("target.tif");
        s.fill_image_path = dir.path("fill.tif");
        const auto shape = test::raster_shape(WIDTH, HEIGHT, BANDS);
        test::write_tiff(s.target_image_path, shape, [](int b, int x, int y) {
            return target_gap(x, y) ? 0.0 : 20 + (b * 37 + x * 3 + y * 2 + x * y % 11) % 200;
        });
        test::write_tiff(s.fill_image_path, shape, [](int b, int x, int y) {
            return fill_gap(x, y) ? 0.0 : 25 + (b * 29 + x * 3 + y * 2 + x * y % 7) % 190;
        });
        s.use_sarnic = use_sarnic;
        s.use_threshold = !mask_files;
        s.target_mask_path = dir.path("target_mask.tif");
        s.fill_mask_path = dir.path("fill_mask.tif");
        const auto mask = test::raster_shape(WIDTH, HEIGHT);
        test::write_tiff(s.target_mask_path, mask, [](int, int x, int y) { return 255.0 * target_gap(x, y); });
        test::write_tiff(s.fill_mask_path, mask, [](int, int x, int y) { return 255.0 * fill_gap(x, y); });
        return s;
    }

    // Four strips of 12 interior rows.
    static RunOptions options(int threads)
    {
        RunOptions o;
        o.threads = threads;
        o.solver_progress = false;
        o.strip_budget = 8LL * BANDS * WIDTH * 12;
        return o;
    }

    test::TempDir dir;
};

TEST_F(ParallelStages, EveryThreadCountWritesTheSameFileAndShowsTheSame)
{
    // The bar as the regression moved it when it reported every pixel of
    // every strip before the pixel, then back to 0 after "Job Done".
    const StripPlan plan = plan_strips(WIDTH, HEIGHT, BANDS, 8, options(1).strip_budget);
    ASSERT_EQ(plan.strip_count, 4);
    test::RecordingHost per_pixel;
    per_pixel.progress_step = 25.0;
    for (int v = 0; v < plan.strip_count; ++v) {
        per_pixel.progress_base = 25 * v;
        const int pixels = WIDTH * plan_strip(plan, v).window_rows;
        for (int i = 0; i < pixels; ++i)
            report_progress(static_cast<double>(i) / pixels, "", &per_pixel);
    }
    per_pixel.positions.push_back(0);

    // The refined fill too, with its status and error rasters.
    for (const auto& [use_sarnic, mask_files, refine] :
         {std::tuple{1, false, 0}, {1, true, 0}, {0, false, 0}, {1, true, 1}}) {
        SCOPED_TRACE(testing::Message() << "Sarnic " << use_sarnic << ", mask files " << mask_files
                                        << ", refine " << refine);
        std::vector<std::uint8_t> one_thread, one_thread_status, one_thread_error;
        // A block cache smaller than the error raster, as a large image has:
        // blocks leave it while the strips still run.
        const GIntBig cache = GDALGetCacheMax64();
        if (refine) GDALSetCacheMax64(16 * 1024);
        for (int threads : {1, 2, 3}) {
            JobSettings s = settings(use_sarnic, mask_files);
            s.output_image_path = dir.path("out" + std::to_string(threads) + ".tif");
            s.refine = refine;
            if (refine) s.status_output_path = dir.path("status" + std::to_string(threads) + ".tif");
            if (refine) s.error_output_path = dir.path("error" + std::to_string(threads) + ".tif");
            test::RecordingHost host;
            ASSERT_TRUE(run_job(s, host, options(threads)).done());
            ASSERT_EQ(host.messages.size(), 1u);
            EXPECT_EQ(host.messages[0].rfind("Job Done:Total Time:", 0), 0u);
            EXPECT_EQ(host.positions, per_pixel.positions) << threads << " threads";
            const std::vector<std::uint8_t> file = test::file_bytes(s.output_image_path);
            if (threads == 1)
                one_thread = file;
            EXPECT_TRUE(file == one_thread) << threads << " threads: not the one-thread output";
            if (refine) {
                const std::vector<std::uint8_t> status = test::file_bytes(s.status_output_path);
                if (threads == 1) one_thread_status = status;
                EXPECT_TRUE(status == one_thread_status) << threads << " threads: other status";
                const std::vector<std::uint8_t> error = test::file_bytes(s.error_output_path);
                if (threads == 1) one_thread_error = error;
                EXPECT_TRUE(error == one_thread_error) << threads << " threads: other errors";
            }
        }
        GDALSetCacheMax64(cache);
        // Every gap was filled: Tolvek leaves no 0 behind. The refined fill
        // may write a 0 (a fit that falls below the samples' range where the
        // scene wraps from 219 to 21): its status raster tells instead.
        if (refine) {
            const std::vector<double> status = test::read_band(dir.path("status1.tif"), 1);
            EXPECT_EQ(std::count(status.begin(), status.end(), double{FILL_UNFILLED}), 0);
            // Each strip predicts the gaps of its own rows and a few around
            // only: the target's pixels stay in place, the gaps near those of
            // one strip over the whole image (its model fitted once).
            JobSettings whole = settings(use_sarnic, mask_files);
            whole.output_image_path = dir.path("whole.tif");
            whole.refine = refine;
            RunOptions one_strip = options(1);
            one_strip.strip_budget = STRIP_BUDGET;
            test::RecordingHost host;
            ASSERT_TRUE(run_job(whole, host, one_strip).done());
            const test::Raster strips = test::read_raster(dir.path("out1.tif"));
            const test::Raster single = test::read_raster(whole.output_image_path);
            double change = 0.0, gaps = 0.0;
            for (int b = 0; b < BANDS; ++b)
                for (int i = 0; i < WIDTH * HEIGHT; ++i) {
                    const double a = strips.bands[b][i], c = single.bands[b][i];
                    if (!target_gap(i % WIDTH, i / WIDTH)) EXPECT_EQ(a, c) << "pixel " << i;
                    else change += std::abs(a - c), gaps += 1.0;
                }
            // 0.25 DN here; a strip's values written from the wrong rows: 15.7.
            EXPECT_LT(change / gaps, 1.0);
        } else {
            for (const auto& band : test::read_raster(dir.path("out1.tif")).bands)
                EXPECT_EQ(std::count(band.begin(), band.end(), 0.0), 0);
        }
    }
}

// Says stop once the bar has reached `position` and `asks` questions since.
struct StoppingHost : test::RecordingHost {
    StoppingHost(int position, int asks) : position(position), asks(asks) {}
    bool stop_requested() override { return bar >= position && asks-- <= 0; }
    int position, asks;
};

TEST_F(ParallelStages, AStopEndsTheJobInsideEitherStage)
{
    JobSettings s = settings(1, false);
    s.output_image_path = dir.path("out.tif");
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        RunOptions o = options(threads);
        o.strip_budget = STRIP_BUDGET;  // one strip: the bar reaches 99 in the regression

        StoppingHost regression(50, 0);
        EXPECT_EQ(run_job(s, regression, o).end, JobEnd::stopped);
        EXPECT_EQ(regression.messages, std::vector<std::string>{msg::STOPPED});
        EXPECT_GE(regression.positions.back(), 50);
        EXPECT_LT(regression.positions.back(), 99);

        // Once the regression has had its last answer. Without a tolerance
        // the solves would run a million iterations (minutes), so only the
        // stop reaching them ends them early.
        o.solver_tolerance = 0.0;
        o.solver_progress = true;
        s.max_iterations = 1000000;
        StoppingHost tolvek(99, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(run_job(s, tolvek, o).end, JobEnd::stopped);
        const std::string solver_lines = testing::internal::GetCapturedStderr();
        EXPECT_EQ(tolvek.messages, std::vector<std::string>{msg::STOPPED});
        EXPECT_NE(solver_lines.find("   Iteration    0     Delta"), std::string::npos);
        EXPECT_EQ(solver_lines.find("Maximum number of iterations"), std::string::npos);
        s.max_iterations = 600;
    }
}

}  // namespace
}  // namespace pelvane
