#pragma once

namespace pelvane {

// Progress callback of tv_restore: state 0 running, 1 converged, 2 limit
// reached; returning 0 from a running call stops the solver.
using RestoreProgressFn = int (*)(int state, int iteration, double delta, const double* u,
                                  int width, int height, int channels, void* user_data);

enum NoiseModel { NOISE_GAUSSIAN = 0, NOISE_LAPLACE = 1, NOISE_POISSON = 2 };

// Everything tv_restore takes beyond its images. The record borrows
// lambda_map: the caller keeps it alive until the solver returns.
struct RestoreOptions {
    double lambda = 25.0;                // fidelity weight where no map is set
    const double* lambda_map = nullptr;  // one weight per pixel, shared by all channels
    int lambda_map_width = 0;
    int lambda_map_height = 0;
    double tol = 0.001;                  // stop when the relative change of u falls below
    double gamma1 = 5.0;                 // penalty of the split d = grad u
    double gamma2 = 8.0;                 // penalty of the split z = u (Laplace, Poisson)
    int max_iter = 100;
    int noise_model = NOISE_GAUSSIAN;
    RestoreProgressFn progress = nullptr;  // may stay null: the solver itself prints nothing
    void* progress_user_data = nullptr;
};

// A record holding the defaults above, or null when it cannot be allocated.
RestoreOptions* restore_options_new();

// Releases the record (null: nothing); the lambda map is the caller's.
void restore_options_free(RestoreOptions* options);

// The setters store their values without checks; a null record ignores them.
// A null map removes the map, so that lambda applies everywhere.
void restore_options_set_lambda_map(RestoreOptions* options, const double* lambda_map,
                                    int width, int height);
void restore_options_set_max_iter(RestoreOptions* options, int max_iter);
void restore_options_set_tol(RestoreOptions* options, double tol);
void restore_options_set_progress(RestoreOptions* options, RestoreProgressFn progress,
                                  void* user_data);

// Chooses the noise model by name ("L2", "l1", "Laplace", "poisson", ...;
// exact, case-sensitive). A null name selects Gaussian. Returns 1 on success;
// 0 for a null record or an unknown name, which leaves the model unchanged.
int restore_options_set_noise_model(RestoreOptions* options, const char* name);

}  // namespace pelvane
