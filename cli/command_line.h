#pragma once

#include <ostream>

#include "job/job_settings.h"
#include "job/run_job.h"

namespace pelvane {

// Exit status of the command-line front end.
constexpr int EXIT_JOB_DONE = 0;
constexpr int EXIT_JOB_STOPPED = 1;
constexpr int EXIT_USAGE = 2;

// What the command line asks for: the job and how to show it.
struct CommandLine {
    JobSettings settings;
    RunOptions options;
    bool quiet = false;
    bool default_valid_range = false;  // no option marks the gaps: the range 1..255 does
};

// Fills `command` from the arguments. Returns -1 when the job should run;
// otherwise the exit status to end with at once: 0 after --help or --version
// (printed on `out`), EXIT_USAGE after a usage error (explained on `err`).
int parse_command_line(int argc, const char* const* argv, CommandLine& command,
                       std::ostream& out, std::ostream& err);

}  // namespace pelvane
