#pragma once

#include <optional>
#include <string>

#include "job/job_settings.h"
#include "job/run_job.h"

namespace pelvane {

// A setting no job can take: which one, by the command line's option name
// without its dashes ("threads", "target-mask"), and what is wrong with it,
// worded to follow the name ("must be at least 1"). Python names the
// setting by its keyword ('_' for '-').
struct SettingProblem {
    std::string setting;
    std::string problem;
};

// The checks the command line and Python make before they run a job, in one
// place so that every front end refuses the same settings, as a usage error:
// inputs the method and the way of marking gaps need but were not given,
// numbers that are NaN or out of their range, an output format other than
// GTiff and COG, an output named after a format the job does not write, and
// an error raster without the refined fill.
// (The syntax of creation options each front end checks as it reads them.) The first problem found, or
// nothing. The dialog's form keeps its own rules, and the job takes what it
// is given (docs/robustness.md).
std::optional<SettingProblem> check_settings(const JobSettings& settings, const RunOptions& options);

}  // namespace pelvane
