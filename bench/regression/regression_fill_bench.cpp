// Sarnic's kernels on a synthetic six-band strip with scan-line stripes in
// both images, shaped like one strip of a wide Byte scene, and on the olinda
// scene. regression_fill runs against regression_fill_reference on the same
// strip in the same run; the program ends with the ratio of their CPU times.
#include <benchmark/benchmark.h>

#include <gdal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "regression/fallback_fill.h"
#include "regression/pixel_status.h"
#include "regression/regression_fill.h"
#include "regression/regression_fill_reference.h"
#include "regression/regression_strip.h"

namespace {

using namespace pelvane;

constexpr int BANDS = 6;

// Wedge-shaped no-data stripes: centre lines at row = phase + tilt * col +
// k * period, width growing linearly from the left edge to the right edge.
struct Stripes {
    double period, phase, min_width, max_width, tilt;

    bool gap(int row, int col, int width) const
    {
        const double half = 0.5 * (min_width + (max_width - min_width) * col / (width - 1));
        const double offset = row - phase - tilt * col;
        const double k = std::round(offset / period);
        return std::fabs(offset - k * period) < half;
    }
};

struct Scene {
    int rows, width;
    std::vector<std::vector<double>> target, fill;
    std::vector<unsigned char> target_mask, fill_mask;

    size_t size() const { return static_cast<size_t>(rows) * width; }
};

// A textured scene (smooth fields plus patches and noise), its second date
// (smooth gain and offset, sensor noise), and both sets of stripes. With
// `partial_fill_gaps` the fill stripes empty only the first three bands.
Scene make_scene(int rows, int width, bool partial_fill_gaps)
{
    Scene s{rows, width, {}, {}, {}, {}};
    std::mt19937 rng(20240601);
    std::normal_distribution<double> noise(0.0, 1.5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const Stripes target_stripes{33.0, 7.0, 1.5, 13.0, 0.035};
    const Stripes fill_stripes{34.0, 24.0, 1.5, 13.5, 0.045};

    // Land-cover patches: each cell of a coarse grid gets a cover class.
    const int cell = 23;
    std::vector<int> cover(static_cast<size_t>((rows / cell + 1) * (width / cell + 1)));
    for (int& c : cover) c = static_cast<int>(u(rng) * 4.0);
    const double class_level[4][BANDS] = {{40, 35, 30, 90, 70, 35},
                                          {70, 65, 75, 60, 110, 90},
                                          {55, 45, 40, 25, 15, 10},
                                          {90, 85, 95, 80, 120, 110}};

    s.target.assign(BANDS, std::vector<double>(s.size()));
    s.fill.assign(BANDS, std::vector<double>(s.size()));
    s.target_mask.assign(s.size(), 0);
    s.fill_mask.assign(s.size(), 0);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < width; ++c) {
            const size_t i = static_cast<size_t>(r) * width + c;
            const int cls = cover[static_cast<size_t>(r / cell) * (width / cell + 1) + c / cell];
            const bool target_gap = target_stripes.gap(r, c, width);
            const bool fill_gap = fill_stripes.gap(r, c, width);
            for (int b = 0; b < BANDS; ++b) {
                const double texture = 6.0 * std::sin(0.11 * c + 0.7 * b) * std::cos(0.07 * r) +
                                       3.0 * std::sin(0.031 * (r + 2 * c));
                const double scene = std::clamp(class_level[cls][b] + texture + 2.0 * noise(rng), 1.0, 255.0);
                const double gain = 1.0 + 0.12 * std::sin(2.0 * M_PI * c / 900.0 + b);
                const double offset = 6.0 * std::cos(2.0 * M_PI * r / 250.0 - b);
                const double second = std::clamp(std::round(gain * scene + offset + noise(rng)), 1.0, 255.0);
                s.target[b][i] = target_gap ? 0.0 : std::round(scene);
                s.fill[b][i] = fill_gap && (!partial_fill_gaps || b < 3) ? 0.0 : second;
            }
            // Valid range 1..255: a zero in any band marks the pixel missing.
            s.target_mask[i] = target_gap;
            s.fill_mask[i] = fill_gap;
        }
    return s;
}

std::vector<const double*> pointers(const std::vector<std::vector<double>>& bands)
{
    std::vector<const double*> p;
    for (const auto& b : bands) p.push_back(b.data());
    return p;
}

std::vector<double*> pointers(std::vector<std::vector<double>>& bands)
{
    std::vector<double*> p;
    for (auto& b : bands) p.push_back(b.data());
    return p;
}

int count_predicted(const std::vector<unsigned char>& status)
{
    return static_cast<int>(std::count_if(status.begin(), status.end(), [](unsigned char s) {
        return s >= PIXEL_SIMILAR_FIT && s <= PIXEL_RATIO_FIT;
    }));
}

using FillFn = decltype(&regression_fill);

benchmark::Counter per_second(double count)
{
    return benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate);
}

