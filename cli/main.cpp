#include <iostream>

#include "cli/cli_host.h"
#include "cli/command_line.h"
#include "job/process_tuning.h"
#include "job/run_job.h"

int main(int argc, char** argv)
{
    pelvane::CommandLine command;
    const int status = pelvane::parse_command_line(argc, argv, command, std::cout, std::cerr);
    if (status >= 0)
        return status;

    pelvane::tune_process_for_strips();
    pelvane::CliHost host(std::cout, std::cerr, !command.quiet);
    const bool done = pelvane::run_job(command.settings, host, command.options);
    return done ? pelvane::EXIT_JOB_DONE : pelvane::EXIT_JOB_STOPPED;
}
