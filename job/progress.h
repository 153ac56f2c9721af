#pragma once

#include <atomic>
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
    std::string* lines = nullptr;     // where they go for later, in order; null: straight out
    JobHost* host = nullptr;          // set when the solve runs on the job's thread
    std::atomic<bool>* stop = nullptr; // set once the job is to stop
};

// Progress callback of the Tolvek stage (user data: a SolverProgress). Writes
// or keeps the solver's lines when asked to. On the job's thread it gives the
// host its keep_alive and asks it whether to stop; anywhere it ends the solve
// (returns 0) once `stop` is set.
int solver_progress(int state, int iteration, double delta, const double* u, int width,
                    int height, int channels, void* user_data);

// The line print_progress writes for the same arguments.
std::string solver_progress_line(int state, int iteration, double delta);

// Message callback of the fill stages: shows `text` through the JobHost given
// as `context` (nothing happens when it is null).
void show_host_message(const char* text, void* context);

}  // namespace pelvane
