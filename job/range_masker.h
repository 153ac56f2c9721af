#pragma once

#include <cstddef>

namespace pelvane {

// Marks pixels whose samples leave a value range. The job makes one when it
// starts and routes every marking of its masks through it.
class RangeMasker {
public:
    virtual ~RangeMasker() = default;

    // stack: `count` band buffers of `length` samples each; mask: `length`
    // bytes. Sets mask[i] to 1 when any band's sample i lies below lo or above
    // hi; leaves it untouched otherwise. The comparisons are strict, so the
    // bounds themselves are in range, and a NaN sample is never out of range.
    void mark_out_of_range(const double* const* stack, unsigned char* mask, std::ptrdiff_t length,
                           int count, double lo, double hi) const;
};

}  // namespace pelvane
