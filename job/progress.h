#pragma once

#include "solver/restore_options.h"

namespace pelvane {

// Progress callback of the fill stages. `context` is the JobHost of the
// running job (or null: nothing happens and 1 is returned). Puts the bar at
// progress_base + fraction x progress_step, truncated toward zero, and returns
// the bar's previous position. The host is only called when the position
// changes, so the callback may run once per pixel.
int report_progress(double fraction, const char* message, void* context);

class JobHost;

// What the solver's progress callback of a job needs.
struct SolverProgress {
    JobHost& host;
    bool print;  // the solver's lines on standard error
};

// Progress callback of the Tolvek stage (user data: a SolverProgress). Prints
// the solver's lines when asked to and gives the host its keep_alive; never
// stops the solver, so the result does not depend on the front end.
int solver_progress(int state, int iteration, double delta, const double* u, int width,
                    int height, int channels, void* user_data);

// Message callback of the fill stages: shows `text` through the JobHost given
// as `context` (nothing happens when it is null).
void show_host_message(const char* text, void* context);

}  // namespace pelvane
