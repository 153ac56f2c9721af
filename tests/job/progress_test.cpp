#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "job/progress.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

TEST(ReportProgress, WithoutContextDoesNothing)
{
    EXPECT_EQ(report_progress(0.5, "", nullptr), 1);
}

TEST(ReportProgress, PositionIsBasePlusFractionOfStepTruncated)
{
    test::RecordingHost host;
    host.progress_base = 63;           // strip 19 of 30
    host.progress_step = 100.0 / 30.0;  // 3.33 positions per strip
    report_progress(0.0, "", &host);
    report_progress(0.2999, "", &host);  // 63.9996
    report_progress(0.3, "", &host);     // 64.0000000...
    report_progress(0.9999, "", &host);  // 66.33
    EXPECT_EQ(host.positions, (std::vector<int>{63, 64, 66}));
}

TEST(ReportProgress, HostHearsOnlyChangesAndGetsThePreviousPosition)
{
    test::RecordingHost host;
    host.bar = 17;
    host.progress_base = 50;
    host.progress_step = 50.0;
    const int pixels = 100000;
    int first = -2;
    for (int i = 0; i < pixels; ++i) {
        const int previous = report_progress(static_cast<double>(i) / pixels, "", &host);
        if (i == 0)
            first = previous;
    }
    EXPECT_EQ(first, 17);  // the bar's position before the first call
    ASSERT_EQ(host.positions.size(), 50u);
    for (int k = 0; k < 50; ++k)
        EXPECT_EQ(host.positions[static_cast<std::size_t>(k)], 50 + k);
    EXPECT_EQ(report_progress(0.99999, "", &host), 99);
    EXPECT_EQ(host.positions.size(), 50u);
}

// Records the share of work done the host hears.
struct WorkHost : test::RecordingHost {
    void set_work_done(double fraction) override { shares.push_back(fraction); }
    std::vector<double> shares;
};

TEST(WorkDone, EachStripSplitsBetweenItsStagesByTheirCostAndTheShareStaysBelowOne)
{
    WorkHost host;
    host.work.strips = 2;
    // 1000 gap pixels of 6 bands to predict; 100000 window pixels for Tolvek.
    const StripWork work = strip_work(1000, 100000, 6, false, true, 600, 0.001);
    EXPECT_EQ(work.regression_units, 6000.0);
    EXPECT_EQ(work.tolvek_units, 6.0 * 100000 * 600);
    EXPECT_EQ(strip_work(1000, 100000, 6, true, false, 600, 0.001).tolvek_units, 0.0);
    begin_strip_work(host, work);
    // A gap pixel's regression costs 220 solver pixel iterations, and the
    // solves take 0.3 of their limit until a strip has measured both.
    const double share = 6000.0 * 220 / (6000.0 * 220 + 3.6e8 * 0.3);
    EXPECT_DOUBLE_EQ(host.work.regression_share, share);
    report_progress(0.5, "", &host);
    begin_tolvek_work(host);
    // Two bands: one has made 90 of the 180 iterations expected, one has ended.
    std::atomic<int> iterations[2] = {90, 40};
    std::atomic<bool> finished[2] = {false, true};
    report_tolvek_work(host, iterations, finished, 2, 600);
    iterations[0] = 500;  // more than expected: the strip's end, no further
    report_tolvek_work(host, iterations, finished, 2, 600);
    EXPECT_DOUBLE_EQ(host.work.tolvek_done, 540.0 / 1200);
    end_strip_work(host);  // at 0.5 already: the host hears nothing new
    const std::vector<double> expected = {0.0, share / 4, share / 2, (share + (1 - share) * 0.75) / 2,
                                          0.5};
    ASSERT_EQ(host.shares.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(host.shares[i], expected[i], 1e-12) << i;
    // The last strip ends short of 1: only "Job Done" says the job is done.
    host.work.strip = 1;
    begin_strip_work(host, strip_work(0, 100000, 6, false, false, 600, 0.001));
    end_strip_work(host);
    EXPECT_EQ(host.shares.back(), 0.999);
}

// Counts the job's check-ins on top of what RecordingHost records.
struct CheckInHost : test::RecordingHost {
    void keep_alive() override { ++check_ins; }
    int check_ins = 0;
};

TEST(ReportProgress, HostHearsFromTheJobBetweenBarMoves)
{
    CheckInHost host;
    host.progress_base = 10;
    host.progress_step = 0.5;  // the bar never moves during this strip
    for (int i = 0; i < 3 * 4096; ++i)
        report_progress(static_cast<double>(i) / (3 * 4096), "", &host);
    EXPECT_EQ(host.positions, std::vector<int>{10});
    EXPECT_EQ(host.check_ins, 3);
}

// Stops once the job has counted `left` more questions.
struct StoppingHost : CheckInHost {
    bool stop_requested() override { return --left < 0; }
    int left = 1000;
};

TEST(SolverProgress, OnTheJobsThreadChecksInOnAWorkerKeepsTheLines)
{
    StoppingHost host;
    std::atomic<bool> stop{false};
    std::string kept;
    SolverProgress job_thread{.print = true, .lines = nullptr, .host = &host, .stop = &stop};
    SolverProgress worker{.print = true, .lines = &kept, .host = nullptr, .stop = &stop};
    testing::internal::CaptureStderr();
    EXPECT_EQ(solver_progress(0, 7, 0.5, nullptr, 4, 4, 1, &job_thread), 1);
    EXPECT_EQ(solver_progress(2, 600, 0.01, nullptr, 4, 4, 1, &worker), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "   Iteration    7     Delta  0.5000\r");
    EXPECT_EQ(kept, "Maximum number of iterations exceeded.\n");
    EXPECT_EQ(host.check_ins, 1);

    // The host's stop reaches the solves on the job's thread and, through
    // the flag, those on the workers.
    host.left = 0;
    job_thread.print = false;
    EXPECT_EQ(solver_progress(0, 9, 0.25, nullptr, 4, 4, 1, &job_thread), 0);
    EXPECT_TRUE(stop.load());
    EXPECT_EQ(solver_progress(0, 9, 0.25, nullptr, 4, 4, 1, &worker), 0);
}

// The solver's lines, byte for byte.
TEST(SolverProgress, LinesAreWrittenByteForByte)
{
    const struct {
        int state, iteration;
        double delta;
        const char* line;
    } cases[] = {{0, 0, 1.0, "   Iteration    0     Delta  1.0000\r"},
                 {0, 37, 0.012345678, "   Iteration   37     Delta  0.0123\r"},
                 {0, 12345, 12.5, "   Iteration 12345     Delta 12.5000\r"},
                 {0, 12345, 0.00004, "   Iteration 12345     Delta  0.0000\r"},
                 {0, 3, 123.456789, "   Iteration    3     Delta 123.4568\r"},
                 {1, 7, 0.0001, "Converged in 7 iterations.           \n"},
                 {1, 600, 0.0, "Converged in 600 iterations.           \n"},
                 {2, 600, 0.5, "Maximum number of iterations exceeded.\n"},
                 {5, 3, 0.5, ""},
                 {-1, 3, 0.5, ""},
                 {7, 1, 1.0, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(solver_progress_line(c.state, c.iteration, c.delta), c.line) << "state " << c.state;
}

}  // namespace
}  // namespace pelvane
