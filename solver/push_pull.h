#pragma once

namespace pelvane {

// Fills the gap pixels of one band (gap_mask nonzero) with a smooth
// interpolation of its other pixels, in place; other pixels are not touched.
//
// Push-pull over an image pyramid: going down, each coarser pixel is the
// weighted mean of its (up to) 2 x 2 children and its weight the share of the
// block they cover (their summed weight over 4); going back up, each pixel keeps weight w of its own mean and
// takes 1 - w from the bilinear interpolation of the coarser level. A gap
// thus gets the mean of the valid pixels around it at the scale where they
// first cover it, blended smoothly across scales. Deterministic, O(pixels).
// A band without a single valid pixel is left unchanged.
void push_pull_fill(double* values, const unsigned char* gap_mask, int width, int rows);

}  // namespace pelvane
