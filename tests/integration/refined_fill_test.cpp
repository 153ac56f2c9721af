// The refined fill on the olinda scene, scored against the real scene over
// the target's gaps, and the status raster against the pixels' classes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "job/fill_status.h"
#include "job/run_job.h"
#include "regression/local_regression.h"
#include "solver/edge_interpolation.h"
#include "solver/skewed_sweep.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

const std::string DATA = std::string(PELVANE_TEST_DATA) + "/olinda/";

// RMSE over all bands of the pixels `in_class` selects.
struct Scores {
    double all, fill_valid, both_missing;
    double bias;  // mean of filled - truth where the fill is valid
};

class RefinedFill : public ::testing::Test {
protected:
    void SetUp() override
    {
        truth = test::read_raster(DATA + "truth.tif");
        target_gap = test::read_band(DATA + "target_mask.tif", 1);
        fill_gap = test::read_band(DATA + "fill_mask.tif", 1);
    }

    std::string run(bool refine, bool sarnic_only = false, const std::string& status = "")
    {
        JobSettings s;
        s.target_image_path = DATA + "target.tif";
        s.fill_image_path = DATA + "fill.tif";
        s.output_image_path = dir.path(std::string(refine ? "refined" : "standard") +
                                       (sarnic_only ? "_sarnic" : "") + ".tif");
        s.use_threshold = 1;
        s.use_tolvek = sarnic_only ? 0 : 1;
        s.refine = refine;
        s.status_output_path = status;
        RunOptions options;
        options.solver_progress = false;
        options.threads = 2;
        test::RecordingHost host;
        EXPECT_TRUE(run_job(s, host, options).done()) << host.messages.front();
        return s.output_image_path;
    }

    Scores score(const std::string& output) const
    {
        const test::Raster filled = test::read_raster(output);
        double sum[3] = {}, count[3] = {}, errors = 0.0;
        for (std::size_t b = 0; b < filled.bands.size(); ++b)
            for (std::size_t i = 0; i < target_gap.size(); ++i) {
                if (target_gap[i] == 0) continue;
                const double e = filled.bands[b][i] - truth.bands[b][i];
                const int cls = fill_gap[i] == 0 ? 1 : 2;
                if (cls == 1) errors += e;
                for (int k : {0, cls}) {
                    sum[k] += e * e;
                    count[k] += 1;
                }
            }
        return {std::sqrt(sum[0] / count[0]), std::sqrt(sum[1] / count[1]),
                std::sqrt(sum[2] / count[2]), errors / count[1]};
    }

    test::TempDir dir;
    test::Raster truth;
    std::vector<double> target_gap, fill_gap;
};

TEST_F(RefinedFill, BeatsTheStandardFillInEveryClassAndReachesTheTarget)
{
    const Scores standard = score(run(false));
    const Scores refined = score(run(true));
    // The standard fill, as measured when the refined one was made.
    EXPECT_NEAR(standard.all, 13.36, 0.01);
    EXPECT_NEAR(standard.fill_valid, 2.29, 0.01);
    // 3.5 times better than gdal_fillnodata's 13.90 on this scene; measured 3.24.
    EXPECT_LE(refined.all, 3.9);
    EXPECT_LT(refined.all, 3.28);
    EXPECT_LT(refined.fill_valid, 0.97 * standard.fill_valid);
    EXPECT_LT(refined.both_missing, 0.3 * standard.both_missing);
    // Byte samples: the standard write-back truncates, the refined one rounds.
    EXPECT_LT(standard.bias, -0.4);
    EXPECT_NEAR(refined.bias, 0.0, 0.25);
}

