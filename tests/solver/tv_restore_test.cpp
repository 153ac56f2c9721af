#include "solver/tv_restore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace pelvane {
namespace {

struct Call {
    int state;
    int iteration;
    double delta;
};

// Records every progress call; stops the solver at call number stop_at.
struct Recorder {
    std::vector<Call> calls;
    int stop_at = -1;
};

int record(int state, int iteration, double delta, const double*, int, int, int, void* data) {
    auto* recorder = static_cast<Recorder*>(data);
    recorder->calls.push_back({state, iteration, delta});
    return static_cast<int>(recorder->calls.size()) - 1 == recorder->stop_at ? 0 : 1;
}

RestoreOptions recording(Recorder& recorder, int model = NOISE_GAUSSIAN) {
    RestoreOptions options;
    options.progress = record;
    options.progress_user_data = &recorder;
    options.noise_model = model;
    return options;
}

// A smooth 8 x 10 test image with values in 0..1.
std::vector<double> smooth_image(int n = 80) {
    std::vector<double> image(n);
    for (int e = 0; e < n; ++e) image[e] = 0.5 + 0.4 * std::sin(0.37 * e);
    return image;
}

TEST(TvRestore, RefusesBadArgumentsWithoutTouchingU) {
    std::vector<double> u = smooth_image(), f = smooth_image();
    const auto before = u;
    Recorder recorder;
    RestoreOptions options = recording(recorder);
    EXPECT_EQ(tv_restore(nullptr, f.data(), 8, 10, 1, &options), 0);
    EXPECT_EQ(tv_restore(u.data(), nullptr, 8, 10, 1, &options), 0);
    EXPECT_EQ(tv_restore(u.data(), u.data(), 8, 10, 1, &options), 0);
    EXPECT_EQ(tv_restore(u.data(), f.data(), 0, 10, 1, &options), 0);
    EXPECT_EQ(tv_restore(u.data(), f.data(), 8, -1, 1, &options), 0);
    EXPECT_EQ(tv_restore(u.data(), f.data(), 8, 10, 0, &options), 0);
    options.noise_model = 3;
    EXPECT_EQ(tv_restore(u.data(), f.data(), 8, 10, 1, &options), 0);
    EXPECT_EQ(u, before);
    EXPECT_TRUE(recorder.calls.empty());
}

TEST(TvRestore, LambdaMapOfTheWrongSizeIsReported) {
    std::vector<double> u = smooth_image(), f = smooth_image(), map(80, 1.0);
    const auto before = u;
    RestoreOptions options;
    restore_options_set_lambda_map(&options, map.data(), 10, 8);
    testing::internal::CaptureStderr();
    const int result = tv_restore(u.data(), f.data(), 8, 10, 1, &options);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // the solver prints nothing
    EXPECT_EQ(result, 0);
    EXPECT_EQ(u, before);
}

TEST(TvRestore, ZeroDataIsCopiedWithoutProgressCalls) {
    std::vector<double> u = smooth_image(), f(80, 0.0);
    Recorder recorder;
    RestoreOptions options = recording(recorder, NOISE_LAPLACE);
    EXPECT_EQ(tv_restore(u.data(), f.data(), 8, 10, 1, &options), 1);
    EXPECT_EQ(u, f);
    EXPECT_TRUE(recorder.calls.empty());
}

TEST(TvRestore, NoIterationsGiveTheStartAndLimitCalls) {
    for (const int max_iter : {0, -3}) {
        std::vector<double> u = smooth_image(), f = smooth_image(80);
        f[5] += 1.0;
        const auto before = u;
        Recorder recorder;
        RestoreOptions options = recording(recorder);
        options.max_iter = max_iter;
        EXPECT_EQ(tv_restore(u.data(), f.data(), 8, 10, 1, &options), 2);
        ASSERT_EQ(recorder.calls.size(), 2u);
        EXPECT_EQ(recorder.calls[0].state, 0);
        EXPECT_EQ(recorder.calls[0].iteration, 0);
        EXPECT_EQ(recorder.calls[0].delta, 1.0);  // tol 0.001 * 1000
        EXPECT_EQ(recorder.calls[1].state, 2);
        EXPECT_EQ(recorder.calls[1].iteration, max_iter);
        EXPECT_EQ(recorder.calls[1].delta, 1.0);
        EXPECT_EQ(u, before);
    }
}

TEST(TvRestore, ConvergesNoEarlierThanTheSplitAllows) {
    // u = f and constant: the first sweep already changes nothing to speak
    // of, yet the test waits for iteration 2 (Gaussian) or 3 (with z).
    for (const int model : {NOISE_GAUSSIAN, NOISE_LAPLACE, NOISE_POISSON}) {
        std::vector<double> u(80, 0.5), f(80, 0.5);
        Recorder recorder;
        RestoreOptions options = recording(recorder, model);
        EXPECT_EQ(tv_restore(u.data(), f.data(), 8, 10, 1, &options), 1) << model;
        const int first = model == NOISE_GAUSSIAN ? 2 : 3;
        ASSERT_EQ(recorder.calls.size(), static_cast<std::size_t>(first + 1)) << model;
        for (int i = 0; i < first; ++i) {
            EXPECT_EQ(recorder.calls[i].state, 0);
            EXPECT_EQ(recorder.calls[i].iteration, i);
        }
        EXPECT_LT(recorder.calls[1].delta, options.tol);
        EXPECT_EQ(recorder.calls[first].state, 1);
        EXPECT_EQ(recorder.calls[first].iteration, first);
    }
}

TEST(TvRestore, CallbackStopsTheSolverWithoutAFinalCall) {
    std::vector<double> u = smooth_image(), f = smooth_image();
    f[12] = 3.0;
    const auto before = u;
    Recorder at_once;
    at_once.stop_at = 0;
    RestoreOptions options = recording(at_once, NOISE_LAPLACE);
    EXPECT_EQ(tv_restore(u.data(), f.data(), 8, 10, 1, &options), 2);
    EXPECT_EQ(at_once.calls.size(), 1u);
    EXPECT_EQ(u, before);

    Recorder later;
    later.stop_at = 3;
    options = recording(later, NOISE_LAPLACE);
    options.tol = 0.0;
    EXPECT_EQ(tv_restore(u.data(), f.data(), 8, 10, 1, &options), 2);
    ASSERT_EQ(later.calls.size(), 4u);
    EXPECT_EQ(later.calls[3].state, 0);
    EXPECT_EQ(later.calls[3].iteration, 3);
    EXPECT_NE(u, before);
}

TEST(TvRestore, LimitReachedReportsTheLastIterate) {
    std::vector<double> u(80, 0.0), f = smooth_image();
    Recorder recorder;
    RestoreOptions options = recording(recorder);
    options.tol = 0.0;
    options.max_iter = 7;
    EXPECT_EQ(tv_restore(u.data(), f.data(), 8, 10, 1, &options), 2);
    ASSERT_EQ(recorder.calls.size(), 9u);
    EXPECT_EQ(recorder.calls[8].state, 2);
    EXPECT_EQ(recorder.calls[8].iteration, 7);
    EXPECT_EQ(recorder.calls[8].delta, recorder.calls[7].delta);
    EXPECT_GT(recorder.calls[7].delta, 0.0);
}

TEST(TvRestore, NullOptionsUseTheDefaults) {
    std::vector<double> f = smooth_image(), u_null(80, 0.0), u_fresh(80, 0.0);
    testing::internal::CaptureStderr();
    const int result_null = tv_restore(u_null.data(), f.data(), 8, 10, 1, nullptr);
    const std::string lines_null = testing::internal::GetCapturedStderr();

    RestoreOptions* fresh = restore_options_new();
    testing::internal::CaptureStderr();
    const int result_fresh = tv_restore(u_fresh.data(), f.data(), 8, 10, 1, fresh);
    const std::string lines_fresh = testing::internal::GetCapturedStderr();
    restore_options_free(fresh);

    EXPECT_EQ(result_null, result_fresh);
    EXPECT_EQ(u_null, u_fresh);
    EXPECT_EQ(lines_null, lines_fresh);
    EXPECT_EQ(lines_null, "");  // the solver prints nothing of its own
}

TEST(TvRestore, UniformLambdaMapEqualsTheScalarWeight) {
    for (const int model : {NOISE_GAUSSIAN, NOISE_LAPLACE}) {
        const int w = 6, h = 5, c = 2, n = w * h * c;
        std::vector<double> f(n), map(w * h, 3.0);
        for (int e = 0; e < n; ++e) f[e] = 0.5 + 0.5 * std::cos(0.9 * e);
        std::vector<double> u_map(n, 0.2), u_scalar(n, 0.2);
        RestoreOptions options;
        options.progress = nullptr;
        options.noise_model = model;
        options.lambda = 3.0;
        tv_restore(u_scalar.data(), f.data(), w, h, c, &options);
        restore_options_set_lambda_map(&options, map.data(), w, h);
        options.lambda = 1e9;  // ignored where a map is set
        tv_restore(u_map.data(), f.data(), w, h, c, &options);
        EXPECT_EQ(u_map, u_scalar) << model;
    }
}

TEST(TvRestore, L1ModelFillsAZeroWeightHoleFromItsSurroundings) {
    // Left half 0.2, right half 0.8; a hole of weight 0 in the left half
    // starts at 2.0. The total variation fills it with the left value and
    // keeps the edge.
    const int w = 20, h = 12, n = w * h;
    std::vector<double> f(n), map(n, 1000.0);
    for (int e = 0; e < n; ++e) f[e] = e % w < 10 ? 0.2 : 0.8;
    for (int y = 4; y < 8; ++y)
        for (int x = 3; x < 6; ++x) {
            f[x + w * y] = 2.0;
            map[x + w * y] = 0.0;
        }
    std::vector<double> u = f;
    RestoreOptions options;
    options.progress = nullptr;
    options.noise_model = NOISE_LAPLACE;
    options.tol = 1e-9;
    options.max_iter = 3000;
    restore_options_set_lambda_map(&options, map.data(), w, h);
    EXPECT_EQ(tv_restore(u.data(), f.data(), w, h, 1, &options), 1);
    for (int y = 4; y < 8; ++y)
        for (int x = 3; x < 6; ++x) EXPECT_NEAR(u[x + w * y], 0.2, 0.01) << x << "," << y;
    EXPECT_NEAR(u[9 + w * 2], 0.2, 0.01);
    EXPECT_NEAR(u[10 + w * 2], 0.8, 0.01);
}

TEST(TvRestore, OnePixelWideImageIsRestored) {
    std::vector<double> f = {0.1, 0.1, 0.9, 0.1, 0.1, 0.1}, u = f;
    RestoreOptions options;
    options.progress = nullptr;
    options.lambda = 1.0;
    EXPECT_NE(tv_restore(u.data(), f.data(), 1, 6, 1, &options), 0);
    for (double v : u) EXPECT_TRUE(std::isfinite(v));
    EXPECT_LT(u[2], 0.9);  // the spike is smoothed down
}

}  // namespace
}  // namespace pelvane
