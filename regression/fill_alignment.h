#pragma once

#include <cstddef>
#include <functional>

#include "regression/work_items.h"

namespace pelvane {

// Aligning a fill image to the target before the refined fill regresses one
// on the other.
//
// Two acquisitions of one scene are seldom registered to the pixel: a fill
// image off by half a pixel gives every local regression a blurred
// predictor. estimate_fill_shift finds the sub-pixel translation of the
// fill that best explains the target, shift_fill resamples the fill at it.
//
// A shift (dy, dx) means: the aligned fill at row y, column x is the fill's
// value at (y + dy, x + dx), read by cubic convolution.

// One strip's bands, in raster order over `rows` x `width` pixels; a gap
// mark is nonzero where the image has no value.
struct AlignmentStrip {
    const double* const* target = nullptr;
    const unsigned char* target_gap = nullptr;
    const double* const* fill = nullptr;
    const unsigned char* fill_gap = nullptr;
    int bands = 0;
    int rows = 0;
    int width = 0;
};

struct FillShift {
    double dy = 0.0;
    double dx = 0.0;
    // The score at the shift over the score at no shift (1 with no shift).
    double ratio = 1.0;
    bool none() const { return dy == 0.0 && dx == 0.0; }
};

// The largest shift searched, in pixels, along either axis. The images the
// refined fill is meant for are one product's dates, misregistered by a
// fraction of a pixel (half a pixel on the Landsat pairs, up to three
// quarters between the CBERS dates); two pixels also catch a fill moved by
// one whole pixel with room to spare.
constexpr double FILL_SHIFT_MAX = 2.0;
// The finest step of the search: an eighth of a pixel. The residual changes
// by a few tenths of a percent between neighbouring eighths near the least.
constexpr double FILL_SHIFT_STEP = 0.125;
// About this many sample pixels per strip score a shift: a lattice over the
// pixels where every shift can be scored. On the real Landsat pairs half as
// many samples gave the same shifts but one (an RMSE 0.3 % higher there, with
// an earlier form of the search); the search costs about 2 % of the refined
// fill's CPU time on the 2000 x 700 demo scene.
constexpr std::size_t FILL_SHIFT_SAMPLES = 12000;
// Fewer samples than this many per fitted term and no shift is sought: the
// residual would move by chance more than by the shift.
constexpr std::size_t FILL_SHIFT_SAMPLES_PER_TERM = 40;
// A shift is taken only if its score is at least this share below the
// score at no shift and below the score at the opposite shift. Resampling
// smooths the fill, and on noisy images the smoothing alone lowers the
// residual a little at any fractional shift, by as much at -d as at d; a
// real displacement scores well below both. On the real Landsat pairs the
// shift taken scores 4 to 10 % below no shift and more below its opposite;
// on olinda, registered to the pixel, no shift scores best.
constexpr double FILL_SHIFT_MARGIN = 0.02;

// The shift of the fill that best explains the target. A shift's score is
// the residual variance, summed over the target's bands, of each target band
// regressed by least squares on all the shifted fill's bands plus an
// intercept, at a lattice of sample pixels valid in the target whose support
// in the fill is valid and inside the strip at every shift searched (the
// same samples for every shift). The search scores a grid of whole pixels
// within FILL_SHIFT_MAX, then the neighbours of the best at a half, a
// quarter and an eighth of a pixel (50 shifts in all; a first grid of half
// pixels, twice as many, found the same shifts on the real pairs and in all
// but 2 of the 270 fills of the CBERS series, docs/method.md). No shift is returned unless the best passes
// FILL_SHIFT_MARGIN. `parallel` (may be empty: one after another) runs the
// shifts of a stage; the result does not depend on it.
FillShift estimate_fill_shift(const AlignmentStrip& strip, const WorkItems& parallel = {});

// Resamples the fill's bands in place at `shift` by separable cubic
// convolution (Keys, a = -0.5), rows and columns beyond the strip taken as
// its edge's. Gap pixels keep their values. Where a pixel's 4 x 4 support
// holds a gap pixel, the value is the bilinear interpolation over the
// valid ones among the 2 x 2 nearest taps (its weights are never negative,
// so renormalising over fewer taps stays within their values), and the
// pixel's own value where none of the four is valid.
void shift_fill(double* const* fill, const unsigned char* fill_gap, int bands, int rows, int width,
                const FillShift& shift);

}  // namespace pelvane
