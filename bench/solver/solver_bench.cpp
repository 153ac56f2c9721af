// Speed of the Tolvek solver on one band of a typical strip: 2000 columns,
// 334 rows (a full strip window), scanner stripes of gaps, data normalised to
// 0..1 with 2.0 at the gaps as the band stage prepares it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "solver/shrinkage.h"
#include "solver/tv_restore.h"
#include "solver/u_step_gauss_seidel.h"

namespace pelvane {
namespace {

constexpr int kWidth = 2000;
constexpr int kRows = 334;
constexpr int kIterations = 50;
constexpr std::size_t kPixels = static_cast<std::size_t>(kWidth) * kRows;

struct StripBand {
    std::vector<double> data;     // f: normalised values, 2.0 at the gaps
    std::vector<double> weights;  // lambda map: 0 at the gaps, 1000 elsewhere
};

const StripBand& strip_band() {
    static const StripBand band = [] {
        StripBand b{std::vector<double>(kPixels), std::vector<double>(kPixels)};
        std::uint32_t state = 12345;
        for (int y = 0; y < kRows; ++y)
            for (int x = 0; x < kWidth; ++x) {
                state = state * 1664525u + 1013904223u;
                const double noise = (state >> 8) / 16777216.0 - 0.5;
                const double value = 0.5 + 0.3 * std::sin(0.013 * x) * std::cos(0.021 * y) +
                                     0.05 * noise;
                // Stripes every 33 rows, slightly tilted, 1.5 to 13 rows wide
                // from left to right.
                const double width = 1.5 + 11.5 * x / (kWidth - 1.0);
                const double centre = std::fmod(y - 0.035 * x + 3300.0, 33.0);
                const double distance = std::min(centre, 33.0 - centre);
                const bool gap = distance <= width / 2;
                const std::size_t i = static_cast<std::size_t>(y) * kWidth + x;
                b.data[i] = gap ? 2.0 : std::clamp(value, 0.0, 1.0);
                b.weights[i] = gap ? 0.0 : 1000.0;
            }
        return b;
    }();
    return band;
}

// ns per pixel and iteration, from the time of one benchmark iteration.
void report_per_pixel(benchmark::State& state, double items_per_run) {
    state.counters["per_px_iter"] = benchmark::Counter(
        items_per_run, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_TvRestoreL1(benchmark::State& state) {
    const StripBand& band = strip_band();
    RestoreOptions options;
    options.noise_model = NOISE_LAPLACE;
    options.tol = 0.0;  // a fixed number of iterations
    options.max_iter = kIterations;
    options.progress = nullptr;
    restore_options_set_lambda_map(&options, band.weights.data(), kWidth, kRows);
    std::vector<double> u(kPixels);
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(band.data.begin(), band.data.end(), u.begin());
        state.ResumeTiming();
        benchmark::DoNotOptimize(tv_restore(u.data(), band.data.data(), kWidth, kRows, 1, &options));
    }
    report_per_pixel(state, static_cast<double>(kPixels) * kIterations);
}
BENCHMARK(BM_TvRestoreL1)->Unit(benchmark::kMillisecond);

void BM_UStepGaussSeidel(benchmark::State& state) {
    const StripBand& band = strip_band();
    std::vector<double> u = band.data, dtilde(2 * kPixels, 0.01);
    for (auto _ : state)
        benchmark::DoNotOptimize(u_step_gauss_seidel(u.data(), band.data.data(), dtilde.data(),
                                                     nullptr, kWidth, kRows, 1, 8.0, 5.0));
    report_per_pixel(state, static_cast<double>(kPixels));
}
BENCHMARK(BM_UStepGaussSeidel)->Unit(benchmark::kMillisecond);

void BM_DStep(benchmark::State& state) {
    const StripBand& band = strip_band();
    std::vector<double> d(2 * kPixels, 0.0), dtilde(2 * kPixels, 0.0);
    for (auto _ : state) {
        d_step(d.data(), dtilde.data(), band.data.data(), kWidth, kRows, 1, 5.0);
        benchmark::DoNotOptimize(d.data());
    }
    report_per_pixel(state, static_cast<double>(kPixels));
}
BENCHMARK(BM_DStep)->Unit(benchmark::kMillisecond);

void BM_ZStepLaplace(benchmark::State& state) {
    const StripBand& band = strip_band();
    std::vector<double> z = band.data, ztilde = band.data, u = band.data;
    for (auto _ : state) {
        z_step_laplace(z.data(), ztilde.data(), u.data(), band.data.data(), band.weights.data(),
                       kWidth, kRows, 1, 25.0, 8.0);
        benchmark::DoNotOptimize(z.data());
    }
    report_per_pixel(state, static_cast<double>(kPixels));
}
BENCHMARK(BM_ZStepLaplace)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelvane

BENCHMARK_MAIN();
