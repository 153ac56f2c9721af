#include "solver/tv_restore.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "solver/iteration_rules.h"
#include "solver/tv_restore_pipelined.h"
#include "solver/u_step_gauss_seidel.h"

namespace pelvane {

namespace {

const RestoreOptions kDefaultOptions{};

using WorkArray = std::unique_ptr<double[]>;

WorkArray allocate(std::size_t count) {
    return WorkArray(new (std::nothrow) double[count]);
}

// Element count of the image, or 0 when it (or the two-part work arrays)
// would not fit in memory addresses.
std::size_t element_count(int width, int height, int channels) {
    const std::uint64_t limit = PTRDIFF_MAX / (2 * sizeof(double));
    std::uint64_t n = static_cast<std::uint64_t>(width);
    if (n > limit / static_cast<std::uint64_t>(height)) return 0;
    n *= static_cast<std::uint64_t>(height);
    if (n > limit / static_cast<std::uint64_t>(channels)) return 0;
    n *= static_cast<std::uint64_t>(channels);
    return static_cast<std::size_t>(n);
}

}  // namespace

bool select_algorithm(const RestoreOptions& options, SolverAlgorithm* algorithm) {
    switch (options.noise_model) {
    case NOISE_GAUSSIAN:
        *algorithm = SolverAlgorithm{0, nullptr};
        return true;
    case NOISE_LAPLACE:
        *algorithm = SolverAlgorithm{1, z_step_laplace};
        return true;
    case NOISE_POISSON:
        *algorithm = SolverAlgorithm{1, z_step_poisson};
        return true;
    default:
        return false;
    }
}

namespace {

// The checks every entry point makes first, in the plain loop's order.
// Returns false when the solver must return 0 (a lambda map of another size
// among the causes); otherwise fills in the model and the element count.
bool check_arguments(const double* u, const double* f, int width, int height, int channels,
                     const RestoreOptions& opts, SolverAlgorithm* algorithm, std::size_t* n) {
    if (u == nullptr || f == nullptr || u == f || width <= 0 || height <= 0 || channels <= 0)
        return false;
    *n = element_count(width, height, channels);
    if (*n == 0) return false;
    if (!select_algorithm(opts, algorithm)) return false;
    if (opts.lambda_map != nullptr &&
        (opts.lambda_map_width != width || opts.lambda_map_height != height))
        return false;
    return true;
}

// The plain loop: d_step, one Gauss-Seidel sweep and the z-step, each a full
// pass over the image.
int reference_loop(double* u, const double* f, int width, int height, int channels,
                   const RestoreOptions& opts, const SolverAlgorithm& algorithm, std::size_t n) {
    const int use_z = algorithm.use_z;
    const double* lambda_map = opts.lambda_map;
    const double lambda = opts.lambda;
    const double gamma1 = opts.gamma1;
    const double gamma2 = opts.gamma2;
    const int max_iter = opts.max_iter;
    IterationRules rules(opts, u, width, height, channels, use_z);

    WorkArray d = allocate(2 * n);
    WorkArray dtilde = d ? allocate(2 * n) : nullptr;
    if (!d || !dtilde) return 0;
    WorkArray z, ztilde;
    if (use_z) {
        z = allocate(n);
        ztilde = z ? allocate(n) : nullptr;
        if (!z || !ztilde) return 0;
    }

    if (rules.data_is_answer(f, n)) return 1;

    std::fill(d.get(), d.get() + 2 * n, 0.0);
    std::fill(dtilde.get(), dtilde.get() + 2 * n, 0.0);
    if (use_z) {
        std::copy(u, u + n, z.get());
        std::copy(u, u + n, ztilde.get());
    }

    if (!rules.start()) return 2;

    // 64-bit so that a limit of INT_MAX cannot overflow the counter.
    for (long long i = 1; i <= max_iter; ++i) {
        d_step(d.get(), dtilde.get(), u, width, height, channels, gamma1);
        double s;
        if (use_z)
            s = u_step_gauss_seidel(u, ztilde.get(), dtilde.get(), nullptr, width, height,
                                    channels, gamma2, gamma1);
        else
            s = u_step_gauss_seidel(u, f, dtilde.get(), lambda_map, width, height, channels,
                                    lambda, gamma1);
        if (rules.converged(i, s)) return rules.finish(i);

        if (use_z)
            algorithm.z_step(z.get(), ztilde.get(), u, f, lambda_map, width, height, channels,
                             lambda, gamma2);

        if (!rules.keep_running(i)) return 2;
    }
    return rules.finish(static_cast<long long>(max_iter) + 1);
}

}  // namespace

int tv_restore_reference(double* u, const double* f, int width, int height, int channels,
                         const RestoreOptions* options) {
    const RestoreOptions& opts = options != nullptr ? *options : kDefaultOptions;
    SolverAlgorithm algorithm;
    std::size_t n = 0;
    if (!check_arguments(u, f, width, height, channels, opts, &algorithm, &n)) return 0;
    return reference_loop(u, f, width, height, channels, opts, algorithm, n);
}

int tv_restore_on_path(double* u, const double* f, int width, int height, int channels,
                       const RestoreOptions* options, SimdPath path, int depth, int block) {
    const RestoreOptions& opts = options != nullptr ? *options : kDefaultOptions;
    SolverAlgorithm algorithm;
    std::size_t n = 0;
    if (!check_arguments(u, f, width, height, channels, opts, &algorithm, &n)) return 0;
    const SweepKernels kernels = sweep_kernels(path);
    if (channels == 1 && kernels.sweep != nullptr) {
        const int result = tv_restore_pipelined(u, f, width, height, opts, kernels, depth, block);
        if (result >= 0) return result;
    }
    // More channels, an unsupported path or too little memory for the
    // pipeline: the plain loop, which needs less.
    return reference_loop(u, f, width, height, channels, opts, algorithm, n);
}

int tv_restore(double* u, const double* f, int width, int height, int channels,
               const RestoreOptions* options) {
    return tv_restore_on_path(u, f, width, height, channels, options, best_simd_path(),
                              PIPELINE_DEPTH, PIPELINE_BLOCK);
}

}  // namespace pelvane
