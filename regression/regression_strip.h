#pragma once

#include <cstddef>
#include <vector>

#include "regression/regression_fill.h"

namespace pelvane {

// One strip made ready for regression_fill's searches, built once and then
// filled in row ranges, possibly from several threads at once.
//
// The searches look at up to a few tens of thousands of window positions per
// gap pixel and keep very few of them, so the strip is prepared for cheap
// rejection:
// - `both_valid`: one byte per pixel, 0xFF where target and fill are both
//   valid, 0 elsewhere (the first condition of every candidate);
// - one byte code per band and pixel, non-decreasing in the fill value, so
//   that the fill values within a pixel's tolerance map to one interval of
//   codes. Where a band's fill values at positions valid in both images are
//   all whole numbers from 0 to 255 the code is the value itself; otherwise
//   the band's range is cut into 256 equal steps.
// Sixteen neighbouring positions are then tested at once on their codes; the
// few that pass go through the exact test on the doubles, the one that
// decides. The code test only ever rejects positions the exact test would
// reject too, so the candidates, their order and every sum stay those of
// regression_fill_reference, bit for bit.
//
// The strip holds pointers to the caller's arrays and reads them during
// fill_rows: they must outlive it, unchanged. Its own memory is
// (band_count + 1) bytes per pixel.
class RegressionStrip {
public:
    // The arguments of regression_fill that describe the strip and the fit.
    RegressionStrip(const double* const* target, const double* const* fill,
                    const unsigned char* target_mask, const unsigned char* fill_mask,
                    int band_count, int rows, int width,
                    double weight_offset, int similar_pixel_count);

    // Writes `filled` and `status` in the strip rows row_begin .. row_end - 1
    // (clipped to the strip), exactly as regression_fill writes them there,
    // and nothing else. Reads the whole strip. Safe to call concurrently over
    // disjoint row ranges.
    void fill_rows(int row_begin, int row_end, double* const* filled,
                   unsigned char* status) const;

    // The same, calling `progress` before every pixel with its index over the
    // strip's pixel count, as regression_fill does (nothing when
    // progress_context is null).
    void fill_rows(int row_begin, int row_end, double* const* filled, unsigned char* status,
                   ProgressFn progress, void* progress_context) const;

    int rows() const { return rows_; }
    int width() const { return width_; }

    // How one band's fill values map to codes.
    struct CodeScale {
        bool whole_bytes;  // the code is the value itself
        double base;       // otherwise code = floor((x - base) * scale), clamped to 0..255
        double scale;
    };

private:
    struct Scratch;
    void fill_pixel(int row, int col, Scratch& work, double* const* filled,
                    unsigned char* status) const;
    void predict_pixel(int row, int col, Scratch& work, double* const* filled,
                       unsigned char* status) const;
    bool similar_bounds(Scratch& work) const;
    void compute_tolerance(int row, int col, Scratch& work) const;
    template <bool Similar, int Bands>
    void search(int row, int col, Scratch& work) const;

    const double* const* target_;
    const double* const* fill_;
    const unsigned char* target_mask_;
    const unsigned char* fill_mask_;
    int bands_;
    int rows_;
    int width_;
    double weight_offset_;
    int similar_pixel_count_;

    struct alignas(64) CacheLine {
        unsigned char bytes[64];
    };
    unsigned char* lane_group(int row, int group)
    {
        return lanes_[0].bytes + (static_cast<std::size_t>(row) * groups_ + group) * group_bytes_;
    }
    const unsigned char* lane_group(int row, int group) const
    {
        return lanes_[0].bytes + (static_cast<std::size_t>(row) * groups_ + group) * group_bytes_;
    }
    const unsigned char* tile(int tile_row, int group) const
    {
        return &tiles_[(static_cast<std::size_t>(tile_row) * groups_ + group) * tile_chunks_ * 16];
    }

    std::vector<CodeScale> scales_;
    std::vector<int> inexact_bands_;  // bands whose codes do not decide the test alone
    int groups_ = 0;              // 16-column groups per row, the last one padded
    std::size_t group_bytes_ = 0; // lanes of one (row, group), a whole number of cache lines
    std::vector<CacheLine> lanes_;
    int tile_chunks_ = 0;         // 16-byte pieces of one tile summary
    std::vector<unsigned char> tiles_;
};

}  // namespace pelvane
