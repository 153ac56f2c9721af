// Sarnic's kernels on a synthetic six-band strip with scan-line stripes in
// both images, shaped like one strip of a wide Byte scene.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "regression/fallback_fill.h"
#include "regression/pixel_status.h"
#include "regression/regression_fill.h"
#include "regression/regression_fill_reference.h"

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

// One strip of rows x width pixels, similar_pixel_count 30.
void BM_RegressionFill(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0)), width = static_cast<int>(state.range(1));
    const Scene s = make_scene(rows, width, false);
    std::vector<std::vector<double>> filled(BANDS, std::vector<double>(s.size()));
    std::vector<unsigned char> status(s.size());
    const auto t = pointers(s.target), f = pointers(s.fill);
    auto out = pointers(filled);
    for (auto _ : state) {
        regression_fill(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), BANDS, rows,
                        width, out.data(), status.data(), 0.5, 30, nullptr, nullptr);
        benchmark::DoNotOptimize(filled[0].data());
    }
    const double pixels = static_cast<double>(s.size());
    state.counters["pixels_per_s"] = benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["predicted_per_s"] =
        benchmark::Counter(count_predicted(status), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["predicted"] = count_predicted(status);
}
BENCHMARK(BM_RegressionFill)->Args({334, 500})->Unit(benchmark::kMillisecond)->UseRealTime();

// One strip of rows x width pixels, similar_pixel_count 30.
void BM_RegressionFillReference(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0)), width = static_cast<int>(state.range(1));
    const Scene s = make_scene(rows, width, false);
    std::vector<std::vector<double>> filled(BANDS, std::vector<double>(s.size()));
    std::vector<unsigned char> status(s.size());
    const auto t = pointers(s.target), f = pointers(s.fill);
    auto out = pointers(filled);
    for (auto _ : state) {
        regression_fill_reference(t.data(), f.data(), s.target_mask.data(), s.fill_mask.data(), BANDS, rows,
                        width, out.data(), status.data(), 0.5, 30, nullptr, nullptr);
        benchmark::DoNotOptimize(filled[0].data());
    }
    const double pixels = static_cast<double>(s.size());
    state.counters["pixels_per_s"] = benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["predicted_per_s"] =
        benchmark::Counter(count_predicted(status), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["predicted"] = count_predicted(status);
}
BENCHMARK(BM_RegressionFillReference)->Args({334, 500})->Unit(benchmark::kMillisecond)->UseRealTime();

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

}  // namespace

BENCHMARK_MAIN();
