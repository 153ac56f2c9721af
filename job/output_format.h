#pragma once

#include <string>

namespace pelvane {

// The output's formats, by GDAL's names: a GeoTIFF the job writes strip by
// strip, or a Cloud Optimized GeoTIFF that GDAL's COG driver makes from that
// GeoTIFF once it is finished.
inline constexpr const char* FORMAT_GTIFF = "GTiff";
inline constexpr const char* FORMAT_COG = "COG";

// True for "GTiff" and "COG", in any case, as GDAL takes driver names.
bool is_output_format(const std::string& name);
bool is_cog_format(const std::string& name);

// The long name of the raster format GDAL writes under the extension of
// `path` ("Portable Network Graphics" for x.png), when that format is neither
// GeoTIFF nor COG; "" for .tif and .tiff, for no extension and for one no
// writing driver claims. A file named after another format would only
// mislead: the job writes GeoTIFF whatever the name.
std::string other_format_of_extension(const std::string& path);

}  // namespace pelvane
