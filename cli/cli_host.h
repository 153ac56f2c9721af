#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "cli/terminal_progress.h"
#include "job/job_host.h"

namespace pelvane {

// The job's host on a terminal: "Job Done:..." on standard output, every other
// message and the warnings on standard error, the progress line on standard
// error unless quiet. The job stops when a signal asks it to (stop_signals.h).
class CliHost : public JobHost {
public:
    CliHost(std::ostream& out, std::ostream& err, bool show_progress);

    void show_message(const std::string& text) override;
    void show_warning(const std::string& text) override;
    int set_progress_position(int position) override;
    bool stop_requested() override;

private:
    std::ostream& out_;
    std::ostream& err_;
    std::optional<TerminalProgress> progress_;
    int position_ = 0;
};

}  // namespace pelvane
