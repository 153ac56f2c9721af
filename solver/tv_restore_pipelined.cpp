#include "solver/tv_restore_pipelined.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "solver/iteration_rules.h"
#include "solver/work_buffer.h"

namespace pelvane {

namespace {

constexpr std::ptrdiff_t L = SWEEP_LANES;
constexpr std::ptrdiff_t MARGIN = SWEEP_MARGIN;
// The lags of the tiled wave (tv_restore_pipelined.h): a band reads the band
// above seven steps ahead, an iteration reads the u of the iteration before
// one step ahead.
constexpr std::ptrdiff_t BAND_LAG = L - 1;
constexpr std::ptrdiff_t ITERATION_LAG = 1;

class TiledSolve {
public:
    TiledSolve(double* u, const double* f, int width, int height, const RestoreOptions& options,
               const SweepKernels& kernels, int depth, int block)
        : u_(u), f_(f), width_(width), height_(height), options_(options), kernels_(kernels),
          depth_(depth), block_(block), bands_((height + L - 1) / L), steps_(width + L - 1),
          // Skewing works in groups of eight steps: whole groups everywhere.
          group_steps_((steps_ + L - 1) / L * L),
          vectors_(sweep_state_vectors(options.noise_model)),
          rules_(options, u, width, height, 1, options.noise_model == NOISE_GAUSSIAN ? 0 : 1) {}

    bool allocate_work() {
        const std::size_t bands = static_cast<std::size_t>(bands_);
        const std::size_t groups = static_cast<std::size_t>(group_steps_);
        u_slot_ = (groups + 2 * MARGIN) * L;
        state_band_ = groups * static_cast<std::size_t>(vectors_) * L;
        aux_band_ = groups * 2 * L;
        dty_band_ = groups + MARGIN;
        band_ = groups * L;
        band_image_ = static_cast<std::size_t>(L) * static_cast<std::size_t>(width_);
        if (state_band_ > SIZE_MAX / bands / (PIPELINE_MAX_DEPTH + 2)) return false;
        u_skewed_ = allocate_work_buffer(bands * u_slot_);
        state_ = allocate_work_buffer(bands * state_band_);
        aux_ = allocate_work_buffer(bands * aux_band_);
        dty_ = allocate_work_buffer(bands * dty_band_);
        if (depth_ > 1)
            checkpoints_ =
                allocate_work_buffer(static_cast<std::size_t>(depth_ - 1) * bands * band_);
        carry_ = allocate_work_buffer(static_cast<std::size_t>(depth_) * bands * 2 * L);
        sum_buffers_ = allocate_work_buffer(static_cast<std::size_t>(depth_) * band_image_);
        return u_skewed_ && state_ && aux_ && dty_ && (depth_ == 1 || checkpoints_) && carry_ &&
               sum_buffers_;
    }

    int run();

private:
    int rows(std::ptrdiff_t b) const {
        return static_cast<int>(std::min<std::ptrdiff_t>(L, height_ - L * b));
    }
    double* u_slot(std::ptrdiff_t b) const {
        return u_skewed_.get() + static_cast<std::size_t>(b) * u_slot_ + MARGIN * L;
    }
    double* state(std::ptrdiff_t b) const {
        return state_.get() + static_cast<std::size_t>(b) * state_band_;
    }
    double* aux(std::ptrdiff_t b) const {
        return aux_.get() + static_cast<std::size_t>(b) * aux_band_;
    }
    double* dty_row(std::ptrdiff_t b) const {
        return dty_.get() + static_cast<std::size_t>(b) * dty_band_;
    }
    // The checkpoint kept by the wave's p-th iteration (p >= 1): u before it.
    double* checkpoint(int p, std::ptrdiff_t b) const {
        return checkpoints_.get() +
               (static_cast<std::size_t>(p - 1) * static_cast<std::size_t>(bands_) +
                static_cast<std::size_t>(b)) * band_;
    }
    double* carry(int p, std::ptrdiff_t b) const {
        return carry_.get() +
               (static_cast<std::size_t>(p) * static_cast<std::size_t>(bands_) +
                static_cast<std::size_t>(b)) * 2 * L;
    }
    double* sum_buffer(int index) const {
        return sum_buffers_.get() + static_cast<std::size_t>(index) * band_image_;
    }
    template <class T>
    T* image_band(T* image, std::ptrdiff_t b) const {
        return image + L * b * static_cast<std::ptrdiff_t>(width_);
    }

