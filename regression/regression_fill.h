#pragma once

namespace pelvane {

// Progress callback: fraction in [0, 1), an unused text, the caller's context.
using ProgressFn = int (*)(double fraction, const char* message, void* context);

// Sarnic's core for one strip of `rows` x `width` pixels and `band_count`
// bands. target, fill and filled are arrays of band_count band pointers, each
// band a row-major array of rows * width doubles. A mask byte of 0 marks a
// valid pixel. Writes every sample of `filled` and every byte of `status`.
// Calls `progress` once per pixel, before it, unless progress_context is null.
//
// Per gap pixel the candidates are found ring by ring of the growing windows,
// each ring row by row from the top and each row from left to right; the
// weights are summed over the bands from the first, and every sum of the fit
// runs in candidate order, so the results do not depend on how the work is
// split. This is the fast kernel (see regression_strip.h); it gives the same
// bits as regression_fill_reference.
void regression_fill(const double* const* target, const double* const* fill,
                     const unsigned char* target_mask, const unsigned char* fill_mask,
                     int band_count, int rows, int width,
                     double* const* filled, unsigned char* status,
                     double weight_offset, int similar_pixel_count,
                     ProgressFn progress, void* progress_context);

// The same for the strip rows row_begin .. row_end - 1 only, without progress:
// reads the whole strip (the windows reach beyond the rows), writes `filled`
// and `status` in those rows alone. Every pixel's result depends on the
// inputs only, so calls over disjoint row ranges may run at the same time and
// together give exactly what regression_fill gives. Each call prepares the
// whole strip again; to fill a strip in many pieces, build one
// RegressionStrip and call its fill_rows.
void regression_fill_rows(const double* const* target, const double* const* fill,
                          const unsigned char* target_mask, const unsigned char* fill_mask,
                          int band_count, int rows, int width,
                          double* const* filled, unsigned char* status,
                          double weight_offset, int similar_pixel_count,
                          int row_begin, int row_end);

}  // namespace pelvane
