#include "regression/local_regression.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace pelvane {

namespace {

void candidate_weights_plain(std::size_t count, const double* spectral2, const double* pixel2,
                             double* weight)
{
    for (std::size_t i = 0; i < count; ++i) {
        const double spectral = std::sqrt(spectral2[i]) + SIMILAR_DISTANCE_OFFSET;
        weight[i] = 1.0 / (spectral * spectral * pixel2[i]);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The square roots and divisions, the slow part, four lanes at once.
__attribute__((target("avx2"))) void candidate_weights_avx2(std::size_t count,
                                                          const double* spectral2,
                                                          const double* pixel2, double* weight)
{
    const __m256d offset = _mm256_set1_pd(SIMILAR_DISTANCE_OFFSET);
    const __m256d one = _mm256_set1_pd(1.0);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d spectral = _mm256_add_pd(_mm256_sqrt_pd(_mm256_loadu_pd(spectral2 + i)), offset);
        const __m256d product = _mm256_mul_pd(_mm256_mul_pd(spectral, spectral), _mm256_loadu_pd(pixel2 + i));
        _mm256_storeu_pd(weight + i, _mm256_div_pd(one, product));
    }
    candidate_weights_plain(count - i, spectral2 + i, pixel2 + i, weight + i);
}
#endif

// The sums laid out as in local_regression_predict, from the candidates'
// weights w[i] and rows z[i] = (x, y) (2n values each, candidate after
// candidate). Each sum runs over the candidates in their order from 0, as
// adding them one candidate at a time would, so the bits are the same; but
// G rows of sums at a time, their 2n terms side by side in registers, where
// the compiler turns them into vector operations when N (the band count,
// or 0: n at run time) is known. The row of the constant 1 (multiplier w)
// gives w x and w y; row j (multiplier w x_j) gives w x_j x' and w x_j y'.
// Row j's w x_j x_k for k < j (the lower triangle) is computed and dropped,
// and so are the rows a last group of G holds beyond row n - 1 (they repeat
// it). Each sum waits on the one before it: G rows side by side keep the
// processor's adders busy where a register holds four lanes.
template <int N, int G>
[[gnu::always_inline]] inline void sum_rows(int n_runtime, std::size_t count,
                                            const double* __restrict w,
                                            const double* __restrict z, double* __restrict sums)
{
    const int n = N > 0 ? N : n_runtime;
    const std::size_t nb = static_cast<std::size_t>(n);
    const std::size_t row_length = 2 * nb;
    double* const sx = sums + 1;
    double* const sy = sx + nb;
    double* const sxx = sy + nb;
    double* const sxy = sxx + nb * nb;
    double total = 0.0;
    for (std::size_t i = 0; i < count; ++i) total += w[i];
    sums[0] = total;
    constexpr int MOST = 2 * (N > 0 ? N : 1);  // a row held in registers
    double fixed[G * MOST];
    std::vector<double> grown;  // the rows when n is known only at run time
    if (N == 0) grown.resize(G * row_length);
    double* const acc = N > 0 ? fixed : grown.data();
    for (int first = -1; first < n; first += G) {
        std::fill(acc, acc + G * row_length, 0.0);
        for (std::size_t i = 0; i < count; ++i) {
            const double* zi = z + i * row_length;
#pragma GCC unroll 8
            for (int g = 0; g < G; ++g) {
                const int j = std::min(first + g, n - 1);
                const double m = j < 0 ? w[i] : w[i] * zi[j];
                double* const row = acc + g * row_length;
                // Unrolled whole, so that the rows stay in registers.
#pragma GCC unroll 16
                for (std::size_t v = 0; v < row_length; ++v) row[v] += m * zi[v];
            }
        }
        for (int g = 0; g < G && first + g < n; ++g) {
            const int j = first + g;
            const double* const row = acc + g * row_length;
            if (j < 0) {
                std::copy(row, row + nb, sx);
                std::copy(row + nb, row + row_length, sy);
            } else {
                const std::size_t r = static_cast<std::size_t>(j);
                std::copy(row + r, row + nb, sxx + r * nb + r);
                std::copy(row + nb, row + row_length, sxy + r * nb);
            }
        }
    }
}

// Rows side by side with four-lane registers: as many as about ten such
// registers hold (a row of 2N doubles takes (2N + 3) / 4).
template <int N>
constexpr int rows_side_by_side()
{
    return N > 0 ? std::max(1, 10 / ((2 * N + 3) / 4)) : 1;
}

// Rows FIRST .. FIRST + G - 1 of the sums of sum_rows (row -1: the
// constant 1), with the band count N known: the same sums, term by term,
// but each row from column OFF on, the first multiple of four at or below
// FIRST: the terms of the lower triangle in whole registers before it are
// not computed at all.
template <int N, int G, int FIRST>
[[gnu::always_inline]] inline void sum_group(std::size_t count, const double* __restrict w,
                                             const double* __restrict z, double* __restrict sums)
{
    constexpr int OFF = FIRST <= 0 ? 0 : FIRST / 4 * 4;
    constexpr int LENGTH = 2 * N - OFF;
    double* const sx = sums + 1;
    double* const sy = sx + N;
    double* const sxx = sy + N;
    double* const sxy = sxx + N * N;
    double acc[G * LENGTH] = {};
    for (std::size_t i = 0; i < count; ++i) {
        const double* zi = z + i * 2 * N;
#pragma GCC unroll 8
        for (int g = 0; g < G; ++g) {
            const int j = FIRST + g;
            const double m = j < 0 ? w[i] : w[i] * zi[j];
            double* const row = acc + g * LENGTH;
#pragma GCC unroll 16
            for (int v = 0; v < LENGTH; ++v) row[v] += m * zi[OFF + v];
        }
    }
    for (int g = 0; g < G; ++g) {
        const int j = FIRST + g;
        const double* const row = acc + g * LENGTH;
        if (j < 0) {
            std::copy(row, row + N, sx);
            std::copy(row + N, row + 2 * N, sy);
        } else {
            std::copy(row + (j - OFF), row + (N - OFF), sxx + j * N + j);
            std::copy(row + (N - OFF), row + LENGTH, sxy + j * N);
        }
    }
}

// Rows FIRST .. N - 1 in groups of at most MOST rows, as even as they come
// (7 rows in groups of three: 3, 2, 2; no group repeats a row).
template <int N, int MOST, int FIRST>
[[gnu::always_inline]] inline void sum_groups(std::size_t count, const double* w, const double* z,
                                              double* sums)
{
    if constexpr (FIRST < N) {
        constexpr int LEFT = N - FIRST;
        constexpr int GROUPS = (LEFT + MOST - 1) / MOST;
        constexpr int G = (LEFT + GROUPS - 1) / GROUPS;
        sum_group<N, G, FIRST>(count, w, z, sums);
        sum_groups<N, MOST, FIRST + G>(count, w, z, sums);
    }
}

// All the sums of sum_rows by groups of rows, with the band count N known.
template <int N>
[[gnu::always_inline]] inline void sum_rows_grouped(std::size_t count, const double* w,
                                                    const double* z, double* sums)
{
    double total = 0.0;
    for (std::size_t i = 0; i < count; ++i) total += w[i];
    sums[0] = total;
    sum_groups<N, rows_side_by_side<N>(), -1>(count, w, z, sums);
}

// The band counts of the usual images get a row of fixed length: 3
// (colour), 4 (colour and near infrared), 6 to 8 (Landsat's reflective
// bands); any other count a row of run-time length, the same sums. `wide`:
// several rows side by side.
template <bool wide>
[[gnu::always_inline]] inline void sum_candidates_by(int n, std::size_t count, const double* w,
                                                     const double* z, double* sums)
{
    if constexpr (wide) {
        switch (n) {
        case 3: return sum_rows_grouped<3>(count, w, z, sums);
        case 4: return sum_rows_grouped<4>(count, w, z, sums);
        case 6: return sum_rows_grouped<6>(count, w, z, sums);
        case 7: return sum_rows_grouped<7>(count, w, z, sums);
        case 8: return sum_rows_grouped<8>(count, w, z, sums);
        default: break;
        }
    } else {
        switch (n) {
        case 3: return sum_rows<3, 1>(n, count, w, z, sums);
        case 4: return sum_rows<4, 1>(n, count, w, z, sums);
        case 6: return sum_rows<6, 1>(n, count, w, z, sums);
        case 7: return sum_rows<7, 1>(n, count, w, z, sums);
        case 8: return sum_rows<8, 1>(n, count, w, z, sums);
        default: break;
        }
    }
    return sum_rows<0, 1>(n, count, w, z, sums);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void sum_candidates_avx2(int n, std::size_t count, const double* w,
                                                       const double* z, double* sums)
{
    sum_candidates_by<true>(n, count, w, z, sums);
}
#endif

#if defined(__x86_64__) || defined(__i386__)
// Six bands with AVX-512: all seven rows at once, in one pass over the
// candidates: a row of 12 on an eight-lane and a four-lane register, rows 4
// and 5 from column 4 on one eight-lane register (sum_group's columns). The
// same terms in the same order.
__attribute__((target("avx512f"))) void sum_candidates6_avx512(std::size_t count, const double* w,
                                                             const double* z, double* sums)
{
    constexpr int N = 6;
    double total = 0.0;
    for (std::size_t i = 0; i < count; ++i) total += w[i];
    sums[0] = total;
    __m512d low[5], six[2];
    __m256d high[5];
    for (int g = 0; g < 5; ++g) {
        low[g] = _mm512_setzero_pd();
        high[g] = _mm256_setzero_pd();
    }
    six[0] = six[1] = _mm512_setzero_pd();
    for (std::size_t i = 0; i < count; ++i) {
        const double* zi = z + i * 2 * N;
        const __m512d a = _mm512_loadu_pd(zi), c = _mm512_loadu_pd(zi + 4);
        const __m256d b = _mm256_loadu_pd(zi + 8);
#pragma GCC unroll 5
        for (int g = 0; g < 5; ++g) {
            const double m = g == 0 ? w[i] : w[i] * zi[g - 1];
            low[g] = _mm512_add_pd(low[g], _mm512_mul_pd(_mm512_set1_pd(m), a));
            high[g] = _mm256_add_pd(high[g], _mm256_mul_pd(_mm256_set1_pd(m), b));
        }
#pragma GCC unroll 2
        for (int g = 0; g < 2; ++g)
            six[g] = _mm512_add_pd(six[g], _mm512_mul_pd(_mm512_set1_pd(w[i] * zi[4 + g]), c));
    }
    double* const sx = sums + 1;
    double* const sy = sx + N;
    double* const sxx = sy + N;
    double* const sxy = sxx + N * N;
    double row[2 * N];
    for (int g = 0; g < 5; ++g) {
        _mm512_storeu_pd(row, low[g]);
        _mm256_storeu_pd(row + 8, high[g]);
        const int j = g - 1;
        if (j < 0) {
            std::copy(row, row + N, sx);
            std::copy(row + N, row + 2 * N, sy);
        } else {
            std::copy(row + j, row + N, sxx + j * N + j);
            std::copy(row + N, row + 2 * N, sxy + j * N);
        }
    }
    for (int g = 0; g < 2; ++g) {
        _mm512_storeu_pd(row, six[g]);  // columns 4 .. 11
        const int j = 4 + g;
        std::copy(row + (j - 4), row + (N - 4), sxx + j * N + j);
        std::copy(row + (N - 4), row + 8, sxy + j * N);
    }
}

bool has_avx512() { return kernel_level() >= KernelLevel::AVX512; }
bool has_avx2() { return kernel_level() >= KernelLevel::AVX2; }
#endif

std::atomic<int> kernel_limit{static_cast<int>(KernelLevel::AVX512)};

void sum_candidates(int n, std::size_t count, const double* w, const double* z, double* sums)
{
#if defined(__x86_64__) || defined(__i386__)
    if (n == 6 && has_avx512()) return sum_candidates6_avx512(count, w, z, sums);
    if (has_avx2()) return sum_candidates_avx2(n, count, w, z, sums);
#endif
    sum_candidates_by<false>(n, count, w, z, sums);
}

// The nonzero bytes of v[first .. last] (none when last < first).
std::size_t count_valid(const unsigned char* v, int first, int last)
{
    unsigned found = 0;
    for (int c = first; c <= last; ++c) found += v[c] != 0;
    return found;
}

// The candidates of the window of half-width `half` around (row, col) that
// lie beyond the one of half-width `inner` (-1: the whole window): the
// pixels valid in both images at least `exclude` rows or columns away.
std::size_t count_window_candidates(const SimilarSearch& s, int row, int col, int exclude,
                                    int inner, int half)
{
    const int c0 = std::max(col - half, 0), c1 = std::min(col + half, s.width - 1);
    std::size_t found = 0;
    for (int r = std::max(row - half, 0); r <= std::min(row + half, s.rows - 1); ++r) {
        const unsigned char* valid = s.both_valid + static_cast<std::size_t>(r) * s.width;
        const int dr = std::abs(r - row);
        // The columns this near the pixel are left out: too near, or
        // counted with the inner window.
        const int too_near = dr < exclude ? exclude : 0;
        const int near = dr <= inner ? std::max(inner + 1, too_near) : too_near;
        if (near == 0) {
            found += count_valid(valid, c0, c1);
        } else {
            found += count_valid(valid, c0, std::min(col - near, c1));
            found += count_valid(valid, std::max(col + near, c0), c1);
        }
    }
    return found;
}

// The candidates of the window of half-width `half` around (row, col) in
// raster order: the positions valid in both images, but for those less than
// `exclude` rows and columns from the pixel. visit(q, pixel2) gets each with
// its squared distance in pixels.
template <class Visit>
[[gnu::always_inline]] inline void for_each_candidate(const SimilarSearch& s, int row, int col,
                                                      int exclude, int half, Visit visit)
{
    const int c0 = std::max(col - half, 0), c1 = std::min(col + half, s.width - 1);
    for (int r = std::max(row - half, 0); r <= std::min(row + half, s.rows - 1); ++r) {
        const bool near_row = std::abs(r - row) < exclude;
        const std::size_t line = static_cast<std::size_t>(r) * s.width;
        for (int c = c0; c <= c1; ++c) {
            const std::size_t q = line + c;
            if (s.both_valid[q] == 0 || (near_row && std::abs(c - col) < exclude)) continue;
            visit(q, (r - row) * (r - row) + (c - col) * (c - col));
        }
    }
}

// Gathers the candidates of the window of half-width `half` in raster
// order: per candidate its sum of squared spectral differences (in w, summed
// as spectral_distance2 sums them), its squared distance in pixels and its row
// z (the scaled fill values less the pixel's own `own`, then the target
// values). Returns their number. N: the band count, or 0 (known at run
// time only).
template <int N>
std::size_t gather_by(const SimilarSearch& s, int row, int col, int exclude, int half,
                      const float* __restrict own, double* __restrict w,
                      double* __restrict pixel2, double* __restrict z)
{
    const int n = N > 0 ? N : s.bands;
    const std::size_t nb = static_cast<std::size_t>(n);
    std::size_t count = 0;
    // The band pointers and the pixel's own values held once, so that the
    // bands' loop unrolls with nothing to reload.
    constexpr int M = N > 0 ? N : 1;
    const double* target_fixed[M];
    double own_fixed[M];
    std::vector<const double*> target_grown(N > 0 ? 0 : nb);
    std::vector<double> own_grown(N > 0 ? 0 : nb);
    const double** const target = N > 0 ? target_fixed : target_grown.data();
    double* const own_value = N > 0 ? own_fixed : own_grown.data();
    for (int j = 0; j < n; ++j) {
        target[j] = s.target[j];
        own_value[j] = own[j];
    }
    for_each_candidate(s, row, col, exclude, half, [&](std::size_t q, int distance2) {
        const float* xf = s.scaled_fill + q * nb;
        double* const zi = z + count * 2 * nb;
        double spectral2 = 0.0;
#pragma GCC unroll 8
        for (int j = 0; j < n; ++j) {
            const double d = static_cast<double>(xf[j]) - own_value[j];
            zi[j] = d;
            zi[nb + j] = target[j][q];
            spectral2 += d * d;
        }
        w[count] = spectral2;  // divided by n below, all at once
        pixel2[count] = distance2;
        ++count;
    });
    return count;
}

// The summed squares w[0 .. count - 1] over n: the squared spectral
// distances, +infinity where not a number (as spectral_distance2 makes
// them). One division per lane.
[[gnu::always_inline]] inline void mean_squares_by(std::size_t count, int n, double* w)
{
    const double bands = n;
    for (std::size_t i = 0; i < count; ++i) {
        const double d = w[i] / bands;
        w[i] = std::isnan(d) ? std::numeric_limits<double>::infinity() : d;
    }
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void mean_squares_avx2(std::size_t count, int n, double* w)
{
    mean_squares_by(count, n, w);
}
#endif

void mean_squares(std::size_t count, int n, double* w)
{
#if defined(__x86_64__) || defined(__i386__)
    if (has_avx2()) return mean_squares_avx2(count, n, w);
#endif
    mean_squares_by(count, n, w);
}

#if defined(__x86_64__) || defined(__i386__)
// gather_by<6> with AVX-512: each candidate's six differences made on the
// lanes of one register and stored at once; its sum of squares still taken
// lane after lane from 0.0, as gather_by sums it. (GCC 12 warns about the
// undefined passthrough operand inside its own conversion intrinsic.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f"))) std::size_t gather6_avx512(const SimilarSearch& s, int row, int col,
                                                             int exclude, int half, const float* own,
                                                             double* w, double* pixel2, double* z)
{
    constexpr int N = 6;
    std::size_t count = 0;
    const double* target[N];
    alignas(64) double own_value[8] = {};
    for (int j = 0; j < N; ++j) {
        target[j] = s.target[j];
        own_value[j] = own[j];
    }
    const __m512d own_lanes = _mm512_load_pd(own_value);
    const auto gather = [&](std::size_t q, int distance2) __attribute__((target("avx512f"))) {
        const float* xf = s.scaled_fill + q * N;
        double* const zi = z + count * 2 * N;
        // The six floats (lanes 6 and 7 zero), widened.
        const __m128 low = _mm_loadu_ps(xf);
        const __m128 high = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(xf + 4)));
        const __m512d d = _mm512_sub_pd(_mm512_cvtps_pd(_mm256_set_m128(high, low)), own_lanes);
        _mm512_mask_storeu_pd(zi, 0x3f, d);
        alignas(64) double square[8];
        _mm512_store_pd(square, _mm512_mul_pd(d, d));
        double spectral2 = 0.0;
#pragma GCC unroll 6
        for (int j = 0; j < N; ++j) {
            zi[N + j] = target[j][q];
            spectral2 += square[j];
        }
        w[count] = spectral2;  // divided by n below, all at once
        pixel2[count] = distance2;
        ++count;
    };
    for_each_candidate(s, row, col, exclude, half, gather);
    return count;
}
#pragma GCC diagnostic pop
#endif

#if defined(__x86_64__) || defined(__i386__)
// mean_squares, then local_candidate_weights in place, in one pass with
// AVX-512: eight candidates on the lanes, each lane the plain operations.
// (GCC 12 warns about the undefined passthrough operand inside its own
// square root intrinsic.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f"))) void candidate_weights_avx512(std::size_t count, int n, double* w,
                                                               const double* pixel2)
{
    const __m512d bands = _mm512_set1_pd(n);
    const __m512d infinity = _mm512_set1_pd(std::numeric_limits<double>::infinity());
    const __m512d offset = _mm512_set1_pd(SIMILAR_DISTANCE_OFFSET);
    const __m512d one = _mm512_set1_pd(1.0);
    for (std::size_t i = 0; i < count; i += 8) {
        const __mmask8 lanes = count - i >= 8 ? 0xff : static_cast<__mmask8>((1u << (count - i)) - 1u);
        __m512d d = _mm512_div_pd(_mm512_maskz_loadu_pd(lanes, w + i), bands);
        d = _mm512_mask_mov_pd(d, _mm512_cmp_pd_mask(d, d, _CMP_UNORD_Q), infinity);
        const __m512d spectral = _mm512_add_pd(_mm512_sqrt_pd(d), offset);
        const __m512d product =
            _mm512_mul_pd(_mm512_mul_pd(spectral, spectral), _mm512_maskz_loadu_pd(lanes, pixel2 + i));
        _mm512_mask_storeu_pd(w + i, lanes, _mm512_div_pd(one, product));
    }
}
#pragma GCC diagnostic pop
#endif

