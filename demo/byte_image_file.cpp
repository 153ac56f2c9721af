#include "demo/byte_image_file.h"

#include <cpl_error.h>
#include <gdal_priv.h>

namespace pelvane {

bool read_byte_image(const std::string& path, ByteImage& image, std::string& error)
{
    GDALAllRegister();
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!dataset) {
        error = "cannot open " + path;
        return false;
    }
    image.width = dataset->GetRasterXSize();
    image.height = dataset->GetRasterYSize();
    image.bands = dataset->GetRasterCount();
    if (image.bands < 1) {
        error = path + " has no bands";
        return false;
    }
    for (int b = 1; b <= image.bands; ++b) {
        if (dataset->GetRasterBand(b)->GetRasterDataType() != GDT_Byte) {
            error = path + " does not hold Byte samples";
            return false;
        }
    }
    image.pixels.resize(static_cast<size_t>(image.width) * image.height * image.bands);
    if (dataset->RasterIO(GF_Read, 0, 0, image.width, image.height, image.pixels.data(), image.width,
                          image.height, GDT_Byte, image.bands, nullptr, 0, 0, 0, nullptr) != CE_None) {
        error = "cannot read " + path;
        return false;
    }
    image.has_geotransform = dataset->GetGeoTransform(image.geotransform.data()) == CE_None;
    const char* projection = dataset->GetProjectionRef();
    image.projection = projection ? projection : "";
    return true;
}

bool write_byte_geotiff(const std::string& path, const ByteImage& georef, int bands,
                        const std::vector<std::uint8_t>& pixels, std::string& error)
{
    GDALAllRegister();
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
    if (!driver) {
        error = "the GeoTIFF driver is missing";
        return false;
    }
    const char* options[] = {"COMPRESS=DEFLATE", "PREDICTOR=2", "INTERLEAVE=PIXEL", nullptr};
    GDALDatasetUniquePtr dataset(
        driver->Create(path.c_str(), georef.width, georef.height, bands, GDT_Byte, const_cast<char**>(options)));
    if (!dataset) {
        error = "cannot create " + path;
        return false;
    }
    if (georef.has_geotransform) {
        std::array<double, 6> geotransform = georef.geotransform;
        dataset->SetGeoTransform(geotransform.data());
    }
    if (!georef.projection.empty())
        dataset->SetProjection(georef.projection.c_str());
    if (dataset->RasterIO(GF_Write, 0, 0, georef.width, georef.height, const_cast<std::uint8_t*>(pixels.data()),
                          georef.width, georef.height, GDT_Byte, bands, nullptr, 0, 0, 0, nullptr) != CE_None) {
        error = "cannot write " + path;
        return false;
    }
    // Closing flushes the compressed blocks; an error raised there is a
    // failed write too.
    CPLErrorReset();
    dataset.reset();
    if (CPLGetLastErrorType() >= CE_Failure) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace pelvane
