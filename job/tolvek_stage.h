#pragma once

#include <cstddef>

#include "job/band_stack.h"
#include "job/job_host.h"
#include "job/job_result.h"
#include "job/job_settings.h"
#include "job/run_job.h"
#include "job/worker_pool.h"
#include "solver/tolvek_fill_strip.h"
#include "solver/tv_restore_pipelined.h"

namespace pelvane {

// Bytes the band solves running at the same time may use together, beyond
// the strip's own buffers; one band always runs, however large.
constexpr std::size_t TOLVEK_SCRATCH_BUDGET = 512ULL * 1024 * 1024;

// Bytes one band's solve uses while it runs: its data copy and the values it
// puts back, and the pipelined solver's work arrays for the L1 model
// (solver/tv_restore_pipelined.h): the state (four arrays), the skewed u, f
// and weight (three), one checkpoint of u per iteration in flight but the
// last, and the rows of dtilde.y and the sums' band buffers (under one more).
constexpr std::size_t tolvek_band_bytes(std::size_t pixels)
{
    return (2 + 4 + 3 + (PIPELINE_DEPTH - 1) + 1) * pixels * sizeof(double);
}

// The solver's parameters of a job: its weight of the valid pixels, iteration
// limit and tolerance; the refined fill starts the gaps from an interpolation.
// No solver lines: the stage writes them through the host.
TolvekParams tolvek_params(const JobSettings& settings, const RunOptions& options);

// How many bands solve at the same time: no more than the threads, the bands
// and the scratch budget allow, and at least one.
int tolvek_parallel_bands(int threads, int band_count, std::size_t pixels);

// The Tolvek stage of one strip with its bands on the pool's workers: the
// weight map is made once, then each band is filled as tolvek_fill_band does
// it, so the result is tolvek_fill_strip's whatever the thread count. The
// solver's lines (params.progress is ignored; `print_solver_lines` asks for
// them) reach the host band after band, exactly as one thread writes them.
// The job's thread checks in with the host while it waits, and tells it the
// share of the solves' iterations done; when the host asks to stop, the
// running solves end within an iteration.
// Ends done, stopped, or out of memory when a solve could not allocate its
// arrays.
JobResult run_tolvek_stage(WorkerPool& pool, JobHost& host, BandStack& filled,
                             const unsigned char* remaining_gap_mask, int width, int rows,
                             TolvekParams params, bool print_solver_lines);

}  // namespace pelvane
