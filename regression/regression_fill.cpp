#include "regression/regression_fill.h"

#include "regression/regression_strip.h"

namespace pelvane {

void regression_fill(const double* const* target, const double* const* fill,
                     const unsigned char* target_mask, const unsigned char* fill_mask,
                     int band_count, int rows, int width,
                     double* const* filled, unsigned char* status,
                     double weight_offset, int similar_pixel_count,
                     ProgressFn progress, void* progress_context)
{
    const RegressionStrip strip(target, fill, target_mask, fill_mask, band_count, rows, width,
                                weight_offset, similar_pixel_count);
    strip.fill_rows(0, rows, filled, status, progress, progress_context);
}

void regression_fill_rows(const double* const* target, const double* const* fill,
                          const unsigned char* target_mask, const unsigned char* fill_mask,
                          int band_count, int rows, int width,
                          double* const* filled, unsigned char* status,
                          double weight_offset, int similar_pixel_count,
                          int row_begin, int row_end)
{
    const RegressionStrip strip(target, fill, target_mask, fill_mask, band_count, rows, width,
                                weight_offset, similar_pixel_count);
    strip.fill_rows(row_begin, row_end, filled, status);
}

}  // namespace pelvane
