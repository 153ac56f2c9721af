#include "solver/restore_options.h"

#include <cstring>
#include <new>

namespace pelvane {

namespace {

struct NoiseModelName {
    const char* name;
    int code;
};

// Searched in this order; the first exact match wins.
const NoiseModelName kNoiseModelNames[] = {
    {"L2", NOISE_GAUSSIAN},      {"l2", NOISE_GAUSSIAN},
    {"Gaussian", NOISE_GAUSSIAN}, {"gaussian", NOISE_GAUSSIAN},
    {"L1", NOISE_LAPLACE},       {"l1", NOISE_LAPLACE},
    {"Laplace", NOISE_LAPLACE},  {"laplace", NOISE_LAPLACE},
    {"Laplacian", NOISE_LAPLACE}, {"laplacian", NOISE_LAPLACE},
    {"Poisson", NOISE_POISSON},  {"poisson", NOISE_POISSON},
};

}  // namespace

RestoreOptions* restore_options_new() {
    return new (std::nothrow) RestoreOptions;
}

void restore_options_free(RestoreOptions* options) {
    delete options;
}

void restore_options_set_lambda_map(RestoreOptions* options, const double* lambda_map,
                                    int width, int height) {
    if (options == nullptr) return;
    options->lambda_map = lambda_map;
    options->lambda_map_width = width;
    options->lambda_map_height = height;
}

void restore_options_set_max_iter(RestoreOptions* options, int max_iter) {
    if (options == nullptr) return;
    options->max_iter = max_iter;
}

void restore_options_set_tol(RestoreOptions* options, double tol) {
    if (options == nullptr) return;
    options->tol = tol;
}

void restore_options_set_progress(RestoreOptions* options, RestoreProgressFn progress,
                                  void* user_data) {
    if (options == nullptr) return;
    options->progress = progress;
    options->progress_user_data = user_data;
}

int restore_options_set_noise_model(RestoreOptions* options, const char* name) {
    if (options == nullptr) return 0;
    if (name == nullptr) {
        options->noise_model = NOISE_GAUSSIAN;
        return 1;
    }
    for (const NoiseModelName& entry : kNoiseModelNames) {
        if (std::strcmp(name, entry.name) == 0) {
            options->noise_model = entry.code;
            return 1;
        }
    }
    return 0;
}

}  // namespace pelvane
