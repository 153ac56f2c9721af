// The band sweep with AVX2: two registers of four lanes hold a step. Only
// plain IEEE operations are used (no fused multiply-add), so the values are
// those of the portable build.
#include <cstddef>

#include "solver/skewed_sweep.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2")

namespace pelvane {
namespace {

struct Avx2Lanes {
    struct Mask {
        __m256d lo, hi;
    };
    __m256d lo, hi;  // lanes 0..3 and 4..7

    static Avx2Lanes load(const double* p) { return {_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)}; }
    static void store(double* p, Avx2Lanes a) {
        _mm256_storeu_pd(p, a.lo);
        _mm256_storeu_pd(p + 4, a.hi);
    }
    static void store_last(double* p, Avx2Lanes a) {
        _mm_storeh_pd(p, _mm256_extractf128_pd(a.hi, 1));
    }
    // The checkpoint is written once and read back once, after the wave.
    static void stream(double* p, Avx2Lanes a) {
        _mm256_stream_pd(p, a.lo);
        _mm256_stream_pd(p + 4, a.hi);
    }
    static void fence() { _mm_sfence(); }
    static Avx2Lanes set1(double x) { return {_mm256_set1_pd(x), _mm256_set1_pd(x)}; }
    static Avx2Lanes zero() { return {_mm256_setzero_pd(), _mm256_setzero_pd()}; }
    static Avx2Lanes sqrt(Avx2Lanes a) { return {_mm256_sqrt_pd(a.lo), _mm256_sqrt_pd(a.hi)}; }
    static Avx2Lanes neg(Avx2Lanes a) {
        const __m256d sign = _mm256_set1_pd(-0.0);
        return {_mm256_xor_pd(a.lo, sign), _mm256_xor_pd(a.hi, sign)};
    }
    static Mask gt(Avx2Lanes a, Avx2Lanes b) {
        return {_mm256_cmp_pd(a.lo, b.lo, _CMP_GT_OQ), _mm256_cmp_pd(a.hi, b.hi, _CMP_GT_OQ)};
    }
    static Mask lt(Avx2Lanes a, Avx2Lanes b) {
        return {_mm256_cmp_pd(a.lo, b.lo, _CMP_LT_OQ), _mm256_cmp_pd(a.hi, b.hi, _CMP_LT_OQ)};
    }
    static Mask mask(unsigned bits) {
        const __m256i lane_bits = _mm256_set_epi64x(8, 4, 2, 1);
        const __m256i lo = _mm256_and_si256(_mm256_set1_epi64x(bits & 0xfu), lane_bits);
        const __m256i hi = _mm256_and_si256(_mm256_set1_epi64x((bits >> 4) & 0xfu), lane_bits);
        return {_mm256_castsi256_pd(_mm256_cmpeq_epi64(lo, lane_bits)),
                _mm256_castsi256_pd(_mm256_cmpeq_epi64(hi, lane_bits))};
    }
    static bool any(Mask m) { return _mm256_movemask_pd(_mm256_or_pd(m.lo, m.hi)) != 0; }
    static Avx2Lanes keep(Mask m, Avx2Lanes a) {
        return {_mm256_and_pd(m.lo, a.lo), _mm256_and_pd(m.hi, a.hi)};
    }
    static Avx2Lanes select(Mask m, Avx2Lanes a, Avx2Lanes b) {
        return {_mm256_blendv_pd(b.lo, a.lo, m.lo), _mm256_blendv_pd(b.hi, a.hi, m.hi)};
    }
    // 4 x 4 transpose of a, b, c, d (rows) into columns.
    static void transpose4(__m256d& a, __m256d& b, __m256d& c, __m256d& d) {
        const __m256d t0 = _mm256_unpacklo_pd(a, b), t1 = _mm256_unpackhi_pd(a, b);
        const __m256d t2 = _mm256_unpacklo_pd(c, d), t3 = _mm256_unpackhi_pd(c, d);
        a = _mm256_permute2f128_pd(t0, t2, 0x20);
        b = _mm256_permute2f128_pd(t1, t3, 0x20);
        c = _mm256_permute2f128_pd(t0, t2, 0x31);
        d = _mm256_permute2f128_pd(t1, t3, 0x31);
    }
    static void transpose(Avx2Lanes m[8]) {
        // Four 4 x 4 blocks, the off-diagonal two swapped.
        transpose4(m[0].lo, m[1].lo, m[2].lo, m[3].lo);
        transpose4(m[0].hi, m[1].hi, m[2].hi, m[3].hi);
        transpose4(m[4].lo, m[5].lo, m[6].lo, m[7].lo);
        transpose4(m[4].hi, m[5].hi, m[6].hi, m[7].hi);
        for (int i = 0; i < 4; ++i) {
            const __m256d upper_right = m[i].hi;
            m[i].hi = m[i + 4].lo;
            m[i + 4].lo = upper_right;
        }
    }
    static Avx2Lanes shift_north(Avx2Lanes prev, Avx2Lanes above) {
        // Rotate each half up by one lane, then refill lane 0 of each half.
        const __m256d lo = _mm256_permute4x64_pd(prev.lo, _MM_SHUFFLE(2, 1, 0, 3));
        const __m256d hi = _mm256_permute4x64_pd(prev.hi, _MM_SHUFFLE(2, 1, 0, 3));
        const __m256d top = _mm256_permute4x64_pd(above.hi, _MM_SHUFFLE(2, 1, 0, 3));
        return {_mm256_blend_pd(lo, top, 1), _mm256_blend_pd(hi, lo, 1)};
    }
    static Avx2Lanes shift_south(Avx2Lanes next, Avx2Lanes below) {
        // Rotate each half down by one lane, then refill lane 3 of each half.
        const __m256d lo = _mm256_permute4x64_pd(next.lo, _MM_SHUFFLE(0, 3, 2, 1));
        const __m256d hi = _mm256_permute4x64_pd(next.hi, _MM_SHUFFLE(0, 3, 2, 1));
        const __m256d bottom = _mm256_permute4x64_pd(below.lo, _MM_SHUFFLE(0, 3, 2, 1));
        return {_mm256_blend_pd(lo, hi, 8), _mm256_blend_pd(hi, bottom, 8)};
    }
};

// Outside the class: friends defined inside it would miss the target switch.
inline Avx2Lanes operator+(Avx2Lanes a, Avx2Lanes b) {
    return {_mm256_add_pd(a.lo, b.lo), _mm256_add_pd(a.hi, b.hi)};
}
inline Avx2Lanes operator-(Avx2Lanes a, Avx2Lanes b) {
    return {_mm256_sub_pd(a.lo, b.lo), _mm256_sub_pd(a.hi, b.hi)};
}
inline Avx2Lanes operator*(Avx2Lanes a, Avx2Lanes b) {
    return {_mm256_mul_pd(a.lo, b.lo), _mm256_mul_pd(a.hi, b.hi)};
}
inline Avx2Lanes operator/(Avx2Lanes a, Avx2Lanes b) {
    return {_mm256_div_pd(a.lo, b.lo), _mm256_div_pd(a.hi, b.hi)};
}

}  // namespace
}  // namespace pelvane

#include "solver/skewed_sweep_kernel.h"

namespace pelvane {

SweepKernels sweep_kernels_avx2() { return kernels_with<Avx2Lanes>(); }

}  // namespace pelvane

#pragma GCC pop_options
#endif
