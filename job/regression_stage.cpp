#include "job/regression_stage.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include "job/edge_fill_stage.h"
#include "job/fill_status.h"
#include "job/progress.h"
#include "regression/local_regression.h"
#include "regression/refine_fill.h"
#include "regression/pixel_status.h"
#include "regression/regression_strip.h"
#include "regression/sarnic_rules.h"
#include "regression/similar_pixels.h"
#include "solver/edge_interpolation.h"

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

    // Prepared once per strip; its fill_rows may run on several workers at once.
    const RegressionStrip prepared(s.target.bands(), s.fill.bands(), s.target_mask, s.fill_mask,
                                   s.target.band_count(), s.rows, s.width, sarnic::WEIGHT_OFFSET,
                                   s.similar_pixel_count);

    WorkerPool::Hooks hooks;
    hooks.finished = [&](std::size_t chunk) {
        // The calls the kernel's per-pixel callback would have made for these pixels.
        const std::size_t end = static_cast<std::size_t>(end_row(chunk)) * width;
        for (std::size_t pos = static_cast<std::size_t>(first_row(chunk)) * width; pos < end; ++pos)
            report_progress(s.progress_from +
                                s.progress_span * (static_cast<double>(pos) / static_cast<double>(pixels)),
                            "", &host);
        return !host.stop_requested();
    };
    hooks.poll = [&] {
        host.keep_alive();
        return !host.stop_requested();
    };
    if (!pool.run(
            chunks, pool.threads(),
            [&](std::size_t chunk, int) {
                prepared.fill_rows(first_row(chunk), end_row(chunk), s.filled.bands(), s.status);
            },
            hooks))
        return JobResult::stopped();
    if (!s.refine)
        return {};

    // The regression's own errors around the predicted pixels: each such
    // pixel predicted as if it were a gap.
    const int bands = s.target.band_count();
    std::vector<unsigned char> residual_pixels(pixels);
    mark_residual_pixels(s.status, s.target_mask, s.fill_mask, s.rows, s.width,
                         residual_pixels.data());
    BandStack loo(bands, pixels);
    hooks.finished = [&](std::size_t) { return !host.stop_requested(); };
    if (!pool.run(
            chunks, pool.threads(),
            [&](std::size_t chunk, int) {
                prepared.predict_rows(first_row(chunk), end_row(chunk), residual_pixels.data(),
                                      loo.bands());
            },
            hooks))
        return JobResult::stopped();

    // The other predictors at the predicted and the residual pixels.
    std::vector<unsigned char> both_valid(pixels), select(pixels), predicted(pixels);
    for (std::size_t q = 0; q < pixels; ++q) {
        both_valid[q] = s.target_mask[q] == 0 && s.fill_mask[q] == 0;
        predicted[q] = s.status[q] >= PIXEL_SIMILAR_FIT && s.status[q] <= PIXEL_RATIO_FIT;
        select[q] = residual_pixels[q] != 0 || predicted[q] != 0;
    }
    const std::vector<float> scaled_fill =
        similar_scaled_fill(s.fill.bands(), both_valid.data(), bands, pixels);
    const SimilarSearch similar{s.target.bands(), s.fill.bands(), both_valid.data(),
                                scaled_fill.data(), bands, s.rows, s.width,
                                s.similar_pixel_count};
    BandStack predictions((PREDICTOR_COUNT - 1) * bands, pixels);
    // The interpolation: kriging from the target's valid pixels, its model
    // fitted as for the pixels missing in both images.
    std::optional<EdgeInterpolator> own;
    std::optional<EdgeInterpolator>& fitted = s.interpolation != nullptr ? s.interpolation->interpolator : own;
    if (!fitted)
        fitted.emplace(fit_edge_model(s.target.bands(), bands, s.target_mask, s.width, s.rows,
                                      EDGE_VARIOGRAM_ROW_STEP));
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
                predict_refined_rows(similar, s.target_mask, kriging, select.data(),
                                     first_row(chunk), end_row(chunk), predictions.bands(),
                                     kept ? &*kept : nullptr, wide_slopes.data());
            },
            hooks))
        return JobResult::stopped();

    // Calibrated from samples predicted in chunks and summed on the job's
    // thread in sample order, then applied in chunks: each pixel reads only
    // the inputs and its own values, so the chunks' order does not matter.
    const RefineInputs refine{s.target.bands(), s.target_mask, residual_pixels.data(),
                              loo.bands(),      predictions.bands(), &similar,
                              &kriging,         bands,             s.rows,
                              s.width,          wide_slopes.data(),
                              // One fill date: several are combined by their errors, which the
                              // spectral correction would draw together (refine_fill.h).
                              s.interpolation == nullptr};
    CalibrationSamples samples = calibration_samples(refine);
    if (!pool.run(
            samples.chunks(), pool.threads(),
            [&](std::size_t chunk, int) { visit_samples(refine, samples, chunk); }, hooks))
        return JobResult::stopped();
    const RefineModel model = calibrate_refinement(refine, samples);
    if (!pool.run(
            chunks, pool.threads(),
            [&](std::size_t chunk, int) {
                refine_rows(model, refine, first_row(chunk), end_row(chunk), s.filled.bands(),
                            s.error != nullptr ? s.error->bands() : nullptr, s.status, FILL_SPATIAL);
            },
            hooks))
        return JobResult::stopped();
    if (s.error != nullptr)
        steady_errors(s.error->bands(), bands, predicted.data(), s.rows, s.width);
    return {};
}

}  // namespace pelvane
