#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "regression/regression_fill.h"
#include "regression/work_items.h"

namespace pelvane {


// One strip made ready for regression_fill's searches: built once, then
// filled in row ranges, from several threads at once if need be.
//
// The similar search looks at up to tens of thousands of window positions per
// gap pixel and keeps a few dozen, so the strip is prepared for cheap
// rejection. Per band and pixel it holds a byte code that never decreases as
// the fill value grows, so the fill values within a pixel's tolerance have
// codes within one interval; where all of a band's fill values at positions
// valid in both images are whole numbers from 0 to 255 (Byte images) the code
// is the value itself, otherwise the band's range is cut into 256 steps.
//
// Layout: the strip's columns fall into groups of 16. For every row and
// group, 16 bytes that are 0xFF where target and fill are both valid (else
// 0), then 16 codes per band, padded to a multiple of 64 bytes; the rows of
// a group follow each other, then the next group's (so the rows of a window
// lie in a few straight runs of memory). Tiles of 8 rows of one group keep,
// per band, the lowest code and 255 minus the highest one over their
// positions valid in both images; they too follow each other down a group.
//
// A search tests a tile against the pixel's code intervals, skips it when no
// position in it can pass, and otherwise tests the 16 positions of a group
// row at once. Its growing windows share most of their group rows and
// tiles: each is tested once per pixel and its result kept for the next
// windows. For bands of whole bytes the code interval is exactly the
// values that pass (and x is read from the code); for other bands the
// positions that pass on codes are tested on the doubles. Either way the
// candidates, their order, their weights and every sum are those of
// regression_fill_reference, bit for bit.
//
// The strip keeps pointers to the caller's arrays and reads them in
// fill_rows: they must outlive it, unchanged. Its own memory is one byte per
// pixel and band plus one, rounded up to whole cache lines per group (8 bytes
// per pixel for six bands), 1/8 byte per pixel and band for the tiles, and
// one byte per pixel and band for the target's values where they are bytes.
class RegressionStrip {
public:
    // The arguments of regression_fill that describe the strip and the fit.
    // The strip is prepared in pieces of whole rows handed to `parallel`
    // (one after another when it is empty); each piece's share of a band's
    // range is joined in piece order, so the same bytes come out whatever
    // runs them.
    RegressionStrip(const double* const* target, const double* const* fill,
                    const unsigned char* target_mask, const unsigned char* fill_mask,
                    int band_count, int rows, int width,
                    double weight_offset, int similar_pixel_count,
                    const WorkItems& parallel = {});

    // Writes `filled` and `status` in the strip rows row_begin .. row_end - 1
    // (clipped to the strip) exactly as regression_fill writes them there,
    // and nothing else. Reads the whole strip. Calls over disjoint row ranges
    // may run at the same time.
    void fill_rows(int row_begin, int row_end, double* const* filled,
                   unsigned char* status) const;

    // The same, calling `progress` before every pixel with the pixel's index
    // over the strip's pixel count, as regression_fill does (no call when
    // progress_context is null).
    void fill_rows(int row_begin, int row_end, double* const* filled, unsigned char* status,
                   ProgressFn progress, void* progress_context) const;

    // How far the similar search goes: it stops after the first window that
    // holds `similar_pixels` candidates or, from the first window whose side
    // reaches `max_side` on, after the first that holds `enough`. With
    // `enough` at least 2 (or equal to `similar_pixels`) a pixel gets status
    // 1 exactly where the full search gives it: two similar pixels within
    // the largest window. The co-valid search of the others (statuses 2 and
    // 3) is always the full one.
    struct Reach {
        int similar_pixels;
        int max_side;
        int enough;
    };
    // The strip's own: its similar pixel count, whatever the window.
    Reach full_reach() const;

    // As fill_rows above (no progress), the similar fits with `reach`.
    void fill_rows(int row_begin, int row_end, double* const* filled, unsigned char* status,
                   const Reach& reach) const;

    // The regression at every pixel of rows row_begin .. row_end - 1 whose
    // `select` byte is nonzero, as if it were a gap, whatever its masks say:
    // written into `prediction` (band pointers, the strip's layout), nothing
    // else. A pixel is never its own candidate, so at a valid pixel this is
    // a leave-one-out prediction, the way the refined fill measures the
    // regression's error.
    void predict_rows(int row_begin, int row_end, const unsigned char* select,
                      double* const* prediction) const;
    void predict_rows(int row_begin, int row_end, const unsigned char* select,
                      double* const* prediction, const Reach& reach) const;

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
    struct alignas(64) CacheLine {
        unsigned char bytes[64];
    };

    void fill_rows_within(int row_begin, int row_end, double* const* filled, unsigned char* status,
                          const Reach& reach, ProgressFn progress, void* progress_context) const;
    void fill_pixel(int row, int col, Scratch& work, double* const* filled,
                    unsigned char* status, const Reach& reach) const;
    void predict_pixel(int row, int col, Scratch& work, double* const* filled,
                       unsigned char& status, const Reach& reach) const;
    void compute_tolerance(int row, int col, Scratch& work) const;
    bool similar_bounds(Scratch& work) const;
    void similar_search(int row, int col, Scratch& work, const Reach& reach) const;
    template <bool Similar, int Bands>
    void search(int row, int col, Scratch& work, const Reach& reach) const;

    unsigned char* lane_group(int row, int group)
    {
        return lanes_[0].bytes + (static_cast<std::size_t>(group) * rows_ + row) * group_bytes_;
    }
    const unsigned char* tile(int tile_row, int group) const
    {
        return &tiles_[(static_cast<std::size_t>(group) * tile_rows_ + tile_row) * tile_bytes_];
    }

    const double* const* target_;
    const double* const* fill_;
    const unsigned char* target_mask_;
    const unsigned char* fill_mask_;
    int bands_;
    int rows_;
    int width_;
    double weight_offset_;
    int similar_pixel_count_;

    std::vector<CodeScale> scales_;
    std::vector<int> inexact_bands_;  // bands whose codes do not decide the test alone
    int groups_ = 0;                  // groups per row, the last one padded
    std::size_t group_bytes_ = 0;     // lanes of one row of one group
    std::unique_ptr<CacheLine[]> lanes_;  // rows * groups_ * group_bytes_ bytes
    std::size_t tile_bytes_ = 0;      // 16 per 8 bands
    int tile_rows_ = 0;               // rows of tiles
    std::vector<unsigned char> tiles_;
    // The target's values as bytes where a band's values valid in both
    // images are all whole bytes: per row and group, 16 per band, in the
    // order of the lanes (a group's rows in turn), so that a
    // candidate's target values lie in one or two cache lines instead of
    // one per band. Other bands are read from the target image.
    std::vector<char> target_whole_;
    std::unique_ptr<unsigned char[]> target_bytes_;  // null when no band is of bytes
};

}  // namespace pelvane
