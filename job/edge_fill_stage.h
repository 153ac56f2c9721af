#pragma once

#include "job/band_stack.h"
#include "job/job_host.h"
#include "job/job_result.h"
#include "job/worker_pool.h"

namespace pelvane {

// What the refined fill's stage for the pixels missing in both images reads
// and writes.
struct EdgeFillBuffers {
    BandStack& filled;           // every other pixel's value; receives the holes' fills
    const unsigned char* holes;  // nonzero where both images miss the pixel
    int width = 0;
    int rows = 0;
    // When not null: receives the estimated standard error of each hole's
    // fill, per band (0 at every other pixel). `sites` (nonzero where the
    // value is the target's own, valid pixel) is then needed too: the error
    // is measured on copies of the holes placed there.
    BandStack* standard_error = nullptr;
    const unsigned char* sites = nullptr;
    // When not null (with standard_error): the standard error of every
    // pixel that is not a hole, 0 where it is the target's own (the refined
    // regression's estimates at the pixels it filled).
    const BandStack* known_error = nullptr;
};

// Fills the holes of one strip from their edges: edge_interpolation with one
// model fitted to the strip's other pixels (their variogram on every
// EDGE_VARIOGRAM_ROW_STEP-th row), the pixels in chunks on the pool's workers.
// Holes beyond EDGE_REACH of any other pixel get push_pull_fill.
//
// The standard error of a hole's fill in band b is sqrt(k_b * spread +
// carried), the spread of the values it averaged scaled by k_b, the ratio of
// the summed squared errors to the summed spreads over copies of the strip's
// holes (place_hole_copies, at most EDGE_COPY_PIXELS) filled the same way
// with the copies and the holes left out (1 where no copy could be placed),
// plus the errors of the known pixels it averaged (EdgeInterpolator::predict's
// `carried`, from known_error; 0 without it). The copies lie among the
// target's own pixels, whose values are exact; the holes' edges are mostly
// the regression's fills, whose errors pass into the interpolation. A hole
// beyond reach gets the standard deviation of the band's other pixels.
//
// Each pixel reads only pixels that are not holes (nor copies), and the
// ratios sum in raster order on the job's thread: the result is the same for
// any thread count. Ends stopped when the host asked to stop.
JobResult run_edge_fill_stage(WorkerPool& pool, JobHost& host, const EdgeFillBuffers& strip);

// The variogram samples every 4th row: within 0.01 DN of every row on the
// real pairs, at a quarter of the cost.
constexpr int EDGE_VARIOGRAM_ROW_STEP = 4;

// The copies that measure the error: thousands of pixels pin a ratio of sums
// within a few per cent, and more would only add to the time.
constexpr std::size_t EDGE_COPY_PIXELS = 20000;

}  // namespace pelvane
