#include "demo/linear_stretch.h"

#include <algorithm>
#include <cmath>

#include <gdal_priv.h>

namespace pelvane {

StretchRange quantile_range(const double* values, long long count, double low_fraction, double high_fraction)
{
    std::vector<double> present;
    for (long long i = 0; i < count; ++i)
        if (values[i] > 0.0)
            present.push_back(values[i]);
    StretchRange range;
    if (present.empty())
        return range;
    auto quantile = [&](double fraction) {
        size_t index = static_cast<size_t>(std::floor(fraction * static_cast<double>(present.size() - 1)));
        std::nth_element(present.begin(), present.begin() + index, present.end());
        return present[index];
    };
    range.low = quantile(low_fraction);
    range.high = quantile(high_fraction);
    if (range.high <= range.low)
        range.high = range.low + 1.0;
    return range;
}

void apply_stretch(const double* values, long long count, const StretchRange& range, std::uint8_t* out)
{
    for (long long i = 0; i < count; ++i) {
        double v = values[i];
        if (!(v > 0.0)) {
            out[i] = 0;
            continue;
        }
        double scaled = (v - range.low) / (range.high - range.low) * 255.0;
        out[i] = static_cast<std::uint8_t>(std::floor(std::clamp(scaled, 0.0, 255.0) + 0.5));
    }
}

namespace {

bool read_band(GDALDataset& dataset, int band, std::vector<double>& values, std::string& error)
{
    int width = dataset.GetRasterXSize();
    int height = dataset.GetRasterYSize();
    if (band < 1 || band > dataset.GetRasterCount()) {
        error = "the image has no band " + std::to_string(band);
        return false;
    }
    values.resize(static_cast<size_t>(width) * height);
    if (dataset.GetRasterBand(band)->RasterIO(GF_Read, 0, 0, width, height, values.data(), width, height,
                                              GDT_Float64, 0, 0, nullptr) != CE_None) {
        error = "cannot read band " + std::to_string(band);
        return false;
    }
    return true;
}

}  // namespace

bool write_quicklook(const std::string& image_path, const std::string& reference_path, const int rgb_bands[3],
                     const std::string& png_path, std::string& error)
{
    GDALAllRegister();
    GDALDatasetUniquePtr image(GDALDataset::Open(image_path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!image) {
        error = "cannot open " + image_path;
        return false;
    }
    GDALDatasetUniquePtr reference(GDALDataset::Open(reference_path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!reference) {
        error = "cannot open " + reference_path;
        return false;
    }
    int width = image->GetRasterXSize();
    int height = image->GetRasterYSize();
    long long pixels = static_cast<long long>(width) * height;

    GDALDriver* mem = GetGDALDriverManager()->GetDriverByName("MEM");
    GDALDriver* png = GetGDALDriverManager()->GetDriverByName("PNG");
    if (!mem || !png) {
        error = "GDAL lacks the MEM or PNG driver";
        return false;
    }
    GDALDatasetUniquePtr rgb(mem->Create("", width, height, 3, GDT_Byte, nullptr));
    if (!rgb) {
        error = "cannot make the quicklook in memory";
        return false;
    }
    std::vector<double> values, reference_values;
    std::vector<std::uint8_t> stretched(pixels);
    for (int channel = 0; channel < 3; ++channel) {
        if (!read_band(*image, rgb_bands[channel], values, error) ||
            !read_band(*reference, rgb_bands[channel], reference_values, error))
            return false;
        StretchRange range = quantile_range(reference_values.data(), static_cast<long long>(reference_values.size()),
                                            0.02, 0.98);
        apply_stretch(values.data(), pixels, range, stretched.data());
        if (rgb->GetRasterBand(channel + 1)->RasterIO(GF_Write, 0, 0, width, height, stretched.data(), width, height,
                                                      GDT_Byte, 0, 0, nullptr) != CE_None) {
            error = "cannot make the quicklook in memory";
            return false;
        }
    }
    GDALDatasetUniquePtr written(png->CreateCopy(png_path.c_str(), rgb.get(), FALSE, nullptr, nullptr, nullptr));
    if (!written) {
        error = "cannot write " + png_path;
        return false;
    }
    return true;
}

}  // namespace pelvane