std::size_t gather_candidates(const SimilarSearch& s, int row, int col, int exclude, int half,
                              const float* own, LocalScratch& work)
{
    double* const w = work.w.data();
    double* const pixel2 = work.pixel2.data();
    double* const z = work.z.data();
    switch (s.bands) {
    case 3: return gather_by<3>(s, row, col, exclude, half, own, w, pixel2, z);
    case 4: return gather_by<4>(s, row, col, exclude, half, own, w, pixel2, z);
    case 6:
#if defined(__x86_64__) || defined(__i386__)
        if (has_avx512()) return gather6_avx512(s, row, col, exclude, half, own, w, pixel2, z);
#endif
        return gather_by<6>(s, row, col, exclude, half, own, w, pixel2, z);
    default: return gather_by<0>(s, row, col, exclude, half, own, w, pixel2, z);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// cholesky_solve's substitutions with AVX-512, the right-hand sides (at
// most eight, of at most eight) on the lanes: each side's steps those of
// the plain loops, in their order.
__attribute__((target("avx512f"))) void substitute_avx512(const double* a, int n, double* r, int m)
{
    __m512d x[8];
    for (int i = 0; i < n; ++i) {
        alignas(64) double lane[8] = {};
        for (int v = 0; v < m; ++v) lane[v] = r[v * n + i];
        x[i] = _mm512_load_pd(lane);
    }
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < i; ++k) x[i] = _mm512_sub_pd(x[i], _mm512_mul_pd(_mm512_set1_pd(a[i * n + k]), x[k]));
        x[i] = _mm512_div_pd(x[i], _mm512_set1_pd(a[i * n + i]));
    }
    for (int i = n - 1; i >= 0; --i) {
        for (int k = i + 1; k < n; ++k)
            x[i] = _mm512_sub_pd(x[i], _mm512_mul_pd(_mm512_set1_pd(a[k * n + i]), x[k]));
        x[i] = _mm512_div_pd(x[i], _mm512_set1_pd(a[i * n + i]));
    }
    for (int i = 0; i < n; ++i) {
        alignas(64) double lane[8];
        _mm512_store_pd(lane, x[i]);
        for (int v = 0; v < m; ++v) r[v * n + i] = lane[v];
    }
}
#endif

}  // namespace

