#pragma once

#include <cstdint>
#include <vector>

namespace pelvane {

// Row (or column) of the source that lands at `position` when copies of a
// source `extent` pixels long are laid side by side, every second copy
// mirrored: 0, 1, ..., extent - 1, extent - 1, ..., 1, 0, 0, 1, ...
// Neighbours across a seam are the same source pixel, so the tiling shows
// no hard edges.
int mirrored_index(int position, int extent);

// A width x height image made of mirrored copies of a band-sequential source
// (band b, row r, column c at (b * source_height + r) * source_width + c),
// with the first copy unflipped at the top-left corner. Smaller sizes give the
// source's top-left corner. The result is band-sequential too.
std::vector<std::uint8_t> mirrored_tiling(const std::uint8_t* source, int source_width, int source_height,
                                          int bands, int width, int height);

}  // namespace pelvane
