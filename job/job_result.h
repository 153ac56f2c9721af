#pragma once

#include <string>
#include <utility>

#include "job/job_messages.h"

namespace pelvane {

// How a job, or one of its steps, ended.
enum class JobEnd {
    done,           // a step: the job goes on; the job: its output is in place
    stopped,        // the user asked it to stop
    failed,         // a bad input, a file that cannot be read or written
    out_of_memory,  // a buffer could not be had
};

// The end of a job or of one of its steps, with the message the user sees
// (one of msg::, or "Job Done:..." for a finished job) and the lines shown
// after it: the file it is about, both sizes where two disagree, what GDAL
// said. Front ends switch on `end`, never on the message's text.
struct JobResult {
    JobEnd end = JobEnd::done;
    std::string message;  // empty for a step that lets the job go on
    std::string detail;   // lines separated by '\n'; may be empty

    JobResult() = default;
    // A failure: one of msg::, implicitly, so that a step returns msg::X or
    // {msg::X, detail}.
    JobResult(const char* failure, std::string lines = {})
        : end(JobEnd::failed), message(failure), detail(std::move(lines)) {}
    JobResult(JobEnd how, std::string text, std::string lines = {})
        : end(how), message(std::move(text)), detail(std::move(lines)) {}

    static JobResult stopped() { return {JobEnd::stopped, msg::STOPPED}; }
    static JobResult out_of_memory(std::string lines = {})
    {
        return {JobEnd::out_of_memory, msg::OUT_OF_MEMORY, std::move(lines)};
    }

    bool done() const { return end == JobEnd::done; }
};

}  // namespace pelvane
