#include "job/progress.h"

#include "job/job_host.h"

namespace pelvane {

int report_progress(double fraction, const char* /*message*/, void* context)
{
    if (context == nullptr)
        return 1;
    JobHost& host = *static_cast<JobHost*>(context);
    const int position = static_cast<int>(host.progress_base + fraction * host.progress_step);
    // Called once per pixel: the bar only hears about whole steps.
    if (position == host.progress_position)
        return position;
    const int previous = host.set_progress_position(position);
    host.progress_position = position;
    return previous;
}

void show_host_message(const char* text, void* context)
{
    if (context != nullptr)
        static_cast<JobHost*>(context)->show_message(text);
}

}  // namespace pelvane