KernelLevel kernel_level()
{
    static const KernelLevel supported =
#if defined(__x86_64__) || defined(__i386__)
        __builtin_cpu_supports("avx512f") ? KernelLevel::AVX512
        : __builtin_cpu_supports("avx2")  ? KernelLevel::AVX2
                                          :
#endif
                                          KernelLevel::PLAIN;
    return static_cast<KernelLevel>(
        std::min(static_cast<int>(supported), kernel_limit.load(std::memory_order_relaxed)));
}

void limit_kernel_level(KernelLevel most) { kernel_limit.store(static_cast<int>(most)); }

void local_candidate_weights(std::size_t count, const double* spectral2, const double* pixel2,
                             double* weight, bool vector)
{
#if defined(__x86_64__) || defined(__i386__)
    if (vector && has_avx2()) return candidate_weights_avx2(count, spectral2, pixel2, weight);
#endif
    (void)vector;
    candidate_weights_plain(count, spectral2, pixel2, weight);
}

bool cholesky_solve(double* a, int n, double* r, int m)
{
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) {
            double t = a[i * n + j];
            for (int k = 0; k < j; ++k) t -= a[i * n + k] * a[j * n + k];
            if (i == j) {
                if (!(t > 0.0)) return false;
                a[i * n + i] = std::sqrt(t);
            } else {
                a[i * n + j] = t / a[j * n + j];
            }
        }
    // Forward, then back substitution: each right-hand side's steps in
    // order, but the sides' steps interleaved, so that one side's division
    // does not hold up the others.
