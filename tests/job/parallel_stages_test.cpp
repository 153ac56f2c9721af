// Whole jobs with their fill stages on 1, 2 and 3 threads: the same output
// file byte for byte, and the same calls reaching the host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cpl_error.h>

#include "job/job_messages.h"
#include "job/progress.h"
#include "job/run_job.h"
#include "job/strip_plan.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

constexpr int WIDTH = 60;
constexpr int HEIGHT = 48;
constexpr int BANDS = 3;

// Slanted stripes of gaps, different in the two images, so that some pixels
// are missing in both and every stage has work in every strip.
bool target_gap(int x, int y) { return (y * 7 + x) / 6 % 5 == 0; }
bool fill_gap(int x, int y) { return (y * 5 + 2 * x) / 7 % 6 == 0; }

double target_value(int b, int x, int y)
{
    return target_gap(x, y) ? 0.0 : 20 + (b * 37 + x * 3 + y * 2 + (x * y) % 11) % 200;
}

double fill_value(int b, int x, int y)
{
    return fill_gap(x, y) ? 0.0 : 25 + (b * 29 + x * 3 + y * 2 + (x * y) % 7) % 190;
}

enum class Validity { Range, MaskFiles };

struct Case {
    const char* name;
    int use_sarnic;
    int use_tolvek;
    Validity validity;
};

class ParallelStages : public ::testing::Test {
protected:
    void SetUp() override { CPLPushErrorHandler(CPLQuietErrorHandler); }
    void TearDown() override { CPLPopErrorHandler(); }

    JobSettings settings(const Case& c)
    {
        const test::RasterShape shape = test::raster_shape(WIDTH, HEIGHT, BANDS);
        const test::RasterShape mask_shape = test::raster_shape(WIDTH, HEIGHT, 1);
        JobSettings s;
        s.target_image_path = dir.path("target.tif");
        s.fill_image_path = dir.path("fill.tif");
        test::write_tiff(s.target_image_path, shape, target_value);
        test::write_tiff(s.fill_image_path, shape, fill_value);
        s.use_sarnic = c.use_sarnic;
        s.use_tolvek = c.use_tolvek;
        s.use_threshold = c.validity == Validity::Range;
        if (c.validity == Validity::MaskFiles) {
            s.target_mask_path = dir.path("target_mask.tif");
            s.fill_mask_path = dir.path("fill_mask.tif");
            test::write_tiff(s.target_mask_path, mask_shape,
                             [](int, int x, int y) { return target_gap(x, y) ? 255.0 : 0.0; });
            test::write_tiff(s.fill_mask_path, mask_shape,
                             [](int, int x, int y) { return fill_gap(x, y) ? 255.0 : 0.0; });
        }
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

// The positions the bar takes when the regression reports every pixel of
// every strip, one after another, before the pixel.
std::vector<int> per_pixel_positions(const StripPlan& plan)
{
    test::RecordingHost host;
    host.progress_step = 100.0 / plan.strip_count;
    for (int v = 0; v < plan.strip_count; ++v) {
        host.progress_base = static_cast<int>(static_cast<double>(v) / plan.strip_count * 100);
        const int pixels = WIDTH * plan_strip(plan, v).window_rows;
        for (int i = 0; i < pixels; ++i)
            report_progress(static_cast<double>(i) / pixels, "", &host);
    }
    host.positions.push_back(0);  // the bar goes back to 0 after "Job Done"
    return host.positions;
}

TEST_F(ParallelStages, EveryThreadCountWritesTheSameFileAndShowsTheSame)
{
    const Case cases[] = {
        {"both, valid range", 1, 1, Validity::Range},
        {"both, mask files", 1, 1, Validity::MaskFiles},
        {"Sarnic alone", 1, 0, Validity::Range},
        {"Tolvek alone", 0, 1, Validity::Range},
    };
    const StripPlan plan = plan_strips(WIDTH, HEIGHT, BANDS, 8, options(1).strip_budget);
    ASSERT_EQ(plan.strip_count, 4);
    const std::vector<int> positions = per_pixel_positions(plan);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> first_file;
        for (int threads : {1, 2, 3}) {
            SCOPED_TRACE(testing::Message() << threads << " threads");
            JobSettings s = settings(c);
            s.output_image_path = dir.path("out" + std::to_string(threads) + ".tif");
            test::RecordingHost host;
            ASSERT_TRUE(run_job(s, host, options(threads)));
            ASSERT_FALSE(host.messages.empty());
            EXPECT_EQ(host.messages.back().rfind("Job Done:Total Time:", 0), 0u);
            // No other message: "alr Error!" would show a fallback without data.
            EXPECT_EQ(host.messages.size(), 1u);
            EXPECT_EQ(host.positions, positions);

            const std::vector<std::uint8_t> file = test::file_bytes(s.output_image_path);
            if (threads == 1)
                first_file = file;
            else
                EXPECT_TRUE(file == first_file) << "the output differs from the one-thread run";
        }
        // The fill stages did fill: no gap of the target is left at 0.
        const test::Raster out = test::read_raster(dir.path("out1.tif"));
        for (int b = 0; b < BANDS && c.use_tolvek; ++b)
            for (double v : out.bands[static_cast<std::size_t>(b)])
                ASSERT_NE(v, 0.0) << "band " << b + 1;
    }
}

// Says stop once the job has reached a point; counts what it is asked.
class StoppingHost : public test::RecordingHost {
public:
    explicit StoppingHost(int stop_at_position, int asks_after = 0)
        : stop_at_position_(stop_at_position), asks_after_(asks_after)
    {
    }

    bool stop_requested() override
    {
        if (bar < stop_at_position_)
            return false;
        return asks_after_-- <= 0;
    }

private:
    int stop_at_position_;
    int asks_after_;
};

TEST_F(ParallelStages, AStopEndsTheJobInsideEitherStage)
{
    JobSettings s = settings({"both", 1, 1, Validity::Range});
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        RunOptions o = options(threads);
        o.strip_budget = STRIP_BUDGET;  // one strip: the bar reaches 99 in the regression

        // Halfway through the regression.
        s.output_image_path = dir.path("mid_regression.tif");
        StoppingHost regression(50);
        EXPECT_FALSE(run_job(s, regression, o));
        EXPECT_EQ(regression.messages, std::vector<std::string>{msg::STOPPED});
        ASSERT_FALSE(regression.positions.empty());
        EXPECT_GE(regression.positions.back(), 50);
        EXPECT_LT(regression.positions.back(), 99);

        // In the Tolvek stage, once the regression has answered its last
        // question: with no tolerance the solves would run to their limit
        // (minutes), so only the stop reaching them ends them early.
        s.output_image_path = dir.path("mid_tolvek.tif");
        o.solver_tolerance = 0.0;
        o.solver_progress = true;
        s.max_iterations = 1000000;
        StoppingHost tolvek(99, 1);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(run_job(s, tolvek, o));
        const std::string solver_lines = testing::internal::GetCapturedStderr();
        EXPECT_EQ(tolvek.messages, std::vector<std::string>{msg::STOPPED});
        EXPECT_EQ(tolvek.positions.back(), 99);
        EXPECT_NE(solver_lines.find("   Iteration    0     Delta"), std::string::npos);
        EXPECT_EQ(solver_lines.find("Converged"), std::string::npos);
        EXPECT_EQ(solver_lines.find("Maximum number of iterations"), std::string::npos);
        s.max_iterations = 600;
    }
}

}  // namespace
}  // namespace pelvane
