#include "job/gap_masks.h"

#include <limits>
#include <memory>

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

namespace {

GDALDatasetUniquePtr open_mask(const std::string& path)
{
    return GDALDatasetUniquePtr(GDALDataset::FromHandle(GDALOpen(path.c_str(), GA_ReadOnly)));
}

bool covers_image(GDALDataset& mask, int width, int height)
{
    return mask.GetRasterXSize() >= width && mask.GetRasterYSize() >= height;
}

}  // namespace

const char* build_file_gap_masks(const RangeMasker& masker, JobSettings& settings, int width,
                                 int height, int window_first_row, int window_rows,
                                 unsigned char* target_mask, unsigned char* fill_mask)
{
    if (settings.use_tolvek && !settings.use_sarnic)
        settings.fill_mask_path = settings.target_mask_path;

    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(window_rows);

    GDALDatasetUniquePtr target_file = open_mask(settings.target_mask_path);
    if (!target_file)
        return msg::OPEN_TARGET_MASK;
    if (!covers_image(*target_file, width, height))
        return msg::TARGET_MASK_TOO_SMALL;
    const int mask_bands = target_file->GetRasterCount();
    BandStack target_stack(mask_bands, pixels);
    if (!read_band_stack(*target_file, window_first_row, window_rows, width, target_stack))
        return msg::READ_TARGET_MASK;

    GDALDatasetUniquePtr fill_file = open_mask(settings.fill_mask_path);
    if (!fill_file)
        return msg::OPEN_FILL_MASK;
    if (!covers_image(*fill_file, width, height))
        return msg::FILL_MASK_TOO_SMALL;
    if (fill_file->GetRasterCount() < mask_bands)
        return msg::FILL_MASK_FEW_BANDS;
    BandStack fill_stack(mask_bands, pixels);
    if (!read_band_stack(*fill_file, window_first_row, window_rows, width, fill_stack))
        return msg::READ_FILL_MASK;

    target_file.reset();
    fill_file.reset();

    const auto length = static_cast<std::ptrdiff_t>(pixels);
    masker.mark_out_of_range(target_stack.bands(), target_mask, length, mask_bands,
                             -MASK_ZERO_TOLERANCE, MASK_ZERO_TOLERANCE);
    masker.mark_out_of_range(fill_stack.bands(), fill_mask, length, mask_bands,
                             -MASK_ZERO_TOLERANCE, MASK_ZERO_TOLERANCE);
    return nullptr;
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

const char* build_nodata_gap_masks(const RangeMasker& masker, GDALDataset& target,
                                   GDALDataset& fill, int width, int window_first_row,
                                   int window_rows, unsigned char* target_mask,
                                   unsigned char* fill_mask)
{
    if (!mark_gdal_mask(masker, target, width, window_first_row, window_rows, target_mask))
        return msg::READ_TARGET_NODATA_MASK;
    if (!mark_gdal_mask(masker, fill, width, window_first_row, window_rows, fill_mask))
        return msg::READ_FILL_NODATA_MASK;
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
