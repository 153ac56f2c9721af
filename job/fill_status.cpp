#include "job/fill_status.h"

#include <string>

#include <cpl_string.h>

namespace pelvane {

namespace {

constexpr const char* CODE_NAMES[FILL_CODE_COUNT] = {
    "target valid, copied",
    "regression over similar pixels",
    "regression over all co-valid pixels",
    "ratio of weighted means",
    "missing in both images, not filled",
    "missing in both images, fallback regression",
    "missing in both images, Tolvek restoration",
    "refined: spatial prediction outweighs the regression",
    "missing in both images, refined: interpolated from the gap's edges",
};

}  // namespace

const char* fill_code_name(int code)
{
    return code >= 0 && code < FILL_CODE_COUNT ? CODE_NAMES[code] : "";
}

void finish_fill_codes(unsigned char* status, const unsigned char* fallback_written,
                       FillCode remaining_filled_by, std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i) {
        if (status[i] != PIXEL_BOTH_MISSING) continue;
        if (remaining_filled_by != FILL_UNFILLED)
            status[i] = remaining_filled_by;
        else if (fallback_written[i] != 0)
            status[i] = FILL_FALLBACK;
    }
}

GDALDatasetUniquePtr create_status_image(const char* path, int width, int height)
{
    GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    if (gtiff == nullptr) return nullptr;
    CPLStringList options;
    options.AddString("COMPRESS=DEFLATE");
    GDALDatasetUniquePtr status(gtiff->Create(path, width, height, 1, GDT_Byte,
                                              options.List()));
    if (!status) return nullptr;

    GDALRasterBand* band = status->GetRasterBand(1);
    band->SetDescription("Pelvane fill status");
    CPLStringList categories;
    for (int code = 0; code < FILL_CODE_COUNT; ++code) {
        categories.AddString(CODE_NAMES[code]);
        band->SetMetadataItem(("CODE_" + std::to_string(code)).c_str(), CODE_NAMES[code]);
    }
    band->SetCategoryNames(categories.List());
    return status;
}

}  // namespace pelvane
