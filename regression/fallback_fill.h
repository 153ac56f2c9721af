#pragma once

namespace pelvane {

// Shows a message to the user and returns once it has been seen.
using MessageFn = void (*)(const char* text, void* context);

// Second chance for the pixels regression_fill marked PIXEL_BOTH_MISSING:
// band by band, a local regression between the strip's current filled values
// and the fill values, written into `filled` in place and in raster order.
// "alr Error!" goes through `message` (nothing is shown when it is null).
void fallback_fill(double* const* filled, const double* const* fill,
                   const unsigned char* status, int band_count, int rows, int width,
                   MessageFn message, void* message_context);

}  // namespace pelvane
