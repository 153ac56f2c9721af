#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>

namespace pelvane {

// Random numbers that are the same on every platform for a given seed.
// std::mt19937_64 gives the same sequence everywhere, but the standard distributions
// do not, so the conversions to uniform and normal deviates are done here.
class SeededRandom {
public:
    explicit SeededRandom(std::uint64_t seed) : engine_(seed) {}

    // Uniform in [0, 1), from the top 53 bits of one draw.
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

    // Uniform in [low, high).
    double uniform(double low, double high) { return low + (high - low) * uniform(); }

    // Standard normal deviate (Box-Muller; the second value of a pair is kept
    // for the next call).
    double normal()
    {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        double u1 = 1.0 - uniform();  // (0, 1]: log stays finite
        double u2 = uniform();
        double radius = std::sqrt(-2.0 * std::log(u1));
        double angle = 2.0 * std::numbers::pi * u2;
        spare_ = radius * std::sin(angle);
        has_spare_ = true;
        return radius * std::cos(angle);
    }

private:
    std::mt19937_64 engine_;
    double spare_ = 0.0;
    bool has_spare_ = false;
};

}  // namespace pelvane
