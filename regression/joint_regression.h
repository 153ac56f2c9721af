#pragma once

#include <cstddef>
#include <vector>

namespace pelvane {

// The refined fill's joint fit over several fill dates: the target's band b
// at a pixel predicted from every band of the dates valid there at once, by
// a weighted least-squares plane through the pixels around it that are
// valid in the target and in each of those dates. Each date's own refined
// fill reads one date; this fit reads them together, so that a date says
// what the others do not (one date's leaf-on red with another's leaf-off
// near-infrared), and a date whose relation to the target is poor near the
// pixel (haze, thin cloud, a field ploughed in between) gets a small slope
// by the fit itself.
//
// docs/method.md, "Several fill dates", gives the figures behind each
// constant.

// At most this many dates enter one pixel's fit: the first valid there, in
// the user's order. Every date added takes its own bands into the design
// and asks the candidates to be valid in one more date. On the real CBERS
// series (bench/accuracy/multidate.py, ten cases) the 4-date RMSEs summed
// to 536.0 DN with 2, 528.8 with 3 and 527.3 with 4 (4 candidates per
// term), but with 3 or 4 a hazy third date made two cases 2.5 and 3.0 %
// worse, with 2 at most 0.7 %: a later date joins only where an earlier
// one is missing.
constexpr int JOINT_DATES_MOST = 2;
// Half-width of the first window: the local plane's 11 x 11
// (local_regression.h), grown as the similar search grows its windows.
constexpr int JOINT_HALF = 5;
// Candidates per term of the design (bands times dates) the window holds
// before it stops growing; at least JOINT_FEWEST. On the CBERS series (four
// bands, two dates: eight terms) the 4-date RMSEs summed to 536.0 DN with
// 4 per term, 529.6 with 8 and 527.9 with 12 (larger windows still); on
// the 2000 x 700 demo scene 8 made the whole two-date fill about 12 %
// slower than 4 (one run side by side on a busy machine). With every date
// aligned on the target (fill_alignment.h) the larger windows gained more:
// 2 / 4 / 8-date sums 499.9 / 494.2 / 493.6 DN with 8 per term, 496.6 /
// 490.7 / 490.1 with 12, 494.9 / 489.3 / 488.6 with 16 and 494.4 / 488.1
// / 487.4 with 24, for about 14, 19 and 24 s of CPU for the two-date fill
// of the demo scene with 8, 16 and 24 (medians of four, alternated).
constexpr int JOINT_PER_TERM = 16;
constexpr int JOINT_FEWEST = 40;  // as the local plane's LOCAL_FEWEST
// Ridge, as the local plane's: JOINT_RIDGE times the summed weights added
// to the diagonal of the weighted scatter of the scaled date values (each
// band of each date in units of its spread over the strip). On the CBERS
// series the 4-date RMSEs summed to 537.5 DN with 0.003 (the local
// plane's), 536.0 with 0.01 and 537.8 with 0.03 (4 candidates per term).
constexpr double JOINT_RIDGE = 0.01;

// The strip the fit reads. Pointers to the caller's arrays.
struct JointDates {
    const double* const* target;        // band pointers
    const unsigned char* target_gap;    // nonzero: not a candidate (a gap of the target)
    const double* const* fill;          // dates x bands band pointers, date after date
    const unsigned char* const* fill_gap;  // per date, nonzero: missing there
    // dates x bands: the spread each date band's values are divided by
    // (joint_scales); 0 leaves the band out of the spectral distance and
    // the design.
    const double* scale;
    int dates;
    int bands;
    int rows;
    int width;
};

// Per date and band, the standard deviation of the date's values at the
// pixels valid in the target and in that date; 0 where it vanishes, is not
// finite or no pixel is valid in both.
std::vector<double> joint_scales(const JointDates& in);

// Working storage of one thread, reused from pixel to pixel.
struct JointScratch {
    std::vector<int> dates, terms;  // dates in the fit; terms d * bands + b
    std::vector<double> sums, x, own, slope;
};

// The joint fit at (row, col), written to out[0 .. bands - 1]. The dates
// are the first JOINT_DATES_MOST valid at the pixel; the terms their bands
// with a positive scale. Candidates: the pixels (other than the pixel
// itself) valid in the target and in every one of those dates, in the
// window of half-width JOINT_HALF grown (next_similar_half) while it holds
// fewer than max(JOINT_FEWEST, JOINT_PER_TERM x terms). Each weighs
// 1 / ((spectral distance + SIMILAR_DISTANCE_OFFSET)^2 * squared distance
// in pixels), the spectral distance the root mean square of the scaled
// differences over the terms. With x a candidate's scaled values less the
// pixel's own and y its target values, the centred weighted scatter plus
// JOINT_RIDGE * sum w on its diagonal is solved (Cholesky) for one slope
// vector per band; the prediction is the weighted mean of y minus the
// slopes times the weighted mean of x. Returns the candidates used; 0
// (nothing written) when no date is valid at the pixel, there are no
// candidates or the system is not positive definite. Reads only the
// inputs: pixels may run on any thread in any order.
int joint_regression_predict(const JointDates& in, int row, int col, JointScratch& work,
                             double* out);

}  // namespace pelvane
