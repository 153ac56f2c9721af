#include "regression/date_combination.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "regression/pixel_status.h"

namespace pelvane {

namespace {

bool predicted(unsigned char status, unsigned char spatial_status)
{
    return (status >= PIXEL_SIMILAR_FIT && status <= PIXEL_RATIO_FIT) || status == spatial_status;
}

// Solves a x = 1 for the n x n matrix in `a` (row after row, n + 1 columns:
// the last holds the right-hand side) by Gaussian elimination with partial
// pivoting; false when a pivot vanishes.
bool solve_for_ones(double* a, int n, double* x)
{
    const int cols = n + 1;
    for (int r = 0; r < n; ++r)
        a[r * cols + n] = 1.0;
    for (int k = 0; k < n; ++k) {
        int pivot = k;
        for (int r = k + 1; r < n; ++r)
            if (std::fabs(a[r * cols + k]) > std::fabs(a[pivot * cols + k]))
                pivot = r;
        if (!(std::fabs(a[pivot * cols + k]) > 0.0))
            return false;
        if (pivot != k)
            for (int c = 0; c < cols; ++c)
                std::swap(a[k * cols + c], a[pivot * cols + c]);
        for (int r = k + 1; r < n; ++r) {
            const double f = a[r * cols + k] / a[k * cols + k];
            for (int c = k; c < cols; ++c)
                a[r * cols + c] -= f * a[k * cols + c];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        double sum = a[r * cols + n];
        for (int c = r + 1; c < n; ++c)
            sum -= a[r * cols + c] * x[c];
        x[r] = sum / a[r * cols + r];
    }
    return true;
}

}  // namespace

void least_error_weights(const double* c, int stride, const int* dates, int count,
                         double* weight, double* work)
{
    std::vector<int> kept(dates, dates + count);
    std::vector<int> slot(static_cast<std::size_t>(count));  // kept[i] is dates[slot[i]]
    for (int i = 0; i < count; ++i)
        slot[static_cast<std::size_t>(i)] = i;
    for (int i = 0; i < count; ++i)
        weight[i] = 0.0;
    std::vector<double> x(static_cast<std::size_t>(count));
    while (!kept.empty()) {
        const int n = static_cast<int>(kept.size());
        for (int r = 0; r < n; ++r)
            for (int k = 0; k < n; ++k)
                work[r * (n + 1) + k] = c[kept[static_cast<std::size_t>(r)] * stride +
                                          kept[static_cast<std::size_t>(k)]];
        double sum = 0.0;
        const bool solved = solve_for_ones(work, n, x.data());
        if (solved)
            for (int r = 0; r < n; ++r) sum += x[static_cast<std::size_t>(r)];
        if (!solved || !(sum > 0.0) || !std::isfinite(sum)) {
            // No measured combination: the first date alone.
            weight[slot.front()] = 1.0;
            return;
        }
        int most_negative = -1;
        for (int r = 0; r < n; ++r)
            if (x[static_cast<std::size_t>(r)] < 0.0 &&
                (most_negative < 0 || x[static_cast<std::size_t>(r)] < x[static_cast<std::size_t>(most_negative)]))
                most_negative = r;
        if (most_negative < 0) {
            for (int r = 0; r < n; ++r)
                weight[slot[static_cast<std::size_t>(r)]] = x[static_cast<std::size_t>(r)] / sum;
            return;
        }
        kept.erase(kept.begin() + most_negative);
        slot.erase(slot.begin() + most_negative);
    }
}

void combine_dates(int dates, int bands, std::size_t pixel_begin, std::size_t pixel_end,
                   double* const* values, double* const* errors,
                   unsigned char* const* status, const double* covariance,
                   unsigned char spatial_status, unsigned char other_date_status,
                   const unsigned char* kept)
{
    if (dates < 2)
        return;
    const auto n = static_cast<std::size_t>(dates);
    std::vector<double> weight(n), summed(n), w(n);
    std::vector<int> used(n);
    std::vector<double> work(n * (n + 1));
    for (std::size_t i = pixel_begin; i < pixel_end; ++i) {
        int first = -1;  // the first date that predicted the pixel
        for (int d = 0; d < dates && first < 0; ++d)
            if (predicted(status[d][i], spatial_status))
                first = d;
        if (first < 0)
            continue;
        for (std::size_t d = 0; d < n; ++d)
            summed[d] = 0.0;
        for (int b = 0; b < bands; ++b) {
            auto at = [&](int d) {
                return static_cast<std::size_t>(d) * static_cast<std::size_t>(bands) +
                       static_cast<std::size_t>(b);
            };
            // The dates with a value and an estimate here: the kept ones,
            // else all.
            int count = 0;
            for (int pass = kept != nullptr ? 0 : 1; pass < 2 && count == 0; ++pass)
                for (int d = 0; d < dates; ++d) {
                    weight[static_cast<std::size_t>(d)] = 0.0;
                    const double e = errors[at(d)][i];
                    // An error so small that its inverse square is infinite
                    // would take all the weight: such a date is left out as
                    // one without an estimate.
                    if (predicted(status[d][i], spatial_status) && std::isfinite(e) && e > 0.0 &&
                        std::isfinite(1.0 / (e * e)) &&
                        (pass == 1 || kept[static_cast<std::size_t>(b) * n + static_cast<std::size_t>(d)] != 0))
                        used[static_cast<std::size_t>(count++)] = d;
                }
            if (count == 0) {
                values[b][i] = values[at(first)][i];
                errors[b][i] = errors[at(first)][i];
                summed[static_cast<std::size_t>(first)] += 1.0;
                continue;
            }
            double value = 0.0, error = 0.0;
            if (covariance != nullptr) {
                const double* c = covariance + static_cast<std::size_t>(b) * n * n;
                least_error_weights(c, dates, used.data(), count, w.data(), work.data());
                double spread = 0.0, own = 0.0;  // w' C w, and sum w_d sqrt(C_dd)
                for (int k = 0; k < count; ++k) {
                    const int d = used[static_cast<std::size_t>(k)];
                    const double wd = w[static_cast<std::size_t>(k)];
                    weight[static_cast<std::size_t>(d)] = wd;
                    value += wd * values[at(d)][i];
                    error += wd * errors[at(d)][i];
                    own += wd * std::sqrt(c[d * dates + d]);
                    for (int m = 0; m < count; ++m)
                        spread += wd * w[static_cast<std::size_t>(m)] *
                                  c[d * dates + used[static_cast<std::size_t>(m)]];
                }
                if (own > 0.0 && spread >= 0.0)
                    error *= std::sqrt(spread) / own;
            } else {
                double weights = 0.0;
                for (int k = 0; k < count; ++k) {
                    const int d = used[static_cast<std::size_t>(k)];
                    const double e = errors[at(d)][i];
                    weight[static_cast<std::size_t>(d)] = 1.0 / (e * e);
                    weights += weight[static_cast<std::size_t>(d)];
                }
                for (int k = 0; k < count; ++k) {
                    const int d = used[static_cast<std::size_t>(k)];
                    weight[static_cast<std::size_t>(d)] /= weights;
                    value += weight[static_cast<std::size_t>(d)] * values[at(d)][i];
                }
                error = 1.0 / std::sqrt(weights);
            }
            values[b][i] = value;
            errors[b][i] = error;
            for (std::size_t d = 0; d < n; ++d)
                summed[d] += weight[d];
        }
        // The date that weighed most, the first among equals.
        int heaviest = 0;
        for (int d = 1; d < dates; ++d)
            if (summed[static_cast<std::size_t>(d)] > summed[static_cast<std::size_t>(heaviest)])
                heaviest = d;
        if (heaviest != 0)
            status[0][i] = other_date_status;
    }
}

std::vector<double> date_error_covariance(const double* copy_error, std::size_t dates, int bands,
                                          std::size_t n, const unsigned char* kept)
{
    std::vector<double> covariance(static_cast<std::size_t>(bands) * dates * dates);
    std::vector<std::size_t> count(dates * dates);
    for (int b = 0; b < bands; ++b) {
        double* c = covariance.data() + static_cast<std::size_t>(b) * dates * dates;
        auto errors = [&](std::size_t d) {
            return copy_error + (d * static_cast<std::size_t>(bands) + static_cast<std::size_t>(b)) * n;
        };
        for (std::size_t d = 0; d < dates; ++d)
            for (std::size_t e = 0; e < dates; ++e) {
                const double* rd = errors(d);
                const double* re = errors(e);
                double sum = 0.0;
                std::size_t pairs = 0;
                for (std::size_t j = 0; j < n; ++j)
                    if (!std::isnan(rd[j]) && !std::isnan(re[j])) {
                        sum += rd[j] * re[j];
                        ++pairs;
                    }
                count[d * dates + e] = pairs;
                c[d * dates + e] = pairs > 0 ? sum / static_cast<double>(pairs) : 0.0;
            }
        // A date its copies do not measure is trusted no more than the
        // worst one they do.
        auto own_measured = [&](std::size_t d) {
            return count[d * dates + d] >= DATE_PAIRS_LEAST && c[d * dates + d] > 0.0;
        };
        double worst = 0.0;
        for (std::size_t d = 0; d < dates; ++d)
            if (own_measured(d))
                worst = std::max(worst, c[d * dates + d]);
        if (!(worst > 0.0))
            return {};
        double correlations = 0.0;
        std::size_t measured = 0;
        for (std::size_t d = 0; d < dates; ++d) {
            if (!own_measured(d)) {
                c[d * dates + d] = worst;
                count[d * dates + d] = DATE_PAIRS_LEAST;
                for (std::size_t e = 0; e < dates; ++e)
                    if (e != d) count[d * dates + e] = count[e * dates + d] = 0;
            }
        }
        for (std::size_t d = 0; d < dates; ++d) {
            for (std::size_t e = d + 1; e < dates; ++e)
                if (count[d * dates + e] >= DATE_PAIRS_LEAST &&
                    (kept == nullptr || (kept[static_cast<std::size_t>(b) * dates + d] != 0 &&
                                         kept[static_cast<std::size_t>(b) * dates + e] != 0))) {
                    correlations += c[d * dates + e] / std::sqrt(c[d * dates + d] * c[e * dates + e]);
                    ++measured;
                }
        }
        const double mean_correlation = measured > 0 ? correlations / static_cast<double>(measured) : 0.0;
        for (std::size_t d = 0; d < dates; ++d)
            for (std::size_t e = 0; e < dates; ++e)
                if (d != e)
                    c[d * dates + e] = mean_correlation * std::sqrt(c[d * dates + d] * c[e * dates + e]);
    }
    return covariance;
}

namespace {

// The squared error at each of the n pixels (`squared`; NaN where no date
// erred) of the combination of the dates `kept` marks (else of all that
// erred there) by the least-error weights of `c`.
void combined_squared_error(const double* copy_error, std::size_t dates, int bands, int b,
                            std::size_t n, const double* c, const unsigned char* kept,
                            double* squared)
{
    std::vector<int> used(dates);
    std::vector<double> w(dates), work(dates * (dates + 1));
    for (std::size_t j = 0; j < n; ++j) {
        auto error = [&](std::size_t d) {
            return copy_error[(d * static_cast<std::size_t>(bands) + static_cast<std::size_t>(b)) * n + j];
        };
        int count = 0;
        for (int pass = 0; pass < 2 && count == 0; ++pass)
            for (std::size_t d = 0; d < dates; ++d)
                if (!std::isnan(error(d)) && (pass == 1 || kept[d] != 0))
                    used[static_cast<std::size_t>(count++)] = static_cast<int>(d);
        squared[j] = std::numeric_limits<double>::quiet_NaN();
        if (count == 0) continue;
        least_error_weights(c, static_cast<int>(dates), used.data(), count, w.data(), work.data());
        double e = 0.0;
        for (int k = 0; k < count; ++k)
            e += w[static_cast<std::size_t>(k)] * error(static_cast<std::size_t>(used[static_cast<std::size_t>(k)]));
        squared[j] = e * e;
    }
}

// How many standard errors a mean of copies' gains must reach, with
// `freedom` (the copies less one) degrees of freedom, for the same one-sided
// chance as DATE_GAIN_SURE standard errors of a mean known exactly: the
// quantile of Student's t there. From few copies the standard error itself
// is uncertain: with two copies 1.5 of it is passed by chance a third of
// the time. The first nine from the t distribution; beyond them the first
// terms of its expansion about the normal, within 0.02 of it.
double sure_gain_multiple(int freedom)
{
    constexpr double first[] = {4.694, 2.454, 2.043, 1.878, 1.789, 1.734, 1.696, 1.669, 1.649};
    if (freedom <= 9) return first[std::max(freedom, 1) - 1];
    const double z = DATE_GAIN_SURE;
    return z + (z * z * z + z) / (4.0 * static_cast<double>(freedom));
}

// Whether `with` errs clearly less than `without` over the copies: the mean
// of each copy's gain in squared error exceeds sure_gain_multiple of its
// standard error, every copy counted once, over at least DATE_COPIES_LEAST
// copies.
bool clearly_less(const double* without, const double* with, const int* copy, std::size_t n,
                  int copies)
{
    std::vector<double> gain(static_cast<std::size_t>(copies), 0.0);
    std::vector<std::size_t> count(static_cast<std::size_t>(copies), 0);
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isnan(without[j]) && !std::isnan(with[j])) {
            gain[static_cast<std::size_t>(copy[j])] += without[j] - with[j];
            ++count[static_cast<std::size_t>(copy[j])];
        }
    double sum = 0.0, squares = 0.0;
    int measured = 0;
    for (int k = 0; k < copies; ++k)
        if (count[static_cast<std::size_t>(k)] > 0) {
            const double g = gain[static_cast<std::size_t>(k)] / static_cast<double>(count[static_cast<std::size_t>(k)]);
            sum += g;
            squares += g * g;
            ++measured;
        }
    if (measured < DATE_COPIES_LEAST) return false;
    const double m = static_cast<double>(measured);
    const double mean = sum / m;
    const double variance = std::max(squares / m - mean * mean, 0.0) * m / (m - 1.0);
    return mean > 0.0 && mean > sure_gain_multiple(measured - 1) * std::sqrt(variance / m);
}

}  // namespace

std::vector<unsigned char> helpful_dates(const double* copy_error, std::size_t dates, int bands,
                                         std::size_t n, const int* copy, int copies)
{
    std::vector<unsigned char> kept(static_cast<std::size_t>(bands) * dates, 0);
    std::vector<double> without(n), with(n);
    for (int b = 0; b < bands; ++b) kept[static_cast<std::size_t>(b) * dates] = 1;
    for (std::size_t d = 1; d < dates; ++d) {
        // The errors of dates 0 ... d are the first rows of copy_error.
        const std::vector<double> prefix = date_error_covariance(copy_error, d + 1, bands, n);
        if (prefix.empty()) continue;  // no measured date among them: d is not seen to help
        for (int b = 0; b < bands; ++b) {
            unsigned char* k = kept.data() + static_cast<std::size_t>(b) * dates;
            const double* c = prefix.data() + static_cast<std::size_t>(b) * (d + 1) * (d + 1);
            combined_squared_error(copy_error, d + 1, bands, b, n, c, k, without.data());
            k[d] = 1;
            combined_squared_error(copy_error, d + 1, bands, b, n, c, k, with.data());
            if (!clearly_less(without.data(), with.data(), copy, n, copies))
                k[d] = 0;
        }
    }
    return kept;
}

}  // namespace pelvane
