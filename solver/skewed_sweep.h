#pragma once

#include <cstddef>

namespace pelvane {

// One solver iteration over a band of eight rows, in the skewed band layout.
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
//   state      d.x, d.y, dtilde.x, dtilde.y, then z, ztilde unless Gaussian
//   aux        f, then the per-pixel weight: lambda / gamma2 (the z-step
//              threshold) for Laplace and Poisson, lambda / gamma1 (the u-step
//              alpha) for Gaussian
//   squares    (new u - old u)^2 of the sweep, per element
//   checkpoint u before the sweep
// The u slots and the state carry SWEEP_MARGIN steps of readable padding on
// both sides, since a lane reads the neighbouring bands a few steps away.
constexpr int SWEEP_LANES = 8;
constexpr int SWEEP_MARGIN = 8;

enum SweepModel { SWEEP_GAUSSIAN = 0, SWEEP_LAPLACE = 1, SWEEP_POISSON = 2 };

// Doubles per step of a band's state: four for Gaussian, six with z.
constexpr int sweep_state_vectors(int model) { return model == SWEEP_GAUSSIAN ? 4 : 6; }

// The squares of an earlier band sweep, added to *sum in raster order (row by
// row of the band, left to right, sum += square element after element) while
// the next band is swept, so that the add chain runs beside the sweep.
struct PendingSquares {
    const double* squares = nullptr;  // null: nothing pending
    int rows = 0;
    double* sum = nullptr;
};

struct SweepBand {
    int width = 0;
    int rows = 0;             // real rows in the band, 1..8
    bool first_band = false;  // lane 0 is image row 0
    bool last_band = false;   // lane rows - 1 is the last image row
    double* u = nullptr;               // this band: old values in, new values out
    const double* u_above = nullptr;   // band above, already swept (this band's own when first)
    const double* u_below = nullptr;   // band below, not yet swept (this band's own when last)
    double* state = nullptr;
    const double* state_above = nullptr;  // band above's state, already updated
    const double* aux = nullptr;
    double* squares = nullptr;         // out
    double* checkpoint = nullptr;      // null: no copy of the old u is kept
    PendingSquares pending;
};

// Fixed numbers of the solve.
struct SweepConstants {
    int model = SWEEP_LAPLACE;
    double shrink_t = 0.0;      // 1 / gamma1
    double shrink_t2 = 0.0;     // shrink_t * shrink_t
    double alpha = 0.0;         // Laplace, Poisson: gamma2 / gamma1
    double denominator = 0.0;   // alpha + 4
};

// One iteration over one band: d_step of every pixel, its Gauss-Seidel update
// and (Laplace, Poisson) its z-step, each with the operations and operand
// order of d_step, u_step_gauss_seidel and z_step_*; the pending squares are
// added to their sum. The band above must already hold this iteration's u and
// state, the band below the previous iteration's.
using SweepBandFn = void (*)(const SweepBand& band, const SweepConstants& constants);

// Copies `rows` rows of `width` doubles (row r at src + r * src_stride) into a
// band's skewed layout: step t at dst + t * dst_stride, lane j = row j at
// column t - j, zero in padding lanes; divided by `divisor` when `divide`.
// Writes whole groups of eight steps: up to seven steps past the band's end.
using SkewBandFn = void (*)(const double* src, std::ptrdiff_t src_stride, int rows, int width,
                            double* dst, std::ptrdiff_t dst_stride, bool divide, double divisor);

// The inverse: writes the real elements of the skewed band at src back to
// rows at dst. Reads whole groups of eight steps.
using UnskewBandFn = void (*)(const double* src, std::ptrdiff_t src_stride, int rows, int width,
                              double* dst, std::ptrdiff_t dst_stride);

struct SweepKernels {
    SweepBandFn sweep = nullptr;
    SkewBandFn skew = nullptr;
    UnskewBandFn unskew = nullptr;
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
