#pragma once

namespace pelvane {

// Progress callback of tv_restore: state 0 running, 1 converged, 2 limit
// reached; returning 0 from a running call stops the solver.
using RestoreProgressFn = int (*)(int state, int iteration, double delta, const double* u,
                                  int width, int height, int channels, void* user_data);

enum NoiseModel { NOISE_GAUSSIAN = 0, NOISE_LAPLACE = 1, NOISE_POISSON = 2 };

// Default progress printer: writes the solver's lines to standard error.
int print_progress(int state, int iteration, double delta, const double* u,
                   int width, int height, int channels, void* user_data);

// (The record, its operations and their defaults are filled in by the solver work.)

}  // namespace pelvane
