#include "job/range_masker.h"

namespace pelvane {

void RangeMasker::mark_out_of_range(const double* const* stack, unsigned char* mask,
                                    std::ptrdiff_t length, int count, double lo, double hi) const
{
    if (length < 1)
        return;
    // Band by band rather than pixel by pixel: marking only ever sets bytes to
    // 1, so the result is the same and each band is streamed once.
    for (int b = 0; b < count; ++b) {
        const double* band = stack[b];
        for (std::ptrdiff_t i = 0; i < length; ++i) {
            const double v = band[i];
            if (v < lo || v > hi)
                mask[i] = 1;
        }
    }
}

}  // namespace pelvane
