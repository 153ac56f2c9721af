#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "job/job_host.h"

namespace pelvane {

// The job's host inside a Python call. The job runs on the calling thread
// with the GIL released; the host takes the GIL back only to hand the share
// of the work done to the Python progress callback and to let a Ctrl-C
// through. Either of those ending in a Python exception (the callback
// raised, the user pressed Ctrl-C) or the callback answering False asks the
// job to stop; the callback is not called again after that. While the share
// stands still (a long solve), the callback is asked again now and then with
// the same fraction, so that a stop reaches even a long solve promptly.
class PythonHost : public JobHost {
public:
    // `progress`: None, or a callable taking the fraction done (0..1) and
    // returning False to stop the job. Construct with the GIL held.
    explicit PythonHost(pybind11::object progress);
    ~PythonHost() override;

    void show_message(const std::string& text) override;
    void show_done(const std::string& text) override;
    void show_warning(const std::string& text) override;
    int set_progress_position(int position) override;
    void set_work_done(double fraction) override;
    void keep_alive() override;
    bool stop_requested() override { return stop_; }

    // Every message the job showed, in order.
    const std::vector<std::string>& messages() const { return messages_; }
    // The warnings of a job that went on, in order.
    const std::vector<std::string>& warnings() const { return warnings_; }
    // The job ended with "Job Done".
    bool done() const { return done_; }

    // The progress callback answered False.
    bool cancelled() const { return cancelled_; }

    // Raises the Python exception that stopped the job, if one did. GIL held.
    void raise_pending_error();

private:
    // Runs `call` with the GIL; a Python exception it raises stops the job.
    template <class Call>
    void with_gil(Call call);
    // Hands `fraction` to the callback, unless it has already said stop.
    void call_progress(double fraction);

    pybind11::object progress_;
    bool main_thread_;  // only the main thread sees signals
    std::vector<std::string> messages_;
    std::vector<std::string> warnings_;
    std::optional<pybind11::error_already_set> pending_error_;
    std::chrono::steady_clock::time_point last_signal_check_;
    std::chrono::steady_clock::time_point last_progress_call_;
    double last_fraction_ = 0.0;  // the share the callback last heard
    int position_ = 0;
    bool done_ = false;
    bool cancelled_ = false;
    bool stop_ = false;
};

}  // namespace pelvane
