#include "regression/regression_fill_reference.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "regression/pixel_status.h"
#include "regression/sarnic_rules.h"
#include "regression/window_scan.h"

namespace pelvane {
namespace {

using namespace sarnic;

// The strip as regression_fill receives it.
struct Strip {
    const double* const* target;
    const double* const* fill;
    const unsigned char* target_mask;
    const unsigned char* fill_mask;
    int bands;
    int rows;
    int width;
};

// Candidates of one search, in the order found: per band the target value
// (y) and the fill value (x), and one combined weight shared by all bands.
// Lives for the whole call and only grows, so pixels after the first rarely
// allocate.
struct CandidateStore {
    std::vector<std::vector<double>> y, x;
    std::vector<double> weight;

    explicit CandidateStore(int bands) : y(bands), x(bands) {}

    std::size_t size() const { return weight.size(); }

    void clear()
    {
        for (auto& v : y) v.clear();
        for (auto& v : x) v.clear();
        weight.clear();
    }
};

// Per-pixel working values, reused from pixel to pixel.
struct PixelWork {
    std::vector<double> centre;       // fill values of the pixel itself
    std::vector<double> tolerance;    // spectral tolerance per band
    std::vector<double> samples;      // tolerance samples, MAX_TOLERANCE_SAMPLES per band
    std::vector<double> fill_min, fill_max;  // of the co-valid candidates

