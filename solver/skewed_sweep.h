#pragma once

#include <cstddef>

namespace pelvane {

// One solver iteration over a run of steps of a band of eight rows, in the
// skewed band layout.
//
// Layout. A band holds image rows y0 .. y0 + 7 (fewer in the last band: the
// missing rows are padding). Its arrays are sequences of steps; step t holds
// eight values, lane j being row y0 + j at column x = t - j. A band of an
// image of width w has w + 7 steps; a lane whose column lies outside 0..w-1 is
// padding. The step is the unit the sweep advances by: all eight values of a
// step can be updated together, because the Gauss-Seidel value of (x, y0 + j)
// needs only its new west neighbour (same lane, previous step) and its new
// north neighbour (lane j - 1, previous step).
//
// Per step, the arrays hold (each a run of eight doubles, one per lane):
//   u slot     u
//   state      e.x, e.y, then z, ztilde unless Gaussian, where e = d - dtilde:
//              the next iteration's shrinkage reads d and dtilde only as
//              that difference, and this iteration's Gauss-Seidel update
//              takes dtilde from the sweep itself, so storing e (computed
//              with the same subtraction) gives the same values
//   aux        f, then the per-pixel weight: lambda / gamma2 (the z-step
//              threshold) for Laplace and Poisson, lambda / gamma1 (the u-step
//              alpha) for Gaussian
//   checkpoint u before the sweep
// and per step one double:
//   dty row    dtilde.y of lane 7, the only one the band below reads
// The u slots carry SWEEP_MARGIN steps of readable padding on both sides, and
// the dty rows on the right, since a lane reads the neighbouring bands a few
// steps away.
constexpr int SWEEP_LANES = 8;
constexpr int SWEEP_MARGIN = 8;

enum SweepModel { SWEEP_GAUSSIAN = 0, SWEEP_LAPLACE = 1, SWEEP_POISSON = 2 };

// Doubles per step of a band's state: two for Gaussian, four with z.
constexpr int sweep_state_vectors(int model) { return model == SWEEP_GAUSSIAN ? 2 : 4; }

// Steps [begin, end) of one band. A band may be swept in several runs, one
// after the other: each run ends by writing dtilde of its last step to
// `carry`, which the next run of the same band and iteration reads.
//
// What the run reads of its neighbours, at step t: the band above at step
// t + 7 (its u and dty row, this iteration's values), the band below at step
// t - 7 (its u, the previous iteration's values) and the band itself at step
// t + 1 (the previous iteration's u).
struct SweepBand {
    int width = 0;
    int rows = 0;             // real rows in the band, 1..8
    bool first_band = false;  // lane 0 is image row 0
    bool last_band = false;   // lane rows - 1 is the last image row
    std::ptrdiff_t begin = 0;
    std::ptrdiff_t end = 0;
    double* u = nullptr;               // this band: old values in, new values out
    const double* u_above = nullptr;   // band above (this band's own when first)
    const double* u_below = nullptr;   // band below (this band's own when last)
    double* state = nullptr;
    double* dty_row = nullptr;              // out
    const double* dty_row_above = nullptr;  // the band above's (this band's own when first)
    const double* aux = nullptr;
    double* checkpoint = nullptr;      // null: no copy of the old u is kept
    double* carry = nullptr;           // 2 x 8 doubles: read when begin > 0, written
};

// Fixed numbers of the solve.
struct SweepConstants {
    int model = SWEEP_LAPLACE;
    double shrink_t = 0.0;      // 1 / gamma1
    double shrink_t2 = 0.0;     // shrink_t * shrink_t
    double alpha = 0.0;         // Laplace, Poisson: gamma2 / gamma1
    double denominator = 0.0;   // alpha + 4
};

// One iteration over a run of one band: d_step of every pixel, its
// Gauss-Seidel update and (Laplace, Poisson) its z-step, each with the
// operations and operand order of d_step, u_step_gauss_seidel and z_step_*.
using SweepBandFn = void (*)(const SweepBand& band, const SweepConstants& constants);

// Copies `rows` rows of `width` doubles (row r at src + r * src_stride) into a
// band's skewed layout: step t at dst + t * dst_stride, lane j = row j at
// column t - j, zero in padding lanes; divided by `divisor` when `divide`.
// Writes whole groups of eight steps: up to seven steps past the band's end.
using SkewBandFn = void (*)(const double* src, std::ptrdiff_t src_stride, int rows, int width,
                            double* dst, std::ptrdiff_t dst_stride, bool divide, double divisor);

// The inverse: writes the real elements of the skewed band at src back to
// rows at dst. Reads only the band's own steps.
using UnskewBandFn = void (*)(const double* src, std::ptrdiff_t src_stride, int rows, int width,
                              double* dst, std::ptrdiff_t dst_stride);

// The squared changes of `chains` iterations (1 to 8) over `count` elements,
// added to sums[c] in element order (sums[c] += change * change, as the plain
// loop adds them): iteration c changes the image from `image` (c = 0) or
// changed[c - 1] to changed[c]. Then copies changed[chains - 1] to image.
using AddChangesFn = void (*)(double* image, const double* const* changed, int chains,
                              std::size_t count, double* sums);

struct SweepKernels {
    SweepBandFn sweep = nullptr;
    SkewBandFn skew = nullptr;
    UnskewBandFn unskew = nullptr;
    AddChangesFn add_changes = nullptr;
};

// The instruction sets the sweep is built for. Every one gives the same bits.
enum SimdPath { SIMD_GENERIC = 0, SIMD_AVX2 = 1, SIMD_AVX512 = 2 };

// True when this build has the path and this processor can run it.
bool simd_path_supported(SimdPath path);

// The fastest supported path (decided once, safe from any thread).
SimdPath best_simd_path();

// The kernels of a supported path; null pointers otherwise.
SweepKernels sweep_kernels(SimdPath path);

}  // namespace pelvane
