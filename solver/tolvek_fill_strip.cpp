#include "solver/tolvek_fill_strip.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>

#include "solver/push_pull.h"
#include "solver/tv_restore.h"

namespace pelvane {

namespace {

// Start values of a band's span: any real value replaces them. A band without
// a single valid pixel keeps them and ends at -1000000 everywhere.
constexpr double kHighStart = -1000000.0;
constexpr double kLowStart = 1000000.0;

}  // namespace

void make_gap_weights(const unsigned char* remaining_gap_mask, std::size_t pixels,
                      double regularization, double* gap_weights) {
    for (std::size_t i = 0; i < pixels; ++i)
        gap_weights[i] = remaining_gap_mask[i] != 0 ? 0.0 : regularization;
}

bool tolvek_fill_band(double* band, double* data, double* original,
                      const unsigned char* remaining_gap_mask, const double* gap_weights,
                      int width, int rows, const TolvekParams& params) {
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(rows);

    double hi = kHighStart;
    for (std::size_t i = 0; i < pixels; ++i)
        if (remaining_gap_mask[i] == 0 && band[i] > hi) hi = band[i];
    double lo = kLowStart;
    for (std::size_t i = 0; i < pixels; ++i)
        if (remaining_gap_mask[i] == 0 && band[i] < lo) lo = band[i];

    std::copy(band, band + pixels, original);
    // Gaps start at 2.0, outside the span; with weight 0 the value only
    // enters the norm of the data, never the fill.
    for (std::size_t i = 0; i < pixels; ++i)
        band[i] = remaining_gap_mask[i] != 0 ? 2.0 : (band[i] - lo) / (hi - lo);
    if (params.smart_start) push_pull_fill(band, remaining_gap_mask, width, rows);
    std::copy(band, band + pixels, data);

    RestoreOptions options;
    restore_options_set_lambda_map(&options, gap_weights, width, rows);
    restore_options_set_max_iter(&options, params.max_iterations);
    restore_options_set_noise_model(&options, "L1");
    restore_options_set_tol(&options, params.tolerance);
    restore_options_set_progress(&options, params.progress, params.progress_user_data);
    const bool solved = tv_restore(band, data, width, rows, 1, &options) != 0;

    for (std::size_t i = 0; i < pixels; ++i) {
        if (gap_weights[i] > 0.0) {
            band[i] = original[i];
            continue;
        }
        double v = (hi - lo) * band[i] + lo;
        if (v < lo || std::isnan(v)) v = lo;
        if (v > hi) v = hi;
        band[i] = v;
    }
    return solved;
}

bool tolvek_fill_strip(double* const* filled, double* const* solver_input,
                       const unsigned char* remaining_gap_mask,
                       int width, int rows, int band_count, const TolvekParams& params) {
    if (width <= 0 || rows <= 0 || band_count <= 0) return true;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(rows);
    if (std::none_of(remaining_gap_mask, remaining_gap_mask + pixels,
                     [](unsigned char m) { return m != 0; }))
        return true;

    // The solver's lambda map: gaps exert no pull on the solution.
    std::unique_ptr<double[]> gap_weights(new (std::nothrow) double[pixels]);
    // The values from before the stage, so that held pixels get them back
    // exactly: normalising and mapping back loses the last bits, and after
    // truncation to an integer type a valid v could come out as v - 1.
    std::unique_ptr<double[]> original(new (std::nothrow) double[pixels]);
    if (!gap_weights || !original) return false;
    make_gap_weights(remaining_gap_mask, pixels, params.regularization, gap_weights.get());

    bool all_solved = true;
    for (int b = 0; b < band_count; ++b)
        if (!tolvek_fill_band(filled[b], solver_input[b], original.get(), remaining_gap_mask,
                              gap_weights.get(), width, rows, params))
            all_solved = false;
    return all_solved;
}

}  // namespace pelvane
