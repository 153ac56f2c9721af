#include "solver/tv_restore_pipelined.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "solver/work_buffer.h"

namespace pelvane {

namespace {

constexpr std::ptrdiff_t L = SWEEP_LANES;
constexpr std::ptrdiff_t MARGIN = SWEEP_MARGIN;

// The raster-order sum of a band's squares (as SquaresWalker, all at once).
void add_squares(const double* squares, int rows, int width, double* sum) {
    double s = *sum;
    for (std::ptrdiff_t j = 0; j < rows; ++j)
        for (std::ptrdiff_t x = 0; x < width; ++x) s += squares[(x + j) * L + j];
    *sum = s;
}

class Pipeline {
public:
    Pipeline(double* u, const double* f, int width, int height, const RestoreOptions& options,
             const SweepKernels& kernels, int depth)
        : u_(u), f_(f), width_(width), height_(height), options_(options), kernels_(kernels),
          depth_(depth), bands_((height + L - 1) / L), steps_(width + L - 1),
          slot_steps_(steps_ + 2 * MARGIN), vectors_(sweep_state_vectors(options.noise_model)),
          ring_(depth + 2) {}

    bool allocate_work() {
        const std::size_t bands = static_cast<std::size_t>(bands_);
        state_band_ = static_cast<std::size_t>(slot_steps_) * vectors_ * L;
        u_slot_ = static_cast<std::size_t>(slot_steps_) * L;
        // Skewing works in groups of eight steps: whole groups everywhere.
        const std::size_t group_steps = static_cast<std::size_t>((steps_ + L - 1) / L * L);
        aux_slot_ = group_steps * 2 * L;
        band_ = group_steps * L;
        if (state_band_ > SIZE_MAX / bands || band_ > SIZE_MAX / bands / PIPELINE_MAX_DEPTH)
            return false;
        state_ = allocate_work_buffer(bands * state_band_);
        if (depth_ > 1)
            checkpoints_ =
                allocate_work_buffer(static_cast<std::size_t>(depth_ - 1) * bands * band_);
        ring_u_ = allocate_work_buffer(static_cast<std::size_t>(ring_) * u_slot_);
        ring_aux_ = allocate_work_buffer(static_cast<std::size_t>(ring_) * aux_slot_);
        squares_ = allocate_work_buffer(2 * band_);
        if (!state_ || (depth_ > 1 && !checkpoints_) || !ring_u_ || !ring_aux_ || !squares_)
            return false;
        // The margins of the u slots are read (by padding lanes) but never
        // written.
        std::fill(ring_u_.get(), ring_u_.get() + static_cast<std::size_t>(ring_) * u_slot_, 0.0);
        return true;
    }

    int run();

private:
    int rows(std::ptrdiff_t b) const {
        return static_cast<int>(std::min<std::ptrdiff_t>(L, height_ - L * b));
    }
    double* state(std::ptrdiff_t b) const {
        return state_.get() + static_cast<std::size_t>(b) * state_band_ + MARGIN * vectors_ * L;
    }
    double* u_slot(std::ptrdiff_t b) const {
        return ring_u_.get() + static_cast<std::size_t>(b % ring_) * u_slot_ + MARGIN * L;
    }
    double* aux(std::ptrdiff_t b) const {
        return ring_aux_.get() + static_cast<std::size_t>(b % ring_) * aux_slot_;
    }
    // The checkpoint of u after `iteration`, band b.
    double* checkpoint(long long iteration, std::ptrdiff_t b) const {
        const std::size_t slot = static_cast<std::size_t>(iteration % (depth_ - 1));
        return checkpoints_.get() + (slot * static_cast<std::size_t>(bands_) + b) * band_;
    }
    const double* image_row(const double* image, std::ptrdiff_t b, std::ptrdiff_t j) const {
        return image + (L * b + j) * static_cast<std::ptrdiff_t>(width_);
    }

    void init_state();
    void enter(std::ptrdiff_t b);
    void write_back(const double* skewed, std::ptrdiff_t b);
    SweepBand band_sweep(std::ptrdiff_t b, int p, long long iteration);
    void restore(long long iteration, int p, int wave_size);
    int wave(long long first, int size);

    double* const u_;
    const double* const f_;
    const int width_, height_;
    const RestoreOptions& options_;
    const SweepKernels kernels_;
    const int depth_;
    const std::ptrdiff_t bands_, steps_, slot_steps_;
    const int vectors_;
    const std::ptrdiff_t ring_;
    std::size_t state_band_ = 0, u_slot_ = 0, aux_slot_ = 0, band_ = 0;

