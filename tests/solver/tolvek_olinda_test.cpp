// Tolvek alone on the bundled olinda scene, compared with the reference
// outputs. With only Tolvek chosen the regression stage copies the target and
// every target gap is left to this stage; the scene fits in one strip.
#include <gdal_priv.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "solver/tolvek_fill_strip.h"

namespace pelvane {
namespace {

struct Raster {
    int width = 0;
    int height = 0;
    std::vector<std::vector<double>> bands;
};

// Reads every band as doubles; an empty raster when the file cannot be read.
Raster read_raster(const std::string& path) {
    Raster raster;
    GDALAllRegister();
    GDALDatasetUniquePtr dataset(
        GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!dataset) return raster;
    raster.width = dataset->GetRasterXSize();
    raster.height = dataset->GetRasterYSize();
    for (int b = 1; b <= dataset->GetRasterCount(); ++b) {
        std::vector<double> band(static_cast<std::size_t>(raster.width) * raster.height);
        if (dataset->GetRasterBand(b)->RasterIO(GF_Read, 0, 0, raster.width, raster.height,
                                                band.data(), raster.width, raster.height,
                                                GDT_Float64, 0, 0) != CE_None)
            return Raster{};
        raster.bands.push_back(std::move(band));
    }
    return raster;
}

// The job's write-back to Byte: truncate toward zero, then clamp (NaN -> 0).
double to_byte(double v) {
    if (std::isnan(v)) return 0.0;
    v = std::trunc(v);
    return v < 0.0 ? 0.0 : (v > 255.0 ? 255.0 : v);
}

// Counts the samples that differ after `convert`, reporting the first few.
long long count_mismatches(const Raster& result, const Raster& expected,
                           double (*convert)(double)) {
    long long mismatches = 0;
    for (std::size_t b = 0; b < expected.bands.size(); ++b) {
        for (std::size_t i = 0; i < expected.bands[b].size(); ++i) {
            const double got = convert(result.bands[b][i]);
            const double want = expected.bands[b][i];
            if (got == want) continue;
            if (mismatches < 5)
                ADD_FAILURE() << "band " << b + 1 << " row " << i / expected.width << " col "
                              << i % expected.width << ": " << result.bands[b][i] << " -> "
                              << got << ", expected " << want;
            ++mismatches;
        }
    }
    return mismatches;
}

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
    const std::size_t pixels = static_cast<std::size_t>(target.width) * target.height;
    std::vector<unsigned char> gaps(pixels, 0);
    for (const auto& band : target.bands)
        for (std::size_t i = 0; i < pixels; ++i)
            if (band[i] < 1.0 || band[i] > 255.0) gaps[i] = 1;

    Raster result = target;
    std::vector<std::vector<double>> scratch(6, std::vector<double>(pixels));
    std::vector<double*> filled_ptrs, scratch_ptrs;
    for (int b = 0; b < 6; ++b) {
        filled_ptrs.push_back(result.bands[b].data());
        scratch_ptrs.push_back(scratch[b].data());
    }
    TolvekParams params;  // regularization 1000, 600 iterations, tolerance 0.001
    params.progress = nullptr;
    ASSERT_TRUE(tolvek_fill_strip(filled_ptrs.data(), scratch_ptrs.data(), gaps.data(),
                                  target.width, target.height, 6, params));

    EXPECT_EQ(count_mismatches(result, expected_f64, [](double v) { return v; }), 0);
    EXPECT_EQ(count_mismatches(result, expected_byte, to_byte), 0);

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
