#pragma once

#include "solver/restore_options.h"
#include "solver/skewed_sweep.h"

namespace pelvane {

// Iterations in flight in the pipelined solver, and the most it accepts.
// Three and four run at the same speed (the state's traffic is no longer what
// limits the sweep); three keeps the work arrays within the band stage's
// memory estimate (job/tolvek_stage.h).
constexpr int PIPELINE_DEPTH = 3;
constexpr int PIPELINE_MAX_DEPTH = 8;

// Steps of a band each iteration sweeps per tile: small enough that the
// depth iterations over a tile's run of every band find their arrays in the
// second-level cache (one band-run of the state, u, f, the weight and the
// neighbours' rows is about 480 bytes a step; a band is reused after `depth`
// runs, about 185 kB at 128 steps and depth 3), large enough that starting a
// run (a few dozen instructions) is lost in the run's work. Blocks from 48 to
// 512 steps ran at the same speed on a 2000-wide strip.
constexpr int PIPELINE_BLOCK = 128;

// The one-channel solve of tv_restore, pipelined and tiled: u, f, the weight
// and the solver's state are copied once per solve into the skewed band layout
// of skewed_sweep.h (bands of eight rows), and `depth` iterations at a time
// (a wave) sweep the image together:
//
//   for each tile c:  for each diagonal s:  for p = 0 .. depth - 1:
//       iteration k + p sweeps band b = s - p over its run in tile c
//
// A band runs seven steps behind the band above and an iteration one step
// behind the one before: run (p, b) of tile c is steps
// [c B - 7 b - p, (c + 1) B - 7 b - p) of band b, B the block, clipped to the
// band. Each run then finds the operands of the plain loop: the band above
// swept by iteration k + p to seven steps past the run's end (tile c, the
// diagonal before) but not yet overwritten there by iteration k + p + 1
// (later on the same diagonal); the band below swept by iteration k + p - 1
// (earlier on the diagonal) but not yet by k + p (the next diagonal); its own
// band swept by k + p - 1 to one step past the run's end (the diagonal
// before). So a tile's runs of one band come one after another, `depth` of
// them while the band's part is in cache, and every element sees exactly the
// operands of the plain loop.
//
// The change of u of each iteration of the wave is summed after the wave, in
// raster order: iteration k + p (p > 0) keeps a checkpoint of the u it
// overwrites, u itself holds the state before the wave, and the skewed u the
// state after it. The sum then writes the skewed u back to u. When iteration
// k + p converges or the callback stops the solver, u is put back to its
// state after k + p from the checkpoint of k + p + 1. The callbacks see the
// same (state, iteration, delta) sequence as with the plain loop.
//
// Arguments as tv_restore with one channel, already checked (u and f
// distinct, sizes positive, a known noise model, a map of the image's size).
// `kernels` are those of the instruction set to use, `depth` 1 to
// PIPELINE_MAX_DEPTH, `block` at least 1. Returns the result of tv_restore, or
// -1 when the work arrays cannot be allocated (u unchanged).
//
// Memory, in doubles, for N pixels (rounded up to whole bands and groups of
// eight steps): the state, 4 N (Laplace, Poisson) or 2 N (Gaussian); the
// skewed u, f and weight, 3 N; the checkpoints, (depth - 1) N; the rows of
// dtilde.y, N / 8; the sums' band buffers, depth bands. For a band of
// 8000 x 334 with the Laplace model at depth 3: about 9.2 N (197 MB).
int tv_restore_pipelined(double* u, const double* f, int width, int height,
                         const RestoreOptions& options, const SweepKernels& kernels, int depth,
                         int block);

// tv_restore with the fast path forced to one instruction set, depth and
// block, for tests and benchmarks; tv_restore itself is this with
// best_simd_path(), PIPELINE_DEPTH and PIPELINE_BLOCK. Falls back to the plain
// loop where tv_restore does (more than one channel, not enough memory) and
// when the path is not supported.
int tv_restore_on_path(double* u, const double* f, int width, int height, int channels,
                       const RestoreOptions* options, SimdPath path, int depth,
                       int block = PIPELINE_BLOCK);

}  // namespace pelvane
