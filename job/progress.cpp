#include "job/progress.h"

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

int solver_progress(int state, int iteration, double delta, const double* u, int width,
                    int height, int channels, void* user_data)
{
    auto& progress = *static_cast<SolverProgress*>(user_data);
    if (progress.print)
        print_progress(state, iteration, delta, u, width, height, channels, nullptr);
    progress.host.keep_alive();
    return 1;
}

void show_host_message(const char* text, void* context)
{
    if (context != nullptr)
        static_cast<JobHost*>(context)->show_message(text);
}

}  // namespace pelvane
