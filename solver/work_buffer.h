#pragma once

#include <cstddef>
#include <memory>

namespace pelvane {

// Work arrays of doubles for the solver, on cache-line boundaries. Large ones
// are placed on 2 MB boundaries and, on Linux, marked for transparent huge
// pages: a fresh page costs a fault on first touch, and on a virtual machine
// the faults of a band's work arrays can take longer than a hundred
// iterations. The contents start undefined.
struct WorkBufferDelete {
    void operator()(double* p) const;
};
using WorkBuffer = std::unique_ptr<double[], WorkBufferDelete>;

// Null when count doubles cannot be had.
WorkBuffer allocate_work_buffer(std::size_t count);

}  // namespace pelvane
