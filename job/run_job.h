#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "job/job_host.h"
#include "job/job_result.h"
#include "job/job_settings.h"
#include "job/worker_pool.h"

namespace pelvane {

// Settings beyond the thirteen fields of the form: what the command line
// offers on top, and the knobs tests need. Every front end starts from these
// defaults.
struct RunOptions {
    std::vector<std::string> creation_options;  // creation options of the output, NAME=VALUE
    std::string output_format = "GTiff";        // "GTiff" or "COG" (job/output_format.h)
    int threads = hardware_threads();           // threads of the fill stages; 1: all on the job's thread
    double solver_tolerance = 0.001;            // Tolvek convergence tolerance
    bool solver_progress = true;                // solver lines on standard error
    long long strip_budget = 90000000;          // bits per strip (interior rows)
};

// Runs one whole job. Every outcome reaches the user through `host`, the last
// message through host.show_end; the result says how the job ended, with that
// message and its detail (GDAL's lines included). The settings are resolved
// once into the job's plan (job/job_plan.h), which is all the job reads; with
// Tolvek alone the record gets the fill paths the plan used (the target's),
// as the dialog's form shows them after the job.
JobResult run_job(JobSettings& settings, JobHost& host, const RunOptions& options = {});

}  // namespace pelvane
