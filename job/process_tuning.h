#pragma once

namespace pelvane {

// Settles how this process's memory serves a job made of large strips; a
// front end calls it once at start-up, before its first job.
void tune_process_for_strips();

}  // namespace pelvane
