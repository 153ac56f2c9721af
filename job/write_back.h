#pragma once

#include <cstddef>

#include <gdal.h>

namespace pelvane {

// True when convert_samples can write `type`.
bool is_writable_sample_type(GDALDataType type);

// Converts `count` doubles into `count` samples of `type` at `out` (which
// holds count x GDALGetDataTypeSizeBytes(type) bytes). Integer types:
// truncated toward zero, then clamped to the type's range; NaN becomes 0.
// Float32: rounded to the nearest single, saturating at the largest one.
// Float64: copied unchanged. A float sample that is not finite becomes 0,
// except NaN with `keep_nan` (an output whose no-data value is NaN).
// Returns false, writing nothing, for a type it cannot write (complex types).
bool convert_samples(const double* values, std::size_t count, GDALDataType type, void* out,
                     bool keep_nan = false);

}  // namespace pelvane