#if defined(__x86_64__) || defined(__i386__)
    if (n <= 8 && m <= 8 && has_avx512()) {
        substitute_avx512(a, n, r, m);
        return true;
    }
#endif
    for (int i = 0; i < n; ++i)
        for (int v = 0; v < m; ++v) {
            double* x = r + v * n;
            for (int k = 0; k < i; ++k) x[i] -= a[i * n + k] * x[k];
            x[i] /= a[i * n + i];
        }
    for (int i = n - 1; i >= 0; --i)
        for (int v = 0; v < m; ++v) {
            double* x = r + v * n;
            for (int k = i + 1; k < n; ++k) x[i] -= a[k * n + i] * x[k];
            x[i] /= a[i * n + i];
        }
    return true;
}

bool solve_centred_plane(int n, int m, double ridge, double* sums, double* slope, double* out,
                         const double* prior)
{
    const std::size_t nn = static_cast<std::size_t>(n), nm = static_cast<std::size_t>(m);
    const double sw = sums[0];
    const double* const sx = sums + 1;
    const double* const sy = sx + nn;
    double* const sxx = sums + 1 + nn + nm;
    const double* const sxy = sxx + nn * nn;
    // The centred scatter with its ridge, in place of the raw sums (both
    // triangles: the solver reads the lower one).
    for (int j = 0; j < n; ++j) {
        for (int k = j; k < n; ++k) {
            sxx[j * nn + k] -= sx[j] * sx[k] / sw;
            sxx[k * nn + j] = sxx[j * nn + k];
        }
        sxx[j * nn + j] += ridge * sw;
    }
    // The centred cross sums, one right-hand side per output (n each).
    for (int j = 0; j < n; ++j)
        for (int b = 0; b < m; ++b)
            slope[b * nn + j] = sxy[j * nm + b] - sx[j] * sy[b] / sw +
                                (prior != nullptr ? ridge * sw * prior[b * nn + j] : 0.0);
    if (!cholesky_solve(sxx, n, slope, m)) return false;
    for (int b = 0; b < m; ++b) {
        double v = sy[b] / sw;
        for (int j = 0; j < n; ++j) v -= slope[b * nn + j] * (sx[j] / sw);
        if (!std::isfinite(v)) return false;
        out[b] = v;
    }
    return true;
}

