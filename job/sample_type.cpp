#include "job/sample_type.h"

#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>

namespace pelvane {

std::string raster_sample_type_name(const std::string& path)
{
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);
    GDALDatasetUniquePtr image(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    CPLPopErrorHandler();
    if (!image || image->GetRasterCount() < 1)
        return {};
    GDALRasterBand* band = image->GetRasterBand(1);
    const char* pixel_type = band->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    if (pixel_type != nullptr && EQUAL(pixel_type, "SIGNEDBYTE"))
        return "Int8";
    return GDALGetDataTypeName(band->GetRasterDataType());
}

}  // namespace pelvane
