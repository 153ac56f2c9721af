#include "solver/shrinkage.h"

#include <cmath>
#include <cstddef>

namespace pelvane {

namespace {

// Shrinks the parts selected by use_x / use_y at one pixel, all channels
// together. gx and gy are recomputed in the writing pass from the unchanged
// inputs, so nothing has to be kept between the two passes.
void shrink_pixel(double* d, double* dtilde, const double* u, std::size_t pixel,
                  std::size_t plane, std::size_t width, int channels, bool use_x, bool use_y,
                  double t, double t2) {
    double m2 = 0.0;
    for (int k = 0; k < channels; ++k) {
        const std::size_t e = pixel + plane * static_cast<std::size_t>(k);
        if (use_x && use_y) {
            const double gx = d[2 * e] - dtilde[2 * e] + (u[e + 1] - u[e]);
            const double gy = d[2 * e + 1] - dtilde[2 * e + 1] + (u[e + width] - u[e]);
            m2 += gx * gx + gy * gy;
        } else if (use_x) {
            const double gx = d[2 * e] - dtilde[2 * e] + (u[e + 1] - u[e]);
            m2 += gx * gx;
        } else {
            const double gy = d[2 * e + 1] - dtilde[2 * e + 1] + (u[e + width] - u[e]);
            m2 += gy * gy;
        }
    }

    const bool shrink = m2 > t2;
    const double s = shrink ? 1.0 - t / std::sqrt(m2) : 0.0;
    for (int k = 0; k < channels; ++k) {
        const std::size_t e = pixel + plane * static_cast<std::size_t>(k);
        if (use_x) {
            const double gx = d[2 * e] - dtilde[2 * e] + (u[e + 1] - u[e]);
            if (shrink) {
                d[2 * e] = s * gx;
                dtilde[2 * e] = 2.0 * d[2 * e] - gx;
            } else {
                d[2 * e] = 0.0;
                dtilde[2 * e] = -gx;
            }
        } else {
            d[2 * e] = 0.0;
            dtilde[2 * e] = 0.0;
        }
        if (use_y) {
            const double gy = d[2 * e + 1] - dtilde[2 * e + 1] + (u[e + width] - u[e]);
            if (shrink) {
                d[2 * e + 1] = s * gy;
                dtilde[2 * e + 1] = 2.0 * d[2 * e + 1] - gy;
            } else {
                d[2 * e + 1] = 0.0;
                dtilde[2 * e + 1] = -gy;
            }
        } else {
            d[2 * e + 1] = 0.0;
            dtilde[2 * e + 1] = 0.0;
        }
    }
}

void zero_pixel(double* d, double* dtilde, std::size_t pixel, std::size_t plane, int channels) {
    for (int k = 0; k < channels; ++k) {
        const std::size_t e = pixel + plane * static_cast<std::size_t>(k);
        d[2 * e] = d[2 * e + 1] = 0.0;
        dtilde[2 * e] = dtilde[2 * e + 1] = 0.0;
    }
}

}  // namespace

void d_step(double* d, double* dtilde, const double* u, int width, int height, int channels,
            double gamma1) {
    if (width <= 0 || height <= 0 || channels <= 0) return;
    const double t = 1.0 / gamma1;
    const double t2 = t * t;
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t plane = w * static_cast<std::size_t>(height);

    // A one-pixel-wide image has no interior column: every pixel takes the
    // last-column rule, and the bottom one is the corner.
    for (std::size_t y = 0; y + 1 < static_cast<std::size_t>(height); ++y) {
        const std::size_t row = y * w;
        for (std::size_t x = 0; x + 1 < w; ++x)
            shrink_pixel(d, dtilde, u, row + x, plane, w, channels, true, true, t, t2);
        shrink_pixel(d, dtilde, u, row + w - 1, plane, w, channels, false, true, t, t2);
    }
    const std::size_t last_row = (static_cast<std::size_t>(height) - 1) * w;
    for (std::size_t x = 0; x + 1 < w; ++x)
        shrink_pixel(d, dtilde, u, last_row + x, plane, w, channels, true, false, t, t2);
    zero_pixel(d, dtilde, last_row + w - 1, plane, channels);
}

namespace {

// Both z-steps share the sweep and the threshold; only the new z differs.
template <typename NewZ>
void z_sweep(double* z, double* ztilde, const double* u, const double* f,
             const double* lambda_map, int width, int height, int channels, double lambda,
             double gamma2, NewZ new_z) {
    if (width <= 0 || height <= 0 || channels <= 0) return;
    const std::size_t plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const double t_fixed = lambda / gamma2;
    for (int k = 0; k < channels; ++k) {
        const std::size_t base = plane * static_cast<std::size_t>(k);
        for (std::size_t p = 0; p < plane; ++p) {
            const std::size_t e = base + p;
            const double t = lambda_map != nullptr ? lambda_map[p] / gamma2 : t_fixed;
            const double z_new = new_z(z[e], ztilde[e], u[e], f[e], t);
            ztilde[e] = ztilde[e] + 2.0 * z_new - z[e] - u[e];
            z[e] = z_new;
        }
    }
}

}  // namespace

void z_step_laplace(double* z, double* ztilde, const double* u, const double* f,
                    const double* lambda_map, int width, int height, int channels,
                    double lambda, double gamma2) {
    z_sweep(z, ztilde, u, f, lambda_map, width, height, channels, lambda, gamma2,
            [](double z_old, double zt, double ue, double fe, double t) {
                const double g = ue - fe + z_old - zt;
                if (g > t) return fe + g - t;
                if (g < -t) return fe + g + t;
                return fe;
            });
}

void z_step_poisson(double* z, double* ztilde, const double* u, const double* f,
                    const double* lambda_map, int width, int height, int channels,
                    double lambda, double gamma2) {
    z_sweep(z, ztilde, u, f, lambda_map, width, height, channels, lambda, gamma2,
            [](double z_old, double zt, double ue, double fe, double t) {
                const double h = (ue + z_old - zt - t) / 2.0;
                // A negative f can make the radicand negative; the nearest real
                // answer (radicand 0) keeps the iteration finite.
                double radicand = h * h + t * fe;
                if (radicand < 0.0) radicand = 0.0;
                return h + std::sqrt(radicand);
            });
}

}  // namespace pelvane
