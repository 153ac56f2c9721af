#pragma once

#include "solver/restore_options.h"
#include "solver/skewed_sweep.h"

namespace pelvane {

// Iterations in flight in the pipelined solver, and the most it accepts.
constexpr int PIPELINE_DEPTH = 4;
constexpr int PIPELINE_MAX_DEPTH = 8;

// The one-channel solve of tv_restore, pipelined: the image is cut into bands
// of eight rows (skewed_sweep.h); a wave of `depth` iterations runs down the
// bands, iteration k + 1 one band behind iteration k, so that a band is worked
// on by every iteration of the wave while it is in cache:
//
//   for each step s:  for p = 0 .. depth - 1:  iteration k + p sweeps band s - p
//
// Iteration k + p sweeps band b after iteration k + p - 1 has swept band b + 1
// (it needs the old values below) and before iteration k + p - 1 sweeps band
// b + 2 (which never reads band b), so every element sees exactly the operands
// of the plain loop. u, f and the per-pixel weight of the bands in flight live
// in a ring of skewed copies; a band is written back to u when the wave has
// passed it.
//
// The change of u of iteration k is known only when k leaves the last band,
// while k + 1 and later iterations have overwritten u further up. So each
// iteration saves the u it overwrites (one checkpoint of N doubles per
// iteration in flight but the last); when iteration k converges or the
// callback stops the solver, u is put back to its state after k from the
// checkpoint and the ring. The callbacks see the same (state, iteration,
// delta) sequence as with the plain loop.
//
// Arguments as tv_restore with one channel, already checked (u and f distinct,
// sizes positive, a known noise model, a map of the image's size). `kernels` are
// those of the instruction set to use, `depth` 1..PIPELINE_MAX_DEPTH. Returns the result of
// tv_restore, or -1 when the work arrays cannot be allocated (u unchanged).
// Allocates about (2 + 2 * z-vectors + depth - 1) * N doubles: 9 N for the
// Laplace model at depth 4, plus a ring of 3 * (depth + 2) bands.
int tv_restore_pipelined(double* u, const double* f, int width, int height,
                         const RestoreOptions& options, const SweepKernels& kernels, int depth);

// tv_restore with the fast path forced to one instruction set and depth, for
// tests and benchmarks; tv_restore itself is this with best_simd_path() and
// PIPELINE_DEPTH. Falls back to the plain loop where tv_restore does (more
// than one channel, not enough memory) and when the path is not supported.
int tv_restore_on_path(double* u, const double* f, int width, int height, int channels,
                       const RestoreOptions* options, SimdPath path, int depth);

}  // namespace pelvane
