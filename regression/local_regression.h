#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "regression/similar_pixels.h"

namespace pelvane {

// The refined fill's local regression on every band: the target's band b at
// a pixel predicted from all the fill image's bands at once, by a weighted
// least-squares plane through the pixels valid in both images around it.
// Where the dates differ in more than a gain (leaf-on against leaf-off, a
// near-infrared that falls where the visible bands rise), one band of the
// fill date tells another of the target date more than its own does.
//
// docs/method.md, "Constants and why", gives each constant's figures.

// Half-width of the window: 11 x 11, grown when it holds too few
// candidates. In the refined fill on the three real pairs (July against
// November), half-widths 4 to 8 all gave 7.58 to 7.65 / 4.81 to 4.83 /
// 4.73 to 4.75 DN over the gaps, with no trend; 10 gave 7.57 / 4.75 / 4.67
// and 20 (41 x 41) 7.52 / 4.72 / 4.62 (with 32 pixels in the interpolation
// instead of 16, worth about 0.3 % of that), but at 3.6 and 14 times the
// work per pixel: 41 x 41 made the whole refined fill 2 to 5 times slower.
constexpr int LOCAL_HALF = 5;
// Fewer candidates than this and the window grows (as the similar search's
// does, up to SIMILAR_MAX_HALF): a plane over six bands needs some dozens.
constexpr int LOCAL_FEWEST = 40;
// Ridge: LOCAL_RIDGE times the summed weights is added to the diagonal of
// the weighted scatter of the scaled fill values (each band in units of its
// spread over the strip), so that bands nearly collinear within the window
// share their slopes instead of trading huge opposite ones. In the refined
// fill on the three real pairs (July against November), 0.003 gave 7.60 /
// 4.78 / 4.70 DN, 0.01 7.60 / 4.79 / 4.72, 0.03 7.61 / 4.80 / 4.74 and 0.1
// 7.62 / 4.81 / 4.76: little is needed, and none lets collinear bands blow up.
constexpr double LOCAL_RIDGE = 0.003;

// The vector forms the refined fill's kernels take: the widest the
// processor has, or none wider than the limit set (each form gives the
// same bits; the tests run every one against the plain form).
enum class KernelLevel { PLAIN, AVX2, AVX512 };
KernelLevel kernel_level();
void limit_kernel_level(KernelLevel most);

// Working storage of one thread, reused from pixel to pixel.
struct LocalScratch {
    std::vector<double> sums, w, z, slope, pixel2;
};

// The candidates' weights from their squared spectral distances and squared
// distances in pixels: weight[i] = 1 / ((sqrt(spectral2[i]) +
// SIMILAR_DISTANCE_OFFSET)^2 pixel2[i]) (weight may be spectral2). Four at
// a time where the processor has AVX2 and `vector` is true: the same IEEE
// operations in each lane, so the same bits as the plain loop.
void local_candidate_weights(std::size_t count, const double* spectral2, const double* pixel2,
                             double* weight, bool vector = true);

// Solves a x = r for symmetric positive definite a (n x n, row-major, its
// lower triangle overwritten by the Cholesky factor) and m right-hand sides
// (r: m rows of n, overwritten by the solutions). False when a pivot is not
// positive.
bool cholesky_solve(double* a, int n, double* r, int m);

// From the weighted sums of a least-squares plane, laid out as w, w x (n),
// w y (m), w x x' (n x n, upper triangle), w x y' (n x m, x major): the
// centred scatter plus ridge * w on its diagonal, solved for one slope
// vector per output (slope: n x m, output major), and the plane's value at
// x = 0 written to out[0 .. m - 1]. `sums` is overwritten. False when the
// system is not positive definite or a value is not finite. The local plane
// and the joint fit over several dates share it.
// With `prior` (or null: zeros; n x m, output major, as slope), the ridge
// pulls the slopes toward it instead of toward zero.
bool solve_centred_plane(int n, int m, double ridge, double* sums, double* slope, double* out,
                         const double* prior = nullptr);

// The local regression at (row, col) of a strip described as for the
// similar search (its `count` is not read), written to out[0 .. bands - 1].
// Candidates: the pixels valid in both images in the window of half-width
// LOCAL_HALF, grown while it holds fewer than LOCAL_FEWEST, at least
// `exclude` rows or columns from the pixel (1: any but the pixel itself).
// Each weighs 1 / ((spectral distance + SIMILAR_DISTANCE_OFFSET)^2 * squared
// distance in pixels), as the similar pixels do (other offsets and distance
// powers gave fills within 0.4 %, with no trend). With x the scaled fill
// values less the pixel's own (floats widened to doubles) and y the target
// values, the sums of w, w x, w y, w x x' and w x y' run over the candidates
// in raster order; the centred scatter plus LOCAL_RIDGE * sum w on its
// diagonal is solved (Cholesky) for one slope vector per band, and the
// prediction is the weighted mean of y minus the slopes times the weighted
// mean of x. Returns the candidates used; 0 (nothing written) when there are
// none or the system is not positive definite. Reads only the inputs.
// With `prior` (bands x bands slopes, output major, or null), the ridge
// pulls the slopes toward it (LOCAL_PRIOR_RIDGE) instead of toward zero.
int local_regression_predict(const SimilarSearch& s, int row, int col, int exclude,
                             LocalScratch& work, double* out, const double* prior = nullptr);

// The wide plane: one least-squares plane per block of WIDE_BLOCK x
// WIDE_BLOCK pixels (blocks counted from the strip's first row and column),
// the target's bands on all the fill's scaled bands, over the pixels valid
// in both images within WIDE_REACH blocks (about 70 x 70 pixels), each
// weighing 1 / (1 + d^2), d the distance in blocks between their block and
// this one. Its slopes are the local plane's prior: a few dozen pixels give
// noisy slopes, a few thousand give the region's relation between the
// dates, while the local plane keeps its own level (its weighted means).
// On the real pairs (July against November) this gave 7.53 / 4.79 / 4.72 DN
// over the gaps against 7.60 / 4.81 / 4.74 with the ridge toward zero, and
// olinda 3.25 against 3.26 (docs/method.md has every variant tried). One
// plane per block, not per pixel: the sums cost a pass over the strip, each
// block's plane a small solve; blocks weighing alike were 0.2 to 0.3 %
// worse on three cases of four.
constexpr int WIDE_BLOCK = 8;
constexpr int WIDE_REACH = 4;
// The ridge that draws the local slopes toward the wide ones, times the
// summed weights: 0.03, 0.1, 0.3 and 1 gave 7.55 / 4.79 / 4.72, 7.53 /
// 4.79 / 4.72, 7.51 / 4.79 / 4.73 and 7.50 / 4.79 / 4.73 DN; olinda 3.26 for
// all, and 0.1 kept every class of every case within 0.1 % of what it was.
constexpr double LOCAL_PRIOR_RIDGE = 0.1;

// Doubles of one block's sums (the layout of solve_centred_plane, n = m =
// bands).
inline std::size_t wide_sums_size(int bands)
{
    const std::size_t n = static_cast<std::size_t>(bands);
    return 1 + 2 * n + 2 * n * n;
}
inline int wide_blocks(int pixels) { return (pixels + WIDE_BLOCK - 1) / WIDE_BLOCK; }

// The unweighted sums of the blocks of block rows block_begin ..
// block_end - 1 (x the scaled fill values widened to doubles, y the target
// values, over the block's pixels valid in both images in raster order),
// into sums (wide_sums_size each, blocks in raster order). Block rows may
// run at the same time.
void wide_plane_sums(const SimilarSearch& s, int block_begin, int block_end, double* sums);

// The slopes of the blocks of block rows block_begin .. block_end - 1 into
// slopes (bands x bands each, output major as solve_centred_plane's, blocks
// in raster order): the blocks' sums within WIDE_REACH weighed and added in
// raster order, solved with LOCAL_RIDGE; NaN where the summed weights are
// below LOCAL_FEWEST or there is no solution. Reads only the sums: block
// rows may run at the same time.
void wide_plane_slopes(const SimilarSearch& s, const double* sums, int block_begin, int block_end,
                       double* slopes);

// The wide slopes of the block holding (row, col); null where it has none
// or `slopes` is null.
inline const double* wide_slopes_at(const double* slopes, int bands, int width, int row, int col)
{
    if (slopes == nullptr) return nullptr;
    const std::size_t nb = static_cast<std::size_t>(bands);
    const std::size_t block =
        static_cast<std::size_t>(row / WIDE_BLOCK) * wide_blocks(width) + col / WIDE_BLOCK;
    const double* at = slopes + block * nb * nb;
    return std::isnan(at[0]) ? nullptr : at;
}

// The same by brute force and in two passes (means first, then the centred
// sums), solved by Gaussian elimination: the reference the tests compare
// local_regression_predict with (they agree to rounding).
int local_regression_reference(const SimilarSearch& s, int row, int col, int exclude, double* out,
                               const double* prior = nullptr);

}  // namespace pelvane
