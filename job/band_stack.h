#pragma once

#include <cstddef>
#include <memory>
#include <vector>

class GDALDataset;

namespace pelvane {

// One buffer of doubles per band, all of the same length, in raster order
// over a strip's window. The buffers are made without initial values: every
// user writes them in full before reading.
class BandStack {
public:
    BandStack() = default;
    BandStack(int band_count, std::size_t pixels);

    // The band pointers, in the form the fill stages take them.
    double* const* bands() { return pointers_.data(); }
    const double* const* bands() const { return pointers_.data(); }
    double* band(int b) { return pointers_[static_cast<std::size_t>(b)]; }
    const double* band(int b) const { return pointers_[static_cast<std::size_t>(b)]; }

    int band_count() const { return static_cast<int>(pointers_.size()); }
    std::size_t pixels() const { return pixels_; }

    // Frees the buffers now rather than at the end of the scope.
    void release();

private:
    std::vector<std::unique_ptr<double[]>> buffers_;
    std::vector<double*> pointers_;
    std::size_t pixels_ = 0;
};

// Reads bands 1..stack.band_count() of `dataset`, rows first_row to
// first_row + rows - 1 over columns 0 to width - 1, into `stack` as doubles.
// Returns false when GDAL reports a failed read.
bool read_band_stack(GDALDataset& dataset, int first_row, int rows, int width, BandStack& stack);

}  // namespace pelvane
