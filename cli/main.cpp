#include <iostream>

#include "cli/cli_host.h"
#include "cli/command_line.h"
#include "cli/default_range_check.h"
#include "cli/stop_signals.h"
#include "job/process_tuning.h"
#include "job/run_job.h"

int main(int argc, char** argv)
{
    pelvane::install_stop_signals();
    pelvane::CommandLine command;
    int status = pelvane::parse_command_line(argc, argv, command, std::cout, std::cerr);
    if (status < 0)
        status = pelvane::check_default_range(command, std::cerr);
    if (status >= 0)
        return status;

    pelvane::tune_process_for_strips();
    pelvane::CliHost host(std::cout, std::cerr, !command.quiet);
    switch (pelvane::run_job(command.settings, host, command.options).end) {
    case pelvane::JobEnd::done:
        return pelvane::EXIT_JOB_DONE;
    case pelvane::JobEnd::stopped:
    case pelvane::JobEnd::failed:
    case pelvane::JobEnd::out_of_memory:
        break;
    }
    // Stopped by a signal: the shell's convention, 128 + the signal's number,
    // whatever the job was doing when it heard of it.
    if (pelvane::stop_signal() != 0)
        return 128 + pelvane::stop_signal();
    return pelvane::EXIT_JOB_STOPPED;
}
