#pragma once

#include <ostream>

namespace pelvane {

// The progress line of the command-line tools: "0...10...20...", forty ticks
// from 0 to 100, and " - done." at the end. It only moves forward.
class TerminalProgress {
public:
    explicit TerminalProgress(std::ostream& stream) : stream_(stream) {}

    // Prints the ticks up to `fraction` (0..1) not printed yet.
    void update(double fraction);

    // Prints the ticks left up to 100 and " - done.", once.
    void finish();

    // Ends a line that is still being printed, so other text starts on a
    // fresh line; the ticks go on on the next line.
    void break_line();

    // Other text left the cursor on a line of its own that it has not ended
    // (a line ending in '\r'): the next ticks go on on the next line.
    void start_on_new_line();

private:
    static constexpr int TICKS = 40;

    std::ostream& stream_;
    int last_tick_ = -1;
    bool line_open_ = false;
    bool new_line_first_ = false;
};

}  // namespace pelvane
