// The band sweep with AVX-512: one register holds the eight lanes of a step.
// Only plain IEEE operations are used (no fused multiply-add), so the values
// are those of the portable build.
#include <cstddef>
#include <cstdint>

#include "solver/skewed_sweep.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12 warns about the undefined passthrough operand inside its own
// sqrt and alignr intrinsics.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace pelvane {
namespace {

struct Avx512Lanes {
    using Mask = __mmask8;
    __m512d v;

    static Avx512Lanes load(const double* p) { return {_mm512_loadu_pd(p)}; }
    static void store(double* p, Avx512Lanes a) { _mm512_storeu_pd(p, a.v); }
    static void store_last(double* p, Avx512Lanes a) {
        _mm_storeh_pd(p, _mm256_extractf128_pd(_mm512_extractf64x4_pd(a.v, 1), 1));
    }
    // The checkpoint is written once and read back once, after the wave.
    static void stream(double* p, Avx512Lanes a) { _mm512_stream_pd(p, a.v); }
    static void fence() { _mm_sfence(); }
    static Avx512Lanes set1(double x) { return {_mm512_set1_pd(x)}; }
    static Avx512Lanes zero() { return {_mm512_setzero_pd()}; }
    static Avx512Lanes sqrt(Avx512Lanes a) { return {_mm512_sqrt_pd(a.v)}; }
    static Avx512Lanes neg(Avx512Lanes a) {
        return {_mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a.v),
                                                     _mm512_set1_epi64(INT64_MIN)))};
    }
    static Mask gt(Avx512Lanes a, Avx512Lanes b) { return _mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ); }
    static Mask lt(Avx512Lanes a, Avx512Lanes b) { return _mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ); }
    static Mask mask(unsigned bits) { return static_cast<Mask>(bits); }
    static bool any(Mask m) { return m != 0; }
    static Avx512Lanes keep(Mask m, Avx512Lanes a) { return {_mm512_maskz_mov_pd(m, a.v)}; }
    static Avx512Lanes select(Mask m, Avx512Lanes a, Avx512Lanes b) {
        return {_mm512_mask_blend_pd(m, b.v, a.v)};
    }
    static void transpose(Avx512Lanes m[8]) {
        // Pairs of rows, then pairs of pairs, then the two halves.
        __m512d t[8], u[8];
        for (int i = 0; i < 4; ++i) {
            t[2 * i] = _mm512_unpacklo_pd(m[2 * i].v, m[2 * i + 1].v);
            t[2 * i + 1] = _mm512_unpackhi_pd(m[2 * i].v, m[2 * i + 1].v);
        }
        const __m512i even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
        const __m512i odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
        for (int h = 0; h < 2; ++h) {
            // Rows 4h .. 4h + 3: columns (0, 4), (1, 5), (2, 6), (3, 7).
            u[4 * h + 0] = _mm512_permutex2var_pd(t[4 * h], even, t[4 * h + 2]);
            u[4 * h + 1] = _mm512_permutex2var_pd(t[4 * h + 1], even, t[4 * h + 3]);
            u[4 * h + 2] = _mm512_permutex2var_pd(t[4 * h], odd, t[4 * h + 2]);
            u[4 * h + 3] = _mm512_permutex2var_pd(t[4 * h + 1], odd, t[4 * h + 3]);
        }
        for (int c = 0; c < 4; ++c) {
            m[c].v = _mm512_shuffle_f64x2(u[c], u[4 + c], 0x44);
            m[c + 4].v = _mm512_shuffle_f64x2(u[c], u[4 + c], 0xee);
        }
    }
    // alignr over the pair (high:low) shifted right by n lanes.
    static Avx512Lanes shift_north(Avx512Lanes prev, Avx512Lanes above) {
        return {_mm512_castsi512_pd(_mm512_alignr_epi64(_mm512_castpd_si512(prev.v),
                                                        _mm512_castpd_si512(above.v), 7))};
    }
    static Avx512Lanes shift_south(Avx512Lanes next, Avx512Lanes below) {
        return {_mm512_castsi512_pd(_mm512_alignr_epi64(_mm512_castpd_si512(below.v),
                                                        _mm512_castpd_si512(next.v), 1))};
    }
};

// Outside the class: friends defined inside it would miss the target switch.
inline Avx512Lanes operator+(Avx512Lanes a, Avx512Lanes b) { return {_mm512_add_pd(a.v, b.v)}; }
inline Avx512Lanes operator-(Avx512Lanes a, Avx512Lanes b) { return {_mm512_sub_pd(a.v, b.v)}; }
inline Avx512Lanes operator*(Avx512Lanes a, Avx512Lanes b) { return {_mm512_mul_pd(a.v, b.v)}; }
inline Avx512Lanes operator/(Avx512Lanes a, Avx512Lanes b) { return {_mm512_div_pd(a.v, b.v)}; }

}  // namespace
}  // namespace pelvane

#include "solver/skewed_sweep_kernel.h"

namespace pelvane {

SweepKernels sweep_kernels_avx512() { return kernels_with<Avx512Lanes>(); }

}  // namespace pelvane

#pragma GCC pop_options
#endif
