#pragma once

#include "solver/restore_options.h"
#include "solver/shrinkage.h"

namespace pelvane {

// What a noise model needs of the main loop: whether z = u is split off, and
// the z-update that goes with it.
struct SolverAlgorithm {
    int use_z = 0;
    ZStepFn z_step = nullptr;
};

// The algorithm of options.noise_model; false for an unknown model.
bool select_algorithm(const RestoreOptions& options, SolverAlgorithm* algorithm);

// Total-variation restoration of u from f by split Bregman iteration.
// u and f are width * height * channels doubles, planar (channel after
// channel, each row-major); u is the starting point and the result and must
// not be f. options may be null for the defaults. Returns 0 on failure (u
// unchanged), 1 when converged, 2 when stopped by max_iter or the callback.
int tv_restore(double* u, const double* f, int width, int height, int channels,
               const RestoreOptions* options);

}  // namespace pelvane
