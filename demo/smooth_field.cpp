#include "demo/smooth_field.h"

#include <cmath>
#include <numbers>

namespace pelvane {

SmoothField make_smooth_field(SeededRandom& random, int width, int height, int wave_count,
                              double min_wavelength, double max_wavelength)
{
    SmoothField field;
    field.width = width;
    field.height = height;
    double total = 0.0;
    for (int i = 0; i < wave_count; ++i) {
        PlaneWave wave;
        wave.amplitude = random.uniform(0.5, 1.0);
        wave.wavelength = random.uniform(min_wavelength, max_wavelength);
        wave.direction = random.uniform(0.0, 2.0 * std::numbers::pi);
        wave.phase = random.uniform(0.0, 2.0 * std::numbers::pi);
        wave.direction_x = std::cos(wave.direction);
        wave.direction_y = std::sin(wave.direction);
        field.waves.push_back(wave);
        total += wave.amplitude;
    }
    field.slope_x = random.uniform(-1.0, 1.0);
    field.slope_y = random.uniform(-1.0, 1.0);
    total += std::fabs(field.slope_x) + std::fabs(field.slope_y);
    // Every term is bounded by its amplitude, so dividing by their sum keeps
    // the value within [-1, 1] wherever the waves happen to line up.
    field.scale = total > 0.0 ? 1.0 / total : 0.0;
    return field;
}

double smooth_field_at(const SmoothField& field, double x, double y)
{
    double value = 0.0;
    for (const PlaneWave& wave : field.waves) {
        double along = x * wave.direction_x + y * wave.direction_y;
        value += wave.amplitude * std::cos(2.0 * std::numbers::pi * along / wave.wavelength + wave.phase);
    }
    // The plane runs from -|slope| to +|slope| between opposite edges.
    value += field.slope_x * (2.0 * x / field.width - 1.0);
    value += field.slope_y * (2.0 * y / field.height - 1.0);
    return value * field.scale;
}

}  // namespace pelvane
