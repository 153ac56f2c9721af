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
    show_message_with_detail(text, {});
}

void CliHost::show_message_with_detail(const std::string& text, const std::string& detail)
{
    // A message must not run into the progress line.
    if (progress_)
        progress_->break_line();
    err_ << text << '\n';
    std::string::size_type start = 0;
    while (start < detail.size()) {
        const auto end = detail.find('\n', start);
        err_ << "  " << detail.substr(start, end - start) << '\n';
        start = end == std::string::npos ? detail.size() : end + 1;
    }
    err_.flush();
}

void CliHost::show_done(const std::string& text)
{
    if (!progress_)
        return;
    progress_->finish();
    out_ << text << '\n';
    out_.flush();
}

void CliHost::show_warning(const std::string& text)
{
    show_message(text);
}

void CliHost::show_solver_text(const std::string& text)
{
    if (progress_)
        progress_->break_line();
    err_ << text;
    err_.flush();
    // An iteration's line ends in '\r', to be written over by the next one
    // or by the ticks, which then go on on a line of their own.
    if (progress_ && !text.empty() && text.back() != '\n')
        progress_->start_on_new_line();
}

bool CliHost::stop_requested()
{
    return stop_signal() != 0;
}

int CliHost::set_progress_position(int position)
{
    // The bar's positions are the dialog's; the line follows the work done.
    const int previous = position_;
    position_ = position;
    return previous;
}

void CliHost::set_work_done(double fraction)
{
    if (progress_)
        progress_->update(fraction);
}

}  // namespace pelvane