// Missing when any band lies outside the valid range 1..255.
std::vector<unsigned char> range_mask(const std::vector<std::vector<double>>& bands)
{
    std::vector<unsigned char> mask(bands[0].size(), 0);
    for (size_t i = 0; i < mask.size(); ++i)
        for (const auto& band : bands)
            if (band[i] < 1.0 || band[i] > 255.0) mask[i] = 1;
    return mask;
}

// Every band of an image as doubles; empty when it cannot be read.
std::vector<std::vector<double>> read_bands(const std::string& path, int& rows, int& width)
{
    GDALAllRegister();
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    std::vector<std::vector<double>> bands;
    if (ds == nullptr) return bands;
    width = GDALGetRasterXSize(ds);
    rows = GDALGetRasterYSize(ds);
    for (int b = 1; b <= GDALGetRasterCount(ds); ++b) {
        bands.emplace_back(static_cast<size_t>(rows) * width);
        if (GDALRasterIO(GDALGetRasterBand(ds, b), GF_Read, 0, 0, width, rows, bands.back().data(),
                         width, rows, GDT_Float64, 0, 0) != CE_None)
            bands.clear();
    }
    GDALClose(ds);
    return bands;
}

const Scene& olinda()
{
    static const Scene scene = [] {
        const std::string dir = std::string(PELVANE_TEST_DATA) + "/olinda/";
        Scene s{0, 0, {}, {}, {}, {}};
        s.target = read_bands(dir + "target.tif", s.rows, s.width);
        s.fill = read_bands(dir + "fill.tif", s.rows, s.width);
        if (!s.target.empty() && !s.fill.empty()) {
            s.target_mask = range_mask(s.target);
            s.fill_mask = range_mask(s.fill);
        }
        return s;
    }();
    return scene;
}

// The whole strip through `fill_fn`, similar_pixel_count 30.
void run_strip(benchmark::State& state, const Scene& s, FillFn fill_fn)
{
    if (s.target.empty()) {
        state.SkipWithError("no input images");
        return;
    }
    const int bands = static_cast<int>(s.target.size());
    std::vector<std::vector<double>> filled(bands, std::vector<double>(s.size()));
    std::vector<unsigned char> status(s.size());
    const auto t = pointers(s.target), f = pointers(s.fill);
    auto out = pointers(filled);
    for (auto _ : state) {
        fill_fn(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), bands, s.rows,
                s.width, out.data(), status.data(), 0.5, 30, nullptr, nullptr);
        benchmark::DoNotOptimize(filled[0].data());
    }
    state.counters["pixels_per_s"] = per_second(static_cast<double>(s.size()));
    state.counters["predicted_per_s"] = per_second(count_predicted(status));
    state.counters["predicted"] = count_predicted(status);
}

// One synthetic strip of rows x width pixels.
Scene synthetic(const benchmark::State& state)
{
    return make_scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), false);
}
void BM_RegressionFill(benchmark::State& state)
{
    run_strip(state, synthetic(state), regression_fill);
}
void BM_RegressionFillReference(benchmark::State& state)
{
    run_strip(state, synthetic(state), regression_fill_reference);
}
BENCHMARK(BM_RegressionFill)->Args({334, 500})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegressionFillReference)
    ->Args({334, 500})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The olinda scene (349 x 352, six bands, valid range 1..255) as one strip.
