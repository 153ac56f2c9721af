#pragma once

namespace pelvane {

// How regression_fill obtained each pixel (one byte per pixel).
enum : unsigned char {
    PIXEL_VALID = 0,         // target valid: copied
    PIXEL_SIMILAR_FIT = 1,   // regression over similar candidates
    PIXEL_COVALID_FIT = 2,   // regression over all co-valid candidates
    PIXEL_RATIO_FIT = 3,     // ratio of weighted means
    PIXEL_BOTH_MISSING = 4,  // missing in target and fill: copied, left to the fallback
};

}  // namespace pelvane
