#pragma once

#include <cstdint>
#include <vector>

#include "demo/stripe_model.h"

namespace pelvane {

// Codes of the demo's gap map, one byte per pixel.
enum : std::uint8_t {
    GAP_NONE = 0,          // the target is valid
    GAP_FILL_VALID = 1,    // the target is missing, the fill image is valid
    GAP_BOTH_MISSING = 2,  // missing in both images
};

// A patch of the scene whose land cover changed between the two dates: in
// the fill image it takes the cover (with its texture) of another place.
// Positions are fractions of the image height and width, so one list suits
// any image size; the outline is a circle with a wavy edge.
struct LandChange {
    double row;
    double col;
    double radius;  // mean radius in pixels
    double source_row;
    double source_col;
};

// Everything that shapes the demo scene. The defaults are the demo's.
struct DemoSceneParams {
    StripeModel target_stripes{31.0, 6.0, 2.0, 12.0, 0.038};
    StripeModel fill_stripes{35.0, 21.0, 1.5, 12.5, 0.052};
    double gain_spread = 0.22;   // gains within 1 +- gain_spread
    double offset_spread = 12.0; // offsets within +- offset_spread DN
    double shared_part = 0.5;    // share of the field common to all bands
    int wave_count = 3;
    double min_wavelength = 200.0;  // pixels
    double max_wavelength = 800.0;
    double noise_sigma = 1.5;       // DN
    std::vector<LandChange> land_changes{
        {0.30, 0.35, 13.0, 0.82, 0.26},
        {0.88, 0.45, 12.0, 0.45, 0.40},
        {0.20, 0.10, 14.0, 0.84, 0.76},
    };
    std::uint64_t seed = 20251207;
};

// The three images the demo needs besides the truth. Images are
// band-sequential Byte arrays: band b, row r, column c at
// (b * height + r) * width + c.
struct DemoScene {
    std::vector<std::uint8_t> target;  // truth with 0 in every band at its stripes
    std::vector<std::uint8_t> fill;    // second date, 1..255, 0 in every band at its stripes
    std::vector<std::uint8_t> gaps;    // one band of GAP_* codes
    long long target_gap_pixels = 0;
    long long fill_gap_pixels = 0;
    long long both_gap_pixels = 0;
    // Ranges the gain and offset fields took, per band (for the record).
    std::vector<double> gain_min, gain_max, offset_min, offset_max;
};

// Builds target, fill and gap map from the truth. The fill image is
// gain_b(x, y) * scene_b + offset_b(x, y) + noise, rounded and clipped to
// 1..255, where scene is the truth with the land changes applied and gain and
// offset are smooth fields. The gap map follows the valid-range rule the
// tool applies by default: a pixel with 0 in any band is missing.
// The same seed gives the same scene on every platform.
DemoScene make_demo_scene(const std::uint8_t* truth, int width, int height, int bands,
                          const DemoSceneParams& params);

}  // namespace pelvane
