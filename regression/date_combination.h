#pragma once

#include <cstddef>
#include <vector>

namespace pelvane {

// Several fill dates' refined fills of one strip, combined pixel by pixel.
//
// Each date d filled the target's gap pixels it is valid at (its status 1,
// 2, 3 or `spatial_status`) with a value and the value's estimated standard
// error per band. At every such pixel and band the dates that filled it are
// averaged:
//   - with `covariance` (bands x dates x dates, band after band: the mean
//     product of two dates' errors, measured where the truth is known), by
//     the weights w >= 0, sum 1, that make w' C w the least over those
//     dates: the dates' errors go together (they read the same target
//     around the pixel), and a date that only repeats a better one's error
//     gets nothing. A date with a negative weight is left out and the rest
//     weighed again. The combined error is the dates' estimates averaged
//     by w, times what the combination gains on the measured errors:
//     sqrt(w' C w) / sum w_d sqrt(C_dd);
//   - without it (null), by the inverse variances 1 / error^2 of the
//     pixel's own estimates, the combined error 1 / sqrt(sum of them).
// A date whose error there is not a positive finite number is left out in
// that band; where no date is left, the first predicting date's value and
// error stand.
//
// What is combined is held in date 0's buffers, which receive the result:
//   values[d * bands + b], errors[d * bands + b]  band b of date d
//   status[d]                                     date d's status per pixel
// Pixels no date predicted keep date 0's value, error and status. Where a
// date other than the first weighs the most (summed over the bands), the
// pixel's status becomes `other_date_status`; elsewhere it keeps date 0's.
// With one date nothing changes. Each pixel reads only its own values, so
// pixel ranges may run at the same time and in any order.
//
// `kept` (bands x dates, band after band; null: every date) limits each
// band to the dates marked nonzero wherever one of them predicted the
// pixel; where none did, every date that predicted it is combined as above,
// so a pixel some date fills is never left to spatial means.
void combine_dates(int dates, int bands, std::size_t pixel_begin, std::size_t pixel_end,
                   double* const* values, double* const* errors,
                   unsigned char* const* status, const double* covariance,
                   unsigned char spatial_status, unsigned char other_date_status,
                   const unsigned char* kept = nullptr);

// The weights w >= 0, sum 1, that make w' C w the least over the `count`
// dates `dates` picks out of the `stride` x `stride` matrix `c`; dates whose
// weight would be negative get 0 (one at a time, the most negative first).
// `weight` receives count values; `work` needs count * (count + 1) doubles.
void least_error_weights(const double* c, int stride, const int* dates, int count,
                         double* weight, double* work);

// Copy pixels two dates must both have filled for their errors' product to
// count. 30 pairs pin a mean product to within a fifth or so.
constexpr std::size_t DATE_PAIRS_LEAST = 30;

// The covariance matrices combine_dates takes (bands x dates x dates) from
// the errors of each date at n pixels where the truth is known:
// copy_error[(d * bands + b) * n + j], NaN where date d did not fill pixel j.
// On the diagonal each date's mean squared error; off it, one correlation
// per band, the mean of those of the pairs of dates that filled
// DATE_PAIRS_LEAST pixels together (0 when no pair did): a few hundred
// pixels, themselves correlated, pin one correlation but not one per pair
// (on the real series one per pair did no better and was less steady). A
// date with fewer than DATE_PAIRS_LEAST of its own takes the largest
// measured squared error: it is trusted no more than the worst measured
// date. Empty when no date has DATE_PAIRS_LEAST of its own in some band.
// With `kept` (bands x dates, as helpful_dates returns it) a band's
// correlation is the mean over the pairs of dates it marks in that band.
std::vector<double> date_error_covariance(const double* copy_error, std::size_t dates, int bands,
                                          std::size_t n, const unsigned char* kept = nullptr);

// How sure a later date's gain on the copies must be for it to be taken
// in: its mean over the copies at least DATE_GAIN_SURE standard errors,
// each copy (one hole's shape, whose pixels err together) counted once.
// 1.5 (a one-sided chance of about 7 % that a date which does not help
// passes): on the real series 2 also kept out dates that helped (the ten
// cases' summed 2-date RMSE 530.8 DN against 528.8), 1 let in one that made
// a case 11 % worse than the first date alone. With few copies the
// standard error is itself uncertain, and the multiple is raised to
// Student's t for the same chance (4.69 with two copies, 2.04 with four,
// 1.5 with many): with two cloud holes' copies 1.5 let in a date that made
// a case 2.3 % worse than the first date alone.
constexpr double DATE_GAIN_SURE = 1.5;
// Copies a later date's gain must be measured on at all. From two, the
// spread of the gain is one difference: on the real series two cloud
// holes' copies agreed on a date that made the holes 5.6 % worse than the
// first date alone, even at Student's 4.69 standard errors.
constexpr int DATE_COPIES_LEAST = 3;

// Which dates combine_dates takes per band (its `kept`: bands x dates),
// from the errors at n copy pixels, laid out as date_error_covariance reads
// them, and `copy` the copy (0 ... copies - 1) each pixel belongs to. The
// first date is always kept; each later one, in the user's order, is taken
// in when the combination with it errs clearly less in square on the copies
// than the combination of the dates kept before it (both combined as
// combine_dates would). A later date therefore counts only where it was
// seen to help. Date d is weighed by the covariance of dates 0 ... d alone
// (date_error_covariance over them), so the choice of a date does not
// depend on the dates after it: a list's choices stay those of its first
// dates when more dates are added (on the real series, with the mean
// correlation over all the dates, adding two dates made one case 7.6 %
// worse by dropping a date the shorter list kept).
std::vector<unsigned char> helpful_dates(const double* copy_error, std::size_t dates, int bands,
                                         std::size_t n, const int* copy, int copies);

}  // namespace pelvane
