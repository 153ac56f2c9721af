#include "solver/restore_options.h"

#include <gtest/gtest.h>

#include <string>

namespace pelvane {
namespace {

TEST(RestoreOptions, FreshRecordHoldsTheDefaults) {
    RestoreOptions* options = restore_options_new();
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->lambda, 25.0);
    EXPECT_EQ(options->lambda_map, nullptr);
    EXPECT_EQ(options->lambda_map_width, 0);
    EXPECT_EQ(options->lambda_map_height, 0);
    EXPECT_EQ(options->tol, 0.001);
    EXPECT_EQ(options->gamma1, 5.0);
    EXPECT_EQ(options->gamma2, 8.0);
    EXPECT_EQ(options->max_iter, 100);
    EXPECT_EQ(options->noise_model, NOISE_GAUSSIAN);
    EXPECT_EQ(options->progress, nullptr);  // the solver prints nothing of its own
    EXPECT_EQ(options->progress_user_data, nullptr);
    restore_options_free(options);
}

TEST(RestoreOptions, SettersStoreWithoutChecksAndIgnoreANullRecord) {
    RestoreOptions* options = restore_options_new();
    ASSERT_NE(options, nullptr);
    const double map[6] = {1, 2, 3, 4, 5, 6};
    restore_options_set_lambda_map(options, map, 7, -3);  // dimensions are not checked here
    EXPECT_EQ(options->lambda_map, map);
    EXPECT_EQ(options->lambda_map_width, 7);
    EXPECT_EQ(options->lambda_map_height, -3);
    restore_options_set_lambda_map(options, nullptr, 0, 0);
    EXPECT_EQ(options->lambda_map, nullptr);

    restore_options_set_max_iter(options, 0);
    EXPECT_EQ(options->max_iter, 0);
    restore_options_set_max_iter(options, -4);
    EXPECT_EQ(options->max_iter, -4);

    restore_options_set_tol(options, 1e-7);
    EXPECT_EQ(options->tol, 1e-7);

    int marker = 0;
    restore_options_set_progress(options, nullptr, &marker);
    EXPECT_EQ(options->progress, nullptr);
    EXPECT_EQ(options->progress_user_data, &marker);
    restore_options_free(options);

    // A null record is ignored by every operation.
    restore_options_set_lambda_map(nullptr, map, 2, 3);
    restore_options_set_max_iter(nullptr, 5);
    restore_options_set_tol(nullptr, 0.5);
    restore_options_set_progress(nullptr, [](int, int, double, const double*, int, int, int, void*) { return 1; },
                                 nullptr);
    restore_options_free(nullptr);
    EXPECT_EQ(restore_options_set_noise_model(nullptr, "L1"), 0);
}

TEST(RestoreOptions, NoiseModelNamesMatchExactly) {
    RestoreOptions* options = restore_options_new();
    ASSERT_NE(options, nullptr);
    const struct {
        const char* name;
        int code;
    } known[] = {{"L2", 0},      {"l2", 0},        {"Gaussian", 0},  {"gaussian", 0},
                 {"L1", 1},      {"l1", 1},        {"Laplace", 1},   {"laplace", 1},
                 {"Laplacian", 1}, {"laplacian", 1}, {"Poisson", 2}, {"poisson", 2}};
    for (const auto& entry : known) {
        options->noise_model = entry.code == 2 ? 0 : 2;  // something else first
        EXPECT_EQ(restore_options_set_noise_model(options, entry.name), 1) << entry.name;
        EXPECT_EQ(options->noise_model, entry.code) << entry.name;
    }

    restore_options_set_noise_model(options, "L1");
    for (const char* unknown : {"LAPLACE", "Lap lace", "", "L1 ", "GAUSSIAN", "poisson2"}) {
        EXPECT_EQ(restore_options_set_noise_model(options, unknown), 0) << '"' << unknown << '"';
        EXPECT_EQ(options->noise_model, NOISE_LAPLACE) << '"' << unknown << '"';
    }

    EXPECT_EQ(restore_options_set_noise_model(options, nullptr), 1);
    EXPECT_EQ(options->noise_model, NOISE_GAUSSIAN);
    restore_options_free(options);
}

}  // namespace
}  // namespace pelvane