TEST_F(RefinedFill, StatusRasterTellsEachPixelsClass)
{
    // Sarnic alone: the regression's own codes, as the reference run has them,
    // and 4 where both images miss the pixel (the fill holds 0 there, so the
    // fallback leaves it).
    const std::string sarnic_status = dir.path("sarnic_status.tif");
    run(false, true, sarnic_status);
    const std::vector<double> sarnic_codes = test::read_band(sarnic_status, 1);
    EXPECT_EQ(sarnic_codes, test::read_band(DATA + "expected/sarnic_range_status.tif", 1));

    const std::string status = dir.path("status.tif");
    run(true, false, status);
    const std::vector<double> codes = test::read_band(status, 1);
    ASSERT_EQ(codes.size(), target_gap.size());
    int spatial = 0;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const int code = static_cast<int>(codes[i]);
        if (target_gap[i] == 0)
            EXPECT_EQ(code, FILL_VALID) << i;
        else if (fill_gap[i] != 0)
            EXPECT_EQ(code, FILL_EDGE) << i;
        else  // its regression's search is shorter, its codes the same
            EXPECT_TRUE(code == static_cast<int>(sarnic_codes[i]) || code == FILL_SPATIAL) << i << ": " << code;
        spatial += code == FILL_SPATIAL;
    }
    // Some pixels lean on the spatial prediction (the land-change patches),
    // far from all.
    EXPECT_GT(spatial, 10);
    EXPECT_LT(spatial, 1000);

    GDALAllRegister();
    GDALDatasetUniquePtr file(GDALDataset::Open(status.c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(file);
    GDALRasterBand* band = file->GetRasterBand(1);
    EXPECT_EQ(band->GetRasterDataType(), GDT_Byte);
    EXPECT_STREQ(band->GetMetadataItem("CODE_6"), fill_code_name(FILL_TOLVEK));
    char** categories = band->GetCategoryNames();
    ASSERT_NE(categories, nullptr);
    EXPECT_EQ(CSLCount(categories), FILL_CODE_COUNT);
    // The target's placement.
    GDALDatasetUniquePtr target(GDALDataset::Open((DATA + "target.tif").c_str(), GDAL_OF_RASTER));
    double transform[6], expected[6];
    ASSERT_EQ(file->GetGeoTransform(transform), CE_None);
    ASSERT_EQ(target->GetGeoTransform(expected), CE_None);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(transform[i], expected[i]) << i;
    EXPECT_TRUE(file->GetSpatialRef()->IsSame(target->GetSpatialRef()));

    // The classes' colours are in the TIFF itself, a colour of its own each.
    file.reset();
    std::remove((status + ".aux.xml").c_str());
    file.reset(GDALDataset::Open(status.c_str(), GDAL_OF_RASTER));
    const GDALColorTable* colours = file->GetRasterBand(1)->GetColorTable();
    ASSERT_NE(colours, nullptr);
    std::set<std::tuple<short, short, short>> distinct;
    for (int code = 0; code < FILL_CODE_COUNT; ++code) {
        const GDALColorEntry* c = colours->GetColorEntry(code);
        distinct.insert({c->c1, c->c2, c->c3});
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(FILL_CODE_COUNT));
}

// A real pair (a clouded fill date left unmasked), its top 150 rows: the
// refined fill against the truth where the fill image is valid, and its
// error raster against the errors it made.
TEST(RefinedFillOnARealPair, BeatsTheStandardFillAndItsErrorRasterTellsItsErrors)
{
    const std::string data = std::string(PELVANE_TEST_DATA) + "/real/nov_from_july_unmasked_clouds/";
    test::TempDir dir;
    auto run = [&](bool refine) {
        JobSettings s;
        s.target_image_path = data + "target.tif";
        s.fill_image_path = data + "fill.tif";
        s.target_mask_path = data + "target_mask.tif";
        s.fill_mask_path = data + "fill_mask.tif";
        s.output_image_path = dir.path(refine ? "refined.tif" : "standard.tif");
        s.refine = refine;
        s.error_output_path = refine ? dir.path("error.tif") : "";
        RunOptions options;
        options.solver_progress = false;
        test::RecordingHost host;
        EXPECT_TRUE(run_job(s, host, options).done()) << host.messages.front();
        return test::read_raster(s.output_image_path);
    };
    const test::Raster truth = test::read_raster(data + "truth.tif");
    const std::vector<double> gap = test::read_band(data + "target_mask.tif", 1);
    const std::vector<double> fill_gap = test::read_band(data + "fill_mask.tif", 1);
    const test::Raster standard = run(false), refined = run(true);
    const test::Raster error = test::read_raster(dir.path("error.tif"));
    ASSERT_EQ(error.bands.size(), truth.bands.size());

    double sum[2] = {}, n = 0.0, within = 0.0;
    std::vector<double> estimated, actual;
    for (std::size_t b = 0; b < truth.bands.size(); ++b)
        for (std::size_t i = 0; i < gap.size(); ++i) {
            const double e = error.bands[b][i];
            if (gap[i] == 0) {
                EXPECT_EQ(e, 0.0) << i;
            } else if (fill_gap[i] != 0) {
                // Interpolated from the gap's edges: estimated too.
                ASSERT_TRUE(e >= 0.0 && std::isfinite(e)) << i;
            } else {
                const double d = refined.bands[b][i] - truth.bands[b][i];
                sum[0] += std::pow(standard.bands[b][i] - truth.bands[b][i], 2);
                sum[1] += d * d;
                n += 1.0;
                ASSERT_TRUE(e > 0.0 && std::isfinite(e)) << i;
                within += std::fabs(d) <= e;
                estimated.push_back(e);
                actual.push_back(std::fabs(d));
            }
        }
    // Measured: standard 6.24, refined 5.07 DN (the refined fill before the
    // combination of predictors: 5.77; with the similar pixels' mean and line
    // as predictors instead of the kriging and the local plane: 5.27; 5.04 since;
    // 5.01 with the spectral neighbours' correction; 4.76 with the fill
    // image aligned to the target).
    EXPECT_LT(std::sqrt(sum[1] / n), 4.80);
    EXPECT_LT(std::sqrt(sum[1] / n), 0.78 * std::sqrt(sum[0] / n));
    // Measured: 68 % within one estimated error, rank correlation 0.502
    // (before the error line and its steadying: 60 %, 0.50; before the fill
    // image was aligned, whose gain the estimates do not see: 65 %, 0.52;
    // before the spectral neighbours' residuals entered the estimate: 69 %,
    // 0.504 on these rows, while the whole pair gained).
    EXPECT_GT(within / n, 0.55);
    EXPECT_LT(within / n, 0.70);
    auto ranks = [](const std::vector<double>& v) {
        std::vector<std::size_t> order(v.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return v[a] < v[b]; });
        std::vector<double> rank(v.size());
        for (std::size_t k = 0; k < order.size();) {  // ties share their mean rank
            std::size_t end = k;
            while (end < order.size() && v[order[end]] == v[order[k]]) ++end;
            for (std::size_t j = k; j < end; ++j) rank[order[j]] = 0.5 * (k + end - 1);
            k = end;
        }
        return rank;
    };
    const std::vector<double> re = ranks(estimated), ra = ranks(actual);
    const double mean = 0.5 * (n - 1.0);
    double sab = 0.0, saa = 0.0, sbb = 0.0;
    for (std::size_t k = 0; k < re.size(); ++k) {
        sab += (re[k] - mean) * (ra[k] - mean);
        saa += (re[k] - mean) * (re[k] - mean);
        sbb += (ra[k] - mean) * (ra[k] - mean);
    }
    EXPECT_GT(sab / std::sqrt(saa * sbb), 0.50);
}

