#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace pelvane {

// Calls `visit` once for each 8-connected group of nonzero `mask` bytes
// (rows * width, row after row), in raster order of the group's first
// pixel, with the group's pixel indices (in the order the group was grown).
void for_each_pixel_group(const unsigned char* mask, int width, int rows,
                          const std::function<void(const std::vector<std::size_t>&)>& visit);

}  // namespace pelvane
