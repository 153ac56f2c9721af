#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "job/job_result.h"

namespace pelvane {

// Where the job's work stands, finer than the bar's positions: kept with the
// host like the bar's bookkeeping, and moved by job/progress.h.
struct WorkProgress {
    int strip = 0;                  // strip being filled
    int strips = 1;                 // strips of the job
    double regression_share = 1.0;  // of the strip's span; Tolvek's iterations take the rest
    double regression_units = 0.0;  // the strip's regression work: gap pixels x bands
    double tolvek_units = 0.0;      // its Tolvek work planned: pixels x bands x iteration limit
    double tolvek_done = 0.0;       // share of the planned Tolvek work done so far
    // Measured on the strips done; 0 until a strip has measured them.
    double seconds_per_regression_unit = 0.0;
    double seconds_per_tolvek_unit = 0.0;
    double tolvek_expected = 1.0;   // share of the planned iterations the solves take
    std::chrono::steady_clock::time_point stage_start{};
    double reported = -1.0;         // the share the host last heard; -1 before the first
};

// The front end a job reports to: the dialog (message boxes and a progress
// bar), the command line (standard streams and a progress line) or a test
// recorder. The job reaches its user only through this interface, and only
// from the thread that runs the job.
class JobHost {
public:
    virtual ~JobHost() = default;

    // Shows one of the job's messages; returns once the user has seen it.
    virtual void show_message(const std::string& text) = 0;

    // Shows a message that stops the job together with what it is about, on
    // lines of their own after it: the file's path (and both sizes where two
    // disagree) and what GDAL said. `detail` holds those lines, separated by
    // '\n'; the message's text stays as it is. Front ends without room for
    // the detail show the message alone.
    virtual void show_message_with_detail(const std::string& text, const std::string& detail)
    {
        (void)detail;
        show_message(text);
    }

    // Shows the last message of a job that succeeded ("Job Done:Total
    // Time:... ms"), so that a front end tells success apart without reading
    // the text.
    virtual void show_done(const std::string& text) { show_message(text); }

    // Shows how the job ended, its last message: show_done for a job done,
    // the message with its detail otherwise. A front end that treats an end
    // apart (the dialog says nothing of a stop its user asked for by
    // closing) switches on result.end.
    virtual void show_end(const JobResult& result)
    {
        if (result.done())
            show_done(result.message);
        else
            show_message_with_detail(result.message, result.detail);
    }

    // Moves the progress bar (range 0..progress_range) and returns its
    // previous position.
    virtual int set_progress_position(int position) = 0;

    // The share of the job's work done, 0 to below 1 while it runs: it moves
    // through each strip's regression and then through its Tolvek iterations,
    // so a bar that follows it moves with the time the job takes. Called at
    // most about a thousand times a job. The dialog's bar keeps the positions
    // above; the command line and Python follow this.
    virtual void set_work_done(double fraction) { (void)fraction; }

    // Shows a warning about a job that goes on (most of the target is gaps,
    // say). Nothing is shown where the front end has no place for it.
    virtual void show_warning(const std::string& text) { (void)text; }

    // Writes lines of the Tolvek solver (asked for with RunOptions::
    // solver_progress); an iteration's line ends with '\r', to be written
    // over by the next.
    virtual void show_solver_text(const std::string& text) { std::fputs(text.c_str(), stderr); }

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
    WorkProgress work;          // the share of work done (set_work_done)
};

}  // namespace pelvane
