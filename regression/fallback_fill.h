#pragma once

namespace pelvane {

// Shows a message to the user and returns once it has been seen.
using MessageFn = void (*)(const char* text, void* context);

// Second chance for the pixels regression_fill marked PIXEL_BOTH_MISSING:
// band by band, a local regression between the strip's current filled values
// and the fill values, written into `filled` in place and in raster order.
// "alr Error!" goes through `message` (nothing is shown when it is null).
// When `written` (rows * width bytes) is given, each pixel where at least one
// band got a prediction is set to 1; other bytes are left as they are.
void fallback_fill(double* const* filled, const double* const* fill,
                   const unsigned char* status, int band_count, int rows, int width,
                   MessageFn message, void* message_context, unsigned char* written = nullptr);

}  // namespace pelvane
