#include "job/output_format.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal_priv.h>

namespace pelvane {

namespace {

// True when `driver` lists `extension` among its usual ones.
bool claims(GDALDriver& driver, const std::string& extension)
{
    const CPLStringList extensions(
        CSLTokenizeString(driver.GetMetadataItem(GDAL_DMD_EXTENSIONS)));
    for (int i = 0; i < extensions.size(); ++i)
        if (EQUAL(extensions[i], extension.c_str()))
            return true;
    return false;
}

}  // namespace

bool is_output_format(const std::string& name)
{
    return EQUAL(name.c_str(), FORMAT_GTIFF) || is_cog_format(name);
}

bool is_cog_format(const std::string& name)
{
    return EQUAL(name.c_str(), FORMAT_COG);
}

std::string other_format_of_extension(const std::string& path)
{
    const std::string extension = CPLGetExtension(path.c_str());
    if (extension.empty())
        return {};
    GDALAllRegister();
    GDALDriverManager& drivers = *GetGDALDriverManager();
    GDALDriver* gtiff = drivers.GetDriverByName(FORMAT_GTIFF);
    if (gtiff == nullptr || claims(*gtiff, extension))
        return {};
    for (int i = 0; i < drivers.GetDriverCount(); ++i) {
        GDALDriver& driver = *drivers.GetDriver(i);
        const bool writes = driver.GetMetadataItem(GDAL_DCAP_CREATE) != nullptr ||
                            driver.GetMetadataItem(GDAL_DCAP_CREATECOPY) != nullptr;
        if (driver.GetMetadataItem(GDAL_DCAP_RASTER) != nullptr && writes && claims(driver, extension)) {
            const char* name = driver.GetMetadataItem(GDAL_DMD_LONGNAME);
            return name != nullptr ? name : driver.GetDescription();
        }
    }
    return {};
}

}  // namespace pelvane
