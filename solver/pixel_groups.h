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

// Labels every nonzero `mask` byte with the piece it lies in: each
// 8-connected group (in the order for_each_pixel_group takes them) cut into
// squares of `piece` x `piece` pixels counted from the top left corner of
// its bounding box, numbered row after row; a group no larger than a square
// is one piece. `label` (rows * width) gets -1 on zero bytes. Returns the
// number of labels given out, squares a group does not reach included.
int label_group_pieces(const unsigned char* mask, int width, int rows, int piece, int* label);

}  // namespace pelvane
