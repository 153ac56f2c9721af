#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "regression/ring_stats.h"
#include "regression/similar_pixels.h"
#include "regression/work_items.h"

namespace pelvane {

// The refined fill of the pixels whose fill image is valid: several
// predictions per pixel and band, each corrected by its own errors at the
// valid pixels around and weighted by the inverse of its estimated squared
// error there.
//
// The predictors, in this order:
//   the regression     the standard fill's own fit (RegressionStrip);
//   the interpolation  kriging from the target's valid pixels around
//                      (EdgeInterpolator's weights, one model per strip);
//   the local plane    the target band regressed on all the fill bands over
//                      the pixels valid in both around, its slopes drawn
//                      toward those of the wide plane over about 70 x 70
//                      pixels (local_regression.h).
// Their errors are measured where they are known: at the "residual pixels",
// valid in both images and near a predicted pixel, each predictor is run as
// if the pixel were a gap (leave-one-out). Around a gap pixel the residuals'
// mean carries over in part (the correction) and what is left of them
// estimates the prediction's error. A gap pixel lies s rings from the
// nearest valid pixel, a residual pixel next to its neighbours: how the
// errors grow with s is measured on a sample of the residual pixels,
// predicted again from pixels at least s rings away. Every constant of the
// correction, the weighting and the error estimate is measured per strip
// and band: nothing depends on the scene's units or on a tuned threshold.
// The sizes fixed here (reaches, rings, sample counts) were chosen on the
// real pairs and olinda: docs/method.md, "Constants and why", gives each
// one's figures.

// Rows and columns from a predicted pixel within which a valid pixel is a
// residual pixel. The nearest valid pixels tell the most; 2 gave fills up to
// 0.05 DN better on five olinda variants and worse on one, for about twice
// the extra predictions.
constexpr int RESIDUAL_REACH = 1;

enum RefinePredictor {
    PREDICT_REGRESSION,
    PREDICT_INTERPOLATION,
    PREDICT_LOCAL_PLANE,
    PREDICTOR_COUNT
};

// Marks (1) the residual pixels: valid in both images, at most
// RESIDUAL_REACH rows and columns from a pixel the regression predicted
// (status 1 to 3). Others get 0. The rows go in pieces to `in_pieces`
// (work(0) .. work(count - 1), on any threads; in turn when empty), each
// pixel's mark made alone, so the marks are the same either way.
void mark_residual_pixels(
    const unsigned char* status, const unsigned char* target_mask, const unsigned char* fill_mask,
    int rows, int width, unsigned char* residual_pixels,
    const WorkItems& in_pieces = {});

// The interpolation's kriging weights (EdgeInterpolator::weights) of the
// target's valid pixels (gap_mask zero; the caller passes the target's mask)
// that interpolate the pixel at `pos`, those fewer than `exclude` rows and
// columns away left out: positions into at[], weights into weight[]
// (NEIGHBOUR_WEIGHTS_MOST room each); returns how many (0: none within
// reach).
// Room for the most the interpolator takes (EDGE_NEIGHBOURS, checked where
// the weights are bound).
constexpr int NEIGHBOUR_WEIGHTS_MOST = 32;
// Known pixels per octant the interpolation takes (32 in all, as where both
// images miss the pixel). With the local plane drawn toward the wide one,
// 16, 24 and 32 gave 7.53 / 4.79 / 4.72, 7.52 / 4.78 / 4.71 and 7.51 / 4.76
// / 4.69 DN on the real pairs, 32 the only one no worse than before in any
// gap class; it costs about 1.1 to 1.2 times the refined fill's processor
// time on the 2000 x 700 demo scene (the factorisation: eight times 16's).
constexpr int REFINE_OCTANT_QUOTA = 4;
// Terms of the error line: 1, the estimate, the pixel's error level.
constexpr int ERROR_TERMS = 3;
using NeighbourWeights = std::function<int(const unsigned char* gap_mask, std::size_t pos,
                                           int exclude, std::size_t* at, double* weight)>;

// The strip's data the refinement reads.
struct RefineInputs {
    const double* const* target;
    const unsigned char* target_mask;
    const unsigned char* residual_pixels;
    // The regression's leave-one-out prediction at the residual pixels.
    const double* const* loo_regression;
    // 2 x band_count band pointers: the interpolation and the local plane,
    // band after band, at every predicted and residual pixel
    // (predict_refined_rows); NaN where the predictor has none.
    const double* const* predictions;
    // The strip as the local plane and the similar search read it. The
    // samples are predicted again from further away with it and `kriging`.
    // The regression cannot leave rings out: there the similar line
    // (similar_predict), the fit most like it, tells how its errors grow.
    const SimilarSearch* similar;
    const NeighbourWeights* kriging;  // the interpolation's weights
    int band_count;
    int rows;
    int width;
    // The wide plane's slopes per block (wide_plane_slopes), toward which
    // the local plane's are drawn; null: toward zero.
    const double* wide_slopes = nullptr;
    // Whether the spectral neighbours' residuals correct the predictions
    // (spectral_residual_mean). Not with several fill dates: it draws every
    // date's fill toward the same residuals of the target, so the dates'
    // errors go together and their combination gains less (on the CBERS
    // series, summed over the several-dates cases, 533.2 / 532.5 / 531.4
    // DN with 2 / 4 / 8 dates against 528.6 / 524.8 / 523.0 without it).
    bool spectral = true;
};

// ring_stats around (r, c) from ring `start` on over the residual pixels,
// of the PREDICTOR_COUNT x band_count residuals (predictor k's value minus
// the target in band b at k * band_count + b; the regression's the
// leave-one-out one; 0 where a prediction is not finite). The same bits as
// ring_stats itself, faster for the usual band counts.
void residual_ring_stats(const RefineInputs& in, int r, int c, int start, RingStats& out);

// The interpolation at a strip's pixels, kept for every fill date: it reads
// only the target and its gaps, which all dates share. `known` marks (1) the
// pixels whose band_count values in `values` (band pointers) are made.
struct KnownInterpolation {
    double* const* values;
    unsigned char* known;
};

// Writes the interpolation and the local plane into `predictions`
// (2 x band_count band pointers) at the pixels of rows
// row_begin .. row_end - 1 whose `select` byte is nonzero, NaN where a
// predictor has nothing to go on. With `kept` (or null), the interpolation
// is taken from there where known, and kept there where not. `wide_slopes`
// (or null) as in RefineInputs. Reads only the inputs (and `kept` in those
// rows): row ranges may run at the same time.
void predict_refined_rows(const SimilarSearch& similar, const unsigned char* target_mask,
                          const NeighbourWeights& kriging,
                          const unsigned char* select, int row_begin, int row_end,
                          double* const* predictions, const KnownInterpolation* kept = nullptr,
                          const double* wide_slopes = nullptr);

// A prediction's error depends on the land cover and its change between the
// dates as well as on the place: each prediction is corrected also by the
// residuals of the residual pixels most like it in the fill image. They are
// the SPECTRAL_NEIGHBOURS residual pixels nearest in spectral distance (the
// similar search's: the fill's scaled bands, spectral_distance2) within
// SPECTRAL_HALF rows and columns. On the combination's intermediates, 20 in
// 31 x 31 took the fill-valid gaps from 7.305 / 4.573 / 4.694 to 7.299 /
// 4.552 / 4.672 DN on the real pairs, olinda from 1.991 to 1.966 and the
// CBERS first date from 49.07 to 48.70 (docs/method.md).
constexpr int SPECTRAL_HALF = 15;
constexpr int SPECTRAL_NEIGHBOURS = 20;

// Numbers kept per residual pixel: the pixels in raster order (`at`), the
// first entry of each row and one past the last row's (`row_first`, rows +
// 1 of them), and `count` values per entry, entry after entry. A window
// reads only the entries of its rows and columns. `block_first` (or empty:
// a search in the row's entries instead) holds, per row and block of
// RESIDUAL_BLOCK columns, the first entry at or after the block's first
// column (index_residual_table). `fill` (or empty: read from the strip
// instead) holds each entry's scaled fill values (SimilarSearch::
// scaled_fill) band by band, band b's at b * fill_stride + entry, the
// stride leaving room for reads of four entries past any one
// (index_residual_fill): the distances of a row's entries are then made
// four at a time from consecutive floats.
constexpr int RESIDUAL_BLOCK = 16;
struct ResidualTable {
    int count = 0;
    std::vector<std::size_t> at, row_first;
    std::vector<float> values;
    int blocks = 0;  // per row
    std::vector<std::size_t> block_first;
    std::vector<float> fill;
    std::size_t fill_stride = 0;
};

// Fills the table's block_first from its `at` and `row_first`, for a strip
// of `width` columns.
void index_residual_table(ResidualTable& table, int width);

// Fills the table's `fill` from the strip's scaled fill values.
void index_residual_fill(ResidualTable& table, const SimilarSearch& s);

// The mean of the table's values over the SPECTRAL_NEIGHBOURS residual
// pixels nearest to (row, col) in spectral distance within SPECTRAL_HALF
// rows and columns, leaving out those fewer than `exclude` rows and columns
// away (and the pixel itself); ties go to the earlier pixel in raster
// order. Writes mean[0 .. table.count - 1] (zeros when none) and, with
// `square`, the mean of their squares beside it; returns how many were
// averaged.
int spectral_residual_mean(const SimilarSearch& s, const ResidualTable& table, int row, int col,
                           int exclude, std::vector<std::pair<double, std::size_t>>& scratch,
                           double* mean, double* square = nullptr);

// What one strip's samples say, per predictor, ring s (1 .. RING_REACH: the
// distance of the nearest valid pixel) and band.
struct RefineModel {
    int bands = 0;
    // Share of the residuals' mean around a pixel that carries over to it.
    std::vector<double> carry;
    // The predictor's squared error s rings out over its error one ring out.
    std::vector<double> growth;
    // Per ring and band: the combined prediction's squared error over its
    // estimate, at the samples.
    std::vector<double> error_scale;
    // The estimated error as written: per band, the least-squares line of
    // the samples' absolute errors on 1, the scaled estimate (the root of
    // error_scale times the estimate) and the pixel's error level (each
    // band's scaled estimate over its mean at the samples, averaged over the
    // bands), ERROR_TERMS coefficients each; per ring and band, the factor
    // that brings the line's squares to the squared errors. The line ranks
    // the errors better than the estimate alone: it leans toward the band's
    // typical error where the estimate tells little (a noisy band) and hears
    // the other bands (docs/method.md).
    std::vector<double> error_line, error_rescale;
    // Per band, over the samples: the mean scaled estimate and absolute error.
    std::vector<double> error_mean, error_mean_abs;
    // Per predictor and band: the share of the spectral neighbours' mean
    // residual (spectral_residual_mean) that carries over, measured at the
    // samples seen from their rings (at least 2 rings away: a sample's
    // nearest neighbours share its error more than a gap pixel's do).
    std::vector<double> spectral_carry;
    // The residual pixels' residuals after the rings' correction, predictor
    // by predictor and band by band (PREDICTOR_COUNT x bands each).
    ResidualTable corrected;
};

// Measures the model on every REFINE_SAMPLE_EVERY-th residual pixel, or on
// fewer, evenly spaced, where that would be more than REFINE_SAMPLE_MOST:
// the calibration predicts each sample again once per ring, and that many
// samples give each ring and band hundreds of terms.
constexpr int REFINE_SAMPLE_EVERY = 10;
// 2500 samples measure as well as 5000 and 20000 (the 2000 x 700 demo scene,
// 6.4484 DN with 5000 against 6.4482 with 20000; the typical scene's 2000 x
// 700 crop 5.0296 DN with 2500 and with 5000, its 8000 x 1500 cut 6.0399
// against 6.0398) for half the calibration's time. The real pairs and
// olinda have fewer than 25000 residual pixels: every 10th either way.
constexpr long long REFINE_SAMPLE_MOST = 2500;
RefineModel calibrate_refinement(const RefineInputs& in);

// The same in steps, so that the samples' predictions (nearly all of the
// work) may run on several threads: calibration_samples picks the samples;
// visit_samples predicts those of one chunk at every ring and keeps what the
// model is measured from (chunks may run at the same time and in any order);
// calibrate_refinement(in, samples) then sums the visits in sample order, so
// the model is the same whatever ran the chunks.
struct CalibrationSamples {
    // Samples per chunk: a few dozen predictions each, enough to share out.
    static constexpr std::size_t CHUNK = 64;
    std::vector<std::size_t> at;  // the sample pixels, in raster order
    // Per chunk, its visits in order: the pixel, the ring of the nearest
    // valid pixel the prediction used, the first ring of residuals around
    // it (0: none), then per visit the predictions (as predict_refined_rows
    // writes them, then the similar line) and the residuals' ring
    // statistics (means, then mean squares).
    struct Visits {
        std::vector<std::size_t> at;
        std::vector<int> ring, residual_ring;
        std::vector<double> values;
    };
    std::vector<Visits> visits;
    std::size_t chunks() const { return (at.size() + CHUNK - 1) / CHUNK; }
};
CalibrationSamples calibration_samples(const RefineInputs& in);
void visit_samples(const RefineInputs& in, CalibrationSamples& samples, std::size_t chunk);
// one_by_one runs the items in turn. The spectral correction's tables are
// made in the items of `in_chunks` (work_items.h), each entry by itself, so
// the model is the same however they ran.
void one_by_one(std::size_t count, const std::function<void(std::size_t)>& work);
RefineModel calibrate_refinement(const RefineInputs& in, const CalibrationSamples& samples,
                                 const WorkItems& in_chunks = one_by_one);

// Combines the predictions at the predicted pixels (status 1 to 3) of rows
// row_begin .. row_end - 1: `filled` holds the regression there on entry,
// the combination on return; `error` (band pointers, or null) receives the
// estimated standard error of each value. Pixels that lean more on the
// spatial predictors (the interpolation) than on the others in
// most bands get status `spatial_status`. Each pixel reads only the inputs
// and its own values, so row ranges may run at the same time and in any
// order.
void refine_rows(const RefineModel& model, const RefineInputs& in, int row_begin, int row_end,
                 double* const* filled, double* const* error, unsigned char* status,
                 unsigned char spatial_status);

// Steadies the estimated standard errors of the pixels marked in
// `predicted` (rows x width, band pointers): each becomes the root of the
// mean of its own squared error and the mean squared error over the marked
// pixels of its 3 x 3 neighbourhood (itself included). Neighbouring gap pixels'
// estimates rest on nearly the same few residuals, each reading the local
// error level with its own noise; averaging them ranked the actual errors
// better on every real pair and on olinda (docs/method.md).
void steady_errors(double* const* error, int bands, const unsigned char* predicted, int rows,
                   int width);

}  // namespace pelvane
