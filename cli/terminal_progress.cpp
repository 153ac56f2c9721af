#include "cli/terminal_progress.h"

#include <algorithm>

namespace pelvane {

void TerminalProgress::update(double fraction)
{
    if (last_tick_ >= TICKS)
        return;
    const int tick = std::clamp(static_cast<int>(fraction * TICKS), 0, TICKS);
    if (tick <= last_tick_)
        return;
    if (new_line_first_) {
        stream_ << '\n';
        new_line_first_ = false;
    }
    while (last_tick_ < tick) {
        ++last_tick_;
        if (last_tick_ % 4 == 0)
            stream_ << (last_tick_ / 4) * 10;
        else
            stream_ << '.';
    }
    if (last_tick_ == TICKS) {
        stream_ << " - done.\n";
        line_open_ = false;
    } else {
        line_open_ = true;
    }
    stream_.flush();
}

void TerminalProgress::finish()
{
    update(1.0);
}

void TerminalProgress::break_line()
{
    if (line_open_) {
        stream_ << '\n';
        stream_.flush();
        line_open_ = false;
    }
}

void TerminalProgress::start_on_new_line()
{
    line_open_ = false;
    new_line_first_ = true;
}

}  // namespace pelvane
