#include "job/band_stack.h"

#include <gdal_priv.h>

namespace pelvane {

BandStack::BandStack(int band_count, std::size_t pixels) : pixels_(pixels)
{
    buffers_.reserve(static_cast<std::size_t>(band_count));
    pointers_.reserve(static_cast<std::size_t>(band_count));
    for (int b = 0; b < band_count; ++b) {
        buffers_.push_back(std::make_unique_for_overwrite<double[]>(pixels));
        pointers_.push_back(buffers_.back().get());
    }
}

void BandStack::release()
{
    buffers_.clear();
    buffers_.shrink_to_fit();
    pointers_.clear();
    pointers_.shrink_to_fit();
    pixels_ = 0;
}

bool read_band_stack(GDALDataset& dataset, int first_row, int rows, int width, BandStack& stack)
{
    for (int b = 0; b < stack.band_count(); ++b) {
        GDALRasterBand* band = dataset.GetRasterBand(b + 1);
        if (band == nullptr)
            return false;
        const CPLErr err = band->RasterIO(GF_Read, 0, first_row, width, rows, stack.band(b), width,
                                          rows, GDT_Float64, 0, 0, nullptr);
        if (err != CE_None)
            return false;
    }
    return true;
}

}  // namespace pelvane
