#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "job/job_host.h"
#include "job/progress.h"
#include "job/range_masker.h"
#include "job/write_back.h"

namespace pelvane {
namespace {

// Strip 1 of an 8000 x 7000 six-band Byte scene.
constexpr int STRIP_PIXELS = 8000 * 334;

class NullHost : public JobHost {
public:
    void show_message(const std::string&) override {}
    int set_progress_position(int position) override
    {
        const int previous = bar_;
        bar_ = position;
        benchmark::ClobberMemory();
        return previous;
    }

private:
    int bar_ = 0;
};

// A per-pixel loop as the regression stage runs it, without and with the
// progress call before each pixel.
void BM_PixelLoop(benchmark::State& state)
{
    const bool with_progress = state.range(0) != 0;
    std::vector<double> values(STRIP_PIXELS, 3.0);
    NullHost host;
    host.progress_base = 30;
    host.progress_step = 100.0 / 30.0;
    for (auto _ : state) {
        double sum = 0.0;
        for (int i = 0; i < STRIP_PIXELS; ++i) {
            if (with_progress)
                report_progress(static_cast<double>(i) / STRIP_PIXELS, "", &host);
            sum += values[static_cast<std::size_t>(i)];
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * STRIP_PIXELS);
}
BENCHMARK(BM_PixelLoop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_MarkOutOfRange(benchmark::State& state)
{
    std::vector<std::vector<double>> bands(6, std::vector<double>(STRIP_PIXELS, 100.0));
    bands[3][12345] = 0.0;
    std::vector<const double*> stack;
    for (const auto& b : bands)
        stack.push_back(b.data());
    std::vector<unsigned char> mask(STRIP_PIXELS, 0);
    const RangeMasker masker;
    for (auto _ : state) {
        masker.mark_out_of_range(stack.data(), mask.data(), STRIP_PIXELS, 6, 1.0, 255.0);
        benchmark::DoNotOptimize(mask.data());
    }
    state.SetItemsProcessed(state.iterations() * STRIP_PIXELS);
}
BENCHMARK(BM_MarkOutOfRange)->Unit(benchmark::kMillisecond);

void BM_ConvertToByte(benchmark::State& state)
{
    std::vector<double> values(STRIP_PIXELS);
    for (int i = 0; i < STRIP_PIXELS; ++i)
        values[static_cast<std::size_t>(i)] = (i % 300) - 20.5;
    std::vector<std::uint8_t> out(STRIP_PIXELS);
    for (auto _ : state) {
        convert_samples(values.data(), STRIP_PIXELS, GDT_Byte, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * STRIP_PIXELS);
}
BENCHMARK(BM_ConvertToByte)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelvane

BENCHMARK_MAIN();
