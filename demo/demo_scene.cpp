#include "demo/demo_scene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "demo/seeded_random.h"
#include "demo/smooth_field.h"

namespace pelvane {

namespace {

// A land-change patch placed on one image: centre and source in pixels and
// the two ripples of its edge.
struct PlacedChange {
    double row, col, radius;
    int shift_row, shift_col;  // source minus centre
    double ripple3, ripple5;   // phases of the edge ripples
};

bool inside(const PlacedChange& change, int row, int col)
{
    double dy = row - change.row;
    double dx = col - change.col;
    double angle = std::atan2(dy, dx);
    double edge = change.radius *
                  (1.0 + 0.25 * std::sin(3.0 * angle + change.ripple3) + 0.12 * std::sin(5.0 * angle + change.ripple5));
    return std::sqrt(dx * dx + dy * dy) < edge;
}

// The truth with its land changes: the second date's scene before radiometry.
std::vector<std::uint8_t> changed_scene(const std::uint8_t* truth, int width, int height, int bands,
                                        const std::vector<LandChange>& changes, SeededRandom& random)
{
    const long long plane = static_cast<long long>(width) * height;
    std::vector<std::uint8_t> scene(truth, truth + plane * bands);
    for (const LandChange& change : changes) {
        PlacedChange placed;
        placed.row = change.row * height;
        placed.col = change.col * width;
        placed.radius = change.radius;
        placed.shift_row = static_cast<int>(std::lround((change.source_row - change.row) * height));
        placed.shift_col = static_cast<int>(std::lround((change.source_col - change.col) * width));
        placed.ripple3 = random.uniform(0.0, 2.0 * std::numbers::pi);
        placed.ripple5 = random.uniform(0.0, 2.0 * std::numbers::pi);
        int reach = static_cast<int>(std::ceil(placed.radius * 1.4));
        int row0 = std::max(0, static_cast<int>(placed.row) - reach);
        int row1 = std::min(height - 1, static_cast<int>(placed.row) + reach);
        int col0 = std::max(0, static_cast<int>(placed.col) - reach);
        int col1 = std::min(width - 1, static_cast<int>(placed.col) + reach);
        for (int row = row0; row <= row1; ++row) {
            for (int col = col0; col <= col1; ++col) {
                if (!inside(placed, row, col))
                    continue;
                int source_row = std::clamp(row + placed.shift_row, 0, height - 1);
                int source_col = std::clamp(col + placed.shift_col, 0, width - 1);
                for (int b = 0; b < bands; ++b)
                    scene[b * plane + static_cast<long long>(row) * width + col] =
                        truth[b * plane + static_cast<long long>(source_row) * width + source_col];
            }
        }
    }
    return scene;
}

// Marks a pixel missing in every band of a band-sequential image.
void blank_pixel(std::vector<std::uint8_t>& image, long long plane, int bands, long long pixel)
{
    for (int b = 0; b < bands; ++b)
        image[b * plane + pixel] = 0;
}

bool any_band_zero(const std::vector<std::uint8_t>& image, long long plane, int bands, long long pixel)
{
    for (int b = 0; b < bands; ++b)
        if (image[b * plane + pixel] == 0)
            return true;
    return false;
}

}  // namespace

DemoScene make_demo_scene(const std::uint8_t* truth, int width, int height, int bands,
                          const DemoSceneParams& params)
{
    const long long plane = static_cast<long long>(width) * height;
    SeededRandom random(params.seed);

    // Radiometric difference: per band a gain and an offset field, each part
    // shared by all bands (the atmosphere) and part the band's own.
    auto field = [&] {
        return make_smooth_field(random, width, height, params.wave_count, params.min_wavelength,
                                 params.max_wavelength);
    };
    SmoothField shared_gain = field();
    SmoothField shared_offset = field();
    std::vector<SmoothField> band_gain, band_offset;
    for (int b = 0; b < bands; ++b) {
        band_gain.push_back(field());
        band_offset.push_back(field());
    }

    std::vector<std::uint8_t> scene = changed_scene(truth, width, height, bands, params.land_changes, random);

    DemoScene result;
    result.fill.resize(plane * bands);
    const double inf = std::numeric_limits<double>::infinity();
    result.gain_min.assign(bands, inf);
    result.gain_max.assign(bands, -inf);
    result.offset_min.assign(bands, inf);
    result.offset_max.assign(bands, -inf);
    const double own_part = 1.0 - params.shared_part;
    for (int b = 0; b < bands; ++b) {
        for (int row = 0; row < height; ++row) {
            for (int col = 0; col < width; ++col) {
                double x = col + 0.5;
                double y = row + 0.5;
                double gain = 1.0 + params.gain_spread * (params.shared_part * smooth_field_at(shared_gain, x, y) +
                                                          own_part * smooth_field_at(band_gain[b], x, y));
                double offset = params.offset_spread * (params.shared_part * smooth_field_at(shared_offset, x, y) +
                                                        own_part * smooth_field_at(band_offset[b], x, y));
                result.gain_min[b] = std::min(result.gain_min[b], gain);
                result.gain_max[b] = std::max(result.gain_max[b], gain);
                result.offset_min[b] = std::min(result.offset_min[b], offset);
                result.offset_max[b] = std::max(result.offset_max[b], offset);
                long long index = b * plane + static_cast<long long>(row) * width + col;
                double value = gain * scene[index] + offset + params.noise_sigma * random.normal();
                // 0 is reserved for the gaps, so the fill is clipped to 1..255.
                result.fill[index] = static_cast<std::uint8_t>(std::clamp(std::floor(value + 0.5), 1.0, 255.0));
            }
        }
    }

    result.target.assign(truth, truth + plane * bands);
    std::vector<std::uint8_t> stripes(plane);
    stamp_stripes(params.target_stripes, width, height, stripes.data());
    for (long long p = 0; p < plane; ++p)
        if (stripes[p])
            blank_pixel(result.target, plane, bands, p);
    stamp_stripes(params.fill_stripes, width, height, stripes.data());
    for (long long p = 0; p < plane; ++p)
        if (stripes[p])
            blank_pixel(result.fill, plane, bands, p);

    // The map is read off the images themselves, so a 0 the truth already
    // holds counts as a gap exactly as the tool will see it.
    result.gaps.assign(plane, GAP_NONE);
    for (long long p = 0; p < plane; ++p) {
        bool target_missing = any_band_zero(result.target, plane, bands, p);
        bool fill_missing = any_band_zero(result.fill, plane, bands, p);
        result.target_gap_pixels += target_missing ? 1 : 0;
        result.fill_gap_pixels += fill_missing ? 1 : 0;
        if (target_missing && fill_missing) {
            result.gaps[p] = GAP_BOTH_MISSING;
            ++result.both_gap_pixels;
        } else if (target_missing) {
            result.gaps[p] = GAP_FILL_VALID;
        }
    }
    return result;
}

}  // namespace pelvane
