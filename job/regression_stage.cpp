#include "job/regression_stage.h"

#include <algorithm>
#include <cstddef>

#include "job/progress.h"
#include "regression/regression_strip.h"

namespace pelvane {

namespace {

// Pixels per chunk at most, unless one row holds more.
constexpr int CHUNK_PIXELS = 8192;

}  // namespace

int regression_chunk_rows(int rows, int width, int threads)
{
    const int by_size = std::max(1, (CHUNK_PIXELS + width - 1) / std::max(width, 1));
    const int by_count = std::max(1, rows / (4 * std::max(threads, 1)));
    return std::min(by_size, by_count);
}

bool run_regression_stage(WorkerPool& pool, JobHost& host, const RegressionStageBuffers& s)
{
    if (s.rows < 1 || s.width < 1 || s.target.band_count() < 1)
        return true;
    const int chunk_rows = regression_chunk_rows(s.rows, s.width, pool.threads());
    const std::size_t chunks = static_cast<std::size_t>((s.rows + chunk_rows - 1) / chunk_rows);
    const std::size_t width = static_cast<std::size_t>(s.width);
    const std::size_t pixels = static_cast<std::size_t>(s.rows) * width;
    auto first_row = [&](std::size_t chunk) { return static_cast<int>(chunk) * chunk_rows; };
    auto end_row = [&](std::size_t chunk) { return std::min(first_row(chunk) + chunk_rows, s.rows); };

    // Prepared once per strip; its fill_rows may run on several workers at once.
    const RegressionStrip prepared(s.target.bands(), s.fill.bands(), s.target_mask, s.fill_mask,
                                   s.target.band_count(), s.rows, s.width, s.weight_offset,
                                   s.similar_pixel_count);

    WorkerPool::Hooks hooks;
    hooks.finished = [&](std::size_t chunk) {
        // The calls the kernel's per-pixel callback would have made for these pixels.
        const std::size_t end = static_cast<std::size_t>(end_row(chunk)) * width;
        for (std::size_t pos = static_cast<std::size_t>(first_row(chunk)) * width; pos < end; ++pos)
            report_progress(static_cast<double>(pos) / static_cast<double>(pixels), "", &host);
        return !host.stop_requested();
    };
    hooks.poll = [&] {
        host.keep_alive();
        return !host.stop_requested();
    };
    return pool.run(
        chunks, pool.threads(),
        [&](std::size_t chunk, int) {
            prepared.fill_rows(first_row(chunk), end_row(chunk), s.filled.bands(), s.status);
        },
        hooks);
}

}  // namespace pelvane
