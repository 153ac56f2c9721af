#include "demo/mirrored_tiling.h"

namespace pelvane {

int mirrored_index(int position, int extent)
{
    int copy = position / extent;
    int within = position % extent;
    return copy % 2 == 0 ? within : extent - 1 - within;
}

std::vector<std::uint8_t> mirrored_tiling(const std::uint8_t* source, int source_width, int source_height,
                                          int bands, int width, int height)
{
    const long long source_plane = static_cast<long long>(source_width) * source_height;
    const long long plane = static_cast<long long>(width) * height;
    std::vector<int> source_col(width);
    for (int col = 0; col < width; ++col)
        source_col[col] = mirrored_index(col, source_width);
    std::vector<std::uint8_t> image(plane * bands);
    for (int b = 0; b < bands; ++b) {
        for (int row = 0; row < height; ++row) {
            const std::uint8_t* from =
                source + b * source_plane + static_cast<long long>(mirrored_index(row, source_height)) * source_width;
            std::uint8_t* to = image.data() + b * plane + static_cast<long long>(row) * width;
            for (int col = 0; col < width; ++col)
                to[col] = from[source_col[col]];
        }
    }
    return image;
}

}  // namespace pelvane
