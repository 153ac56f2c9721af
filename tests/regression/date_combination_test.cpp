// Several dates' fills combined by their estimated errors, against a plain
// reference written out pixel by pixel.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "regression/date_combination.h"

namespace pelvane {
namespace {

constexpr unsigned char SPATIAL = 7, OTHER = 9, MISSING = 4;
const double NaN = std::numeric_limits<double>::quiet_NaN();

// One pixel, two bands, up to three dates: each date's status, values and errors.
struct Case {
    const char* name;
    std::vector<unsigned char> status;
    std::vector<double> value;  // date-major: d0b0, d0b1, d1b0, ...
    std::vector<double> error;
    double expect_value[2], expect_error[2];
    unsigned char expect_status;
    std::vector<double> covariance = {};  // both bands alike; empty: none measured
    std::vector<unsigned char> kept = {};  // per date, both bands alike; empty: every date
};

const Case CASES[] = {
    {"one date: nothing changes", {1}, {10, 20}, {2, 4}, {10, 20}, {2, 4}, 1},
    {"two dates, equal errors: the mean", {1, 2}, {10, 20, 14, 30}, {2, 2, 2, 2}, {12, 25}, {std::sqrt(2.0), std::sqrt(2.0)}, 1},
    // Weights 1/4 and 1: 0.2 and 0.8.
    {"the second date twice as sure: it weighs most", {SPATIAL, 1}, {10, 10, 20, 20}, {2, 2, 1, 1}, {18, 18}, {1 / std::sqrt(1.25), 1 / std::sqrt(1.25)}, OTHER},
    {"first date missing: the second alone", {MISSING, 3}, {0, 0, 7, 8}, {NaN, NaN, 3, 5}, {7, 8}, {3, 5}, OTHER},
    {"no date predicts: left alone", {MISSING, MISSING}, {5, 6, 7, 8}, {NaN, NaN, 1, 1}, {5, 6}, {NaN, NaN}, MISSING},
    {"an error of 0 or NaN leaves the date out", {1, 1, 1}, {10, 10, 99, 99, 20, 30}, {1, 1, 0, NaN, 1, 1}, {15, 20}, {std::sqrt(0.5), std::sqrt(0.5)}, 1},
    {"no usable error: the first predicting date stands", {MISSING, 2, 1}, {0, 0, 3, 4, 5, 6}, {NaN, NaN, NaN, 0, NaN, NaN}, {3, 4}, {NaN, 0}, OTHER},
    // Measured errors: the weights that make w' C w least, the per-pixel
    // estimates only averaged by them and scaled by sqrt(w' C w) / sum w sqrt(C_dd).
    {"errors alike and as large: halves, the estimate scaled by sqrt(3.5) / 2", {1, 1}, {10, 10, 20, 30}, {2, 2, 4, 6}, {15, 20}, {3 * std::sqrt(3.5) / 2, 4 * std::sqrt(3.5) / 2}, 1, {4, 3, 3, 4}},
    {"the first date only repeats the second's error, larger: weight 0", {1, 2}, {10, 10, 20, 30}, {1, 1, 5, 5}, {20, 30}, {5, 5}, OTHER, {4, 1, 1, 1}},
    {"a negative weight (-0.5) leaves the date out", {1, 2}, {10, 10, 20, 30}, {1, 1, 5, 5}, {20, 30}, {5, 5}, OTHER, {4, 3, 3, 2.5}},
    {"a later date not kept: the first alone", {1, 1}, {10, 10, 20, 30}, {2, 2, 2, 2}, {10, 10}, {2, 2}, 1, {}, {1, 0}},
    {"no kept date predicts: every predicting date combined", {MISSING, 1, 1}, {0, 0, 10, 20, 14, 30}, {NaN, NaN, 2, 2, 2, 2}, {12, 25}, {std::sqrt(2.0), std::sqrt(2.0)}, OTHER, {}, {1, 0, 0}},
    {"the third date missing here: the other two weighed alone", {1, 2, MISSING}, {10, 10, 20, 30, 99, 99}, {2, 2, 4, 6, NaN, NaN}, {15, 20}, {3 * std::sqrt(3.5) / 2, 4 * std::sqrt(3.5) / 2}, 1, {4, 3, 0, 3, 4, 0, 0, 0, 1}},
};

TEST(CombineDates, MatchesThePlainReference)
{
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        const int dates = static_cast<int>(c.status.size());
        std::vector<double> values = c.value, errors = c.error;  // one pixel: one value per band
        std::vector<unsigned char> status = c.status;
        std::vector<double*> v, e;
        std::vector<unsigned char*> s;
        for (std::size_t k = 0; k < values.size(); ++k) v.push_back(&values[k]), e.push_back(&errors[k]);
        for (auto& x : status) s.push_back(&x);
        std::vector<double> covariance = c.covariance;
        covariance.insert(covariance.end(), c.covariance.begin(), c.covariance.end());
        std::vector<unsigned char> kept = c.kept;
        kept.insert(kept.end(), c.kept.begin(), c.kept.end());
        combine_dates(dates, 2, 0, 1, v.data(), e.data(), s.data(),
                      covariance.empty() ? nullptr : covariance.data(), SPATIAL, OTHER,
                      kept.empty() ? nullptr : kept.data());
        for (int b = 0; b < 2; ++b) {
            EXPECT_NEAR(values[b], c.expect_value[b], 1e-12);
            EXPECT_TRUE(std::isnan(c.expect_error[b]) ? std::isnan(errors[b])
                                                      : std::fabs(errors[b] - c.expect_error[b]) < 1e-12);
        }
        EXPECT_EQ(status[0], c.expect_status);
    }
}

// One band, 40 pixels. Date 0 errs by 1, date 1 by 2 and -2 in turn
// (correlation 0 with both others), date 2 by 3 on 32 pixels (correlation 1
// with date 0): one correlation, 1/3, for every pair. Date 3 errs by 5 on
// only 20 pixels: it takes the worst measured squared error, date 2's 9.
TEST(DateErrorCovariance, OneCorrelationPerBandAndTheWorstErrorForAnUnmeasuredDate)
{
    const std::size_t n = 40;
    std::vector<double> errors(4 * n, NaN);
    for (std::size_t j = 0; j < n; ++j) {
        errors[j] = 1.0;
        errors[n + j] = j % 2 == 0 ? 2.0 : -2.0;
        if (j < 32) errors[2 * n + j] = 3.0;
        if (j < 20) errors[3 * n + j] = 5.0;
    }
    const std::vector<double> c = date_error_covariance(errors.data(), 4, 1, n);
    const std::vector<double> expected = {1, 2.0 / 3, 1, 1, 2.0 / 3, 4, 2, 2, 1, 2, 9, 3, 1, 2, 3, 9};
    ASSERT_EQ(c.size(), expected.size());
    for (std::size_t k = 0; k < c.size(); ++k) EXPECT_NEAR(c[k], expected[k], 1e-12) << k;
    const std::vector<unsigned char> kept = {1, 0, 1, 0};  // dates 0 and 2: correlation 1
    const std::vector<double> ck = date_error_covariance(errors.data(), 4, 1, n, kept.data());
    const std::vector<double> expected_kept = {1, 2, 3, 3, 2, 4, 6, 6, 3, 6, 9, 9, 3, 6, 9, 9};
    ASSERT_EQ(ck.size(), expected_kept.size());
    for (std::size_t k = 0; k < ck.size(); ++k) EXPECT_NEAR(ck[k], expected_kept[k], 1e-12) << k;
    errors.assign(4 * n, NaN);  // no date measured
    EXPECT_TRUE(date_error_covariance(errors.data(), 4, 1, n).empty());
}

// One band, 40 pixels in `copies` copies; date 0 errs by 2 everywhere,
// date 1 by -2 and 0 in turn on the first `helped` copies and by 2 elsewhere
// (as date 0), so every copy it helps gains alike. Of four copies, four and
// three are sure gains (three: 3 standard errors); two, 1.73, falls short of
// Student's 2.04 for three degrees of freedom; one, 1. Three of three is
// sure; two of two too few copies. A third date erring by 5 is left out and
// changes nothing about date 1.
TEST(HelpfulDates, TakesALaterDateOnlyWhenItsGainHoldsOverTheCopies)
{
    const std::size_t n = 40;
    for (const auto& [copies, helped, kept] : {std::array{4, 4, 1}, {4, 3, 1}, {4, 2, 0}, {4, 1, 0}, {3, 3, 1}, {2, 2, 0}}) {
        std::vector<int> copy(n);
        std::vector<double> errors(3 * n, 2.0);
        for (std::size_t j = 0; j < n; ++j) {
            copy[j] = static_cast<int>(j * static_cast<std::size_t>(copies) / n);
            if (copy[j] < helped) errors[n + j] = j % 2 == 0 ? -2.0 : 0.0;
            errors[2 * n + j] = 5.0;
        }
        EXPECT_EQ(helpful_dates(errors.data(), 2, 1, n, copy.data(), copies), (std::vector<unsigned char>{1, static_cast<unsigned char>(kept)})) << copies << helped;
        EXPECT_EQ(helpful_dates(errors.data(), 3, 1, n, copy.data(), copies), (std::vector<unsigned char>{1, static_cast<unsigned char>(kept), 0})) << copies << helped;
    }
}

}  // namespace
}  // namespace pelvane