int local_regression_predict(const SimilarSearch& s, int row, int col, int exclude,
                             LocalScratch& work, double* out, const double* prior)
{
    const int n = s.bands;
    const std::size_t nb = static_cast<std::size_t>(n);
    const std::size_t centre = static_cast<std::size_t>(row) * s.width + col;
    const float* own = s.scaled_fill + centre * nb;
    // Sums: w; w x (n); w y (n); w x x' (n x n, upper triangle); w x y' (n x n, x major).
    work.sums.resize(1 + 2 * nb + 2 * nb * nb);
    work.slope.resize(nb * nb);
    // The scratch only grows: a vector grown back after a smaller window
    // would clear its new part, most of the work of a small window.
    auto at_least = [](std::vector<double>& v, std::size_t size) {
        if (v.size() < size) v.resize(size);
    };

    // The window first: grown while it holds too few candidates, each
    // growth counting only its new ring. Then its candidates are gathered
    // once, in raster order.
    int half = LOCAL_HALF;
    std::size_t found = 0;
    for (int inner = -1;; half = next_similar_half(half)) {
        found += count_window_candidates(s, row, col, exclude, inner, half);
        inner = half;
        if (found >= static_cast<std::size_t>(LOCAL_FEWEST) || half >= SIMILAR_MAX_HALF) break;
    }
    const std::size_t side = 2 * static_cast<std::size_t>(half) + 1;
    at_least(work.w, side * side);
    at_least(work.pixel2, side * side);
    at_least(work.z, side * side * 2 * nb);
    const std::size_t count = gather_candidates(s, row, col, exclude, half, own, work);
#if defined(__x86_64__) || defined(__i386__)
    if (has_avx512())
        candidate_weights_avx512(count, n, work.w.data(), work.pixel2.data());
    else
#endif
    {
        mean_squares(count, n, work.w.data());
        local_candidate_weights(count, work.w.data(), work.pixel2.data(), work.w.data());
    }
    std::fill(work.sums.begin(), work.sums.end(), 0.0);
    sum_candidates(n, count, work.w.data(), work.z.data(), work.sums.data());
    const double sw = work.sums[0];
    if (count == 0 || !(sw > 0.0) || !std::isfinite(sw)) return 0;

    if (!solve_centred_plane(n, n, prior != nullptr ? LOCAL_PRIOR_RIDGE : LOCAL_RIDGE,
                             work.sums.data(), work.slope.data(), out, prior))
        return 0;
    return static_cast<int>(count);
}

