#pragma once

#include "solver/restore_options.h"

namespace pelvane {

// What the Tolvek stage takes beyond the strip's buffers.
struct TolvekParams {
    double regularization = 1000.0;   // weight of the valid pixels
    int max_iterations = 600;         // solver iteration limit
    double tolerance = 0.001;         // solver convergence tolerance
    RestoreProgressFn progress = print_progress;  // solver lines; null for none
    void* progress_user_data = nullptr;
};

// The Tolvek stage of one strip: fills the pixels whose remaining_gap_mask byte
// is nonzero, band by band, with tv_restore (L1 model). filled and
// solver_input are arrays of band_count band pointers of width * rows doubles;
// solver_input is scratch. Each band is mapped so that its non-gap values span
// 0..1, solved, mapped back and clamped to that span. Pixels with a positive
// weight (non-gaps, when regularization > 0) keep their values exactly.
// Does nothing when the mask holds no gap. Returns false when a buffer could
// not be allocated (of the stage or of a band's solve): the output of that
// band is then not a fill and the job should stop.
bool tolvek_fill_strip(double* const* filled, double* const* solver_input,
                       const unsigned char* remaining_gap_mask,
                       int width, int rows, int band_count, const TolvekParams& params);

}  // namespace pelvane
