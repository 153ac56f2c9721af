#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelvane {

// The value range a band is stretched over for display.
struct StretchRange {
    double low = 0.0;
    double high = 255.0;
};

// Range from the `low_fraction` and `high_fraction` quantiles of the values
// greater than 0 (0 marks a gap and would pull the range down). Falls back to
// 0..255 when no value is present, and widens a flat range to one unit.
StretchRange quantile_range(const double* values, long long count, double low_fraction, double high_fraction);

// Maps low..high linearly onto 0..255 (clamped, rounded); values not greater
// than 0, and NaN, are drawn black so gaps stand out.
void apply_stretch(const double* values, long long count, const StretchRange& range, std::uint8_t* out);

// Writes an RGB PNG quicklook of `image_path` from three of its bands
// (1-based, red first), each stretched over the 2 % .. 98 % range of the same
// band in `reference_path` (pass the image itself for its own stretch; a
// shared reference makes quicklooks of one scene comparable).
bool write_quicklook(const std::string& image_path, const std::string& reference_path, const int rgb_bands[3],
                     const std::string& png_path, std::string& error);

}  // namespace pelvane