    explicit PixelWork(int bands)
        : centre(bands), tolerance(bands),
          samples(static_cast<std::size_t>(bands) * MAX_TOLERANCE_SAMPLES),
          fill_min(bands), fill_max(bands) {}
};

// Tolerance from the fill values valid around the pixel.
void compute_tolerance(const Strip& s, int row, int col, PixelWork& w)
{
    spectral_tolerance(s.fill, s.fill_mask, s.bands, s.rows, s.width, row, col, w.samples.data(),
                       w.tolerance.data());
}

// Walks the growing windows around the pixel, each position once, calling
// `visit` on every strip position; stops after the first window at whose end
// the store holds at least `wanted` candidates, or when the side outgrows
// MAX_SIDE.
template <class Visit>
void search_windows(const Strip& s, int row, int col, int wanted, int (*step)(int),
                    const CandidateStore& store, Visit&& visit)
{
    int inner = 0;
    for (int side = FIRST_SIDE; side <= MAX_SIDE; side += step(side)) {
        const int half = (side - 1) / 2;
        scan_ring(row, col, half, inner, s.rows, s.width, visit);
        if (static_cast<long long>(store.size()) >= wanted) return;
        inner = half;
    }
}

void add_candidate(const Strip& s, std::size_t q, int dr, int dc, double weight_offset,
                   const PixelWork& w, CandidateStore& store)
{
    const double distance = static_cast<double>(dr * dr + dc * dc);
    // Every band is fitted with the sum of the band weights, first band first.
    double combined = 0.0;
    for (int b = 0; b < s.bands; ++b) {
        const double x = s.fill[b][q];
        store.y[b].push_back(s.target[b][q]);
        store.x[b].push_back(x);
        combined += 1.0 / ((std::fabs(x - w.centre[b]) + weight_offset) * distance);
    }
    store.weight.push_back(combined);
}

// Fits every band of the pixel from the stored candidates and writes the
// prediction and the status.
void fit_pixel(const Strip& s, std::size_t pos, bool similar_fit, const PixelWork& w,
               const CandidateStore& store, double* const* filled, unsigned char* status)
{
    const std::size_t n = store.size();
    for (int b = 0; b < s.bands; ++b)
        filled[b][pos] = fit_band(store.weight.data(), store.x[b].data(), store.y[b].data(), n,
                                  w.centre[b], similar_fit, w.fill_min[b], w.fill_max[b],
                                  status[pos]);
}

void predict_pixel(const Strip& s, int row, int col, double weight_offset,
                   int similar_pixel_count, PixelWork& w, CandidateStore& store,
                   double* const* filled, unsigned char* status)
{
    const std::size_t pos = static_cast<std::size_t>(row) * s.width + col;
    for (int b = 0; b < s.bands; ++b) w.centre[b] = s.fill[b][pos];
    compute_tolerance(s, row, col, w);

    // Candidates valid in both images and, band by band, within the
    // tolerance of the pixel's own fill values.
    store.clear();
    search_windows(s, row, col, similar_pixel_count, similar_step, store,
                   [&](std::size_t q, int dr, int dc) {
                       if (s.target_mask[q] != 0 || s.fill_mask[q] != 0) return;
                       for (int b = 0; b < s.bands; ++b)
                           if (!(std::fabs(s.fill[b][q] - w.centre[b]) <= w.tolerance[b])) return;
                       add_candidate(s, q, dr, dc, weight_offset, w, store);
                   });
    if (store.size() >= 2) {
        fit_pixel(s, pos, true, w, store, filled, status);
        return;
    }

    // Too few similar pixels: every position valid in both images counts.
    store.clear();
    for (int b = 0; b < s.bands; ++b) {
        w.fill_min[b] = FILL_RANGE_LOW_START;
        w.fill_max[b] = FILL_RANGE_HIGH_START;
    }
    search_windows(s, row, col, similar_pixel_count, covalid_step, store,
                   [&](std::size_t q, int dr, int dc) {
                       if (s.target_mask[q] != 0 || s.fill_mask[q] != 0) return;
                       add_candidate(s, q, dr, dc, weight_offset, w, store);
                       for (int b = 0; b < s.bands; ++b) {
                           const double x = s.fill[b][q];
                           if (x > w.fill_max[b]) w.fill_max[b] = x;
                           if (x < w.fill_min[b]) w.fill_min[b] = x;
                       }
                   });
    fit_pixel(s, pos, false, w, store, filled, status);
}

}  // namespace

namespace {

// Fills one pixel: copied when the target is valid or both images miss it,
// predicted otherwise.
void fill_pixel(const Strip& s, int row, int col, double weight_offset, int similar_pixel_count,
                PixelWork& work, CandidateStore& store, double* const* filled,
                unsigned char* status)
{
    const std::size_t pos = static_cast<std::size_t>(row) * s.width + col;
    if (s.target_mask[pos] != 0 && s.fill_mask[pos] == 0) {
        predict_pixel(s, row, col, weight_offset, similar_pixel_count, work, store, filled,
                      status);
        return;
    }
    for (int b = 0; b < s.bands; ++b) filled[b][pos] = s.target[b][pos];
    status[pos] = s.target_mask[pos] == 0 ? PIXEL_VALID : PIXEL_BOTH_MISSING;
}

}  // namespace

void regression_fill_reference(const double* const* target, const double* const* fill,
                               const unsigned char* target_mask, const unsigned char* fill_mask,
                               int band_count, int rows, int width,
                               double* const* filled, unsigned char* status,
                               double weight_offset, int similar_pixel_count,
                               ProgressFn progress, void* progress_context)
{
    if (band_count < 1 || rows < 1 || width < 1) return;
    const Strip s{target, fill, target_mask, fill_mask, band_count, rows, width};
    const std::size_t pixels = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width);
    const bool report = progress != nullptr && progress_context != nullptr;

    CandidateStore store(band_count);
    PixelWork work(band_count);

    for (int row = 0; row < rows; ++row) {
        for (int col = 0; col < width; ++col) {
            const std::size_t pos = static_cast<std::size_t>(row) * width + col;
            if (report)
                progress(static_cast<double>(pos) / static_cast<double>(pixels), "", progress_context);
            fill_pixel(s, row, col, weight_offset, similar_pixel_count, work, store, filled,
                       status);
        }
    }
}

}  // namespace pelvane
