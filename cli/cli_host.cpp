#include "cli/cli_host.h"

#include "cli/stop_signals.h"

namespace pelvane {

CliHost::CliHost(std::ostream& out, std::ostream& err, bool show_progress)
    : out_(out), err_(err)
{
    if (show_progress)
        progress_.emplace(err);
}

void CliHost::show_message(const std::string& text)
{
    const bool done = text.rfind("Job Done:", 0) == 0;
    if (progress_) {
        // A finished job completes its line; anything else must not run into it.
        if (done)
            progress_->finish();
        else
            progress_->break_line();
    }
    std::ostream& stream = done ? out_ : err_;
    stream << text << '\n';
    stream.flush();
}

void CliHost::show_warning(const std::string& text)
{
    if (progress_)
        progress_->break_line();
    err_ << text << '\n';
    err_.flush();
}

bool CliHost::stop_requested()
{
    return stop_signal() != 0;
}

int CliHost::set_progress_position(int position)
{
    const int previous = position_;
    position_ = position;
    if (progress_ && progress_range > 0)
        progress_->update(static_cast<double>(position) / progress_range);
    return previous;
}

}  // namespace pelvane
