// The fill stages of one strip on 1, 2, ... threads: compare the rows of one
// run (real time; the machine may be shared, so only the ratio counts).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "job/band_stack.h"
#include "job/edge_fill_stage.h"
#include "job/job_host.h"
#include "job/regression_stage.h"
#include "job/tolvek_stage.h"
#include "job/worker_pool.h"

namespace pelvane {
namespace {

constexpr int WIDTH = 1000;
constexpr int ROWS = 40;
constexpr int BANDS = 6;
constexpr std::size_t PIXELS = static_cast<std::size_t>(WIDTH) * ROWS;

class NullHost : public JobHost {
public:
    void show_message(const std::string&) override {}
    int set_progress_position(int position) override { return position; }
};

// A strip with slanted stripes of gaps in both images, some of them shared.
struct StripData {
    BandStack target{BANDS, PIXELS}, fill{BANDS, PIXELS}, filled{BANDS, PIXELS};
    std::vector<unsigned char> target_mask, fill_mask, both_mask, status;

    StripData() : target_mask(PIXELS), fill_mask(PIXELS), both_mask(PIXELS), status(PIXELS)
    {
        for (int y = 0; y < ROWS; ++y) {
            for (int x = 0; x < WIDTH; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * WIDTH + x;
                target_mask[i] = (y * 31 + x) / 40 % 5 == 0;
                fill_mask[i] = (y * 23 + 2 * x) / 50 % 7 == 0;
                both_mask[i] = target_mask[i] && fill_mask[i];
                for (int b = 0; b < BANDS; ++b) {
                    target.band(b)[i] = 30 + (b * 37 + x * 3 + y * 5 + (x * y) % 13) % 180;
                    fill.band(b)[i] = 0.9 * target.band(b)[i] + 12 + (x * 7 + y) % 5;
                }
            }
        }
    }
};

void BM_RegressionStage(benchmark::State& state)
{
    StripData s;
    NullHost host;
    host.progress_step = 100.0;
    WorkerPool pool(static_cast<int>(state.range(0)));
    const RegressionStageBuffers buffers{.target = s.target,
                                         .fill = s.fill,
                                         .target_mask = s.target_mask.data(),
                                         .fill_mask = s.fill_mask.data(),
                                         .rows = ROWS,
                                         .width = WIDTH,
                                         .similar_pixel_count = JobSettings{}.similar_pixel_count,
                                         .filled = s.filled,
                                         .status = s.status.data()};
    for (auto _ : state)
        benchmark::DoNotOptimize(run_regression_stage(pool, host, buffers));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(PIXELS));
}
BENCHMARK(BM_RegressionStage)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_TolvekStage(benchmark::State& state)
{
    StripData s;
    NullHost host;
    WorkerPool pool(static_cast<int>(state.range(0)));
    TolvekParams params = tolvek_params(JobSettings{}, RunOptions{});
    params.max_iterations = 100;
    for (auto _ : state) {
        state.PauseTiming();
        for (int b = 0; b < BANDS; ++b)
            std::copy(s.target.band(b), s.target.band(b) + PIXELS, s.filled.band(b));
        state.ResumeTiming();
        benchmark::DoNotOptimize(run_tolvek_stage(pool, host, s.filled, s.both_mask.data(), WIDTH,
                                                  ROWS, params, false));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(PIXELS) * BANDS);
}
BENCHMARK(BM_TolvekStage)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// The refined fill's stage for the same pixels; the second argument asks for
// the standard errors too.
void BM_EdgeFillStage(benchmark::State& state)
{
    StripData s;
    NullHost host;
    WorkerPool pool(static_cast<int>(state.range(0)));
    BandStack error(BANDS, PIXELS);
    std::vector<unsigned char> sites(PIXELS);
    for (std::size_t i = 0; i < PIXELS; ++i) sites[i] = !s.target_mask[i];
    const EdgeFillBuffers buffers{s.filled, s.both_mask.data(), WIDTH, ROWS,
                                  state.range(1) != 0 ? &error : nullptr, sites.data()};
    for (auto _ : state) {
        state.PauseTiming();
        for (int b = 0; b < BANDS; ++b)
            std::copy(s.target.band(b), s.target.band(b) + PIXELS, s.filled.band(b));
        state.ResumeTiming();
        benchmark::DoNotOptimize(run_edge_fill_stage(pool, host, buffers));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(PIXELS) * BANDS);
}
BENCHMARK(BM_EdgeFillStage)->Args({1, 0})->Args({2, 0})->Args({2, 1})->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelvane

BENCHMARK_MAIN();
