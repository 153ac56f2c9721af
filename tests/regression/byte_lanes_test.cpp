// The byte lanes of the regression strip's code tests: the portable lanes on
// pinned codes, and on x86-64 every test of code_groups.h built with the
// portable lanes against the same test with the SSE2 lanes, on the same
// random groups, byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "regression/code_groups.h"

namespace pelvane {
namespace {

template <class L>
void expect_pinned_codes()
{
    // value, its code, whether it is a whole byte
    const struct { double x; int code; bool whole; } rows[BYTE_LANES] = {
        {0.0, 0, true}, {255.0, 255, true}, {17.0, 17, true}, {-0.0, 0, false},
        {17.5, 17, false}, {255.5, 255, false}, {256.0, 255, false}, {-1.0, 0, false},
        {-0.5, 0, false}, {NAN, 0, false}, {INFINITY, 0, false}, {-INFINITY, 0, false},
        {1e10, 0, false}, {2147483647.0, 255, false}, {1e-300, 0, false}, {254.75, 254, false}};
    double x[BYTE_LANES];
    for (int j = 0; j < BYTE_LANES; ++j) x[j] = rows[j].x;
    unsigned char code[BYTE_LANES];
    const unsigned whole = byte_codes<L>(x, BYTE_LANES, code);
    for (int j = 0; j < BYTE_LANES; ++j) {
        EXPECT_EQ(code[j], rows[j].code) << "value " << rows[j].x;
        EXPECT_EQ((whole >> j) & 1u, rows[j].whole ? 1u : 0u) << "value " << rows[j].x;
    }
}

TEST(ByteLanes, CodesOfSixteenValues)
{
    expect_pinned_codes<GenericByteLanes>();
    expect_pinned_codes<ByteLanes>();
}

#if defined(__SSE2__)
TEST(ByteLanes, PortableLanesEqualSse2Lanes)
{
    using G = GenericByteLanes;
    using S = Sse2ByteLanes;
    constexpr int BANDS = 6, ROWS = 8, ROW_BYTES = (BANDS + 1) * BYTE_LANES;
    std::mt19937 rng(7);
    auto byte = [&] { return static_cast<unsigned char>(rng() & 0xFF); };
    const double odd[] = {NAN, INFINITY, -INFINITY, -0.0, -3.0, 1e10, 300.0, 12.5};
    alignas(64) unsigned char groups[ROWS * ROW_BYTES];
    int similar_found = 0, tiles_passed = 0;
    for (int trial = 0; trial < 400; ++trial) {
        for (int r = 0; r < ROWS; ++r)
            for (int k = 0; k < ROW_BYTES; ++k)
                groups[r * ROW_BYTES + k] = k < BYTE_LANES ? (rng() % 4 ? 0xFF : 0) : byte();
        const int bands = 1 + trial % BANDS;
        G glo[BANDS], gspan[BANDS], gquery[2];
        S slo[BANDS], sspan[BANDS], squery[2];
        for (int b = 0; b < BANDS; ++b) {
            glo[b] = G::set1(byte());
            gspan[b] = G::set1(static_cast<unsigned char>(128 + byte() / 2));
            slo[b] = S::set1(glo[b].v[0]);
            sspan[b] = S::set1(gspan[b].v[0]);
        }
        const unsigned char* row = groups + (trial % ROWS) * ROW_BYTES;
        const unsigned similar = similar_bits<G>(row, bands, glo, gspan);
        EXPECT_EQ(similar, similar_bits<S>(row, bands, slo, sspan)) << "trial " << trial;
        similar_found += similar != 0;
        EXPECT_EQ(valid_bits<G>(row), valid_bits<S>(row)) << "trial " << trial;

        unsigned char query[2 * BYTE_LANES];
        for (int k = 0; k < 2 * BYTE_LANES; ++k)
            query[k] = static_cast<unsigned char>(std::min(255, groups[k] + 40 - byte() % 42));
        for (int k = 0; k < 2; ++k) {
            gquery[k] = G::loadu(query + BYTE_LANES * k);
            squery[k] = S::loadu(query + BYTE_LANES * k);
        }
        const bool pass = tile_may_pass<G>(groups, 2 * BYTE_LANES, gquery);
        EXPECT_EQ(pass, tile_may_pass<S>(groups, 2 * BYTE_LANES, squery)) << "trial " << trial;
        tiles_passed += pass;

        unsigned char glow, ghigh, slow, shigh;
        summarise_codes<G>(groups, ROW_BYTES, 1 + trial % ROWS, trial % bands, glow, ghigh);
        summarise_codes<S>(groups, ROW_BYTES, 1 + trial % ROWS, trial % bands, slow, shigh);
        EXPECT_EQ(glow, slow) << "trial " << trial;
        EXPECT_EQ(ghigh, shigh) << "trial " << trial;

        double x[BYTE_LANES];
        for (double& v : x)
            v = rng() % 3 ? static_cast<double>(byte()) : odd[rng() % 8] * (1 + rng() % 3);
        unsigned char gcode[BYTE_LANES], scode[BYTE_LANES];
        EXPECT_EQ(byte_codes<G>(x, BYTE_LANES, gcode), byte_codes<S>(x, BYTE_LANES, scode));
        for (int j = 0; j < BYTE_LANES; ++j) EXPECT_EQ(gcode[j], scode[j]) << "value " << x[j];
    }
    // Both outcomes of each test came up.
    EXPECT_GT(similar_found, 20);
    EXPECT_LT(similar_found, 400);
    EXPECT_GT(tiles_passed, 5);
    EXPECT_LT(tiles_passed, 395);
}
#endif

}  // namespace
}  // namespace pelvane
