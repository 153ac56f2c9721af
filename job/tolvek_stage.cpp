#include "job/tolvek_stage.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "job/job_messages.h"
#include "job/progress.h"

namespace pelvane {

int tolvek_parallel_bands(int threads, int band_count, std::size_t pixels)
{
    const std::size_t per_band = std::max<std::size_t>(tolvek_band_bytes(pixels), 1);
    const auto affordable = static_cast<long long>(TOLVEK_SCRATCH_BUDGET / per_band);
    const long long parallel = std::min<long long>({threads, band_count, affordable});
    return static_cast<int>(std::max<long long>(parallel, 1));
}

TolvekParams tolvek_params(const JobSettings& settings, const RunOptions& options)
{
    return {.regularization = settings.regularization,
            .max_iterations = settings.max_iterations,
            .tolerance = options.solver_tolerance,
            .progress = nullptr,
            .progress_user_data = nullptr,
            .smart_start = settings.refine != 0};
}

JobResult run_tolvek_stage(WorkerPool& pool, JobHost& host, BandStack& filled,
                             const unsigned char* remaining_gap_mask, int width, int rows,
                             TolvekParams params, bool print_solver_lines)
{
    const int bands = filled.band_count();
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(rows);
    if (bands < 1 || pixels == 0)
        return {};

    // The solver's lambda map, shared by every band.
    const auto gap_weights = std::make_unique_for_overwrite<double[]>(pixels);
    make_gap_weights(remaining_gap_mask, pixels, params.regularization, gap_weights.get());

    // Scratch per band in flight: the solver's data copy and the values it puts back.
    const int parallel = tolvek_parallel_bands(pool.threads(), bands, pixels);
    std::vector<std::unique_ptr<double[]>> data, original;
    for (int slot = 0; slot < parallel; ++slot) {
        data.push_back(std::make_unique_for_overwrite<double[]>(pixels));
        original.push_back(std::make_unique_for_overwrite<double[]>(pixels));
    }

    // Solves on the job's thread may talk to the host; on workers they only
    // keep their lines for the job's thread and watch the stop flag.
    const bool inline_solves = pool.threads() < 2;
    std::atomic<bool> stop{false};
    std::vector<std::string> lines(static_cast<std::size_t>(bands));
    std::vector<char> solved(static_cast<std::size_t>(bands), 0);

    // Each band's iterations so far and whether its solve ended, for the
    // share of work done.
    std::vector<std::atomic<int>> iterations(static_cast<std::size_t>(bands));
    std::vector<std::atomic<bool>> finished(static_cast<std::size_t>(bands));
    const std::function<void()> report_iterations = [&] {
        report_tolvek_work(host, iterations.data(), finished.data(), bands, params.max_iterations);
    };

    auto solve_band = [&](std::size_t band, int slot) {
        SolverProgress progress;
        progress.print = print_solver_lines;
        progress.lines = inline_solves ? nullptr : &lines[band];
        progress.host = inline_solves ? &host : nullptr;
        progress.stop = &stop;
        progress.iteration = &iterations[band];
        progress.finished = &finished[band];
        progress.report = inline_solves ? &report_iterations : nullptr;
        TolvekParams band_params = params;
        band_params.progress = solver_progress;
        band_params.progress_user_data = &progress;
        const auto s = static_cast<std::size_t>(slot);
        solved[band] = tolvek_fill_band(filled.band(static_cast<int>(band)), data[s].get(),
                                        original[s].get(), remaining_gap_mask, gap_weights.get(),
                                        width, rows, band_params);
    };

    auto keep_going = [&] {
        if (!stop.load() && host.stop_requested())
            stop.store(true);
        return !stop.load();
    };
    auto write_lines = [&](std::size_t band) {
        if (!lines[band].empty()) {
            host.show_solver_text(lines[band]);
            std::string().swap(lines[band]);
        }
    };
    WorkerPool::Hooks hooks;
    hooks.finished = [&](std::size_t band) {
        write_lines(band);
        report_iterations();
        return keep_going();
    };
    hooks.poll = [&] {
        report_iterations();
        host.keep_alive();
        return keep_going();
    };

    if (!pool.run(static_cast<std::size_t>(bands), parallel, solve_band, hooks)) {
        // What the stopped solves had written, still in band order.
        for (std::size_t band = 0; band < lines.size(); ++band)
            write_lines(band);
        return JobResult::stopped();
    }
    if (std::find(solved.begin(), solved.end(), 0) != solved.end())
        return JobResult::out_of_memory();
    return {};
}

}  // namespace pelvane
