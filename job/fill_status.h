#pragma once

#include <cstddef>

#include <gdal_priv.h>

#include "regression/pixel_status.h"

namespace pelvane {

// How the output got each pixel: the codes of the status raster. 0 to 3 are
// the regression's own (PixelStatus); a pixel missing in both images ends
// with 4, 5, 6 or 8.
enum FillCode : unsigned char {
    FILL_VALID = PIXEL_VALID,              // target valid: copied
    FILL_SIMILAR_FIT = PIXEL_SIMILAR_FIT,  // regression over similar pixels
    FILL_COVALID_FIT = PIXEL_COVALID_FIT,  // regression over all co-valid pixels
    FILL_RATIO_FIT = PIXEL_RATIO_FIT,      // ratio of weighted means
    FILL_UNFILLED = PIXEL_BOTH_MISSING,    // missing in both images, left as the target has it
    FILL_FALLBACK = 5,                     // missing in both, band-wise fallback regression
    FILL_TOLVEK = 6,                       // missing in both, total-variation restoration
    FILL_SPATIAL = 7,                      // refined fill: the spatial prediction outweighs the regression
    FILL_EDGE = 8,                         // refined fill, missing in both: interpolated from the gap's edges
    FILL_OTHER_DATE = 9,                   // refined fill from several dates: a date after the first weighed most
};
constexpr int FILL_CODE_COUNT = 10;

// What each code means, as the status raster's category names say it.
const char* fill_code_name(int code);

// Turns the regression's status of one strip into fill codes, given which
// pixels the fallback wrote (nonzero) and the code of the stage that filled
// the pixels still missing in both images (FILL_TOLVEK or FILL_EDGE), or
// FILL_UNFILLED when none did.
void finish_fill_codes(unsigned char* status, const unsigned char* fallback_written,
                       FillCode remaining_filled_by, std::size_t pixels);

// Creates the status raster at `path`: one Byte band, with the codes as
// category names and in the metadata; the caller adds the georeferencing.
GDALDatasetUniquePtr create_status_image(const char* path, int width, int height);

}  // namespace pelvane
