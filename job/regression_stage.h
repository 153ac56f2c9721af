#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "job/band_stack.h"
#include "job/job_host.h"
#include "job/job_result.h"
#include "job/worker_pool.h"
#include "solver/edge_interpolation.h"

namespace pelvane {

// The refined fill's interpolation from the target's valid pixels reads
// only the target and its gaps. With several fill dates the stages of one
// strip share it: its model is fitted once, and each pixel's values are
// made by the first date that needs them and kept for the others.
struct SharedInterpolation {
    SharedInterpolation(int bands, std::size_t pixels) : values(bands, pixels), known(pixels, 0) {}
    std::optional<EdgeInterpolator> interpolator;
    BandStack values;
    std::vector<unsigned char> known;
};

// What the regression stage of one strip reads and writes.
struct RegressionStageBuffers {
    const BandStack& target;
    const BandStack& fill;
    const unsigned char* target_mask;
    const unsigned char* fill_mask;
    int rows = 0;
    int width = 0;
    int similar_pixel_count;  // the job's (JobSettings)
    BandStack& filled;
    unsigned char* status;
    bool refine = false;  // combine several predictions per pixel (refine_rows)
    // Refined fill only, when not null: the estimated standard error of each
    // predicted value, at the predicted pixels (others are not written).
    BandStack* error = nullptr;
    // The share of the strip's regression work this stage is: the bar goes
    // from progress_from to progress_from + progress_span (several dates
    // share the strip's regression span).
    double progress_from = 0.0;
    double progress_span = 1.0;
    // Refined fill only, when not null: the interpolation shared with the
    // strip's other fill dates (the same target and gaps).
    SharedInterpolation* interpolation = nullptr;
    // Refined fill only: whether the spectral neighbours' residuals correct
    // the predictions (RefineInputs::spectral); off for each of several
    // fill dates.
    bool spectral_correction = true;
    // Refined fill only: the rows whose gap pixels are predicted,
    // wanted_first .. wanted_end - 1 (-1: to the last row). Outside them a
    // gap pixel the fill image has gets status PIXEL_SIMILAR_FIT and the
    // target's value, and no error. The residual pixels, and with them the
    // calibration's samples, are those within RING_REACH rows of these rows:
    // the ones their refinement reads.
    int wanted_first = 0;
    int wanted_end = -1;
};

// Sarnic's regression over the strip, in chunks of rows on the pool's
// workers. The result is regression_fill's whatever the thread count; so is
// what the host sees: the job's thread takes the chunks in raster order and
// moves the bar through report_progress for each of their pixels, as the
// per-pixel callback would. Between chunks, and while it waits, it asks the
// host whether to stop. Ends stopped when the host asked to stop.
JobResult run_regression_stage(WorkerPool& pool, JobHost& host, const RegressionStageBuffers& strip);

// Rows per chunk: a few thousand pixels, so that a stop is heard soon, and at
// least four chunks per thread where the strip has the rows, so that the
// threads finish together.
int regression_chunk_rows(int rows, int width, int threads);

}  // namespace pelvane
