#include "solver/work_buffer.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pelvane {

namespace {

constexpr std::size_t kLineBytes = 64;
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

}  // namespace

void WorkBufferDelete::operator()(double* p) const {
    std::free(p);
}

WorkBuffer allocate_work_buffer(std::size_t count) {
    if (count == 0) count = 1;
    if (count > SIZE_MAX / sizeof(double) - kHugePageBytes) return nullptr;
    const bool huge = count * sizeof(double) >= 2 * kHugePageBytes;
    const std::size_t alignment = huge ? kHugePageBytes : kLineBytes;
    // aligned_alloc wants a multiple of the alignment.
    const std::size_t bytes = (count * sizeof(double) + alignment - 1) / alignment * alignment;
    void* p = std::aligned_alloc(alignment, bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: without huge pages the buffer works the same.
    if (p != nullptr && huge) madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return WorkBuffer(static_cast<double*>(p));
}

}  // namespace pelvane
