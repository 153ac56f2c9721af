#pragma once

#include <string>
#include <utility>

namespace pelvane {

// A message that stops the job (one of msg::), and the lines the front ends
// show after it: the file it is about, both sizes where two disagree. A
// JobStop without a message lets the job go on, so a stage returns
// `nullptr` or a bare message as before.
struct JobStop {
    const char* message = nullptr;
    std::string detail;  // lines separated by '\n'; may be empty

    JobStop() = default;
    JobStop(const char* text) : message(text) {}  // implicit: a message without detail
    JobStop(const char* text, std::string lines) : message(text), detail(std::move(lines)) {}

    explicit operator bool() const { return message != nullptr; }
};

}  // namespace pelvane
