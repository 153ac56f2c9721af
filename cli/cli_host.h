#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "cli/terminal_progress.h"
#include "job/job_host.h"

namespace pelvane {

// The job's host on a terminal: every message, its detail lines (indented)
// and the warnings on standard error; unless quiet, "Job Done:..." on standard
// output and the progress line on standard error, following the share of the
// work done. Quiet says nothing on success: the exit status tells. The job
// stops when a signal asks it to (stop_signals.h).
class CliHost : public JobHost {
public:
    // `show_progress`: false for -q.
    CliHost(std::ostream& out, std::ostream& err, bool show_progress);

    void show_message(const std::string& text) override;
    void show_message_with_detail(const std::string& text, const std::string& detail) override;
    void show_done(const std::string& text) override;
    void show_warning(const std::string& text) override;
    void show_solver_text(const std::string& text) override;
    int set_progress_position(int position) override;
    void set_work_done(double fraction) override;
    bool stop_requested() override;

private:
    std::ostream& out_;
    std::ostream& err_;
    std::optional<TerminalProgress> progress_;
    int position_ = 0;
};

}  // namespace pelvane
