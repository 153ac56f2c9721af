#pragma once

#include <string>

namespace pelvane {

// GDAL's name of the sample type of the first band of the raster at `path`
// ("Byte", "UInt16", "Float32", ...), with "Int8" for bytes flagged as signed
// (PIXELTYPE=SIGNEDBYTE, which GDAL 3.6 reads as Byte). Empty when the raster
// cannot be opened or has no band; GDAL's own complaints are kept quiet.
std::string raster_sample_type_name(const std::string& path);

}  // namespace pelvane
