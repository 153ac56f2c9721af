#pragma once

// Sixteen bytes as one unit of the regression strip's code tests
// (regression/code_groups.h), in two lane types with the same results byte
// for byte: GenericByteLanes, plain bytes that build on any processor, and
// Sse2ByteLanes, one SSE2 register on x86-64. ByteLanes is the one the strip
// uses; tests build both and compare them.
//
// A lane type L provides: L::load and L::store (16-byte aligned), L::loadu
// (unaligned), L::set1, L::zero, L::sub (wrapping), L::subs (unsigned,
// saturating at 0), L::min, L::max (unsigned), L::bit_and, L::bit_or,
// L::bit_xor, L::eq (0xFF where equal, else 0), L::top_bits (bit j the top
// bit of byte j) and L::codes_of (below).

#include <algorithm>
#include <climits>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelvane {

constexpr int BYTE_LANES = 16;

// The code of a whole value from 0 to 255 is the value itself; false for any
// other value, -0.0 included, so that the code converted back to a double
// gives the value bit for bit.
inline bool byte_code(double x, unsigned char& code)
{
    if (!(x >= 0.0 && x <= 255.0) || std::signbit(x)) return false;
    const int k = static_cast<int>(x);
    code = static_cast<unsigned char>(k);
    return k == x;
}

struct GenericByteLanes {
    unsigned char v[BYTE_LANES];

    static GenericByteLanes load(const unsigned char* p) { return loadu(p); }
    static GenericByteLanes loadu(const unsigned char* p)
    {
        GenericByteLanes r;
        std::copy_n(p, BYTE_LANES, r.v);
        return r;
    }
    static void store(unsigned char* p, const GenericByteLanes& a)
    {
        std::copy_n(a.v, BYTE_LANES, p);
    }
    static GenericByteLanes set1(unsigned char x)
    {
        GenericByteLanes r;
        std::fill_n(r.v, BYTE_LANES, x);
        return r;
    }
    static GenericByteLanes zero() { return set1(0); }

    // Byte j of the result is op(a[j], b[j]).
    template <class Op>
    static GenericByteLanes each(const GenericByteLanes& a, const GenericByteLanes& b, Op op)
    {
        GenericByteLanes r;
        for (int j = 0; j < BYTE_LANES; ++j) r.v[j] = static_cast<unsigned char>(op(a.v[j], b.v[j]));
        return r;
    }
    static GenericByteLanes sub(const GenericByteLanes& a, const GenericByteLanes& b)
    {
        return each(a, b, [](int x, int y) { return x - y; });  // the cast wraps it
    }
    static GenericByteLanes subs(const GenericByteLanes& a, const GenericByteLanes& b)
    {
        return each(a, b, [](int x, int y) { return std::max(x - y, 0); });
    }
    static GenericByteLanes min(const GenericByteLanes& a, const GenericByteLanes& b)
    {
        return each(a, b, [](int x, int y) { return std::min(x, y); });
    }
    static GenericByteLanes max(const GenericByteLanes& a, const GenericByteLanes& b)
    {
        return each(a, b, [](int x, int y) { return std::max(x, y); });
    }
    static GenericByteLanes bit_and(const GenericByteLanes& a, const GenericByteLanes& b)
    {
        return each(a, b, [](int x, int y) { return x & y; });
    }
    static GenericByteLanes bit_or(const GenericByteLanes& a, const GenericByteLanes& b)
    {
        return each(a, b, [](int x, int y) { return x | y; });
    }
    static GenericByteLanes bit_xor(const GenericByteLanes& a, const GenericByteLanes& b)
    {
        return each(a, b, [](int x, int y) { return x ^ y; });
    }
    static GenericByteLanes eq(const GenericByteLanes& a, const GenericByteLanes& b)
    {
        return each(a, b, [](int x, int y) { return x == y ? 0xFF : 0; });
    }
    static unsigned top_bits(const GenericByteLanes& a)
    {
        unsigned bits = 0;
        for (int j = 0; j < BYTE_LANES; ++j) bits |= static_cast<unsigned>(a.v[j] >> 7) << j;
        return bits;
    }