// The kernels held to narrower forms (what a processor without AVX-512, or
// without AVX2 too, runs) write the same output, status and error rasters as
// the widest forms, at any thread count: on six bands of olinda, as bytes and
// as doubles, and of a real pair.
TEST(RefinedFillKernels, EveryFormWritesTheSameFiles)
{
    struct Case {
        const char* what;
        std::string data, target, fill;
        bool mask_files;
    };
    const std::string root(PELVANE_TEST_DATA);
    const Case cases[] = {
        {"olinda, Byte, mask files", root + "/olinda/", "target.tif", "fill.tif", true},
        {"olinda, Float64, the valid range", root + "/olinda/", "target_f64.tif", "fill_f64.tif", false},
        {"a real pair with unmasked clouds", root + "/real/nov_from_july_unmasked_clouds/", "target.tif",
         "fill.tif", true},
    };
    struct Form {
        KernelLevel level;
        SimdPath edge;
        int threads;
    };
    const Form forms[] = {{KernelLevel::AVX512, SIMD_AVX512, 2},
                          {KernelLevel::PLAIN, SIMD_GENERIC, 1},
                          {KernelLevel::AVX2, SIMD_AVX2, 3}};
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::vector<std::uint8_t>> widest;
        for (const Form& form : forms) {
            limit_kernel_level(form.level);
            limit_edge_simd_path(form.edge);
            JobSettings s;
            s.target_image_path = c.data + c.target;
            s.fill_image_path = c.data + c.fill;
            if (c.mask_files) {
                s.target_mask_path = c.data + "target_mask.tif";
                s.fill_mask_path = c.data + "fill_mask.tif";
            } else {
                s.use_threshold = 1;
            }
            s.refine = 1;
            s.output_image_path = dir.path("out.tif");
            s.status_output_path = dir.path("status.tif");
            s.error_output_path = dir.path("error.tif");
            RunOptions options;
            options.solver_progress = false;
            options.threads = form.threads;
            test::RecordingHost host;
            const bool done = run_job(s, host, options).done();
            limit_kernel_level(KernelLevel::AVX512);
            limit_edge_simd_path(SIMD_AVX512);
            ASSERT_TRUE(done) << host.messages.front();
            const std::vector<std::vector<std::uint8_t>> files = {test::file_bytes(s.output_image_path),
                                                                  test::file_bytes(s.status_output_path),
                                                                  test::file_bytes(s.error_output_path)};
            if (widest.empty())
                widest = files;
            else
                EXPECT_TRUE(files == widest) << "forms up to " << static_cast<int>(form.level) << ", "
                                             << form.threads << " threads";
        }
    }
}

}  // namespace
}  // namespace pelvane