    WorkBuffer state_, checkpoints_, ring_u_, ring_aux_, squares_;
    SweepConstants constants_;
    double fnorm_ = 0.0;
    double delta_ = 0.0;

    // Wave bookkeeping.
    double sums_[PIPELINE_MAX_DEPTH] = {};
    std::ptrdiff_t swept_[PIPELINE_MAX_DEPTH] = {};  // last band swept per iteration of the wave
    std::ptrdiff_t entered_ = 0;  // bands [left_, entered_) are in the ring
    std::ptrdiff_t left_ = 0;
    PendingSquares pending_;  // the squares of the last sweep
    long long sweeps_ = 0;
};

void Pipeline::init_state() {
    std::fill(state_.get(), state_.get() + static_cast<std::size_t>(bands_) * state_band_, 0.0);
    if (vectors_ == 4) return;
    // z and ztilde start as copies of u.
    for (std::ptrdiff_t b = 0; b < bands_; ++b)
        for (int part = 4; part <= 5; ++part)
            kernels_.skew(image_row(u_, b, 0), width_, rows(b), width_, state(b) + part * L,
                          vectors_ * L, false, 0.0);
}

// Copies band b of u, f and the weight into its ring slot, skewed; padding
// lanes hold zeros.
void Pipeline::enter(std::ptrdiff_t b) {
    kernels_.skew(image_row(u_, b, 0), width_, rows(b), width_, u_slot(b), L, false, 0.0);
    double* ax = aux(b);
    kernels_.skew(image_row(f_, b, 0), width_, rows(b), width_, ax, 2 * L, false, 0.0);
    const bool gaussian = options_.noise_model == NOISE_GAUSSIAN;
    const double divisor = gaussian ? options_.gamma1 : options_.gamma2;
    if (options_.lambda_map != nullptr) {
        kernels_.skew(image_row(options_.lambda_map, b, 0), width_, rows(b), width_, ax + L,
                      2 * L, true, divisor);
    } else {
        // Padding lanes may hold the weight too: nothing real reads them.
        const double fixed = options_.lambda / divisor;
        for (std::size_t t = 0; t < aux_slot_ / (2 * L); ++t)
            std::fill(ax + t * 2 * L + L, ax + t * 2 * L + 2 * L, fixed);
    }
    entered_ = b + 1;
}

void Pipeline::write_back(const double* skewed, std::ptrdiff_t b) {
    kernels_.unskew(skewed, L, rows(b), width_, u_ + L * b * static_cast<std::ptrdiff_t>(width_),
                    width_);
}

// The sweep of band b by iteration `iteration`, the wave's p-th.
SweepBand Pipeline::band_sweep(std::ptrdiff_t b, int p, long long iteration) {
    SweepBand band;
    band.width = width_;
    band.rows = rows(b);
    band.first_band = b == 0;
    band.last_band = b + 1 == bands_;
    band.u = u_slot(b);
    band.u_above = band.first_band ? band.u : u_slot(b - 1);
    band.u_below = band.last_band ? band.u : u_slot(b + 1);
    band.state = state(b);
    band.state_above = band.first_band ? band.state : state(b - 1);
    band.aux = aux(b);
    // The squares of the sweep before, still in cache, are summed during this
    // one: each iteration's sum takes its bands in order, as every band of an
    // iteration is swept after the previous sweep has been summed.
    band.squares = squares_.get() + static_cast<std::size_t>(sweeps_ % 2) * band_;
    band.pending = pending_;
    // The first iteration of a wave overwrites a decided state: no copy.
    band.checkpoint = p > 0 ? checkpoint(iteration - 1, b) : nullptr;
    return band;
}

// Puts u back to its state after `iteration`, the wave's p-th: from the
// checkpoint where the next iteration has swept a band, from the ring where
// the band is still there, and as it is where the band has left the ring
// (then no later iteration touched it).
void Pipeline::restore(long long iteration, int p, int wave_size) {
    for (std::ptrdiff_t b = 0; b < bands_; ++b) {
        if (p + 1 < wave_size && b <= swept_[p + 1])
            write_back(checkpoint(iteration, b), b);
        else if (b >= left_ && b < entered_)
            write_back(u_slot(b), b);
    }
}

// Runs iterations first .. first + size - 1. Returns 0 to go on, else the
// result of tv_restore (the final call made).
int Pipeline::wave(long long first, int size) {
    const int use_z = options_.noise_model == NOISE_GAUSSIAN ? 0 : 1;
    const RestoreProgressFn progress = options_.progress;
    for (int p = 0; p < size; ++p) {
        sums_[p] = 0.0;
        swept_[p] = -1;
    }
    entered_ = left_ = 0;
    enter(0);
    for (std::ptrdiff_t s = 0; s <= bands_ + size - 2; ++s) {
        if (s + 1 < bands_) enter(s + 1);
        // Iteration first + p sweeps band s - p, from the deepest band up.
        const int p_low = static_cast<int>(std::max<std::ptrdiff_t>(0, s - bands_ + 1));
        const int p_high = static_cast<int>(std::min<std::ptrdiff_t>(size - 1, s));
        for (int p = p_low; p <= p_high; ++p) {
            const std::ptrdiff_t b = s - p;
            const long long i = first + p;
            const SweepBand band = band_sweep(b, p, i);
            kernels_.sweep(band, constants_);
            ++sweeps_;
            pending_ = PendingSquares{band.squares, band.rows, &sums_[p]};
            swept_[p] = b;
            if (b + 1 < bands_) continue;

            // Iteration i is complete: its test and callback, as in the plain loop.
            add_squares(band.squares, band.rows, width_, &sums_[p]);
            pending_ = PendingSquares{};
            delta_ = std::sqrt(sums_[p]) / fnorm_;
            if (i >= use_z + 2 && (delta_ < options_.tol || std::isnan(delta_))) {
                restore(i, p, size);
                if (progress != nullptr)
                    progress(1, static_cast<int>(i), delta_, u_, width_, height_, 1,
                             options_.progress_user_data);
                return 1;
            }
            if (progress != nullptr &&
                progress(0, static_cast<int>(i), delta_, u_, width_, height_, 1,
                         options_.progress_user_data) == 0) {
                restore(i, p, size);
                return 2;
            }
        }
        // A band leaves once the wave's last iteration has swept it and the
        // band below it (which reads it as the band above).
        if (s - size >= 0) {
            write_back(u_slot(s - size), s - size);
            left_ = s - size + 1;
        }
    }
    for (std::ptrdiff_t b = left_; b < bands_; ++b) write_back(u_slot(b), b);
    left_ = bands_;
    return 0;
}

int Pipeline::run() {
    const std::size_t n = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    double sum_f2 = 0.0;
    for (std::size_t e = 0; e < n; ++e) sum_f2 += f_[e] * f_[e];
    fnorm_ = std::sqrt(sum_f2);
    if (fnorm_ == 0.0 || std::isnan(fnorm_)) {
        std::copy(f_, f_ + n, u_);
        return 1;
    }

    const double tol = options_.tol;
    delta_ = tol > 0.0 ? tol * 1000.0 : 1000.0;
    constants_.model = options_.noise_model;
    constants_.shrink_t = 1.0 / options_.gamma1;
    constants_.shrink_t2 = constants_.shrink_t * constants_.shrink_t;
    constants_.alpha = options_.gamma2 / options_.gamma1;
    constants_.denominator = constants_.alpha + 4.0;
    init_state();

    const RestoreProgressFn progress = options_.progress;
    void* const user_data = options_.progress_user_data;
    if (progress != nullptr && progress(0, 0, delta_, u_, width_, height_, 1, user_data) == 0)
        return 2;

    const long long max_iter = options_.max_iter;
    for (long long first = 1; first <= max_iter;) {
        const int size = static_cast<int>(std::min<long long>(depth_, max_iter - first + 1));
        const int result = wave(first, size);
        if (result != 0) return result;
        first += size;
    }
    if (progress != nullptr)
        progress(2, static_cast<int>(max_iter), delta_, u_, width_, height_, 1, user_data);
    return 2;
}

}  // namespace

int tv_restore_pipelined(double* u, const double* f, int width, int height,
                         const RestoreOptions& options, const SweepKernels& kernels, int depth) {
    depth = std::clamp(depth, 1, PIPELINE_MAX_DEPTH);
    Pipeline pipeline(u, f, width, height, options, kernels, depth);
    if (!pipeline.allocate_work()) return -1;
    return pipeline.run();
}

}  // namespace pelvane
