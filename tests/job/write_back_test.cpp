#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "job/write_back.h"

namespace pelvane {
namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

template <class T>
std::vector<T> convert(const std::vector<double>& values, GDALDataType type)
{
    std::vector<T> out(values.size());
    EXPECT_TRUE(convert_samples(values.data(), values.size(), type, out.data()));
    return out;
}

TEST(WriteBack, ByteTruncatesTowardZeroThenClamps)
{
    EXPECT_EQ(convert<std::uint8_t>({254.9, 0.99, 1.0, 255.0, 255.9, 256.0, 300.7, 1e300, -0.5,
                                     -1.0, -3.7, -1e300, NaN, Inf, -Inf},
                                    GDT_Byte),
              (std::vector<std::uint8_t>{254, 0, 1, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 255, 0}));
}

TEST(WriteBack, SixteenBitTypes)
{
    EXPECT_EQ(convert<std::uint16_t>({65535.99, 65536.0, -2.5, 1234.5, NaN}, GDT_UInt16),
              (std::vector<std::uint16_t>{65535, 65535, 0, 1234, 0}));
    EXPECT_EQ(convert<std::int16_t>({-32768.9, -32769.0, 32767.9, 32768.0, -7.9, 7.9, NaN},
                                    GDT_Int16),
              (std::vector<std::int16_t>{-32768, -32768, 32767, 32767, -7, 7, 0}));
}

TEST(WriteBack, ThirtyTwoBitTypes)
{
    EXPECT_EQ(convert<std::uint32_t>({4294967295.5, 4294967296.0, -0.1, 3e9, NaN}, GDT_UInt32),
              (std::vector<std::uint32_t>{4294967295u, 4294967295u, 0, 3000000000u, 0}));
    EXPECT_EQ(convert<std::int32_t>({-2147483648.9, -2147483649.0, 2147483647.9, 2147483648.0,
                                     -1e12, -12.9, NaN},
                                    GDT_Int32),
              (std::vector<std::int32_t>{std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::int32_t>::min(), 2147483647,
                                         2147483647, std::numeric_limits<std::int32_t>::min(),
                                         -12, 0}));
}

TEST(WriteBack, SixtyFourBitTypesSaturateAtTheirOwnRange)
{
    const double two63 = 9223372036854775808.0;
    const auto i64min = std::numeric_limits<std::int64_t>::min();
    const auto i64max = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(convert<std::int64_t>({two63, 1e19, -two63, -1e19, 9007199254740993.0, -5.5, NaN},
                                    GDT_Int64),
              (std::vector<std::int64_t>{i64max, i64max, i64min, i64min, 9007199254740992LL, -5, 0}));
    const auto u64max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(convert<std::uint64_t>({18446744073709551616.0, 1.8e19, two63, -1.0, NaN}, GDT_UInt64),
              (std::vector<std::uint64_t>{u64max, 18000000000000000000ULL, 9223372036854775808ULL,
                                          0, 0}));
}

TEST(WriteBack, Float32RoundsToNearest)
{
    // Just above the midpoint between 1 and the next single: rounds up, where
    // truncation would give 1.
    const double above_half = 1.0 + std::ldexp(1.0, -24) + std::ldexp(1.0, -40);
    const auto out = convert<float>({above_half, 0.1, -2.5, 16777217.0, 1e39, -1e39}, GDT_Float32);
    EXPECT_EQ(out[0], 1.0f + std::ldexp(1.0f, -23));
    EXPECT_EQ(out[1], 0.1f);
    EXPECT_EQ(out[2], -2.5f);
    EXPECT_EQ(out[3], 16777216.0f);  // ties to even
    EXPECT_EQ(out[4], std::numeric_limits<float>::max());  // saturates, no infinity
    EXPECT_EQ(out[5], -std::numeric_limits<float>::max());
}

TEST(WriteBack, Float64IsCopiedBitForBit)
{
    const std::vector<double> in{0.1, -1e-300, 254.9, -0.0, 1e308};
    const auto out = convert<double>(in, GDT_Float64);
    EXPECT_EQ(std::memcmp(in.data(), out.data(), in.size() * sizeof(double)), 0);
}

TEST(WriteBack, NoFloatSampleIsWrittenNotFinite)
{
    EXPECT_EQ(convert<float>({NaN, Inf, -Inf}, GDT_Float32), (std::vector<float>{0, 0, 0}));
    EXPECT_EQ(convert<double>({NaN, Inf, -Inf}, GDT_Float64), (std::vector<double>{0, 0, 0}));
}

TEST(WriteBack, ComplexTypesAreRefused)
{
    const double in[2] = {1.0, 2.0};
    unsigned char out[64];
    std::memset(out, 0xAB, sizeof out);
    for (GDALDataType type : {GDT_CInt16, GDT_CInt32, GDT_CFloat32, GDT_CFloat64, GDT_Unknown}) {
        EXPECT_FALSE(is_writable_sample_type(type));
        EXPECT_FALSE(convert_samples(in, 2, type, out));
    }
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_TRUE(is_writable_sample_type(GDT_Byte));
    EXPECT_TRUE(is_writable_sample_type(GDT_UInt64));
}

}  // namespace
}  // namespace pelvane
