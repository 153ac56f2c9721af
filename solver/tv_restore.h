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
//
// One channel runs tiled (tv_restore_pipelined.h): a few iterations at a time
// sweep the image together in tiles of columns, each tile's bands swept by
// every iteration in turn while they are in cache, with the d-step, the
// Gauss-Seidel update and the z-step fused, eight rows at a time in vector
// lanes. Every value, every sum and the callback sequence are those of
// tv_restore_reference, bit for bit, on every instruction set. More channels,
// or too little memory for the tiles, run the plain loop.
//
// What u holds when the callback is called: with one channel, the callbacks
// of a group of iterations (PIPELINE_DEPTH of them, three) come once the
// group is done, and u holds the group's last iterate, so a state-0 call for
// iteration i may see a later iterate (up to i + 2), not iteration i's. The
// final call (state 1 or 2) sees the result. After a callback has returned 0,
// u holds iteration i's iterate once tv_restore returns. The plain loop
// always shows iteration i's.
int tv_restore(double* u, const double* f, int width, int height, int channels,
               const RestoreOptions* options);

// The plain loop, the reference the fast path is tested against: each
// iteration runs d_step, u_step_gauss_seidel and the z-step over the whole
// image in turn. Same arguments, results and callbacks as tv_restore.
int tv_restore_reference(double* u, const double* f, int width, int height, int channels,
                         const RestoreOptions* options);

}  // namespace pelvane
