#pragma once

#include <string>

namespace pelvane {

// The front end a job reports to: the dialog (message boxes and a progress
// bar), the command line (standard streams and a progress line) or a test
// recorder. The job reaches its user only through this interface, and only
// from the thread that runs the job.
class JobHost {
public:
    virtual ~JobHost() = default;

    // Shows one of the job's messages; returns once the user has seen it.
    virtual void show_message(const std::string& text) = 0;

    // Moves the progress bar (range 0..progress_range) and returns its
    // previous position.
    virtual int set_progress_position(int position) = 0;

    // Shows a warning about a job that goes on (most of the target is gaps,
    // say). Nothing is shown where the front end has no place for it.
    virtual void show_warning(const std::string& text) { (void)text; }

    // Called now and then (at least every 50 ms while workers run) while the
    // job works without moving the bar, so that a front end can do its own
    // housekeeping, such as noticing an interrupt from its user. Called from
    // the job's thread; must not touch anything the job reads.
    virtual void keep_alive() {}

    // True once the user has asked the running job to stop (a signal, the
    // window's Close, a callback's answer). Asked only from the job's thread,
    // between pixels of a strip, solver iterations and strips; a job that sees
    // it stops and leaves no output.
    virtual bool stop_requested() { return false; }

    // Progress bookkeeping of the running job, kept with the host as the
    // dialog keeps it.
    int progress_base = 0;      // bar position at which the current strip starts
    double progress_step = 0.0; // bar positions one strip covers
    int progress_range = 100;   // upper end of the bar's range
    int progress_position = -1; // position the job last set; -1 before its first
    int calls_to_keep_alive = 0; // progress calls left before the next keep_alive
};

}  // namespace pelvane