void BM_RegressionFillOlinda(benchmark::State& state)
{
    run_strip(state, olinda(), regression_fill);
}
void BM_RegressionFillOlindaReference(benchmark::State& state)
{
    run_strip(state, olinda(), regression_fill_reference);
}
BENCHMARK(BM_RegressionFillOlinda)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RegressionFillOlindaReference)->Unit(benchmark::kMillisecond)->UseRealTime();

// A whole-width strip of the typical scene (8000 columns): preparing it, and
// filling 16 of its middle rows (whose windows reach furthest) on one thread,
// as one worker of the job does.
const Scene& wide_scene()
{
    static const Scene scene = make_scene(334, 8000, false);
    return scene;
}

void BM_RegressionStripPrepare(benchmark::State& state)
{
    const Scene& s = wide_scene();
    const auto t = pointers(s.target), f = pointers(s.fill);
    for (auto _ : state) {
        const RegressionStrip strip(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(),
                                    BANDS, s.rows, s.width, 0.5, 30);
        benchmark::DoNotOptimize(&strip);
    }
}
BENCHMARK(BM_RegressionStripPrepare)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RegressionStripRows(benchmark::State& state)
{
    const Scene& s = wide_scene();
    const int first = static_cast<int>(state.range(0)), end = static_cast<int>(state.range(1));
    const auto t = pointers(s.target), f = pointers(s.fill);
    std::vector<std::vector<double>> filled(BANDS, std::vector<double>(s.size()));
    std::vector<unsigned char> status(s.size(), 0);
    auto out = pointers(filled);
    const RegressionStrip strip(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), BANDS,
                                s.rows, s.width, 0.5, 30);
    for (auto _ : state) {
        strip.fill_rows(first, end, out.data(), status.data());
        benchmark::DoNotOptimize(filled[0].data());
    }
    state.counters["pixels_per_s"] = per_second(static_cast<double>(end - first) * s.width);
    state.counters["predicted_per_s"] = per_second(count_predicted(status));
}
BENCHMARK(BM_RegressionStripRows)->Args({159, 175})->Unit(benchmark::kMillisecond)->UseRealTime();

// The fallback after the regression, on a strip whose fill stripes keep three
// bands, so that many pixels missing in both have usable fill bands.
void BM_FallbackFill(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0)), width = static_cast<int>(state.range(1));
    const Scene s = make_scene(rows, width, true);
    std::vector<std::vector<double>> regressed(BANDS, std::vector<double>(s.size()));
    std::vector<unsigned char> status(s.size());
    const auto t = pointers(s.target), f = pointers(s.fill);
    auto out = pointers(regressed);
    regression_fill(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), BANDS, rows,
                    width, out.data(), status.data(), 0.5, 30, nullptr, nullptr);
    const long long revisited = std::count(status.begin(), status.end(), PIXEL_BOTH_MISSING);

    std::vector<std::vector<double>> filled;
    for (auto _ : state) {
        state.PauseTiming();
        filled = regressed;
        auto p = pointers(filled);
        state.ResumeTiming();
        fallback_fill(p.data(), f.data(), status.data(), BANDS, rows, width, nullptr, nullptr);
        benchmark::DoNotOptimize(filled[0].data());
    }
    state.counters["pixels_per_s"] =
        benchmark::Counter(static_cast<double>(s.size()), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["revisited"] = static_cast<double>(revisited);
}
BENCHMARK(BM_FallbackFill)->Args({334, 500})->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints the console report and keeps the CPU time per iteration of each run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    std::map<std::string, double> cpu;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (!run.error_occurred) cpu[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Each fast kernel against its reference, both measured in this run.
    for (const auto& [name, reference] : reporter.cpu) {
        const size_t at = name.find("Reference");
        if (at == std::string::npos) continue;
        const auto fast = reporter.cpu.find(std::string(name).erase(at, 9));
        if (fast != reporter.cpu.end() && fast->second > 0.0)
            std::printf("%s: reference / fast CPU time = %.2f\n", fast->first.c_str(),
                        reference / fast->second);
    }
    benchmark::Shutdown();
    return 0;
}
