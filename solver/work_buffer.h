#pragma once

#include <cstddef>
#include <memory>

namespace pelvane {

// Work arrays of doubles for the solver, on cache-line boundaries. Large ones
// are mapped from the system on their own, placed on 2 MB boundaries and, on
// Linux, marked for transparent huge pages: a fresh page costs a fault on
// first touch, and on a virtual machine the faults of a band's work arrays can
// take longer than a hundred iterations. Mapping them apart also returns them
// to the system when they are freed; from the heap, the allocator may keep
// them (it raises its mapping threshold to the largest block freed, and a
// thread's arena holds on to what it frees), so that a process's peak memory
// could exceed what its solves use at any one time. The contents start
// undefined.
struct WorkBufferDelete {
    std::size_t mapped_bytes = 0;  // 0: from the heap
    void operator()(double* p) const;
};
using WorkBuffer = std::unique_ptr<double[], WorkBufferDelete>;

// Null when count doubles cannot be had.
WorkBuffer allocate_work_buffer(std::size_t count);

}  // namespace pelvane
