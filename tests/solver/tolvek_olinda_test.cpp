// Tolvek alone on the bundled olinda scene, compared with the reference
// outputs. With only Tolvek chosen the regression stage copies the target and
// every target gap is left to this stage; the scene fits in one strip.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "job/tolvek_stage.h"
#include "solver/tolvek_fill_strip.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

using test::Raster;
using test::read_raster;

TEST(TolvekOlinda, TolvekAloneMatchesTheReferenceOutputs) {
    const std::string dir = std::string(PELVANE_TEST_DATA) + "/olinda/";
    const Raster target = read_raster(dir + "target_f64.tif");
    ASSERT_EQ(target.width, 349);
    ASSERT_EQ(target.height, 352);
    ASSERT_EQ(target.bands.size(), 6u);
    // The Byte target holds the same numbers, so a Byte job sees the same
    // doubles and differs only in the write-back.
    ASSERT_TRUE(read_raster(dir + "target.tif").bands == target.bands);
    const Raster expected_f64 = read_raster(dir + "expected/tolvek_range_f64.tif");
    const Raster expected_byte = read_raster(dir + "expected/tolvek_range.tif");
    ASSERT_EQ(expected_f64.bands.size(), 6u);
    ASSERT_EQ(expected_byte.bands.size(), 6u);

    // Valid range 1..255: a pixel is a gap when any band lies outside it.
    const std::size_t pixels = target.pixels();
    std::vector<unsigned char> gaps(pixels, 0);
    for (const auto& band : target.bands)
        for (std::size_t i = 0; i < pixels; ++i)
            if (band[i] < 1.0 || band[i] > 255.0) gaps[i] = 1;

    Raster result = target;
    Raster scratch{target.width, target.height, {6, std::vector<double>(pixels)}};
    auto filled_ptrs = result.pointers();
    auto scratch_ptrs = scratch.pointers();
    const TolvekParams params = tolvek_params(JobSettings{}, RunOptions{});  // the job's defaults
    ASSERT_TRUE(tolvek_fill_strip(filled_ptrs.data(), scratch_ptrs.data(), gaps.data(),
                                  target.width, target.height, 6, params));

    EXPECT_EQ(test::count_mismatches(result, expected_f64), 0);
    EXPECT_EQ(test::count_mismatches(result, expected_byte, test::to_byte), 0);

    // Valid pixels are untouched; each gap lies within its band's valid span.
    for (int b = 0; b < 6; ++b) {
        const auto& before = target.bands[b];
        const auto& after = result.bands[b];
        double lo = 1e300, hi = -1e300;
        for (std::size_t i = 0; i < pixels; ++i)
            if (gaps[i] == 0) {
                lo = std::min(lo, before[i]);
                hi = std::max(hi, before[i]);
            }
        for (std::size_t i = 0; i < pixels; ++i) {
            if (gaps[i] == 0)
                ASSERT_EQ(after[i], before[i]) << "band " << b + 1 << " pixel " << i;
            else
                ASSERT_TRUE(after[i] >= lo && after[i] <= hi) << "band " << b + 1 << " pixel " << i;
        }
    }
}

}  // namespace
}  // namespace pelvane
