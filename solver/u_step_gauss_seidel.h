#pragma once

namespace pelvane {

// One in-place Gauss-Seidel sweep for alpha u - Laplacian(u) = alpha g - div(dtilde),
// alpha = a / b, or weight_map(x, y) / b when a map is given (one weight per
// pixel, shared by all channels). Sweeps channel by channel, row by row, left
// to right; a missing neighbour at the border is the element's own old value.
// Returns the sum of the squared changes of u, added in sweep order.
// The result depends on the sweep order: faster variants must keep it.
double u_step_gauss_seidel(double* u, const double* g, const double* dtilde,
                           const double* weight_map, int width, int height, int channels,
                           double a, double b);

}  // namespace pelvane
