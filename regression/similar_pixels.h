#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "regression/work_items.h"

namespace pelvane {

// The refined fill's similar pixels: the candidates valid in both images
// whose fill values are nearest to the pixel's own over all bands at once,
// each band's difference divided by that band's spread. Unlike the standard
// fill's search (every band within its own tolerance), this one always
// finds candidates where any exist, however many bands there are: it takes
// the most similar ones from a window that grows until it holds enough.
// They are no longer one of the refined fill's predictors: their line
// through target on fill, the fit most like the regression, tells the
// calibration how the regression's errors grow with distance (the
// regression itself cannot leave rings out). SimilarSearch also describes
// the strip to the local plane (local_regression.h), which weighs its
// pixels the same way.
//
// docs/method.md, "Constants and why", gives each constant's figures.

// Half-width of the first window: the 15 x 15 square, the standard search's
// first side less one on each side; most stripe pixels find their
// candidates there.
constexpr int SIMILAR_FIRST_HALF = 7;
// The window holds this many candidates per similar pixel before the most
// similar are taken: enough choice that the most similar are similar,
// without reaching far (the weights keep far ones light anyway).
constexpr int SIMILAR_POOL = 4;
// The window stops growing at this half-width: the standard search's
// largest side, 399. Growing by half plus one, few growths cover a sparse
// strip.
constexpr int SIMILAR_MAX_HALF = 199;
// Added to the spectral distance (in band spreads) in the weights, so that
// a candidate that matches exactly does not take all the weight; small
// against the distances of real candidates (0.2 to 1).
constexpr double SIMILAR_DISTANCE_OFFSET = 0.1;

// The strip the search reads. Pointers to the caller's arrays, which must
// outlive it.
struct SimilarSearch {
    const double* const* target;
    const double* const* fill;
    const unsigned char* both_valid;  // nonzero: valid in both images (a candidate)
    // Per pixel, its bands' fill values each divided by the band's spread,
    // one pixel after the other (similar_scaled_fill).
    const float* scaled_fill;
    int bands;
    int rows;
    int width;
    int count;  // similar pixels taken
};

// The next half-width of a growing window: by half plus one, at most
// SIMILAR_MAX_HALF.
inline int next_similar_half(int half) { return std::min(half + half / 2 + 1, SIMILAR_MAX_HALF); }

// Squared spectral distance of pixel q to the scaled fill values `centre`:
// the mean over the bands of the squared differences; +infinity where it is
// not a number, so that the order stays total.
inline double spectral_distance2(const SimilarSearch& s, const float* centre, std::size_t q)
{
    const float* x = s.scaled_fill + q * static_cast<std::size_t>(s.bands);
    double sum = 0.0;
    for (int b = 0; b < s.bands; ++b) {
        const double d = static_cast<double>(x[b]) - centre[b];
        sum += d * d;
    }
    sum /= s.bands;
    return std::isnan(sum) ? std::numeric_limits<double>::infinity() : sum;
}

// Orders (squared distance, pixel or entry) pairs by distance, then by the
// second: the pairs' own order, for distances that are never NaN (as
// spectral_distance2 makes them), without the three-way comparison the
// pairs' operator< goes through.
struct NearerPair {
    template <class Pair>
    bool operator()(const Pair& a, const Pair& b) const
    {
        return a.first < b.first || (a.first == b.first && a.second < b.second);
    }
};

// The fill values the spectral distance reads: per pixel and band, the
// value divided by the standard deviation of the band's fill values at the
// pixels valid in both images (0 for a band where that vanishes or is not
// finite), as floats, the bands of a pixel side by side: a quarter of the
// memory of the doubles it comes from, read in one stretch per candidate.
// `items` (or empty: one after another) runs the bands' spreads, then
// pieces of the pixels: the same values on any number of threads.
std::vector<float> similar_scaled_fill(const double* const* fill, const unsigned char* both_valid,
                                       int bands, std::size_t pixels, const WorkItems& items = {});

// Working storage of one thread, reused from pixel to pixel.
struct SimilarScratch {
    std::vector<double> chosen_distance2, weight;
    std::vector<std::pair<double, std::size_t>> found;  // squared spectral distance, pixel
    std::vector<std::size_t> chosen;
};

// Two predictions of the target at (row, col) from its similar pixels, per
// band: `spatial`, the weighted mean of their target values, and `line`, the
// weighted least-squares line of target on fill through them evaluated at
// the pixel's fill values (slope clamped to 0 .. 1.5: a steeper one comes
// from noise). Weights 1 / ((spectral distance + SIMILAR_DISTANCE_OFFSET)^2
// * squared distance in pixels): of the forms tried, the best similar mean
// on every real pair.
//
// Candidates lie at least `exclude` rows or columns away (1: any but the
// pixel itself); the window grows from SIMILAR_FIRST_HALF by half its
// half-width plus one until it holds SIMILAR_POOL * count candidates or
// reaches SIMILAR_MAX_HALF. The `count` with the least spectral distance
// are taken (ties to the lower index) and summed in that order. Returns the
// number taken; 0 (nothing written) when the window holds none. Reads only
// the inputs, so pixels may be done in any order and on any thread.
int similar_predict(const SimilarSearch& s, int row, int col, int exclude, SimilarScratch& work,
                    double* spatial, double* line);

// The same by brute force: every pixel of the strip tested, all of them
// sorted. The reference the tests compare similar_predict with.
int similar_predict_reference(const SimilarSearch& s, int row, int col, int exclude,
                              double* spatial, double* line);

}  // namespace pelvane
