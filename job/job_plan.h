#pragma once

#include <string>
#include <vector>

#include "job/job_settings.h"
#include "job/run_job.h"
#include "solver/tolvek_fill_strip.h"

namespace pelvane {

// What tells a gap apart from a valid pixel.
enum class GapRule {
    mask_files,   // the target's and the fill image's mask files: non-zero is a gap
    valid_range,  // a pixel with any band outside [valid_min, valid_max]
    nodata,       // GDAL's own mask of each image: its no-data value, alpha band or mask
};

// An image the gaps are filled from, and its mask file (GapRule::mask_files).
struct FillImage {
    std::string image_path;
    std::string mask_path;
};

// One job's settings resolved once, before anything is opened, and read-only
// from then on: the checks, the outputs and every strip read this, never
// JobSettings, which stays as its front end filled it.
struct JobPlan {
    bool sarnic = false;
    bool tolvek = false;
    bool refine = false;
    std::string target_image_path;
    std::string target_mask_path;
    // The images the gaps are filled from, in the user's order. With Tolvek
    // alone it is the target itself, image and mask: the regression then only
    // copies the target and marks every gap as missing in both images, so
    // the solver fills all of them.
    std::vector<FillImage> fills;
    std::string output_image_path;
    std::string status_output_path;  // empty: no status raster
    std::string error_output_path;   // empty: no error raster (always, without refine)
    GapRule gaps = GapRule::mask_files;
    double valid_min = 0.0;          // GapRule::valid_range
    double valid_max = 0.0;
    int similar_pixel_count = 0;
    TolvekParams tolvek_params{};    // the solver's, when Tolvek runs
    // The rest as the front end gave it: threads, solver lines, the output's
    // format and creation options, and the memory budget of a strip.
    RunOptions options;

    const FillImage& fill() const { return fills.front(); }
};

// The plan of a job with these settings. Checks nothing: the job checks the
// plan in its own order, so that the first problem is the one shown.
JobPlan plan_job(const JobSettings& settings, const RunOptions& options);

}  // namespace pelvane
