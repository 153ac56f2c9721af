// Speed of the Tolvek solver on one band of a typical strip: 2000 or 8000
// columns, 334 rows (a full strip window), scanner stripes of gaps, data
// normalised to 0..1 with 2.0 at the gaps as the band stage prepares it.
// tv_restore (tiled) against tv_restore_reference (the plain loop) in one
// run: compare their per_px_iter counters.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "solver/shrinkage.h"
#include "solver/skewed_sweep.h"
#include "solver/tv_restore.h"
#include "solver/tv_restore_pipelined.h"
#include "solver/u_step_gauss_seidel.h"

namespace pelvane {
namespace {

constexpr int kWidth = 2000;
constexpr int kWideWidth = 8000;
constexpr int kRows = 334;
constexpr int kIterations = 50;
constexpr std::size_t kPixels = static_cast<std::size_t>(kWidth) * kRows;

struct StripBand {
    std::vector<double> data;     // f: normalised values, 2.0 at the gaps
    std::vector<double> weights;  // lambda map: 0 at the gaps, 1000 elsewhere
};

StripBand make_strip_band(int columns) {
    const std::size_t pixels = static_cast<std::size_t>(columns) * kRows;
    StripBand b{std::vector<double>(pixels), std::vector<double>(pixels)};
    std::uint32_t state = 12345;
    for (int y = 0; y < kRows; ++y)
        for (int x = 0; x < columns; ++x) {
            state = state * 1664525u + 1013904223u;
            const double noise = (state >> 8) / 16777216.0 - 0.5;
            const double value = 0.5 + 0.3 * std::sin(0.013 * x) * std::cos(0.021 * y) +
                                 0.05 * noise;
            // Stripes every 33 rows, slightly tilted, 1.5 to 13 rows wide
            // from left to right (over the first 2000 columns, then wrapping).
            const double width = 1.5 + 11.5 * (x % kWidth) / (kWidth - 1.0);
            const double centre = std::fmod(y - 0.035 * x + 3300.0, 33.0);
            const double distance = std::min(centre, 33.0 - centre);
            const bool gap = distance <= width / 2;
            const std::size_t i = static_cast<std::size_t>(y) * columns + x;
            b.data[i] = gap ? 2.0 : std::clamp(value, 0.0, 1.0);
            b.weights[i] = gap ? 0.0 : 1000.0;
        }
    return b;
}

const StripBand& strip_band(int width = kWidth) {
    static const StripBand narrow = make_strip_band(kWidth);
    static const StripBand wide = make_strip_band(kWideWidth);
    return width == kWideWidth ? wide : narrow;
}

// ns per pixel and iteration, from the time of one benchmark iteration.
void report_per_pixel(benchmark::State& state, double items_per_run) {
    state.counters["per_px_iter"] = benchmark::Counter(
        items_per_run, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The job's solve: L1, lambda map 0 / 1000, a fixed number of iterations.
// state.range(0) is the width; `solver` is the entry point.
template <class Solver>
void run_l1(benchmark::State& state, Solver solver) {
    const int width = static_cast<int>(state.range(0));
    const StripBand& band = strip_band(width);
    const std::size_t pixels = band.data.size();
    RestoreOptions options;
    options.noise_model = NOISE_LAPLACE;
    options.tol = 0.0;  // a fixed number of iterations
    options.max_iter = kIterations;
    options.progress = nullptr;
    restore_options_set_lambda_map(&options, band.weights.data(), width, kRows);
    std::vector<double> u(pixels);
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(band.data.begin(), band.data.end(), u.begin());
        state.ResumeTiming();
        benchmark::DoNotOptimize(solver(u.data(), band.data.data(), width, &options));
    }
    report_per_pixel(state, static_cast<double>(pixels) * kIterations);
}

void BM_TvRestoreReferenceL1(benchmark::State& state) {
    run_l1(state, [](double* u, const double* f, int width, const RestoreOptions* options) {
        return tv_restore_reference(u, f, width, kRows, 1, options);
    });
}
BENCHMARK(BM_TvRestoreReferenceL1)->Arg(kWidth)->Arg(kWideWidth)->Unit(benchmark::kMillisecond);

void BM_TvRestoreL1(benchmark::State& state) {
    run_l1(state, [](double* u, const double* f, int width, const RestoreOptions* options) {
        return tv_restore(u, f, width, kRows, 1, options);
    });
}
BENCHMARK(BM_TvRestoreL1)->Arg(kWidth)->Arg(kWideWidth)->Unit(benchmark::kMillisecond);

// The tiled solver per instruction set (range 1), number of iterations in
// flight (range 2) and block of steps (range 3).
void BM_TvRestorePathL1(benchmark::State& state) {
    const auto path = static_cast<SimdPath>(state.range(1));
    const int depth = static_cast<int>(state.range(2));
    const int block = static_cast<int>(state.range(3));
    if (!simd_path_supported(path)) {
        state.SkipWithError("instruction set not supported here");
        return;
    }
    run_l1(state, [=](double* u, const double* f, int width, const RestoreOptions* options) {
        return tv_restore_on_path(u, f, width, kRows, 1, options, path, depth, block);
    });
}
BENCHMARK(BM_TvRestorePathL1)
    ->ArgsProduct({{kWidth, kWideWidth}, {SIMD_GENERIC, SIMD_AVX2, SIMD_AVX512},
                   {1, PIPELINE_DEPTH}, {PIPELINE_BLOCK}})
    ->ArgsProduct({{kWideWidth}, {SIMD_AVX2, SIMD_AVX512}, {2, 4, 8}, {32, 512}})
    ->ArgsProduct({{kWidth}, {SIMD_AVX2, SIMD_AVX512}, {PIPELINE_DEPTH}, {16, 32, 64}})
    ->Unit(benchmark::kMillisecond);

// One fused L1 sweep of a band of 8 x 1000 pixels that stays in cache: the
// arithmetic rate of a path, without the memory traffic of a whole image.
void BM_SweepBandL1(benchmark::State& state) {
    const auto path = static_cast<SimdPath>(state.range(0));
    const SweepKernels kernels = sweep_kernels(path);
    if (kernels.sweep == nullptr) {
        state.SkipWithError("instruction set not supported here");
        return;
    }
    constexpr int width = 1000;
    constexpr std::ptrdiff_t lanes = SWEEP_LANES;
    constexpr std::ptrdiff_t steps = width + lanes - 1;
    constexpr std::ptrdiff_t slot = (steps + 1 + 2 * SWEEP_MARGIN) * lanes;
    constexpr int vectors = sweep_state_vectors(SWEEP_LAPLACE);
    const StripBand& band = strip_band();
    // Three bands (above, this one, below) of u; the state, the dty rows, f
    // and the weight of the strip's first rows.
    std::vector<double> u(3 * slot), stored(slot * vectors, 0.0), aux(2 * slot),
        dty(2 * slot / lanes, 0.0), carry(2 * lanes);
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = band.data[i % kPixels] * 0.5;
    kernels.skew(band.data.data(), kWidth, SWEEP_LANES, width, aux.data(), 2 * lanes, false, 0.0);
    kernels.skew(band.weights.data(), kWidth, SWEEP_LANES, width, aux.data() + lanes, 2 * lanes,
                 true, 8.0);
    SweepBand sweep;
    sweep.width = width;
    sweep.rows = SWEEP_LANES;
    sweep.begin = 0;
    sweep.end = steps;
    sweep.u = u.data() + slot + SWEEP_MARGIN * lanes;
    sweep.u_above = sweep.u - slot;
    sweep.u_below = sweep.u + slot;
    sweep.state = stored.data();
    sweep.dty_row = dty.data();
    sweep.dty_row_above = dty.data() + slot / lanes;
    sweep.aux = aux.data();
    sweep.carry = carry.data();
    SweepConstants constants;
    constants.model = SWEEP_LAPLACE;
    constants.shrink_t = 1.0 / 5.0;
    constants.shrink_t2 = constants.shrink_t * constants.shrink_t;
    constants.alpha = 8.0 / 5.0;
    constants.denominator = constants.alpha + 4.0;
    for (auto _ : state) {
        kernels.sweep(sweep, constants);
        benchmark::DoNotOptimize(u.data());
    }
    report_per_pixel(state, static_cast<double>(width) * SWEEP_LANES);
}
BENCHMARK(BM_SweepBandL1)->Arg(SIMD_GENERIC)->Arg(SIMD_AVX2)->Arg(SIMD_AVX512);

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
