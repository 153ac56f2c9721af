#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <gdal.h>
#include <gdal_priv.h>

#include "job/band_stack.h"
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
    // Held around every GDAL call the strips make while another thread may
    // make some: GDAL's datasets serve one thread at a time.
    std::mutex* gdal_lock = nullptr;
    // Called with true on a thread about to make GDAL calls for the job, and
    // with false when it is done: GDAL's messages from that thread join the
    // job's own (their handler is per thread).
    std::function<void(bool)> gdal_messages_here = {};
    // Called once a strip's filling has let go of its input images.
    std::function<void()> inputs_released = {};
};

// Whether run_strip_loop reads and writes on a thread of its own (see there).
bool strips_overlap(int threads, const StripPlan& plan);

// Creates the error raster at `path`: `bands` Float32 bands with NaN as
// their no-data value; the caller adds the georeferencing.
GDALDatasetUniquePtr create_error_image(const char* path, int width, int height, int bands);

// A strip's inputs as read: both images over its window as doubles, their
// gap marks (1: missing) and the target's gaps in the interior rows.
struct StripInput {
    BandStack target, fill;
    std::vector<unsigned char> target_mask, fill_mask;
    std::int64_t interior_gaps = 0;
};

// What a strip writes, its interior rows only: each band in the output's
// sample type, and the fill codes and the estimated errors when asked for
// (else empty).
struct StripOutput {
    std::vector<std::unique_ptr<unsigned char[]>> samples;
    std::vector<unsigned char> status;
    BandStack error;
};

// The three steps of a strip. Reading and writing make every GDAL call of
// the strip; filling makes none (but reading the fill images after the
// first, under context.gdal_lock), so a strip can be filled while another
// is read or written. Each returns the message that stops the job, with the
// file it is about, or nothing.
JobResult read_strip(const StripContext& context, const Strip& strip, StripInput& in);
// Fills the strip from `in` (its buffers taken) into `out`, its fill stages on `pool`.
JobResult compute_strip(const StripContext& context, const Strip& strip, WorkerPool& pool,
                        StripInput& in, StripOutput& out);
JobResult write_strip(const StripContext& context, const Strip& strip, StripOutput& out);

// Walks the whole image strip by strip from the top, keeping the host's
// progress fields current, on the plan's threads. With more than one
// thread, strip v - 1 is written and strip v + 1 read on a thread of their
// own while strip v is filled, the read once strip v has let go of its
// input images: a core that would wait for the files works on the next
// strip's input instead (the fill of each strip does not change).
// Returns the stopping message, or nothing.
JobResult run_strip_loop(const StripContext& context, const StripPlan& plan);

}  // namespace pelvane
