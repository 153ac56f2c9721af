#pragma once

#include <cstddef>
#include <cstdint>

#include "job/band_stack.h"
#include "job/job_settings.h"
#include "job/job_result.h"
#include "job/range_masker.h"

class GDALDataset;

namespace pelvane {

// Half-width of the band a mask-file sample must lie in to mark its pixel valid.
constexpr double MASK_ZERO_TOLERANCE = 0.000001;

// A sample that is not finite (NaN, an infinity) is never valid data: marks
// its pixel missing in `mask` and sets the sample to 0, so that no fill stage
// computes with it. A pixel that no stage fills is then written with 0 in
// that band, as an empty pixel of a Byte image holds. Runs on both images of
// every strip, whatever marks the gaps, before the masks are built.
// `replacement` takes the place of 0 where the output marks its missing
// pixels with NaN (a NaN no-data value): NaN is inert in every fill stage,
// as it is never taken for a present value, and such a pixel stays missing.
void clear_non_finite(BandStack& stack, unsigned char* mask, double replacement = 0.0);

// Valid-range mode: a pixel of an image is missing when any of its bands lies
// outside [valid_min, valid_max]. Marking only ever sets mask bytes to 1.
void build_range_gap_masks(const RangeMasker& masker, const BandStack& target,
                           const BandStack& fill, unsigned char* target_mask,
                           unsigned char* fill_mask, double valid_min, double valid_max);

// True when the job's gaps come from the two mask files (mask-file mode);
// the no-data mode, when set, takes the place of both other modes.
inline bool gaps_from_mask_files(const JobSettings& settings)
{
    return settings.use_nodata == 0 && settings.use_threshold == 0;
}

// Mask-file mode, before the job creates its output: opens both mask files
// once and checks that they cover the image (width x height) and that the
// fill mask has at least the target mask's bands. Returns the stopping message
// with the mask's path (and the sizes that do not fit), or done; the files
// are closed again on return.
JobResult check_mask_files(const std::string& target_mask_path, const std::string& fill_mask_path,
                           int width, int height);

// Mask-file mode: opens both mask files, reads the strip's window rows
// (window_first_row .. window_first_row + window_rows - 1, all `width` columns)
// and marks a pixel missing where any mask band is non-zero or NaN. The fill
// mask is read with the target mask's band count. Marking only ever sets mask
// bytes to 1; the mask files are closed again on return. Returns the stopping
// message, or done when both masks are built.
JobResult build_file_gap_masks(const RangeMasker& masker, const std::string& target_mask_path,
                               const std::string& fill_mask_path, int width, int height,
                               int window_first_row, int window_rows, unsigned char* target_mask,
                               unsigned char* fill_mask);

// No-data mode: a pixel of an image is missing where GDAL's mask of any of
// its bands is 0 over the strip's window (rows window_first_row ..
// window_first_row + window_rows - 1, all `width` columns). The mask is
// whatever GDAL derives for the band: its no-data value, an alpha band, an
// internal or sidecar mask; a band without one is valid everywhere. Both
// masks must come in all 0. Returns the stopping message, or nothing.
JobResult build_nodata_gap_masks(const RangeMasker& masker, GDALDataset& target,
                                   GDALDataset& fill, int width, int window_first_row,
                                   int window_rows, unsigned char* target_mask,
                                   unsigned char* fill_mask);

// Makes every pixel the fill image has valid valid in the target mask too,
// leaving in it only the pixels missing in both images.
void combine_gap_masks(unsigned char* target_mask, const unsigned char* fill_mask,
                       std::size_t pixels);

// The pixels of a strip by what the fill stages make of them.
struct GapCounts {
    std::int64_t predicted = 0;  // missing in the target only: the regression predicts them
    std::int64_t in_both = 0;    // missing in both images
};
GapCounts count_gaps(const unsigned char* target_mask, const unsigned char* fill_mask,
                     std::size_t pixels);

// True when any byte of the mask is non-zero.
bool has_remaining_gap(const unsigned char* mask, std::size_t pixels);

}  // namespace pelvane
