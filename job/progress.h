#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "solver/restore_options.h"

namespace pelvane {

// Progress callback of the fill stages. `context` is the JobHost of the
// running job (or null: nothing happens and 1 is returned). Puts the bar at
// progress_base + fraction x progress_step, truncated toward zero, and returns
// the bar's previous position. The host is only called when the position
// changes, so the callback may run once per pixel.
int report_progress(double fraction, const char* message, void* context);

class JobHost;

// What the solver's progress callback needs for one band's solve.
struct SolverProgress {
    bool print = false;               // the solver's lines wanted on standard error
    std::string* lines = nullptr;     // where they go for later, in order; null: to the host
    JobHost* host = nullptr;          // set when the solve runs on the job's thread
    std::atomic<bool>* stop = nullptr; // set once the job is to stop
    std::atomic<int>* iteration = nullptr;        // receives the solve's iteration count
    std::atomic<bool>* finished = nullptr;        // set when the solve has ended
    const std::function<void()>* report = nullptr; // on the job's thread: tells the host the work done
};

// Progress callback of the Tolvek stage (user data: a SolverProgress). Writes
// or keeps the solver's lines when asked to, and keeps the iteration count.
// On the job's thread it gives the host its keep_alive and the work done, and
// asks it whether to stop; anywhere it ends the solve (returns 0) once `stop`
// is set.
int solver_progress(int state, int iteration, double delta, const double* u, int width,
                    int height, int channels, void* user_data);

// The line print_progress writes for the same arguments.
std::string solver_progress_line(int state, int iteration, double delta);

// Message callback of the fill stages: shows `text` through the JobHost given
// as `context` (nothing happens when it is null).
void show_host_message(const char* text, void* context);

// The share of the job's work done (JobHost::set_work_done), for the bars that
// follow the time a job takes. Each strip has an equal span, split between its
// regression and its Tolvek solves by their estimated cost; within each the
// share follows the pixels done and the solver's iterations. The cost of a
// regression against a solver iteration, and how much of the iteration limit
// the solves take, are measured on the strips done; the first strip goes by
// figures measured once on olinda. The share stays below 1 until the job is
// done. report_progress moves it through the regression.

// The work of one strip.
struct StripWork {
    double regression_units = 0.0;  // gap pixels the regression predicts x bands, weighted
    double tolvek_units = 0.0;      // window pixels x bands x iteration limit; 0: no Tolvek
    double tolvek_guess = 1.0;      // share of the limit the solves take, until measured
};
StripWork strip_work(std::int64_t predicted_pixels, std::size_t window_pixels, int bands,
                     bool refine, bool tolvek_runs, int max_iterations, double tolerance);

// Called once the strip host.work.strip (of host.work.strips, both set by the
// strip loop) is read and its gaps are known.
void begin_strip_work(JobHost& host, const StripWork& work);
// Called when the regression is over and the Tolvek stage begins.
void begin_tolvek_work(JobHost& host);
// The Tolvek stage's work: the iterations each of the strip's `bands` solves
// has made so far (of at most `max_iterations`), and which have ended. A band
// whose solve ended is done; a running one has made its iterations of those
// expected.
void report_tolvek_work(JobHost& host, const std::atomic<int>* iterations,
                        const std::atomic<bool>* finished, int bands, int max_iterations);
// Called when the strip is written.
void end_strip_work(JobHost& host);

}  // namespace pelvane
