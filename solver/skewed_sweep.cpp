#include "solver/skewed_sweep.h"

namespace pelvane {

// Built in skewed_sweep_<isa>.cpp.
SweepKernels sweep_kernels_generic();
#if defined(__x86_64__) || defined(__i386__)
SweepKernels sweep_kernels_avx2();
SweepKernels sweep_kernels_avx512();
#endif

bool simd_path_supported(SimdPath path) {
    switch (path) {
    case SIMD_GENERIC:
        return true;
#if defined(__x86_64__) || defined(__i386__)
    case SIMD_AVX2:
        return __builtin_cpu_supports("avx2");
    case SIMD_AVX512:
        return __builtin_cpu_supports("avx512f");
#endif
    default:
        return false;
    }
}

SimdPath best_simd_path() {
    // A function-local constant: initialised once, thread-safe.
    static const SimdPath best = simd_path_supported(SIMD_AVX512) ? SIMD_AVX512
                                 : simd_path_supported(SIMD_AVX2) ? SIMD_AVX2
                                                                  : SIMD_GENERIC;
    return best;
}

SweepKernels sweep_kernels(SimdPath path) {
    if (!simd_path_supported(path)) return {};
    switch (path) {
    case SIMD_GENERIC:
        return sweep_kernels_generic();
#if defined(__x86_64__) || defined(__i386__)
    case SIMD_AVX2:
        return sweep_kernels_avx2();
    case SIMD_AVX512:
        return sweep_kernels_avx512();
#endif
    default:
        return {};
    }
}

}  // namespace pelvane