void wide_plane_sums(const SimilarSearch& s, int block_begin, int block_end, double* sums)
{
    const int n = s.bands;
    const std::size_t nb = static_cast<std::size_t>(n), size = wide_sums_size(n);
    const int block_cols = wide_blocks(s.width);
    constexpr std::size_t MOST = static_cast<std::size_t>(WIDE_BLOCK) * WIDE_BLOCK;
    const std::vector<double> w(MOST, 1.0);
    std::vector<double> z(MOST * 2 * nb);
    for (int br = block_begin; br < block_end; ++br)
        for (int bc = 0; bc < block_cols; ++bc) {
            std::size_t count = 0;
            for (int r = br * WIDE_BLOCK; r < std::min((br + 1) * WIDE_BLOCK, s.rows); ++r)
                for (int c = bc * WIDE_BLOCK; c < std::min((bc + 1) * WIDE_BLOCK, s.width); ++c) {
                    const std::size_t q = static_cast<std::size_t>(r) * s.width + c;
                    if (s.both_valid[q] == 0) continue;
                    double* const zi = z.data() + count * 2 * nb;
                    for (int j = 0; j < n; ++j) {
                        zi[j] = s.scaled_fill[q * nb + j];
                        zi[nb + j] = s.target[j][q];
                    }
                    ++count;
                }
            double* const out = sums + (static_cast<std::size_t>(br) * block_cols + bc) * size;
            std::fill(out, out + size, 0.0);
            sum_candidates(n, count, w.data(), z.data(), out);
        }
}

