#pragma once

namespace pelvane {

// Lets a signal stop the job cleanly: SIGINT, SIGTERM and SIGHUP only note
// that they arrived, the job sees it at its next check (through the host's
// stop_requested), removes its temporary output and returns. A signal the
// process inherited as ignored (nohup, a background job of a script) stays
// ignored. SIGXFSZ is ignored, so that a write past the file-size limit
// fails with an error the job reports rather than killing the process and
// leaving its temporary file behind.
void install_stop_signals();

// The signal that asked the job to stop, or 0 when none has.
int stop_signal();

}  // namespace pelvane
