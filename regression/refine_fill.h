#pragma once

#include <cstddef>
#include <vector>

namespace pelvane {

// The refined fill's second look at the regression's predictions: each
// predicted pixel is corrected by the regression's own errors at the valid
// pixels around it, and blended with a spatial prediction (the target's
// valid pixels around it) where that is the more reliable of the two.
//
// The regression's error is measured where it is known: at the "residual
// pixels", valid in both images and near a predicted pixel, the regression
// is run as if the pixel were a gap (RegressionStrip::predict_rows, which
// never counts a pixel among its own candidates), and target minus that
// prediction is the residual. Every constant of the correction and of the
// blend is then measured on a sample of those pixels, per strip and band:
// nothing depends on the scene's units or on a tuned threshold.

// Rows and columns from a predicted pixel within which a valid pixel is a
// residual pixel.
constexpr int RESIDUAL_REACH = 1;

// Marks (1) the residual pixels: valid in both images, at most
// RESIDUAL_REACH rows and columns from a pixel the regression predicted
// (status 1 to 3). Others get 0.
void mark_residual_pixels(const unsigned char* status, const unsigned char* target_mask,
                          const unsigned char* fill_mask, int rows, int width,
                          unsigned char* residual_pixels);

// The strip's data the refinement reads: the target, its mask, and the
// leave-one-out regression at the residual pixels (only those are read).
struct RefineInputs {
    const double* const* target;
    const unsigned char* target_mask;
    const double* const* loo_prediction;
    const unsigned char* residual_pixels;
    int band_count;
    int rows;
    int width;
};

// What one strip's samples say, per band and ring (the distance, in rows
// and columns, of the nearest pixel used).
struct RefineModel {
    int bands = 0;
    // Share of the mean residual around a pixel that carries over to it.
    std::vector<double> carry;
    // Squared error of the spatial prediction over the spread of the values
    // it averages, with those values all around / on one side of the pixel.
    std::vector<double> spatial_scale_around;
    std::vector<double> spatial_scale_side;
    // Index into REFINE_TRUSTS of the blend that predicted the samples best,
    // per side (0 around, 1 one side), ring and band; REFINE_NO_BLEND when
    // the regression alone did best.
    std::vector<int> trust;
};

// Measures the model on every fifth residual pixel of the strip.
RefineModel calibrate_refinement(const RefineInputs& in);

// Refines the predicted pixels (status 1 to 3) of rows row_begin ..
// row_end - 1 in `filled`; those that lean more on the spatial prediction
// than on the regression in most bands get status `spatial_status`. Each
// pixel reads only the inputs and its own values, so row ranges may run at
// the same time and in any order.
void refine_rows(const RefineModel& model, const RefineInputs& in, int row_begin, int row_end,
                 double* const* filled, unsigned char* status, unsigned char spatial_status);

// The whole strip: calibrate_refinement, then refine_rows over every row.
void refine_regression(const RefineInputs& in, double* const* filled, unsigned char* status,
                       unsigned char spatial_status);

}  // namespace pelvane
