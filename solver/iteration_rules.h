#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "solver/restore_options.h"

namespace pelvane {

// How a solve of tv_restore starts and when it stops, for the plain loop
// (tv_restore.cpp) and the pipelined path (tv_restore_pipelined.cpp) alike,
// so that both measure the same changes, stop at the same iteration and make
// the same callbacks:
//
//   if (rules.data_is_answer(f, n)) return 1;
//   if (!rules.start()) return 2;
//   for (i = 1; i <= max_iter; ++i) {
//       ... one iteration, s its sum of squared changes of u ...
//       if (rules.converged(i, s)) return rules.finish(i);
//       if (!rules.keep_running(i)) return 2;
//   }
//   return rules.finish(max_iter + 1);
//
// The callbacks see u as it is when they are made.
class IterationRules {
public:
    // use_z: 1 when the noise model splits off z = u, else 0.
    IterationRules(const RestoreOptions& options, double* u, int width, int height,
                   int channels, int use_z)
        : options_(options), u_(u), width_(width), height_(height), channels_(channels),
          use_z_(use_z),
          // What the first callback shows, before any iteration: far above
          // the tolerance.
          delta_(options.tol > 0.0 ? options.tol * 1000.0 : 1000.0) {}

    // Measures f (the square root of the sum of its n squares, in element
    // order), against which each change of u is taken. When that norm is 0
    // or not a number nothing can measure the change of u: the data is the
    // answer, copied into u, and the solve ends with 1 and no callback.
    bool data_is_answer(const double* f, std::size_t n)
    {
        double sum_f2 = 0.0;
        for (std::size_t e = 0; e < n; ++e) sum_f2 += f[e] * f[e];
        fnorm_ = std::sqrt(sum_f2);
        if (fnorm_ != 0.0 && !std::isnan(fnorm_)) return false;
        std::copy(f, f + n, u_);
        return true;
    }

    // The call before the first iteration (state 0, iteration 0); false
    // when it stops the solve, which then ends with 2.
    bool start() const { return keep_running(0); }

    // Whether iteration i (from 1), whose squared changes of u sum to
    // sum_of_squares, ends the solve. The split variables need a couple of
    // sweeps before the change of u means anything, hence no test in the
    // first iterations (one more with z split off).
    bool converged(long long i, double sum_of_squares)
    {
        delta_ = std::sqrt(sum_of_squares) / fnorm_;
        return i >= use_z_ + 2 && (delta_ < options_.tol || std::isnan(delta_));
    }

    // The call after iteration i has not converged (state 0); false when it
    // stops the solve, which then ends with 2.
    bool keep_running(long long i) const
    {
        return options_.progress == nullptr ||
               options_.progress(0, static_cast<int>(i), delta_, u_, width_, height_, channels_,
                                 options_.progress_user_data) != 0;
    }

    // The last call and the result: 1 when iteration i converged, 2 when i
    // is past the limit (the call then names the limit).
    int finish(long long i) const
    {
        const int result = i > options_.max_iter ? 2 : 1;
        if (options_.progress != nullptr) {
            const int last = static_cast<int>(std::min<long long>(i, options_.max_iter));
            options_.progress(result, last, delta_, u_, width_, height_, channels_,
                              options_.progress_user_data);
        }
        return result;
    }

private:
    const RestoreOptions& options_;
    double* const u_;
    const int width_, height_, channels_;
    const int use_z_;
    double fnorm_ = 0.0;
    double delta_;
};

}  // namespace pelvane
