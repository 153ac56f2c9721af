#include "job/gap_masks.h"

#include <cmath>

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

void clear_non_finite(BandStack& stack, unsigned char* mask)
{
    const std::size_t pixels = stack.pixels();
    for (int b = 0; b < stack.band_count(); ++b) {
        double* band = stack.band(b);
        for (std::size_t i = 0; i < pixels; ++i) {
            if (!std::isfinite(band[i])) {
                band[i] = 0.0;
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

struct MaskFiles {
    GDALDatasetUniquePtr target;
    GDALDatasetUniquePtr fill;
    int bands = 0;  // the target mask's band count, read from both
};

// Opens both mask files and checks that they can serve every strip.
const char* open_mask_files(JobSettings& settings, int width, int height, MaskFiles& files)
{
    if (settings.use_tolvek && !settings.use_sarnic)
        settings.fill_mask_path = settings.target_mask_path;
    files.target = open_mask(settings.target_mask_path);
    if (!files.target)
        return msg::OPEN_TARGET_MASK;
    if (!covers_image(*files.target, width, height))
        return msg::TARGET_MASK_TOO_SMALL;
    files.bands = files.target->GetRasterCount();
    files.fill = open_mask(settings.fill_mask_path);
    if (!files.fill)
        return msg::OPEN_FILL_MASK;
    if (!covers_image(*files.fill, width, height))
        return msg::FILL_MASK_TOO_SMALL;
    if (files.fill->GetRasterCount() < files.bands)
        return msg::FILL_MASK_FEW_BANDS;
    return nullptr;
}

}  // namespace

const char* check_mask_files(JobSettings& settings, int width, int height)
{
    MaskFiles files;
    return open_mask_files(settings, width, height, files);
}

const char* build_file_gap_masks(const RangeMasker& masker, JobSettings& settings, int width,
                                 int height, int window_first_row, int window_rows,
                                 unsigned char* target_mask, unsigned char* fill_mask)
{
    MaskFiles files;
    if (const char* stop = open_mask_files(settings, width, height, files))
        return stop;

    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(window_rows);
    BandStack target_stack(files.bands, pixels);
    if (!read_band_stack(*files.target, window_first_row, window_rows, width, target_stack))
        return msg::READ_TARGET_MASK;
    BandStack fill_stack(files.bands, pixels);
    if (!read_band_stack(*files.fill, window_first_row, window_rows, width, fill_stack))
        return msg::READ_FILL_MASK;
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
    return nullptr;
}

void combine_gap_masks(unsigned char* target_mask, const unsigned char* fill_mask,
                       std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i) {
        if (fill_mask[i] == 0)
            target_mask[i] = 0;
    }
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
