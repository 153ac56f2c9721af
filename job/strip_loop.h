#pragma once

#include <cstdint>
#include <vector>

#include <gdal.h>
#include <gdal_priv.h>

#include "job/job_host.h"
#include "job/job_plan.h"
#include "job/job_result.h"
#include "job/range_masker.h"
#include "job/run_job.h"
#include "job/strip_plan.h"
#include "job/worker_pool.h"

class GDALDataset;

namespace pelvane {

// What the job knows of the target once it is open; the output has the same.
struct ImageInfo {
    int width = 0;
    int height = 0;
    int band_count = 0;
    GDALDataType sample_type = GDT_Unknown;
    int sample_bits = 0;  // bits per sample of sample_type
    // The output's no-data value is NaN (no-data mode on a float target that
    // marks its gaps with NaN): a target pixel no stage fills keeps NaN.
    bool nan_nodata = false;
};

// Everything one strip works with besides its buffers.
struct StripContext {
    GDALDataset& target;
    GDALDataset& fill;
    GDALDataset& output;
    const ImageInfo& image;
    const JobPlan& plan;
    JobHost& host;
    const RangeMasker& masker;
    std::int64_t& target_gap_pixels;  // gaps of the target in the interiors done so far
    GDALDataset* status_output = nullptr;  // receives the fill codes, when asked for
    GDALDataset* error_output = nullptr;   // receives the estimated errors, when asked for
    // The fill images after the first (plan.fills[1] on), in order; the
    // refined fill combines every date's fill (date_combination.h).
    std::vector<GDALDataset*> other_fills = {};
};

// Creates the error raster at `path`: `bands` Float32 bands with NaN as
// their no-data value; the caller adds the georeferencing.
GDALDatasetUniquePtr create_error_image(const char* path, int width, int height, int bands);

// Reads, fills and writes one strip, its fill stages on `pool`. Returns the
// message that stops the job, with the file it is about, or nothing when the
// strip's interior rows are written.
JobResult process_strip(const StripContext& context, const Strip& strip, WorkerPool& pool);

// Walks the whole image strip by strip from the top, keeping the host's
// progress fields current, on the plan's threads. Returns the stopping
// message, or nothing.
JobResult run_strip_loop(const StripContext& context, const StripPlan& plan);

}  // namespace pelvane
