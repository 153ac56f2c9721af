#include "job/progress.h"

#include <cstdio>

#include "job/job_host.h"

namespace pelvane {

int report_progress(double fraction, const char* /*message*/, void* context)
{
    if (context == nullptr)
        return 1;
    JobHost& host = *static_cast<JobHost*>(context);
    // A few thousand pixels take a fraction of a second at the slowest; the
    // host hears from the job at least that often.
    if (--host.calls_to_keep_alive <= 0) {
        host.calls_to_keep_alive = 4096;
        host.keep_alive();
    }
    const int position = static_cast<int>(host.progress_base + fraction * host.progress_step);
    // Called once per pixel: the bar only hears about whole steps.
    if (position == host.progress_position)
        return position;
    const int previous = host.set_progress_position(position);
    host.progress_position = position;
    return previous;
}

std::string solver_progress_line(int state, int iteration, double delta)
{
    char line[96];
    switch (state) {
    case 0:
        std::snprintf(line, sizeof line, "   Iteration %4d     Delta %7.4f\r", iteration, delta);
        break;
    case 1:
        std::snprintf(line, sizeof line, "Converged in %d iterations.           \n", iteration);
        break;
    case 2:
        std::snprintf(line, sizeof line, "Maximum number of iterations exceeded.\n");
        break;
    default:
        return {};
    }
    return line;
}

int solver_progress(int state, int iteration, double delta, const double* /*u*/, int /*width*/,
                    int /*height*/, int /*channels*/, void* user_data)
{
    auto& progress = *static_cast<SolverProgress*>(user_data);
    if (progress.print) {
        if (progress.lines != nullptr)
            *progress.lines += solver_progress_line(state, iteration, delta);
        else
            std::fputs(solver_progress_line(state, iteration, delta).c_str(), stderr);
    }
    if (progress.host != nullptr) {
        progress.host->keep_alive();
        if (progress.stop != nullptr && progress.host->stop_requested())
            progress.stop->store(true);
    }
    return progress.stop != nullptr && progress.stop->load() ? 0 : 1;
}

void show_host_message(const char* text, void* context)
{
    if (context != nullptr)
        static_cast<JobHost*>(context)->show_message(text);
}

}  // namespace pelvane
