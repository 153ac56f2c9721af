#pragma once

namespace pelvane {

// Progress callback of the fill stages. `context` is the JobHost of the
// running job (or null: nothing happens and 1 is returned). Puts the bar at
// progress_base + fraction x progress_step, truncated toward zero, and returns
// the bar's previous position. The host is only called when the position
// changes, so the callback may run once per pixel.
int report_progress(double fraction, const char* message, void* context);

// Message callback of the fill stages: shows `text` through the JobHost given
// as `context` (nothing happens when it is null).
void show_host_message(const char* text, void* context);

}  // namespace pelvane
