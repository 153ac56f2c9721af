#pragma once

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

// Working storage of one thread, reused from pixel to pixel.
struct LocalScratch {
    std::vector<double> sums, w, z, slope;
};

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
bool solve_centred_plane(int n, int m, double ridge, double* sums, double* slope, double* out);

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
int local_regression_predict(const SimilarSearch& s, int row, int col, int exclude,
                             LocalScratch& work, double* out);

// The same by brute force and in two passes (means first, then the centred
// sums), solved by Gaussian elimination: the reference the tests compare
// local_regression_predict with (they agree to rounding).
int local_regression_reference(const SimilarSearch& s, int row, int col, int exclude, double* out);

}  // namespace pelvane