void wide_plane_slopes(const SimilarSearch& s, const double* sums, int block_begin, int block_end,
                       double* slopes)
{
    const int n = s.bands;
    const std::size_t nb = static_cast<std::size_t>(n), size = wide_sums_size(n);
    const int block_rows = wide_blocks(s.rows), block_cols = wide_blocks(s.width);
    std::vector<double> window(size), level(nb);
    for (int br = block_begin; br < block_end; ++br)
        for (int bc = 0; bc < block_cols; ++bc) {
            std::fill(window.begin(), window.end(), 0.0);
            for (int wr = std::max(br - WIDE_REACH, 0); wr <= std::min(br + WIDE_REACH, block_rows - 1); ++wr)
                for (int wc = std::max(bc - WIDE_REACH, 0); wc <= std::min(bc + WIDE_REACH, block_cols - 1);
                     ++wc) {
                    const double* b = sums + (static_cast<std::size_t>(wr) * block_cols + wc) * size;
                    const double weight = 1.0 / (1.0 + (wr - br) * (wr - br) + (wc - bc) * (wc - bc));
                    for (std::size_t v = 0; v < size; ++v) window[v] += weight * b[v];
                }
            double* const slope = slopes + (static_cast<std::size_t>(br) * block_cols + bc) * nb * nb;
            if (!(window[0] >= LOCAL_FEWEST) ||
                !solve_centred_plane(n, n, LOCAL_RIDGE, window.data(), slope, level.data()))
                std::fill(slope, slope + nb * nb, std::numeric_limits<double>::quiet_NaN());
        }
}

