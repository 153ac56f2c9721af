#pragma once

#include "regression/regression_fill.h"

namespace pelvane {

// The plain, one-position-at-a-time form of regression_fill: the same
// arguments, the same results bit for bit, the same progress calls. It scans
// every window position with the full test and is kept as the yardstick the
// fast kernel is tested and measured against.
void regression_fill_reference(const double* const* target, const double* const* fill,
                               const unsigned char* target_mask, const unsigned char* fill_mask,
                               int band_count, int rows, int width,
                               double* const* filled, unsigned char* status,
                               double weight_offset, int similar_pixel_count,
                               ProgressFn progress, void* progress_context);

}  // namespace pelvane
