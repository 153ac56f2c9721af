#include "cli/default_range_check.h"

#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>

namespace pelvane {

int check_default_range(const CommandLine& command, std::ostream& err)
{
    if (!command.default_valid_range)
        return -1;
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);
    GDALDatasetUniquePtr target(GDALDataset::Open(command.settings.target_image_path.c_str(),
                                                  GDAL_OF_RASTER | GDAL_OF_READONLY));
    CPLPopErrorHandler();
    if (!target || target->GetRasterCount() < 1)
        return -1;
    GDALRasterBand* band = target->GetRasterBand(1);
    const GDALDataType type = band->GetRasterDataType();
    const char* pixel_type = band->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    const bool signed_bytes = pixel_type != nullptr && EQUAL(pixel_type, "SIGNEDBYTE");
    if (type == GDT_Byte && !signed_bytes)
        return -1;
    // Signed bytes are Byte to GDAL 3.6 and Int8 from 3.7 on.
    const char* name = signed_bytes ? "Int8" : GDALGetDataTypeName(type);
    err << "The target's samples are " << name
        << ", and the default valid range 1 255 suits Byte samples only. Mark the gaps with "
        << GAP_MARKING_OPTIONS << ".\nRun with --help for more information.\n";
    return EXIT_USAGE;
}

}  // namespace pelvane
