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
    "refined from several dates: a fill image after the first weighed most",
};

// The codes' colours, in the TIFF itself so that any viewer shows the classes
// without the .aux.xml that keeps the category names; the same as the QGIS
// plugin's style (qgis/pelvane_qgis/status_style.py): the copied pixels grey,
// the regressions green, the ratio yellow, an unfilled pixel red, the
// fallback orange, Tolvek blue, the refined spatial prediction purple, the
// refined interpolation from the gap's edges pale blue, a pixel filled
// mostly from a later fill image dark teal.
constexpr GDALColorEntry CODE_COLOURS[FILL_CODE_COUNT] = {
    {217, 217, 217, 255}, {26, 150, 65, 255},  {166, 217, 106, 255}, {255, 255, 140, 255},
    {215, 25, 28, 255},   {253, 174, 97, 255}, {44, 123, 182, 255},  {123, 50, 148, 255},
    {171, 217, 233, 255}, {1, 102, 94, 255},
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
    GDALColorTable colours;
    for (int code = 0; code < FILL_CODE_COUNT; ++code)
        colours.SetColorEntry(code, &CODE_COLOURS[code]);
    band->SetColorTable(&colours);
    return status;
}

}  // namespace pelvane