    // Codes of 16 doubles into code[0 .. 15]: each value truncated toward
    // zero and clamped to 0 .. 255, where a value whose truncation lies
    // outside the 32-bit integers (NaN too) counts as the lowest integer, so
    // gives 0. Bit j of the result is set when value j is a whole byte
    // (byte_code), whose code is then the value.
    static unsigned codes_of(const double* x, unsigned char* code)
    {
        unsigned whole = 0;
        for (int j = 0; j < BYTE_LANES; ++j) {
            // The doubles whose truncation is a 32-bit integer.
            const bool in_range = x[j] > -2147483649.0 && x[j] < 2147483648.0;
            const int truncated = in_range ? static_cast<int>(x[j]) : INT_MIN;
            code[j] = static_cast<unsigned char>(std::clamp(truncated, 0, 255));
            unsigned char ignored;
            whole |= static_cast<unsigned>(byte_code(x[j], ignored)) << j;
        }
        return whole;
    }
};

#if defined(__SSE2__)
struct Sse2ByteLanes {
    __m128i v;

    static Sse2ByteLanes load(const unsigned char* p)
    {
        return {_mm_load_si128(reinterpret_cast<const __m128i*>(p))};
    }
    static Sse2ByteLanes loadu(const unsigned char* p)
    {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
    }
    static void store(unsigned char* p, Sse2ByteLanes a)
    {
        _mm_store_si128(reinterpret_cast<__m128i*>(p), a.v);
    }
    static Sse2ByteLanes set1(unsigned char x) { return {_mm_set1_epi8(static_cast<char>(x))}; }
    static Sse2ByteLanes zero() { return {_mm_setzero_si128()}; }
    static Sse2ByteLanes sub(Sse2ByteLanes a, Sse2ByteLanes b) { return {_mm_sub_epi8(a.v, b.v)}; }
    static Sse2ByteLanes subs(Sse2ByteLanes a, Sse2ByteLanes b) { return {_mm_subs_epu8(a.v, b.v)}; }
    static Sse2ByteLanes min(Sse2ByteLanes a, Sse2ByteLanes b) { return {_mm_min_epu8(a.v, b.v)}; }
    static Sse2ByteLanes max(Sse2ByteLanes a, Sse2ByteLanes b) { return {_mm_max_epu8(a.v, b.v)}; }
    static Sse2ByteLanes bit_and(Sse2ByteLanes a, Sse2ByteLanes b) { return {_mm_and_si128(a.v, b.v)}; }
    static Sse2ByteLanes bit_or(Sse2ByteLanes a, Sse2ByteLanes b) { return {_mm_or_si128(a.v, b.v)}; }
    static Sse2ByteLanes bit_xor(Sse2ByteLanes a, Sse2ByteLanes b) { return {_mm_xor_si128(a.v, b.v)}; }
    static Sse2ByteLanes eq(Sse2ByteLanes a, Sse2ByteLanes b) { return {_mm_cmpeq_epi8(a.v, b.v)}; }
    static unsigned top_bits(Sse2ByteLanes a) { return static_cast<unsigned>(_mm_movemask_epi8(a.v)); }

    // As GenericByteLanes::codes_of, two values at a time: the truncation
    // gives the lowest integer out of range, and the two saturating packs
    // (32 to 16 bits signed, 16 to 8 bits unsigned) clamp to 0 .. 255.
    static unsigned codes_of(const double* x, unsigned char* code)
    {
        unsigned whole = 0;
        const __m128d zero = _mm_setzero_pd(), top = _mm_set1_pd(255.0);
        __m128i pairs[8];
        for (int k = 0; k < 8; ++k) {
            const __m128d v = _mm_loadu_pd(x + 2 * k);
            pairs[k] = _mm_cvttpd_epi32(v);  // out of range or NaN: INT_MIN
            const __m128d in = _mm_and_pd(_mm_cmpeq_pd(_mm_cvtepi32_pd(pairs[k]), v),
                                          _mm_and_pd(_mm_cmpge_pd(v, zero), _mm_cmple_pd(v, top)));
            const int positive = _mm_movemask_pd(in) & ~_mm_movemask_pd(v);
            whole |= static_cast<unsigned>(positive) << (2 * k);
        }
        const __m128i low = _mm_packs_epi32(_mm_unpacklo_epi64(pairs[0], pairs[1]),
                                            _mm_unpacklo_epi64(pairs[2], pairs[3]));
        const __m128i high = _mm_packs_epi32(_mm_unpacklo_epi64(pairs[4], pairs[5]),
                                             _mm_unpacklo_epi64(pairs[6], pairs[7]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(code), _mm_packus_epi16(low, high));
        return whole;
    }
};
using ByteLanes = Sse2ByteLanes;
#else
using ByteLanes = GenericByteLanes;
#endif

}  // namespace pelvane
