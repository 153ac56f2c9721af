#pragma once

// The regression strip's tests on its groups of codes (the layout is in
// regression_strip.h), written once over a byte lane type L of
// regression/byte_lanes.h. The strip builds them with ByteLanes; any lane
// type gives the same results.

#include <algorithm>
#include <cstddef>

#include "regression/byte_lanes.h"

namespace pelvane {

// Codes of n <= 16 consecutive values into code[0 .. n - 1]; bit j of the
// result is set when value j is a whole byte (its code is then right).
template <class L>
unsigned byte_codes(const double* x, int n, unsigned char* code)
{
    if (n == BYTE_LANES) return L::codes_of(x, code);
    unsigned whole = 0;
    for (int j = 0; j < n; ++j) whole |= static_cast<unsigned>(byte_code(x[j], code[j])) << j;
    return whole;
}

// Bit j set when column j of a group is valid in both images and, in every
// band, lo <= code <= lo + span: code - lo, wrapping, saturates to 0 when
// reduced by span. `group` (16-byte aligned) holds the 16 both-valid bytes,
// then 16 codes per band.
template <class L>
unsigned similar_bits(const unsigned char* group, int bands, const L* lo, const L* span)
{
    const L zero = L::zero();
    L over = zero;  // non-zero where code - lo > span in some band
#pragma GCC unroll 8  // with the band count known, lo and span stay in registers
    for (int b = 0; b < bands; ++b) {
        const L t = L::sub(L::load(group + BYTE_LANES * (1 + b)), lo[b]);
        over = L::bit_or(over, L::subs(t, span[b]));
    }
    return L::top_bits(L::bit_and(L::load(group), L::eq(over, zero)));
}

// Bit j set when column j of the group is valid in both images.
template <class L>
unsigned valid_bits(const unsigned char* group)
{
    return L::top_bits(L::load(group));
}

// A tile summary holds, for up to 8 bands, the lowest code in lanes 0..7 and
// 255 minus the highest code in lanes 8..15; the query holds the highest
// code within tolerance and 255 minus the lowest one. Some position of the
// tile may pass only when every summary lane is at most the query's.
template <class L>
bool tile_may_pass(const unsigned char* tile, std::size_t bytes, const L* query)
{
    for (std::size_t k = 0; k < bytes / BYTE_LANES; ++k) {
        const L t = L::loadu(tile + BYTE_LANES * k);
        if (L::top_bits(L::eq(L::min(t, query[k]), t)) != 0xFFFF) return false;
    }
    return true;
}

// Lowest code and 255 minus the highest code of band b over the positions
// valid in both images of `count` rows of one group, the first at `group`,
// the next ones `stride` bytes further each: 255 and 255 when none is valid.
template <class L>
void summarise_codes(const unsigned char* group, std::size_t stride, int count, int b,
                     unsigned char& lowest, unsigned char& highest_complement)
{
    const L ones = L::set1(255);
    L low = ones, high = L::zero();
    for (int r = 0; r < count; ++r, group += stride) {
        const L valid = L::load(group);
        const L code = L::load(group + BYTE_LANES * (1 + b));
        low = L::min(low, L::bit_or(code, L::bit_xor(valid, ones)));
        high = L::max(high, L::bit_and(code, valid));
    }
    alignas(16) unsigned char lows[BYTE_LANES], highs[BYTE_LANES];
    L::store(lows, low);
    L::store(highs, high);
    lowest = *std::min_element(lows, lows + BYTE_LANES);
    highest_complement =
        static_cast<unsigned char>(255 - *std::max_element(highs, highs + BYTE_LANES));
}

}  // namespace pelvane