int local_regression_reference(const SimilarSearch& s, int row, int col, int exclude, double* out,
                               const double* prior)
{
    const int n = s.bands;
    const std::size_t centre = static_cast<std::size_t>(row) * s.width + col;
    auto is_candidate = [&](int r, int c, int half) {
        const int ring = std::max(std::abs(r - row), std::abs(c - col));
        return ring <= half && ring >= exclude &&
               s.both_valid[static_cast<std::size_t>(r) * s.width + c] != 0;
    };
    int half = LOCAL_HALF;
    std::vector<std::size_t> chosen;
    for (;; half = next_similar_half(half)) {
        chosen.clear();
        for (int r = 0; r < s.rows; ++r)
            for (int c = 0; c < s.width; ++c)
                if (is_candidate(r, c, half)) chosen.push_back(static_cast<std::size_t>(r) * s.width + c);
        if (static_cast<int>(chosen.size()) >= LOCAL_FEWEST || half >= SIMILAR_MAX_HALF) break;
    }
    if (chosen.empty()) return 0;
    auto xval = [&](std::size_t q, int j) {
        return static_cast<double>(s.scaled_fill[q * n + j]) - s.scaled_fill[centre * n + j];
    };
    std::vector<double> w;
    double sw = 0.0;
    for (const std::size_t q : chosen) {
        const int dr = static_cast<int>(q / s.width) - row, dc = static_cast<int>(q % s.width) - col;
        double d2 = 0.0;
        for (int j = 0; j < n; ++j) d2 += xval(q, j) * xval(q, j);
        const double spectral = std::sqrt(d2 / n) + SIMILAR_DISTANCE_OFFSET;
        w.push_back(1.0 / (spectral * spectral * (dr * dr + dc * dc)));
        sw += w.back();
    }
    std::vector<double> mx(n, 0.0), my(n, 0.0);
    for (std::size_t i = 0; i < chosen.size(); ++i)
        for (int j = 0; j < n; ++j) {
            mx[j] += w[i] * xval(chosen[i], j) / sw;
            my[j] += w[i] * s.target[j][chosen[i]] / sw;
        }
    for (int b = 0; b < n; ++b) {
        // [A | r] for band b, eliminated with partial pivoting.
        std::vector<double> a(static_cast<std::size_t>(n) * (n + 1), 0.0);
        for (std::size_t i = 0; i < chosen.size(); ++i)
            for (int j = 0; j < n; ++j) {
                const double dj = xval(chosen[i], j) - mx[j];
                for (int k = 0; k < n; ++k) a[j * (n + 1) + k] += w[i] * dj * (xval(chosen[i], k) - mx[k]);
                a[j * (n + 1) + n] += w[i] * dj * (s.target[b][chosen[i]] - my[b]);
            }
        const double ridge = prior != nullptr ? LOCAL_PRIOR_RIDGE : LOCAL_RIDGE;
        for (int j = 0; j < n; ++j) {
            a[j * (n + 1) + j] += ridge * sw;
            if (prior != nullptr) a[j * (n + 1) + n] += ridge * sw * prior[b * n + j];
        }
        for (int p = 0; p < n; ++p) {
            int best = p;
            for (int i = p + 1; i < n; ++i)
                if (std::fabs(a[i * (n + 1) + p]) > std::fabs(a[best * (n + 1) + p])) best = i;
            for (int k = 0; k <= n; ++k) std::swap(a[p * (n + 1) + k], a[best * (n + 1) + k]);
            if (a[p * (n + 1) + p] == 0.0) return 0;
            for (int i = p + 1; i < n; ++i) {
                const double f = a[i * (n + 1) + p] / a[p * (n + 1) + p];
                for (int k = p; k <= n; ++k) a[i * (n + 1) + k] -= f * a[p * (n + 1) + k];
            }
        }
        std::vector<double> beta(n);
        for (int i = n - 1; i >= 0; --i) {
            double t = a[i * (n + 1) + n];
            for (int k = i + 1; k < n; ++k) t -= a[i * (n + 1) + k] * beta[k];
            beta[i] = t / a[i * (n + 1) + i];
        }
        double v = my[b];
        for (int j = 0; j < n; ++j) v -= beta[j] * mx[j];
        out[b] = v;
    }
    return static_cast<int>(chosen.size());
}

}  // namespace pelvane
