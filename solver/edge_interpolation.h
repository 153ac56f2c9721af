#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "solver/work_buffer.h"

namespace pelvane {

// Interpolation of gap pixels from the known pixels at the gap's edges: each
// gap pixel is a weighted mean of up to EDGE_NEIGHBOURS known pixels around
// it, with the weights of ordinary kriging (the unbiased linear prediction
// with the least expected squared error, given how fast the image's pixels
// decorrelate with distance). Unlike inverse-distance weights, these weights
// account for the known pixels' positions relative to each other: a cluster
// of pixels on one side counts little more than a single one, and nearer
// pixels shadow those behind them.
//
// The correlation model is measured on the image itself (edge_variogram,
// fit_edge_model) and shared by all bands, so that one set of weights per
// pixel serves every band.
//
// The refined fill's interpolation takes its weights from here too
// (weights(), with the target's valid pixels as the known ones and
// REFINE_OCTANT_QUOTA per octant, refine_fill.h). docs/method.md describes
// the interpolation and what each of its choices gave.

// The correlation between two pixels h > 0 pixels apart is
// exp(-h / range); a pixel's own variance is 1 + nugget (the share of each
// value that no neighbour predicts: sensor noise, sub-pixel texture).
struct EdgeModel {
    double nugget = 0.0;
    double range = 4.0;
};

// Lags 1 .. EDGE_LAGS of the variogram: far enough that the correlation
// ranges we measured on real scenes (3 to 5 pixels) have fallen to e^-2.
constexpr int EDGE_LAGS = 10;

// Known pixels taken per octant around a gap pixel, nearest first: every
// side of a gap is heard, and a pixel deep in a wide gap still gets its far
// side. 4 per octant, 32 in all: on the real pairs 16, 24, 32 and 48 gave
// 10.30, 10.14, 10.01 and 9.93 DN where both images miss the pixel, 48 at
// 3.4 times the cost of 32.
constexpr int EDGE_OCTANT_QUOTA = 4;
constexpr int EDGE_NEIGHBOURS = 8 * EDGE_OCTANT_QUOTA;

// The search radius, in pixels: known pixels at offsets (dy, dx) with
// dy^2 + dx^2 > EDGE_REACH^2 are not searched, and a gap pixel with none
// within it is not predicted. The same reach as the usual inverse-distance
// gap fillers' default.
constexpr int EDGE_REACH = 100;

// The semivariogram of the known pixels (gap_mask zero): for each lag h in
// 1 .. EDGE_LAGS, half the mean squared difference between the known pixels
// h apart along a row and along a column, over all bands pooled after each
// band's values are divided by its own value at lag EDGE_LAGS (bands without
// any difference there are left out). Pairs start on every `row_step`-th
// row of the strip (row 0, row_step, ...). Written to gamma[0 .. EDGE_LAGS-1];
// returns false, with gamma all 0, when no band has a pair at every lag.
// Sums run band by band, lag by lag, row pairs of a row before its column
// pairs, in raster order. `items` (or empty: one after another) runs each
// band's sums, which are then pooled in band order: the same bits on any
// number of threads.
using EdgeItems = std::function<void(std::size_t count, const std::function<void(std::size_t)>& work)>;
bool edge_variogram(const double* const* bands, int band_count, const unsigned char* gap_mask,
                    int width, int rows, int row_step, double* gamma, const EdgeItems& items = {});

// Fits gamma(h) = nugget' + sill * (1 - exp(-h / range)) to gamma[0 ..
// EDGE_LAGS-1] (lags 1 .. EDGE_LAGS) by least squares, over 60 ranges from
// 0.5 to 50 pixels spaced by a constant factor (the least squares give
// nugget' >= 0 and sill > 0 for each range; the range with the least
// residual wins, the smaller on a tie). Returns nugget' / sill and the range.
// A curve no range fits (all zero, or falling) gives the default EdgeModel.
EdgeModel fit_edge_variogram(const double* gamma);

// The model of a strip: edge_variogram over every `row_step`-th row, fitted.
EdgeModel fit_edge_model(const double* const* bands, int band_count,
                         const unsigned char* gap_mask, int width, int rows, int row_step,
                         const EdgeItems& items = {});

class EdgeWeightCache;

// Interpolates gap pixels with one model; built once (it tabulates the
// correlations), then used from any number of threads.
class EdgeInterpolator {
public:
    explicit EdgeInterpolator(const EdgeModel& model);

