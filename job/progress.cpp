#include "job/progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "job/job_host.h"

namespace pelvane {

namespace {

// What the regression of one gap pixel in one band costs, in solver
// iterations over one pixel of one band, before a strip has measured both:
// on olinda with one thread the standard regression took about 1.4 us per
// gap pixel and band, a Tolvek iteration 6.3 ns per pixel and band.
constexpr double REGRESSION_UNIT_COST = 220.0;
// The refined regression also predicts the valid pixels around the gaps once
// more: about 1.5 times the standard one's time on olinda (350 ms against 235).
constexpr double REFINED_REGRESSION_WEIGHT = 1.5;
// Share of the iteration limit (600) the solves took on olinda at the default
// tolerance, before a strip has measured it: about 170 iterations per band,
// about 65 for the refined fill, which starts from an interpolation.
constexpr double TOLVEK_SHARE_GUESS = 0.3;
constexpr double REFINED_TOLVEK_SHARE_GUESS = 0.12;
// The last thousandth of the work is the output's closing and renaming: a bar
// at its end says the job is done, which only "Job Done" does.
constexpr double LAST_SHARE_BEFORE_DONE = 0.999;
// The host hears of the share when it has grown by this much: a thousand
// times a job at most.
constexpr double WORK_REPORT_STEP = 0.001;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Tells the host the share done when it has grown enough; never backwards.
void report_work(JobHost& host, double share)
{
    WorkProgress& work = host.work;
    share = std::clamp(share, 0.0, LAST_SHARE_BEFORE_DONE);
    if (work.reported >= 0.0 && share < work.reported + WORK_REPORT_STEP)
        return;
    work.reported = share;
    host.set_work_done(share);
}

// The share at `stage_share` (0..1) through the regression or the Tolvek stage.
void report_strip_work(JobHost& host, bool tolvek, double stage_share)
{
    const WorkProgress& work = host.work;
    const double within = tolvek ? work.regression_share + (1.0 - work.regression_share) * stage_share
                                 : work.regression_share * stage_share;
    report_work(host, (work.strip + within) / work.strips);
}

}  // namespace

StripWork strip_work(std::int64_t predicted_pixels, std::size_t window_pixels, int bands,
                     bool refine, bool tolvek_runs, int max_iterations, double tolerance)
{
    StripWork work;
    work.regression_units = static_cast<double>(predicted_pixels) * bands *
                            (refine ? REFINED_REGRESSION_WEIGHT : 1.0);
    if (tolvek_runs && max_iterations > 0)
        work.tolvek_units = static_cast<double>(window_pixels) * bands * max_iterations;
    // Without a tolerance the solves run to the limit.
    work.tolvek_guess = tolerance > 0.0 ? (refine ? REFINED_TOLVEK_SHARE_GUESS : TOLVEK_SHARE_GUESS) : 1.0;
    return work;
}

void begin_strip_work(JobHost& host, const StripWork& plan)
{
    WorkProgress& work = host.work;
    work.strips = std::max(work.strips, 1);
    work.regression_units = plan.regression_units;
    work.tolvek_units = plan.tolvek_units;
    work.tolvek_done = 0.0;
    if (work.seconds_per_tolvek_unit <= 0.0)
        work.tolvek_expected = plan.tolvek_guess;
    const double unit_cost = work.seconds_per_regression_unit > 0.0 && work.seconds_per_tolvek_unit > 0.0
                                 ? work.seconds_per_regression_unit / work.seconds_per_tolvek_unit
                                 : REGRESSION_UNIT_COST;
    const double regression = plan.regression_units * unit_cost;
    const double tolvek = plan.tolvek_units * work.tolvek_expected;
    work.regression_share = regression + tolvek > 0.0 ? regression / (regression + tolvek) : 1.0;
    work.stage_start = std::chrono::steady_clock::now();
    report_strip_work(host, false, 0.0);
}

void begin_tolvek_work(JobHost& host)
{
    WorkProgress& work = host.work;
    if (work.regression_units > 0.0)
        work.seconds_per_regression_unit = seconds_since(work.stage_start) / work.regression_units;
    work.stage_start = std::chrono::steady_clock::now();
    report_strip_work(host, true, 0.0);
}

void report_tolvek_work(JobHost& host, const std::atomic<int>* iterations,
                        const std::atomic<bool>* finished, int bands, int max_iterations)
{
    WorkProgress& work = host.work;
    if (bands < 1 || max_iterations < 1)
        return;
    const double expected = std::max(work.tolvek_expected * max_iterations, 1.0);
    double made = 0.0, stage = 0.0;
    for (int b = 0; b < bands; ++b) {
        const int count = std::min(iterations[b].load(std::memory_order_relaxed), max_iterations);
        made += count;
        stage += finished[b].load(std::memory_order_relaxed) ? 1.0 : std::min(count / expected, 1.0);
    }
    work.tolvek_done = made / (static_cast<double>(bands) * max_iterations);
    report_strip_work(host, true, stage / bands);
}

void end_strip_work(JobHost& host)
{
    WorkProgress& work = host.work;
    const double seconds = seconds_since(work.stage_start);
    if (work.tolvek_units > 0.0 && work.tolvek_done > 0.0) {
        work.seconds_per_tolvek_unit = seconds / (work.tolvek_units * work.tolvek_done);
        work.tolvek_expected = work.tolvek_done;
    } else if (work.tolvek_units <= 0.0 && work.regression_units > 0.0) {
        work.seconds_per_regression_unit = seconds / work.regression_units;
    }
    report_work(host, static_cast<double>(work.strip + 1) / work.strips);
}

int report_progress(double fraction, const char* /*message*/, void* context)
{
    if (context == nullptr)
        return 1;
    JobHost& host = *static_cast<JobHost*>(context);
    report_strip_work(host, false, fraction);
    // A few thousand pixels take a fraction of a second at the slowest; the
    // host hears from the job at least that often.
    if (--host.calls_to_keep_alive <= 0) {
        host.calls_to_keep_alive = 4096;
        host.keep_alive();
    }
    const int position = static_cast<int>(host.progress_base + fraction * host.progress_step);
    // Called once per pixel: the bar only hears about whole steps.
    if (position == host.progress_position)
        return position;
    const int previous = host.set_progress_position(position);
    host.progress_position = position;
    return previous;
}

std::string solver_progress_line(int state, int iteration, double delta)
{
    char line[96];
    switch (state) {
    case 0:
        std::snprintf(line, sizeof line, "   Iteration %4d     Delta %7.4f\r", iteration, delta);
        break;
    case 1:
        std::snprintf(line, sizeof line, "Converged in %d iterations.           \n", iteration);
        break;
    case 2:
        std::snprintf(line, sizeof line, "Maximum number of iterations exceeded.\n");
        break;
    default:
        return {};
    }
    return line;
}

int solver_progress(int state, int iteration, double delta, const double* /*u*/, int /*width*/,
                    int /*height*/, int /*channels*/, void* user_data)
{
    auto& progress = *static_cast<SolverProgress*>(user_data);
    if (progress.print) {
        if (progress.lines != nullptr)
            *progress.lines += solver_progress_line(state, iteration, delta);
        else if (progress.host != nullptr)
            progress.host->show_solver_text(solver_progress_line(state, iteration, delta));
        else
            std::fputs(solver_progress_line(state, iteration, delta).c_str(), stderr);
    }
    if (progress.iteration != nullptr && state == 0)
        progress.iteration->store(iteration, std::memory_order_relaxed);
    if (progress.finished != nullptr && state != 0)
        progress.finished->store(true, std::memory_order_relaxed);
    if (progress.host != nullptr) {
        if (progress.report != nullptr)
            (*progress.report)();
        progress.host->keep_alive();
        if (progress.stop != nullptr && progress.host->stop_requested())
            progress.stop->store(true);
    }
    return progress.stop != nullptr && progress.stop->load() ? 0 : 1;
}

void show_host_message(const char* text, void* context)
{
    if (context != nullptr)
        static_cast<JobHost*>(context)->show_message(text);
}

}  // namespace pelvane
