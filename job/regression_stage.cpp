#include "job/regression_stage.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "job/edge_fill_stage.h"
#include "job/fill_status.h"
#include "job/progress.h"
#include "regression/local_regression.h"
#include "regression/refine_fill.h"
#include "regression/ring_stats.h"
#include "regression/pixel_status.h"
#include "regression/regression_strip.h"
#include "regression/sarnic_rules.h"
#include "regression/similar_pixels.h"
#include "solver/edge_interpolation.h"

namespace pelvane {

namespace {

// Pixels per chunk at most, unless one row holds more.
constexpr int CHUNK_PIXELS = 8192;

// The refined fill's regression: one of three predictors, weighed by its
// errors nearby, it needs fewer similar pixels than the standard fill's.
// Its search stops at REFINED_SIMILAR_MOST similar pixels and, from the
// REFINED_SIMILAR_SIDE window on, at REFINED_SIMILAR_ENOUGH; a smaller
// --similar count stands. The statuses stay those of the full search. On
// the real pairs and olinda the refined fill lost at most 0.6 % in any gap
// class for about 0.73 times its processor time (docs/method.md).
constexpr int REFINED_SIMILAR_MOST = 15;
constexpr int REFINED_SIMILAR_SIDE = 15;
constexpr int REFINED_SIMILAR_ENOUGH = 8;

RegressionStrip::Reach refined_reach(int similar_pixel_count)
{
    return {std::min(similar_pixel_count, REFINED_SIMILAR_MOST), REFINED_SIMILAR_SIDE,
            std::min(similar_pixel_count, REFINED_SIMILAR_ENOUGH)};
}

}  // namespace

int regression_chunk_rows(int rows, int width, int threads)
{
    const int by_size = std::max(1, (CHUNK_PIXELS + width - 1) / std::max(width, 1));
    const int by_count = std::max(1, rows / (4 * std::max(threads, 1)));
    return std::min(by_size, by_count);
}

JobResult run_regression_stage(WorkerPool& pool, JobHost& host, const RegressionStageBuffers& s)
{
    if (s.rows < 1 || s.width < 1 || s.target.band_count() < 1)
        return {};
    const int chunk_rows = regression_chunk_rows(s.rows, s.width, pool.threads());
    const std::size_t chunks = static_cast<std::size_t>((s.rows + chunk_rows - 1) / chunk_rows);
    const std::size_t width = static_cast<std::size_t>(s.width);
    const std::size_t pixels = static_cast<std::size_t>(s.rows) * width;
    auto first_row = [&](std::size_t chunk) { return static_cast<int>(chunk) * chunk_rows; };
    auto end_row = [&](std::size_t chunk) { return std::min(first_row(chunk) + chunk_rows, s.rows); };
    // The rows whose gap pixels are predicted (all but in the refined fill),
    // in chunks of their own.
    const int wanted_first = s.refine ? std::clamp(s.wanted_first, 0, s.rows) : 0;
    const int wanted_end =
        s.refine && s.wanted_end >= 0 ? std::clamp(s.wanted_end, wanted_first, s.rows) : s.rows;
    const std::size_t wanted_chunks =
        static_cast<std::size_t>((wanted_end - wanted_first + chunk_rows - 1) / chunk_rows);
    auto wanted_row = [&](std::size_t chunk) { return wanted_first + static_cast<int>(chunk) * chunk_rows; };
    auto wanted_row_end = [&](std::size_t chunk) { return std::min(wanted_row(chunk) + chunk_rows, wanted_end); };
    const std::size_t wanted_pixels = static_cast<std::size_t>(wanted_end - wanted_first) * width;

    const auto on_pool = [&](std::size_t count, const std::function<void(std::size_t)>& work) {
        pool.run(count, pool.threads(), [&](std::size_t item, int) { work(item); });
    };
    // Prepared once per strip, on the pool; its fill_rows may run on several
    // workers at once.
    const RegressionStrip prepared(s.target.bands(), s.fill.bands(), s.target_mask, s.fill_mask,
                                   s.target.band_count(), s.rows, s.width, sarnic::WEIGHT_OFFSET,
                                   s.similar_pixel_count, on_pool);
    const RegressionStrip::Reach reach =
        s.refine ? refined_reach(s.similar_pixel_count) : prepared.full_reach();

    WorkerPool::Hooks hooks;
    hooks.finished = [&](std::size_t chunk) {
        // The calls the kernel's per-pixel callback would have made for these pixels.
        const std::size_t begin = static_cast<std::size_t>(wanted_row(chunk)) * width;
        const std::size_t end = static_cast<std::size_t>(wanted_row_end(chunk)) * width;
        const std::size_t skipped = static_cast<std::size_t>(wanted_first) * width;
        for (std::size_t pos = begin; pos < end; ++pos)
            report_progress(s.progress_from +
                                s.progress_span * (static_cast<double>(pos - skipped) /
                                                   static_cast<double>(wanted_pixels)),
                            "", &host);
        return !host.stop_requested();
    };
    hooks.poll = [&] {
        host.keep_alive();
        return !host.stop_requested();
    };
    if (!pool.run(
            wanted_chunks, pool.threads(),
            [&](std::size_t chunk, int) {
                prepared.fill_rows(wanted_row(chunk), wanted_row_end(chunk), s.filled.bands(), s.status, reach);
            },
            hooks))
        return JobResult::stopped();
    if (!s.refine)
        return {};
    // The rows left out: the statuses the regression would give as far as
    // the refinement reads them (predicted or not), the target's values.
    // Each pixel by itself, on the pool in pieces of LEFT_OUT_ROWS rows.
    constexpr int LEFT_OUT_ROWS = 16;
    const int left_out = wanted_first + (s.rows - wanted_end);
    on_pool(static_cast<std::size_t>((left_out + LEFT_OUT_ROWS - 1) / LEFT_OUT_ROWS), [&](std::size_t piece) {
        for (int k = static_cast<int>(piece) * LEFT_OUT_ROWS; k < std::min(left_out, (static_cast<int>(piece) + 1) * LEFT_OUT_ROWS); ++k) {
            const int row = k < wanted_first ? k : wanted_end + (k - wanted_first);
            for (std::size_t q = static_cast<std::size_t>(row) * width; q < static_cast<std::size_t>(row + 1) * width; ++q) {
                s.status[q] = s.target_mask[q] == 0   ? PIXEL_VALID
                              : s.fill_mask[q] == 0 ? PIXEL_SIMILAR_FIT
                                                    : PIXEL_BOTH_MISSING;
                for (int b = 0; b < s.target.band_count(); ++b) s.filled.band(b)[q] = s.target.band(b)[q];
            }
        }
    });

    // The regression's own errors around the predicted pixels: each such
    // pixel predicted as if it were a gap.
    const int bands = s.target.band_count();
    // Byte buffers of one per pixel, each written whole on the pool before
    // it is read (no clearing on the job's thread first).
    const auto pixel_bytes = [&] { return std::make_unique_for_overwrite<unsigned char[]>(pixels); };
    const std::unique_ptr<unsigned char[]> residual_pixels = pixel_bytes();
    mark_residual_pixels(s.status, s.target_mask, s.fill_mask, s.rows, s.width,
                         residual_pixels.get(), on_pool);
    {
        // Only those the wanted rows' refinement reads (RING_REACH rings
        // around): the rest of the window would calibrate the model for
        // pixels other strips predict.
        const std::size_t keep_first = static_cast<std::size_t>(std::max(0, wanted_first - RING_REACH)) * width;
        const std::size_t keep_end = static_cast<std::size_t>(std::min(s.rows, wanted_end + RING_REACH)) * width;
        std::fill(residual_pixels.get(), residual_pixels.get() + keep_first, 0);
        std::fill(residual_pixels.get() + keep_end, residual_pixels.get() + pixels, 0);
    }
    BandStack loo(bands, pixels);
    hooks.finished = [&](std::size_t) { return !host.stop_requested(); };
    if (!pool.run(
            chunks, pool.threads(),
            [&](std::size_t chunk, int) {
                prepared.predict_rows(first_row(chunk), end_row(chunk), residual_pixels.get(),
                                      loo.bands(), reach);
            },
            hooks))
        return JobResult::stopped();

    // The other predictors at the predicted and the residual pixels.
    const std::unique_ptr<unsigned char[]> both_valid = pixel_bytes(), select = pixel_bytes(),
                                           predicted = pixel_bytes();
    constexpr std::size_t PIECE = 65536;  // pixels marked per item
    on_pool((pixels + PIECE - 1) / PIECE, [&](std::size_t piece) {
        for (std::size_t q = piece * PIECE; q < std::min(pixels, (piece + 1) * PIECE); ++q) {
            both_valid[q] = s.target_mask[q] == 0 && s.fill_mask[q] == 0;
            const int row = static_cast<int>(q / width);
            predicted[q] = s.status[q] >= PIXEL_SIMILAR_FIT && s.status[q] <= PIXEL_RATIO_FIT &&
                           row >= wanted_first && row < wanted_end;
            select[q] = residual_pixels[q] != 0 || predicted[q] != 0;
        }
    });
    const std::vector<float> scaled_fill =
        similar_scaled_fill(s.fill.bands(), both_valid.get(), bands, pixels, on_pool);
    const SimilarSearch similar{s.target.bands(), s.fill.bands(), both_valid.get(),
                                scaled_fill.data(), bands, s.rows, s.width,
                                s.similar_pixel_count};
    BandStack predictions((PREDICTOR_COUNT - 1) * bands, pixels);
    // The interpolation: kriging from the target's valid pixels, its model
    // fitted as for the pixels missing in both images.
    std::optional<EdgeInterpolator> own;
    std::optional<EdgeInterpolator>& fitted = s.interpolation != nullptr ? s.interpolation->interpolator : own;
    if (!fitted)
        fitted.emplace(fit_edge_model(s.target.bands(), bands, s.target_mask, s.width, s.rows,
                                      EDGE_VARIOGRAM_ROW_STEP, on_pool));
    const EdgeInterpolator& interpolator = *fitted;
    std::optional<KnownInterpolation> kept;
    if (s.interpolation != nullptr)
        kept = KnownInterpolation{s.interpolation->values.bands(), s.interpolation->known.data()};
    static_assert(EDGE_NEIGHBOURS <= NEIGHBOUR_WEIGHTS_MOST);
    const NeighbourWeights kriging = [&](const unsigned char* gap, std::size_t pos, int exclude,
                                         std::size_t* at, double* weight) {
        return interpolator.weights(gap, s.width, s.rows, pos, exclude, REFINE_OCTANT_QUOTA, at,
                                    weight, &EdgeWeightCache::of_this_thread());
    };
    // The local plane's prior: the wide plane's slopes, per block. Each
    // block's sums, then each block's slopes from the sums around it; both
    // per block, so the chunks' order does not matter.
    const int block_rows = wide_blocks(s.rows);
    const std::size_t blocks = static_cast<std::size_t>(block_rows) * wide_blocks(s.width);
    std::vector<double> wide_sums(blocks * wide_sums_size(bands));
    std::vector<double> wide_slopes(blocks * bands * bands);
    for (const bool slopes : {false, true})
        if (!pool.run(
                static_cast<std::size_t>(block_rows), pool.threads(),
                [&](std::size_t chunk, int) {
                    const int row = static_cast<int>(chunk);
                    if (slopes)
                        wide_plane_slopes(similar, wide_sums.data(), row, row + 1, wide_slopes.data());
                    else
                        wide_plane_sums(similar, row, row + 1, wide_sums.data());
                },
                hooks))
            return JobResult::stopped();
    if (!pool.run(
            chunks, pool.threads(),
            [&](std::size_t chunk, int) {
                predict_refined_rows(similar, s.target_mask, kriging, select.get(),
                                     first_row(chunk), end_row(chunk), predictions.bands(),
                                     kept ? &*kept : nullptr, wide_slopes.data());
            },
            hooks))
        return JobResult::stopped();

    // Calibrated from samples predicted in chunks and summed on the job's
    // thread in sample order, then applied in chunks: each pixel reads only
    // the inputs and its own values, so the chunks' order does not matter.
    const RefineInputs refine{s.target.bands(), s.target_mask, residual_pixels.get(),
                              loo.bands(),      predictions.bands(), &similar,
                              &kriging,         bands,             s.rows,
                              s.width,          wide_slopes.data(),
                              s.spectral_correction};
    CalibrationSamples samples = calibration_samples(refine);
    if (!pool.run(
            samples.chunks(), pool.threads(),
            [&](std::size_t chunk, int) { visit_samples(refine, samples, chunk); }, hooks))
        return JobResult::stopped();
    const RefineModel model = calibrate_refinement(
        refine, samples, [&](std::size_t count, const std::function<void(std::size_t)>& work) {
            pool.run(count, pool.threads(), [&](std::size_t i, int) { work(i); }, hooks);
        });
    if (host.stop_requested())
        return JobResult::stopped();
    if (!pool.run(
            wanted_chunks, pool.threads(),
            [&](std::size_t chunk, int) {
                refine_rows(model, refine, wanted_row(chunk), wanted_row_end(chunk), s.filled.bands(),
                            s.error != nullptr ? s.error->bands() : nullptr, s.status, FILL_SPATIAL);
            },
            hooks))
        return JobResult::stopped();
    if (s.error != nullptr)
        steady_errors(s.error->bands(), bands, predicted.get(), s.rows, s.width);
    return {};
}

}  // namespace pelvane
