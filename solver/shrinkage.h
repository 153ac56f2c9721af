#pragma once

namespace pelvane {

// Arrays are planar: channel after channel, each row-major; element (x, y, k)
// sits at x + width * (y + height * k). d and dtilde hold two doubles per
// element, the x-part then the y-part. dtilde is d minus its Bregman
// variable, ztilde likewise for z, so the u-step needs only the companions.

// Vectorial shrinkage of g = grad u + (d - dtilde) by 1/gamma1, the norm taken
// over both parts and all channels of a pixel. The x-parts are held at zero in
// the last column and the y-parts in the last row (no forward difference).
void d_step(double* d, double* dtilde, const double* u, int width, int height, int channels,
            double gamma1);

// The z-update of a data term: pulls z toward f with the threshold
// lambda_map(x, y) / gamma2, or lambda / gamma2 without a map.
using ZStepFn = void (*)(double* z, double* ztilde, const double* u, const double* f,
                         const double* lambda_map, int width, int height, int channels,
                         double lambda, double gamma2);

// L1 data term: z = f + soft-threshold(u + c - f), c = z - ztilde.
void z_step_laplace(double* z, double* ztilde, const double* u, const double* f,
                    const double* lambda_map, int width, int height, int channels,
                    double lambda, double gamma2);

// Poisson data term: z = the larger root of z^2 - (u + c - t) z - t f = 0.
void z_step_poisson(double* z, double* ztilde, const double* u, const double* f,
                    const double* lambda_map, int width, int height, int channels,
                    double lambda, double gamma2);

}  // namespace pelvane
