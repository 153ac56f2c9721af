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
#if defined(__linux__)
    if (mapped_bytes != 0) {
        munmap(p, mapped_bytes);
        return;
    }
#endif
    std::free(p);
}

WorkBuffer allocate_work_buffer(std::size_t count) {
    if (count == 0) count = 1;
    if (count > SIZE_MAX / sizeof(double) - 2 * kHugePageBytes) return nullptr;
    const bool huge = count * sizeof(double) >= 2 * kHugePageBytes;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (huge) {
        // Map a huge page more than needed, then give back what lies before
        // the first 2 MB boundary and after the buffer.
        const std::size_t bytes =
            (count * sizeof(double) + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
        void* mapped = mmap(nullptr, bytes + kHugePageBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) return nullptr;
        const auto start = reinterpret_cast<std::uintptr_t>(mapped);
        const std::uintptr_t aligned = (start + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
        if (aligned > start) munmap(mapped, aligned - start);
        const std::uintptr_t tail = start + bytes + kHugePageBytes - (aligned + bytes);
        if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
        void* p = reinterpret_cast<void*>(aligned);
        // Only advice: without huge pages the buffer works the same.
        madvise(p, bytes, MADV_HUGEPAGE);
        return WorkBuffer(static_cast<double*>(p), WorkBufferDelete{bytes});
    }
#endif
    const std::size_t alignment = huge ? kHugePageBytes : kLineBytes;
    // aligned_alloc wants a multiple of the alignment.
    const std::size_t bytes = (count * sizeof(double) + alignment - 1) / alignment * alignment;
    return WorkBuffer(static_cast<double*>(std::aligned_alloc(alignment, bytes)));
}

}  // namespace pelvane
