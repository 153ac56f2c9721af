#pragma once

#include <vector>

#include "demo/seeded_random.h"

namespace pelvane {

// A spatially smooth random field over an image: a few long plane waves plus
// a tilted plane, scaled so that its values stay within [-1, 1]. Used for the
// slowly varying gain and offset that separate two dates of one scene
// (illumination, atmosphere, phenology).
struct PlaneWave {
    double amplitude;
    double wavelength;  // pixels
    double direction;   // radians
    double phase;       // radians
    // cos and sin of the direction, taken once: a large scene evaluates
    // the field hundreds of millions of times.
    double direction_x;
    double direction_y;
};

struct SmoothField {
    std::vector<PlaneWave> waves;
    double slope_x = 0.0;  // plane term across the image, -1..1 edge to edge
    double slope_y = 0.0;
    int width = 1;
    int height = 1;
    double scale = 1.0;    // 1 / (sum of the terms' amplitudes)
};

// Draws a field for an image of width x height pixels with `wave_count`
// waves whose wavelengths lie in [min_wavelength, max_wavelength).
SmoothField make_smooth_field(SeededRandom& random, int width, int height, int wave_count,
                              double min_wavelength, double max_wavelength);

// Value of the field at pixel-centre coordinates (x, y); always in [-1, 1].
double smooth_field_at(const SmoothField& field, double x, double y);

}  // namespace pelvane
