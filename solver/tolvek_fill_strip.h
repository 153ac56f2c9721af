#pragma once

#include <cstddef>

#include "solver/restore_options.h"


namespace pelvane {

// What the Tolvek stage takes beyond the strip's buffers.
struct TolvekParams {
    // No defaults here: the job's are in JobSettings and RunOptions.
    double regularization;            // weight of the valid pixels
    int max_iterations;               // solver iteration limit
    double tolerance;                 // solver convergence tolerance
    RestoreProgressFn progress = nullptr;  // the solver's progress, or none
    void* progress_user_data = nullptr;
    // Gaps start from push_pull_fill of the band's other pixels instead of
    // 2.0, so the solver starts near its answer and converges far sooner.
    bool smart_start = false;
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

// The stage's parts, for callers that run the bands apart (bands are
// independent of each other; tolvek_fill_strip runs them one after another).
//
// The solver's weight map: 0 at the remaining gaps, the regularization
// elsewhere; `gap_weights` holds width * rows doubles.
void make_gap_weights(const unsigned char* remaining_gap_mask, std::size_t pixels,
                      double regularization, double* gap_weights);

// One band: normalise, solve, put the held pixels back, map back and clamp.
// `band` and `scratch` hold width * rows doubles each; `original` is scratch of
// the same size. Returns false when the solve could not run (out of memory).
bool tolvek_fill_band(double* band, double* scratch, double* original,
                      const unsigned char* remaining_gap_mask, const double* gap_weights,
                      int width, int rows, const TolvekParams& params);

}  // namespace pelvane
