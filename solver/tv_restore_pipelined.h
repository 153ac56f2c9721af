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
// In step s, iteration k + p sweeps band b = s - p. By then iteration
// k + p - 1 has swept bands b and b + 1 (in steps s - 1 and s: the old values
// that k + p reads) and iteration k + p has swept band b - 1 (in step s - 1:
// the new values above); iteration k + p + 1, which overwrites band b - 1,
// comes after it in step s. So every element sees exactly the operands of the
// plain loop. u, f and the per-pixel weight of the bands in flight live in a
// ring of skewed copies; a band is written back to u when the wave has passed
// it. Waves follow one another: the first of the next wave starts at the top
// once the last of this one has left the bottom.
//
// The change of u of iteration k is known only when k leaves the last band,
// while k + 1 and later iterations have overwritten u further up. So each
// iteration saves the u it overwrites (one checkpoint of N doubles per
// iteration in flight but the last); when iteration k converges or the
// callback stops the solver, u is put back to its state after k from the
// checkpoint and the ring. The callbacks see the same (state, iteration,
// delta) sequence as with the plain loop.
//
// Arguments as tv_restore with one channel, already checked (u and f
// distinct, sizes positive, a known noise model, a map of the image's size).
// `kernels` are those of the instruction set to use, `depth` 1 to
// PIPELINE_MAX_DEPTH. Returns the result of tv_restore, or -1 when the work
// arrays cannot be allocated (u unchanged).
//
// Memory, in doubles, for N pixels: the state, 6 N (Laplace, Poisson) or 4 N
// (Gaussian); the checkpoints, (depth - 1) N; the ring and the squares,
// 3 (depth + 2) + 2 bands of eight rows. For a band of 8000 x 334 with the
// Laplace model at depth 4: about 9.5 N (203 MB).
int tv_restore_pipelined(double* u, const double* f, int width, int height,
                         const RestoreOptions& options, const SweepKernels& kernels, int depth);

// tv_restore with the fast path forced to one instruction set and depth, for
// tests and benchmarks; tv_restore itself is this with best_simd_path() and
// PIPELINE_DEPTH. Falls back to the plain loop where tv_restore does (more
// than one channel, not enough memory) and when the path is not supported.
int tv_restore_on_path(double* u, const double* f, int width, int height, int channels,
                       const RestoreOptions* options, SimdPath path, int depth);

}  // namespace pelvane
