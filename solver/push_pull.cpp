#include "solver/push_pull.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace pelvane {

namespace {

// One level of the pyramid: a mean and its weight in [0, 1] per pixel.
struct Level {
    int width = 0;
    int rows = 0;
    std::vector<double> value;
    std::vector<double> weight;

    double& v(int x, int y) { return value[static_cast<std::size_t>(y) * width + x]; }
    double& w(int x, int y) { return weight[static_cast<std::size_t>(y) * width + x]; }
};

Level push_down(Level& fine)
{
    Level coarse;
    coarse.width = (fine.width + 1) / 2;
    coarse.rows = (fine.rows + 1) / 2;
    const std::size_t n = static_cast<std::size_t>(coarse.width) * coarse.rows;
    coarse.value.assign(n, 0.0);
    coarse.weight.assign(n, 0.0);
    for (int y = 0; y < coarse.rows; ++y)
        for (int x = 0; x < coarse.width; ++x) {
            double sum_w = 0.0;
            double sum_wv = 0.0;
            for (int fy = 2 * y; fy < std::min(2 * y + 2, fine.rows); ++fy)
                for (int fx = 2 * x; fx < std::min(2 * x + 2, fine.width); ++fx) {
                    sum_w += fine.w(fx, fy);
                    sum_wv += fine.w(fx, fy) * fine.v(fx, fy);
                }
            if (sum_w > 0.0) coarse.v(x, y) = sum_wv / sum_w;
            // The share of the block its valid pixels cover.
            coarse.w(x, y) = sum_w / 4.0;
        }
    return coarse;
}

// The coarse level at fine pixel (x, y), bilinear between coarse pixel
// centres, clamped at the borders.
double interpolate_up(Level& coarse, int x, int y)
{
    const double cx = std::clamp((x + 0.5) / 2.0 - 0.5, 0.0, coarse.width - 1.0);
    const double cy = std::clamp((y + 0.5) / 2.0 - 0.5, 0.0, coarse.rows - 1.0);
    const int x0 = static_cast<int>(cx);
    const int y0 = static_cast<int>(cy);
    const int x1 = std::min(x0 + 1, coarse.width - 1);
    const int y1 = std::min(y0 + 1, coarse.rows - 1);
    const double ax = cx - x0;
    const double ay = cy - y0;
    const double top = (1.0 - ax) * coarse.v(x0, y0) + ax * coarse.v(x1, y0);
    const double bottom = (1.0 - ax) * coarse.v(x0, y1) + ax * coarse.v(x1, y1);
    return (1.0 - ay) * top + ay * bottom;
}

void pull_up(Level& coarse, Level& fine)
{
    for (int y = 0; y < fine.rows; ++y)
        for (int x = 0; x < fine.width; ++x) {
            const double w = fine.w(x, y);
            if (w >= 1.0) continue;
            fine.v(x, y) = w * fine.v(x, y) + (1.0 - w) * interpolate_up(coarse, x, y);
            fine.w(x, y) = 1.0;
        }
}

}  // namespace

void push_pull_fill(double* values, const unsigned char* gap_mask, int width, int rows)
{
    if (width <= 0 || rows <= 0) return;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(rows);
    if (std::all_of(gap_mask, gap_mask + pixels, [](unsigned char m) { return m != 0; }))
        return;

    std::vector<Level> pyramid(1);
    Level& base = pyramid.front();
    base.width = width;
    base.rows = rows;
    base.value.resize(pixels);
    base.weight.resize(pixels);
    for (std::size_t i = 0; i < pixels; ++i) {
        const bool gap = gap_mask[i] != 0;
        base.value[i] = gap ? 0.0 : values[i];
        base.weight[i] = gap ? 0.0 : 1.0;
    }
    // Down until every pixel of a level has some valid pixel under it (the
    // 1 x 1 level has, since the band has one); that level is taken as it is.
    auto uncovered = [](const Level& level) {
        return std::any_of(level.weight.begin(), level.weight.end(),
                           [](double w) { return w <= 0.0; });
    };
    while (uncovered(pyramid.back())) {
        Level coarse = push_down(pyramid.back());
        pyramid.push_back(std::move(coarse));
    }
    std::fill(pyramid.back().weight.begin(), pyramid.back().weight.end(), 1.0);
    for (std::size_t level = pyramid.size() - 1; level > 0; --level)
        pull_up(pyramid[level], pyramid[level - 1]);

    for (std::size_t i = 0; i < pixels; ++i)
        if (gap_mask[i] != 0) values[i] = pyramid.front().value[i];
}

}  // namespace pelvane
