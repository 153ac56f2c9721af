#include "job/write_back.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace pelvane {

namespace {

// Truncates toward zero, then saturates. Clamping instead of keeping the
// low-order bits keeps a small negative prediction from becoming a bright
// pixel. The bounds are compared in double: the lowest value of every type is
// exact there, and a truncated value at or above 2^bits (the first double past
// the highest value) saturates to the highest.
template <class T>
T to_integer_sample(double v)
{
    if (std::isnan(v))
        return 0;
    const double t = std::trunc(v);
    constexpr double lowest = static_cast<double>(std::numeric_limits<T>::lowest());
    // highest + 1 is a power of two, so exact in double for every width.
    constexpr double past_highest = static_cast<double>(std::numeric_limits<T>::max() / 2 + 1) * 2.0;
    if (t <= lowest)
        return std::numeric_limits<T>::lowest();
    if (t >= past_highest)
        return std::numeric_limits<T>::max();
    return static_cast<T>(t);
}

// Writes the value as it is, except what no sample of an image should hold:
// a value that is not finite becomes 0 (gaps with a NaN or infinite sample are
// read as 0 too, so only an overflow in the fill stages could make one here),
// and a finite value past the type's range saturates as the integers do,
// rather than rounding to an infinity in Float32. With keep_nan, NaN stays:
// it is the output's own mark of a missing pixel.
template <class T>
T to_float_sample(double v, bool keep_nan)
{
    if (keep_nan && std::isnan(v))
        return std::numeric_limits<T>::quiet_NaN();
    if (!std::isfinite(v))
        return 0;
    constexpr double highest = static_cast<double>(std::numeric_limits<T>::max());
    return static_cast<T>(std::clamp(v, -highest, highest));
}

template <class T>
void convert_to_floats(const double* values, std::size_t count, void* out, bool keep_nan)
{
    T* dst = static_cast<T*>(out);
    for (std::size_t i = 0; i < count; ++i)
        dst[i] = to_float_sample<T>(values[i], keep_nan);
}

template <class T>
void convert_to_integers(const double* values, std::size_t count, void* out)
{
    T* dst = static_cast<T*>(out);
    for (std::size_t i = 0; i < count; ++i)
        dst[i] = to_integer_sample<T>(values[i]);
}

}  // namespace

bool is_writable_sample_type(GDALDataType type)
{
    switch (type) {
    case GDT_Byte:
#if GDAL_VERSION_NUM >= 3070000
    case GDT_Int8:
#endif
    case GDT_UInt16:
    case GDT_Int16:
    case GDT_UInt32:
    case GDT_Int32:
    case GDT_UInt64:
    case GDT_Int64:
    case GDT_Float32:
    case GDT_Float64:
        return true;
    default:
        return false;
    }
}

bool convert_samples(const double* values, std::size_t count, GDALDataType type, void* out,
                     bool keep_nan)
{
    switch (type) {
    case GDT_Byte:
        convert_to_integers<std::uint8_t>(values, count, out);
        return true;
#if GDAL_VERSION_NUM >= 3070000
    case GDT_Int8:
        convert_to_integers<std::int8_t>(values, count, out);
        return true;
#endif
    case GDT_UInt16:
        convert_to_integers<std::uint16_t>(values, count, out);
        return true;
    case GDT_Int16:
        convert_to_integers<std::int16_t>(values, count, out);
        return true;
    case GDT_UInt32:
        convert_to_integers<std::uint32_t>(values, count, out);
        return true;
    case GDT_Int32:
        convert_to_integers<std::int32_t>(values, count, out);
        return true;
    case GDT_UInt64:
        convert_to_integers<std::uint64_t>(values, count, out);
        return true;
    case GDT_Int64:
        convert_to_integers<std::int64_t>(values, count, out);
        return true;
    case GDT_Float32:
        convert_to_floats<float>(values, count, out, keep_nan);
        return true;
    case GDT_Float64:
        convert_to_floats<double>(values, count, out, keep_nan);
        return true;
    default:
        return false;
    }
}

}  // namespace pelvane
