#include "solver/u_step_gauss_seidel.h"

#include <cstddef>

namespace pelvane {

double u_step_gauss_seidel(double* u, const double* g, const double* dtilde,
                           const double* weight_map, int width, int height, int channels,
                           double a, double b) {
    if (width <= 0 || height <= 0 || channels <= 0) return 0.0;
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t h = static_cast<std::size_t>(height);
    const std::size_t plane = w * h;
    const double alpha_fixed = a / b;
    const double denominator_fixed = alpha_fixed + 4.0;

    double sum = 0.0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(channels); ++k) {
        for (std::size_t y = 0; y < h; ++y) {
            const std::size_t row = plane * k + w * y;
            double* u_row = u + row;
            // In row 0 the north neighbour is the element itself, in the last
            // row the south one; both still hold the old value when read.
            const double* u_north = y > 0 ? u_row - w : u_row;
            const double* u_south = y + 1 < h ? u_row + w : u_row;
            const double* g_row = g + row;
            const double* dt_row = dtilde + 2 * row;
            const double* dt_north = y > 0 ? dt_row - 2 * w : dt_row;
            const double* map_row = weight_map != nullptr ? weight_map + w * y : nullptr;

            for (std::size_t x = 0; x < w; ++x) {
                double alpha = alpha_fixed;
                double denominator = denominator_fixed;
                if (map_row != nullptr) {
                    alpha = map_row[x] / b;
                    denominator = alpha + 4.0;
                }
                const double old_u = u_row[x];
                const double u_west = x > 0 ? u_row[x - 1] : old_u;
                const double u_east = x + 1 < w ? u_row[x + 1] : old_u;
                const double dx = x > 0 && x + 1 < w ? dt_row[2 * x - 2] - dt_row[2 * x] : 0.0;
                const double dy = dt_north[2 * x + 1] - dt_row[2 * x + 1];
                const double new_u = (alpha * g_row[x] + u_west + u_east + u_north[x] +
                                      u_south[x] + dx + dy) / denominator;
                const double change = new_u - old_u;
                sum += change * change;
                u_row[x] = new_u;
            }
        }
    }
    return sum;
}

}  // namespace pelvane
