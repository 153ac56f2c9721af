// The pipelined solver against the plain loop: u, result and every callback
// must agree bit for bit, on each instruction set this machine runs, at
// several pipeline depths.
#include "solver/tv_restore_pipelined.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "solver/tv_restore.h"

namespace pelvane {
namespace {

// The same bits, or both not a number: the sign and payload of a NaN made
// from infinities are not kept by the compiler (it may swap the operands of
// a sum), in either loop.
bool same_value(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

struct Call {
    int state;
    int iteration;
    double delta;
    bool operator==(const Call& o) const {
        return state == o.state && iteration == o.iteration && same_value(delta, o.delta);
    }
};

struct Recorder {
    std::vector<Call> calls;
    int stop_at = -1;  // index of the call that answers 0
    std::vector<double> final_u;  // u as the final call (state 1 or 2) sees it
};

int record(int state, int iteration, double delta, const double* u, int width, int height,
           int channels, void* data) {
    auto* r = static_cast<Recorder*>(data);
    r->calls.push_back({state, iteration, delta});
    if (state != 0) r->final_u.assign(u, u + std::size_t(width) * height * channels);
    return static_cast<int>(r->calls.size()) - 1 == r->stop_at ? 0 : 1;
}

// A band as the band stage prepares it: values in 0..1, stripes of gaps
// (weight 0, value 2.0) across it, varied weights elsewhere.
struct Band {
    int width, height;
    std::vector<double> f, map;
};

// signed_values: data in -0.5 .. 1.5 and weights of both signs, so that the
// data terms take every branch (the Poisson radicand goes negative).
Band striped_band(int width, int height, std::uint32_t seed, bool signed_values = false) {
    Band b{width, height, std::vector<double>(std::size_t(width) * height),
           std::vector<double>(std::size_t(width) * height)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const double noise = (seed >> 8) / 16777216.0;
            const std::size_t i = std::size_t(y) * width + x;
            const bool gap = (x + 3 * y) % 11 < 3;
            b.f[i] = gap ? 2.0 : signed_values ? 2.0 * noise - 0.5 : 0.3 + 0.4 * noise;
            b.map[i] = gap ? 0.0 : (seed >> 28) < 12 ? 1000.0 : 3.0 * noise;
            if (signed_values && (seed >> 27) % 3 == 0) b.map[i] = -b.map[i];
        }
    return b;
}

struct Outcome {
    int result;
    std::vector<double> u;
    std::vector<Call> calls;
    std::vector<double> final_u;
};

struct SolveCase {
    int model = NOISE_LAPLACE;
    bool with_map = true;
    int max_iter = 12;
    double tol = 0.0;
    int stop_at = -1;
};

// path < 0: the plain loop.
Outcome solve(const Band& band, const SolveCase& setup, int path, int depth,
              int block = PIPELINE_BLOCK) {
    Recorder recorder;
    recorder.stop_at = setup.stop_at;
    RestoreOptions options;
    options.noise_model = setup.model;
    options.max_iter = setup.max_iter;
    options.tol = setup.tol;
    options.lambda = 7.0;
    options.progress = record;
    options.progress_user_data = &recorder;
    if (setup.with_map)
        restore_options_set_lambda_map(&options, band.map.data(), band.width, band.height);
    Outcome out{0, band.f, {}, {}};
    out.result = path < 0 ? tv_restore_reference(out.u.data(), band.f.data(), band.width,
                                                 band.height, 1, &options)
                          : tv_restore_on_path(out.u.data(), band.f.data(), band.width,
                                               band.height, 1, &options,
                                               static_cast<SimdPath>(path), depth, block);
    out.calls = recorder.calls;
    out.final_u = recorder.final_u;
    return out;
}

std::vector<SimdPath> supported_paths() {
    std::vector<SimdPath> paths;
    for (SimdPath p : {SIMD_GENERIC, SIMD_AVX2, SIMD_AVX512})
        if (simd_path_supported(p)) paths.push_back(p);
    return paths;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_value(a[i], b[i])) return false;
    return true;
}

// Every supported path at every depth and block gives the plain loop's
// outcome. Blocks of a step or a few put many tile boundaries in small images.
void expect_as_reference(const Band& band, const SolveCase& setup, const std::string& what,
                         const std::vector<int>& depths = {1, 2, 3, 4, PIPELINE_MAX_DEPTH},
                         const std::vector<int>& blocks = {1, 3, 16, PIPELINE_BLOCK}) {
    const Outcome expected = solve(band, setup, -1, 0);
    for (SimdPath path : supported_paths())
        for (int depth : depths)
          for (int block : blocks) {
            const Outcome got = solve(band, setup, path, depth, block);
            const std::string where = what + " path " + std::to_string(path) + " depth " +
                                      std::to_string(depth) + " block " + std::to_string(block);
            EXPECT_EQ(got.result, expected.result) << where;
            EXPECT_TRUE(same_bits(got.u, expected.u)) << where;
            EXPECT_EQ(got.calls, expected.calls) << where;
            // The final call sees the result.
            EXPECT_TRUE(same_bits(got.final_u, expected.final_u)) << where;
            if (!got.final_u.empty()) {
                EXPECT_TRUE(same_bits(got.final_u, got.u)) << where;
            }
        }
}

TEST(TvRestorePipelined, EqualsThePlainLoopOnAwkwardShapes) {
    // Widths below, at and above the lane count, and of a band's steps
    // (width + 7) just below, at and above the default block or several
    // blocks and a part; heights of one row, a partial band, and a few bands
    // more than the deepest pipeline.
    const int widths[] = {1, 2, 3, 7, 8, 9, 13, 30, 120, 121, 122, 300};
    const int heights[] = {1, 2, 3, 8, 9, 17, 75};
    for (int w : widths)
        for (int h : heights) {
            const Band band = striped_band(w, h, 17u * w + h);
            SolveCase setup;
            setup.max_iter = 7;
            expect_as_reference(band, setup, std::to_string(w) + "x" + std::to_string(h));
        }
}

TEST(TvRestorePipelined, EqualsThePlainLoopForEveryModelWithAndWithoutMap) {
    for (bool signed_values : {false, true}) {
        const Band band = striped_band(37, 29, 5u, signed_values);
        for (int model : {NOISE_GAUSSIAN, NOISE_LAPLACE, NOISE_POISSON})
            for (bool with_map : {false, true}) {
                SolveCase setup;
                setup.model = model;
                setup.with_map = with_map;
                setup.max_iter = 10;  // not a multiple of the depth: a short last wave
                expect_as_reference(band, setup,
                                    "model " + std::to_string(model) + " map " +
                                        std::to_string(with_map) + " signed " +
                                        std::to_string(signed_values));
            }
    }
}

TEST(TvRestorePipelined, ConvergesInsideAWaveAsThePlainLoopDoes) {
    // A tolerance just above the change of iteration m ends the plain loop at
    // the first iteration from m on whose change is below it; the pipeline
    // has later iterations in flight by then and must undo them.
    // The wide band has several tiles of the default block and a part.
    for (const Band& band : {striped_band(41, 43, 9u), striped_band(300, 27, 4u)}) {
        for (int model : {NOISE_GAUSSIAN, NOISE_LAPLACE, NOISE_POISSON}) {
            SolveCase probe;
            probe.model = model;
            probe.max_iter = 30;
            const Outcome deltas = solve(band, probe, -1, 0);
            for (int m : {3, 5, 6, 7, 9, 14}) {
                SolveCase setup = probe;
                setup.tol = std::nextafter(deltas.calls[m].delta, 1e300);
                const Outcome reference = solve(band, setup, -1, 0);
                ASSERT_EQ(reference.result, 1) << band.width << " " << model << " " << m;
                expect_as_reference(band, setup,
                                    std::to_string(band.width) + " wide, model " +
                                        std::to_string(model) + " tol of " + std::to_string(m));
            }
        }
    }
}

TEST(TvRestorePipelined, StopsWhereTheCallbackSaysWithTheIterateOfThatCall) {
    const Band band = striped_band(23, 50, 3u);
    for (int model : {NOISE_GAUSSIAN, NOISE_LAPLACE})
        for (int stop_at : {0, 1, 2, 3, 4, 5, 6, 7, 8, 11}) {
            SolveCase setup;
            setup.model = model;
            setup.stop_at = stop_at;
            setup.max_iter = 11;
            expect_as_reference(band, setup,
                                "model " + std::to_string(model) + " stop " + std::to_string(stop_at));
        }
}

TEST(TvRestorePipelined, LimitsAndStartsAsThePlainLoop) {
    const Band band = striped_band(19, 21, 11u);
    for (int max_iter : {-2, 0, 1, 2, 3, 4, 5, 9}) {
        SolveCase setup;
        setup.max_iter = max_iter;
        expect_as_reference(band, setup, "max_iter " + std::to_string(max_iter));
    }
    // A zero image is copied without callbacks.
    Band zero = band;
    std::fill(zero.f.begin(), zero.f.end(), 0.0);
    expect_as_reference(zero, SolveCase{}, "zero data");
}

TEST(TvRestorePipelined, NonFiniteValuesFollowThePlainLoop) {
    // An infinite value spreads through u; infinities and NaNs in the
    // changes end the run where they end the plain loop.
    Band band = striped_band(26, 33, 21u);
    SolveCase setup;
    setup.with_map = false;
    band.f[5 * 26 + 20] = std::numeric_limits<double>::infinity();
    setup.model = NOISE_GAUSSIAN;
    expect_as_reference(band, setup, "infinite data");
}

TEST(SkewedSweep, SkewAndUnskewRoundTripWithZeroPadding) {
    // Rows r at 1000 r + x; a partial band leaves lanes of zeros.
    const int widths[] = {1, 2, 7, 8, 9, 15, 16, 17, 40};
    for (SimdPath path : supported_paths()) {
        const SweepKernels kernels = sweep_kernels(path);
        for (int width : widths)
            for (int rows : {1, 3, 8}) {
                std::vector<double> image(std::size_t(rows) * width);
                for (int r = 0; r < rows; ++r)
                    for (int x = 0; x < width; ++x) image[std::size_t(r) * width + x] = 1000 * r + x + 1;
                const std::size_t steps = (width + 7 + 7) / 8 * 8;
                std::vector<double> skewed(steps * 8, -1.0), back(image.size(), 0.0);
                kernels.skew(image.data(), width, rows, width, skewed.data(), 8, false, 0.0);
                for (int t = 0; t < width + 7; ++t)
                    for (int j = 0; j < 8; ++j) {
                        const int x = t - j;
                        const double want = j < rows && x >= 0 && x < width ? 1000 * j + x + 1 : 0.0;
                        ASSERT_EQ(skewed[std::size_t(t) * 8 + j], want)
                            << "path " << path << " width " << width << " step " << t << " lane " << j;
                    }
                kernels.unskew(skewed.data(), 8, rows, width, back.data(), width);
                EXPECT_EQ(back, image) << "path " << path << " width " << width << " rows " << rows;
            }
    }
}

TEST(SkewedSweep, AddChangesSumsEachChainInOrderAsThePlainLoop) {
    // Chains of 1 to 8 iterations over counts with and without a partial
    // group of four; values of every size, so that the order of the additions
    // shows in the bits.
    std::uint32_t seed = 7;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return std::ldexp((seed >> 8) / 16777216.0, static_cast<int>(seed % 40) - 20);
    };
    for (SimdPath path : supported_paths())
        for (int chains = 1; chains <= PIPELINE_MAX_DEPTH; ++chains)
            for (std::size_t count : {1, 3, 4, 9, 64}) {
                std::vector<std::vector<double>> arrays(chains + 1, std::vector<double>(count));
                for (auto& array : arrays)
                    for (double& v : array) v = next();
                std::vector<double> image = arrays[0], sums(chains, 0.5), expected(chains, 0.5);
                for (int c = 0; c < chains; ++c)
                    for (std::size_t e = 0; e < count; ++e) {
                        const double change = arrays[c + 1][e] - arrays[c][e];
                        expected[c] += change * change;
                    }
                std::vector<const double*> changed;
                for (int c = 1; c <= chains; ++c) changed.push_back(arrays[c].data());
                sweep_kernels(path).add_changes(image.data(), changed.data(), chains, count,
                                                sums.data());
                const std::string where = "path " + std::to_string(path) + " chains " +
                                          std::to_string(chains) + " count " +
                                          std::to_string(count);
                EXPECT_TRUE(same_bits(sums, expected)) << where;
                EXPECT_EQ(image, arrays[chains]) << where;
            }
}

TEST(TvRestorePipelined, DefaultEntryPointIsTheFastPath) {
    // tv_restore runs the pipeline on the best path; the job's case.
    const Band band = striped_band(64, 40, 2u);
    RestoreOptions options;
    options.progress = nullptr;
    options.max_iter = 15;
    options.tol = 0.0;
    restore_options_set_noise_model(&options, "L1");
    restore_options_set_lambda_map(&options, band.map.data(), band.width, band.height);
    std::vector<double> fast = band.f, plain = band.f;
    EXPECT_EQ(tv_restore(fast.data(), band.f.data(), 64, 40, 1, &options), 2);
    EXPECT_EQ(tv_restore_reference(plain.data(), band.f.data(), 64, 40, 1, &options), 2);
    EXPECT_TRUE(same_bits(fast, plain));
    EXPECT_TRUE(simd_path_supported(best_simd_path()));
}

}  // namespace
}  // namespace pelvane