    void init();
    void sweep_wave(int size);
    void sum_changes(int size, double* sums);
    void restore(int p, int size);
    int wave(long long first, int size);

    double* const u_;
    const double* const f_;
    const int width_, height_;
    const RestoreOptions& options_;
    const SweepKernels kernels_;
    const int depth_, block_;
    const std::ptrdiff_t bands_, steps_, group_steps_;
    const int vectors_;
    std::size_t u_slot_ = 0, state_band_ = 0, aux_band_ = 0, dty_band_ = 0, band_ = 0;
    std::size_t band_image_ = 0;

    WorkBuffer u_skewed_, state_, aux_, dty_, checkpoints_, carry_, sum_buffers_;
    SweepConstants constants_;
    IterationRules rules_;
};

// u, f and the weight into the skewed layout, the state to its start: d and
// dtilde zero, z and ztilde copies of u.
void TiledSolve::init() {
    // The margins of the u slots are read (by padding lanes) but never written.
    std::fill(u_skewed_.get(), u_skewed_.get() + static_cast<std::size_t>(bands_) * u_slot_, 0.0);
    std::fill(state_.get(), state_.get() + static_cast<std::size_t>(bands_) * state_band_, 0.0);
    std::fill(dty_.get(), dty_.get() + static_cast<std::size_t>(bands_) * dty_band_, 0.0);
    const bool gaussian = options_.noise_model == NOISE_GAUSSIAN;
    const double divisor = gaussian ? options_.gamma1 : options_.gamma2;
    const double fixed = options_.lambda / divisor;
    for (std::ptrdiff_t b = 0; b < bands_; ++b) {
        const int r = rows(b);
        kernels_.skew(image_band(u_, b), width_, r, width_, u_slot(b), L, false, 0.0);
        double* ax = aux(b);
        kernels_.skew(image_band(f_, b), width_, r, width_, ax, 2 * L, false, 0.0);
        if (options_.lambda_map != nullptr) {
            kernels_.skew(image_band(options_.lambda_map, b), width_, r, width_, ax + L, 2 * L,
                          true, divisor);
        } else {
            // Padding lanes may hold the weight too: nothing real reads them.
            for (std::ptrdiff_t t = 0; t < group_steps_; ++t)
                std::fill(ax + t * 2 * L + L, ax + t * 2 * L + 2 * L, fixed);
        }
        if (!gaussian)
            for (int part = 2; part <= 3; ++part)
                kernels_.skew(image_band(u_, b), width_, r, width_, state(b) + part * L,
                              vectors_ * L, false, 0.0);
    }
}

// Iterations 0 .. size - 1 of the wave over the whole image, tile by tile.
void TiledSolve::sweep_wave(int size) {
    const std::ptrdiff_t span =
        steps_ + BAND_LAG * (bands_ - 1) + ITERATION_LAG * static_cast<std::ptrdiff_t>(size - 1);
    for (std::ptrdiff_t tile = 0; tile < span; tile += block_) {
        for (std::ptrdiff_t s = 0; s < bands_ + size - 1; ++s) {
            const int p_low = static_cast<int>(std::max<std::ptrdiff_t>(0, s - bands_ + 1));
            const int p_high = static_cast<int>(std::min<std::ptrdiff_t>(size - 1, s));
            for (int p = p_low; p <= p_high; ++p) {
                const std::ptrdiff_t b = s - p;
                const std::ptrdiff_t offset = BAND_LAG * b + ITERATION_LAG * p;
                SweepBand band;
                band.begin = std::max<std::ptrdiff_t>(0, tile - offset);
                band.end = std::min<std::ptrdiff_t>(steps_, tile + block_ - offset);
                if (band.begin >= band.end) continue;
                band.width = width_;
                band.rows = rows(b);
                band.first_band = b == 0;
                band.last_band = b + 1 == bands_;
                band.u = u_slot(b);
                band.u_above = band.first_band ? band.u : u_slot(b - 1);
                band.u_below = band.last_band ? band.u : u_slot(b + 1);
                band.state = state(b);
                band.dty_row = dty_row(b);
                band.dty_row_above = band.first_band ? band.dty_row : dty_row(b - 1);
                band.aux = aux(b);
                // The wave's first iteration overwrites the u that u itself holds.
                band.checkpoint = p > 0 ? checkpoint(p, b) : nullptr;
                band.carry = carry(p, b);
                kernels_.sweep(band, constants_);
            }
        }
    }
}

// The sum of squared changes of each iteration of the wave, each in raster
// order as the plain loop adds them; leaves u holding the wave's last iterate.
void TiledSolve::sum_changes(int size, double* sums) {
    for (int p = 0; p < size; ++p) sums[p] = 0.0;
    const double* changed[PIPELINE_MAX_DEPTH];
    for (std::ptrdiff_t b = 0; b < bands_; ++b) {
        const int r = rows(b);
        // u after the wave's iteration p: the checkpoint of iteration p + 1,
        // or the skewed u for the last.
        for (int p = 0; p < size; ++p) {
            const double* skewed = p + 1 < size ? checkpoint(p + 1, b) : u_slot(b);
            kernels_.unskew(skewed, L, r, width_, sum_buffer(p), width_);
            changed[p] = sum_buffer(p);
        }
        const std::size_t count = static_cast<std::size_t>(r) * static_cast<std::size_t>(width_);
        kernels_.add_changes(image_band(u_, b), changed, size, count, sums);
    }
}

// Puts u back to its state after the wave's p-th iteration (sum_changes has
// left the last one's).
void TiledSolve::restore(int p, int size) {
    if (p + 1 == size) return;
    for (std::ptrdiff_t b = 0; b < bands_; ++b)
        kernels_.unskew(checkpoint(p + 1, b), L, rows(b), width_, image_band(u_, b), width_);
}

// Runs iterations first .. first + size - 1. Returns 0 to go on, else the
// result of tv_restore (the final call made).
int TiledSolve::wave(long long first, int size) {
    sweep_wave(size);
    double sums[PIPELINE_MAX_DEPTH];
    sum_changes(size, sums);
    for (int p = 0; p < size; ++p) {
        // Iteration i's test and callback, as in the plain loop; the
        // callback sees the wave's last iterate.
        const long long i = first + p;
        if (rules_.converged(i, sums[p])) {
            restore(p, size);
            return rules_.finish(i);
        }
        if (!rules_.keep_running(i)) {
            restore(p, size);
            return 2;
        }
    }
    return 0;
}

int TiledSolve::run() {
    const std::size_t n = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    if (rules_.data_is_answer(f_, n)) return 1;

    constants_.model = options_.noise_model;
    constants_.shrink_t = 1.0 / options_.gamma1;
    constants_.shrink_t2 = constants_.shrink_t * constants_.shrink_t;
    constants_.alpha = options_.gamma2 / options_.gamma1;
    constants_.denominator = constants_.alpha + 4.0;
    init();

    if (!rules_.start()) return 2;

    const long long max_iter = options_.max_iter;
    for (long long first = 1; first <= max_iter;) {
        const int size = static_cast<int>(std::min<long long>(depth_, max_iter - first + 1));
        const int result = wave(first, size);
        if (result != 0) return result;
        first += size;
    }
    return rules_.finish(max_iter + 1);
}

}  // namespace

int tv_restore_pipelined(double* u, const double* f, int width, int height,
                         const RestoreOptions& options, const SweepKernels& kernels, int depth,
                         int block) {
    depth = std::clamp(depth, 1, PIPELINE_MAX_DEPTH);
    block = std::max(block, 1);
    TiledSolve solve(u, f, width, height, options, kernels, depth, block);
    if (!solve.allocate_work()) return -1;
    return solve.run();
}

}  // namespace pelvane