    // For each of the `count` pixels at `positions` (row * width + column of
    // the strip), whatever their own mask says: the known pixels (gap_mask
    // zero, never the pixel itself) are searched in order of distance, then
    // row, then column (offsets (dy, dx) sorted by dy^2 + dx^2, dy, dx), out
    // to EDGE_REACH, and each is taken while its octant holds fewer than
    // EDGE_OCTANT_QUOTA. The weights w solve the ordinary kriging system
    // (the correlations among the taken pixels, with 1 + nugget on the
    // diagonal, and the condition that they sum to 1), through a Cholesky
    // factorisation of the correlations. Written per pixel i and band b:
    // values[i * band_count + b] = sum of w_j v_j, in the order taken, and,
    // when `spread` is not null, spread[i * band_count + b] = sum |w_j|
    // (v_j - value)^2 / sum |w_j|, how far the values it averaged lie from
    // it. A pixel with no known pixel within reach gets NaN in both.
    // Returns how many pixels got no prediction.
    // With `known_error` (band pointers: the standard error of each known
    // pixel's value, 0 where it is exact; NaN counts as 0) and `carried` not
    // null, carried[i * band_count + b] = (sum |w_j| known_error_j)^2: the
    // errors of the known pixels the value averages, carried into it as if
    // they all had the same sign (neighbouring fills err alike; summed as
    // independent errors they fell short, docs/method.md).
    std::size_t predict(const double* const* bands, int band_count,
                        const unsigned char* gap_mask, int width, int rows,
                        const std::size_t* positions, std::size_t count, double* values,
                        double* spread, const double* const* known_error = nullptr,
                        double* carried = nullptr) const;

    // The kriging weights of one pixel at `pos`, as predict() takes them
    // (predict: quota EDGE_OCTANT_QUOTA), with `quota` (1 .. EDGE_OCTANT_QUOTA)
    // known pixels per octant and those closer than `exclude` rows and
    // columns left out (1: only the pixel itself): the positions into
    // at[0 .. n - 1] and the weights into weight[0 .. n - 1] (both
    // EDGE_NEIGHBOURS long); returns n, 0 when no known pixel lies within
    // reach.
    // With `cache` (or null), weights solved before for the same offsets
    // are taken from there, and new ones kept there: the same bits.
    int weights(const unsigned char* gap_mask, int width, int rows, std::size_t pos, int exclude,
                int quota, std::size_t* at, double* weight, EdgeWeightCache* cache = nullptr) const;

    const EdgeModel& model() const { return model_; }

private:
    EdgeModel model_;
    std::vector<double> correlation_;  // by |dy| * (2 * EDGE_REACH + 1) + |dx|
    double correlation(int dy, int dx) const;
    // The kriging weights of n known pixels at offsets (dy, dx) from the
    // pixel, into weight[0 .. n - 1].
    void solve(const int* dy, const int* dx, int n, double* weight) const;
};

// Kriging weights kept by the offsets of their known pixels. Along a gap of
// even width, neighbouring gap pixels often take their known pixels at the
// same offsets, and the same offsets give the same weights (the same
// arithmetic on the same correlations): a pixel whose offsets are here
// skips the factorisation. A hash of the offsets picks a pair of entries,
// each compared in full; a new set of weights takes the place of the one
// of the pair used less lately (a pair, not one entry: the hashes of
// patterns in use at once fall on one place often enough that with one
// entry per place 1.44 times as many systems were solved by the refined
// fill of the 2000 x 700 demo scene). It keeps the model it was filled under and empties itself for
// another. Not for several threads at once: one each.
class EdgeWeightCache {
public:
    EdgeWeightCache();
    // The calling thread's own, kept while the thread lives (about 21 MiB).
    static EdgeWeightCache& of_this_thread();
    // The bytes one cache holds once filled.
    static std::size_t bytes();

private:
    friend class EdgeInterpolator;
    // Entries (about 330 bytes each): a tilted stripe shows a pixel's
    // offsets again a row further on, some columns along, so the cache
    // holds about a row's worth. On the 2000 x 700 demo scene 256, 2048,
    // 8192 and 32768 entries saved the factorisation for 37, 70, 83 and
    // 89 % of the pixels. In pairs, 16384 entries solved 47 395 systems
    // there, 32768 about 31 000, 65536 25 000, 131072 23 000: 65536 for 16 MiB
    // more per thread than 16384.
    static constexpr std::size_t SLOTS = 65536;
    struct Entry {
        int n = 0;  // 0: empty
        std::uint32_t generation = 0;  // the cache's generation it was solved in (in n's padding)
        std::int16_t offset[EDGE_NEIGHBOURS];  // dy * OFFSET_BASE + dx, in the order taken
        double weight[EDGE_NEIGHBOURS];
    };
    EdgeModel model_;
    std::uint32_t generation_ = 0;  // raised for each new model
    // Pair k: entries 2k and 2k + 1. Mapped on its own, in huge pages where
    // the system gives them: the lookups land anywhere in it, and with small
    // pages many also missed the address translation's caches.
    WorkBuffer memory_;
    Entry* entries_ = nullptr;
    std::vector<unsigned char> recent_;  // per pair, the entry used last (0 or 1)
};

// The instruction sets weights() may use, at most `most` (SimdPath of
// solver/skewed_sweep.h; all by default): every one gives the same pixels in
// the same order, which the tests check.
void limit_edge_simd_path(int most);

// The octant of offset (dy, dx) != (0, 0), 0 .. 7: octant k holds the
// angles atan2(dy, dx) from k * 45 degrees up to, not including, (k + 1) * 45.
int edge_octant(int dy, int dx);

}  // namespace pelvane
