#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "job/job_host.h"
#include "job/job_settings.h"

namespace pelvane {

// Settings beyond the thirteen fields of the form: what the command line
// offers on top, and the knobs tests need. The defaults give the dialog's
// behaviour.
struct RunOptions {
    std::vector<std::string> creation_options;  // creation options of the output, NAME=VALUE
    std::string output_format = "GTiff";        // "GTiff" or "COG" (job/output_format.h)
    int threads = 1;                            // threads of the fill stages; 1: all on the job's thread
    double solver_tolerance = 0.001;            // Tolvek convergence tolerance
    bool solver_progress = true;                // solver lines on standard error
    long long strip_budget = 90000000;          // bits per strip (interior rows)
};

// Runs one whole job. Every outcome reaches the user through `host`; returns
// true when the job ended with "Job Done", false after any stopping message.
// May rewrite settings.fill_image_path and settings.fill_mask_path (Tolvek only).
bool run_job(JobSettings& settings, JobHost& host, const RunOptions& options = {});

}  // namespace pelvane
