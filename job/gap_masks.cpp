#include "job/gap_masks.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include <gdal_priv.h>

#include "job/job_messages.h"

namespace pelvane {

void build_range_gap_masks(const RangeMasker& masker, const BandStack& target,
                           const BandStack& fill, unsigned char* target_mask,
                           unsigned char* fill_mask, double valid_min, double valid_max)
{
    const auto length = static_cast<std::ptrdiff_t>(target.pixels());
    masker.mark_out_of_range(target.bands(), target_mask, length, target.band_count(), valid_min,
                             valid_max);
    masker.mark_out_of_range(fill.bands(), fill_mask, length, fill.band_count(), valid_min,
                             valid_max);
}

void clear_non_finite(BandStack& stack, unsigned char* mask, double replacement)
{
    const std::size_t pixels = stack.pixels();
    for (int b = 0; b < stack.band_count(); ++b) {
        double* band = stack.band(b);
        for (std::size_t i = 0; i < pixels; ++i) {
            if (!std::isfinite(band[i])) {
                band[i] = replacement;
                mask[i] = 1;
            }
        }
    }
}

namespace {

GDALDatasetUniquePtr open_mask(const std::string& path)
{
    return GDALDatasetUniquePtr(GDALDataset::FromHandle(GDALOpen(path.c_str(), GA_ReadOnly)));
}

bool covers_image(GDALDataset& mask, int width, int height)
{
    return mask.GetRasterXSize() >= width && mask.GetRasterYSize() >= height;
}

// "path: W x H pixels" for a mask, and the image it must cover.
std::string sizes(const std::string& path, GDALDataset& mask, int width, int height)
{
    return path + ": " + std::to_string(mask.GetRasterXSize()) + " x " +
           std::to_string(mask.GetRasterYSize()) + " pixels\nthe image: " + std::to_string(width) +
           " x " + std::to_string(height) + " pixels";
}

std::string bands(const std::string& path, int count)
{
    return path + ": " + std::to_string(count) + (count == 1 ? " band" : " bands");
}

struct MaskFiles {
    GDALDatasetUniquePtr target;
    GDALDatasetUniquePtr fill;
    int bands = 0;  // the target mask's band count, read from both
};

// Opens both mask files and checks that they can serve every strip.
JobResult open_mask_files(const std::string& target, const std::string& fill, int width, int height,
                          MaskFiles& files)
{
    files.target = open_mask(target);
    if (!files.target)
        return {msg::OPEN_TARGET_MASK, target};
    if (!covers_image(*files.target, width, height))
        return {msg::TARGET_MASK_TOO_SMALL, sizes(target, *files.target, width, height)};
    files.bands = files.target->GetRasterCount();
    files.fill = open_mask(fill);
    if (!files.fill)
        return {msg::OPEN_FILL_MASK, fill};
    if (!covers_image(*files.fill, width, height))
        return {msg::FILL_MASK_TOO_SMALL, sizes(fill, *files.fill, width, height)};
    if (files.fill->GetRasterCount() < files.bands)
        return {msg::FILL_MASK_FEW_BANDS,
                bands(fill, files.fill->GetRasterCount()) + "\n" + bands(target, files.bands)};
    return {};
}

}  // namespace

JobResult check_mask_files(const std::string& target_mask_path, const std::string& fill_mask_path,
                           int width, int height)
{
    MaskFiles files;
    return open_mask_files(target_mask_path, fill_mask_path, width, height, files);
}

JobResult build_file_gap_masks(const RangeMasker& masker, const std::string& target_mask_path,
                               const std::string& fill_mask_path, int width, int height,
                               int window_first_row, int window_rows, unsigned char* target_mask,
                               unsigned char* fill_mask)
{
    MaskFiles files;
    if (JobResult stop = open_mask_files(target_mask_path, fill_mask_path, width, height, files);
        !stop.done())
        return stop;

    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(window_rows);
    BandStack target_stack(files.bands, pixels);
    if (!read_band_stack(*files.target, window_first_row, window_rows, width, target_stack))
        return {msg::READ_TARGET_MASK, target_mask_path};
    BandStack fill_stack(files.bands, pixels);
    if (!read_band_stack(*files.fill, window_first_row, window_rows, width, fill_stack))
        return {msg::READ_FILL_MASK, fill_mask_path};
    files.target.reset();
    files.fill.reset();

    // A NaN mask sample is not zero, so it marks a gap like any other.
    clear_non_finite(target_stack, target_mask);
    clear_non_finite(fill_stack, fill_mask);
    const auto length = static_cast<std::ptrdiff_t>(pixels);
    masker.mark_out_of_range(target_stack.bands(), target_mask, length, files.bands,
                             -MASK_ZERO_TOLERANCE, MASK_ZERO_TOLERANCE);
    masker.mark_out_of_range(fill_stack.bands(), fill_mask, length, files.bands,
                             -MASK_ZERO_TOLERANCE, MASK_ZERO_TOLERANCE);
    return {};
}

namespace {

// Marks the pixels whose GDAL mask is 0 in any band of `image`. Bands that
// share one mask for the whole dataset have it read once.
bool mark_gdal_mask(const RangeMasker& masker, GDALDataset& image, int width,
                    int window_first_row, int window_rows, unsigned char* mask)
{
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(window_rows);
    std::unique_ptr<double[]> samples;
    bool dataset_mask_read = false;
    for (int b = 1; b <= image.GetRasterCount(); ++b) {
        GDALRasterBand* band = image.GetRasterBand(b);
        const int flags = band->GetMaskFlags();
        if ((flags & GMF_ALL_VALID) != 0)
            continue;
        if ((flags & GMF_PER_DATASET) != 0) {
            if (dataset_mask_read)
                continue;
            dataset_mask_read = true;
        }
        if (!samples)
            samples = std::make_unique_for_overwrite<double[]>(pixels);
        if (band->GetMaskBand()->RasterIO(GF_Read, 0, window_first_row, width, window_rows,
                                          samples.get(), width, window_rows, GDT_Float64, 0, 0,
                                          nullptr) != CE_None)
            return false;
        // Mask bytes run from 0 (missing) to 255; an alpha band's partial
        // values in between still count as valid.
        const double* stack[] = {samples.get()};
        masker.mark_out_of_range(stack, mask, static_cast<std::ptrdiff_t>(pixels), 1, 1.0,
                                 std::numeric_limits<double>::infinity());
    }
    return true;
}

}  // namespace

JobResult build_nodata_gap_masks(const RangeMasker& masker, GDALDataset& target, GDALDataset& fill,
                               int width, int window_first_row, int window_rows,
                               unsigned char* target_mask, unsigned char* fill_mask)
{
    if (!mark_gdal_mask(masker, target, width, window_first_row, window_rows, target_mask))
        return {msg::READ_TARGET_NODATA_MASK, target.GetDescription()};
    if (!mark_gdal_mask(masker, fill, width, window_first_row, window_rows, fill_mask))
        return {msg::READ_FILL_NODATA_MASK, fill.GetDescription()};
    return {};
}

void combine_gap_masks(unsigned char* target_mask, const unsigned char* fill_mask,
                       std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i) {
        if (fill_mask[i] == 0)
            target_mask[i] = 0;
    }
}

GapCounts count_gaps(const unsigned char* target_mask, const unsigned char* fill_mask,
                     std::size_t pixels)
{
    GapCounts counts;
    for (std::size_t i = 0; i < pixels; ++i) {
        if (target_mask[i] == 0)
            continue;
        if (fill_mask[i] == 0)
            ++counts.predicted;
        else
            ++counts.in_both;
    }
    return counts;
}

bool has_remaining_gap(const unsigned char* mask, std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i) {
        if (mask[i] != 0)
            return true;
    }
    return false;
}

}  // namespace pelvane
