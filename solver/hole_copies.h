#pragma once

#include <cstddef>

namespace pelvane {

// Copies of a strip's holes moved onto pixels whose values are known, so that
// a fill can be tried where its answer is known: each copy has the shape of
// the hole it copies and lies in the same strip among the same kind of
// surroundings, so the errors there tell how far the fill is off in the holes.
//
// The holes are the 8-connected groups of nonzero `holes` bytes, taken in
// raster order of their first pixel. A hole of h rows and w columns is tried
// at the shifts (m * sy * (h + 3), m * sx * (w + 3)) for m = 1, 2, 3 and
// (sy, sx) = (0, 1), (0, -1), (1, 0), (-1, 0), (1, 1), (1, -1), (-1, 1),
// (-1, -1), in that order, and copied at the first where every pixel of the
// copy lies inside the strip, on a nonzero `sites` byte, and neither on nor
// next to (8-neighbour) a hole or an earlier copy: kept apart, a copy keeps
// its hole's shape instead of merging with another.
//
// At most `max_pixels` copy pixels in all, spread over the strip: a hole is
// tried only while the copies, with it, would stay within max_pixels times
// the share of the hole pixels seen so far (its own included).
//
// Writes `copies` (rows * width bytes: 1 on a copy, else 0) and returns the
// number of copy pixels.
std::size_t place_hole_copies(const unsigned char* holes, const unsigned char* sites, int width,
                              int rows, std::size_t max_pixels, unsigned char* copies);

}  // namespace pelvane
