// Several dates' fills combined by their estimated errors, against a plain
// reference written out pixel by pixel.
#include <gtest/gtest.h>

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
};

const Case CASES[] = {
    {"one date: nothing changes", {1}, {10, 20}, {2, 4}, {10, 20}, {2, 4}, 1},
    {"two dates, equal errors: the mean", {1, 2}, {10, 20, 14, 30}, {2, 2, 2, 2},
     {12, 25}, {std::sqrt(2.0), std::sqrt(2.0)}, 1},
    // Weights 1/4 and 1: 0.2 and 0.8.
    {"the second date twice as sure: it weighs most", {SPATIAL, 1}, {10, 10, 20, 20}, {2, 2, 1, 1},
     {18, 18}, {1 / std::sqrt(1.25), 1 / std::sqrt(1.25)}, OTHER},
    {"first date missing: the second alone", {MISSING, 3}, {0, 0, 7, 8}, {NaN, NaN, 3, 5},
     {7, 8}, {3, 5}, OTHER},
    {"no date predicts: left alone", {MISSING, MISSING}, {5, 6, 7, 8}, {NaN, NaN, 1, 1},
     {5, 6}, {NaN, NaN}, MISSING},
    {"an error of 0 or NaN leaves the date out", {1, 1, 1}, {10, 10, 99, 99, 20, 30}, {1, 1, 0, NaN, 1, 1},
     {15, 20}, {std::sqrt(0.5), std::sqrt(0.5)}, 1},
    {"no usable error: the first predicting date stands", {MISSING, 2, 1}, {0, 0, 3, 4, 5, 6},
     {NaN, NaN, NaN, 0, NaN, NaN}, {3, 4}, {NaN, 0}, OTHER},
    // Measured errors: the weights that make w' C w least, the per-pixel
    // estimates only averaged by them and scaled by sqrt(w' C w) / sum w sqrt(C_dd).
    {"errors alike and as large: halves, the estimate scaled by sqrt(3.5) / 2", {1, 1},
     {10, 10, 20, 30}, {2, 2, 4, 6}, {15, 20}, {3 * std::sqrt(3.5) / 2, 4 * std::sqrt(3.5) / 2}, 1,
     {4, 3, 3, 4}},
    {"the first date only repeats the second's error, larger: weight 0", {1, 2}, {10, 10, 20, 30},
     {1, 1, 5, 5}, {20, 30}, {5, 5}, OTHER, {4, 1, 1, 1}},
    {"a negative weight (-0.5) leaves the date out", {1, 2}, {10, 10, 20, 30}, {1, 1, 5, 5},
     {20, 30}, {5, 5}, OTHER, {4, 3, 3, 2.5}},
    {"the third date missing here: the other two weighed alone", {1, 2, MISSING}, {10, 10, 20, 30, 99, 99},
     {2, 2, 4, 6, NaN, NaN}, {15, 20}, {3 * std::sqrt(3.5) / 2, 4 * std::sqrt(3.5) / 2}, 1,
     {4, 3, 0, 3, 4, 0, 0, 0, 1}},
};

TEST(CombineDates, MatchesThePlainReference)
{
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        const int dates = static_cast<int>(c.status.size());
        std::vector<std::vector<double>> values, errors;
        std::vector<std::vector<unsigned char>> status;
        for (int d = 0; d < dates; ++d) {
            status.push_back({c.status[d]});
            for (int b = 0; b < 2; ++b) {
                values.push_back({c.value[2 * d + b]});
                errors.push_back({c.error[2 * d + b]});
            }
        }
        std::vector<double*> v, e;
        std::vector<unsigned char*> s;
        for (std::size_t k = 0; k < values.size(); ++k) v.push_back(values[k].data()), e.push_back(errors[k].data());
        for (auto& x : status) s.push_back(x.data());
        std::vector<double> covariance = c.covariance;
        covariance.insert(covariance.end(), c.covariance.begin(), c.covariance.end());
        combine_dates(dates, 2, 0, 1, v.data(), e.data(), s.data(),
                      covariance.empty() ? nullptr : covariance.data(), SPATIAL, OTHER);
        for (int b = 0; b < 2; ++b) {
            EXPECT_NEAR(values[b][0], c.expect_value[b], 1e-12);
            EXPECT_TRUE(std::isnan(c.expect_error[b]) ? std::isnan(errors[b][0])
                                                      : std::fabs(errors[b][0] - c.expect_error[b]) < 1e-12);
        }
        EXPECT_EQ(status[0][0], c.expect_status);
    }
}

}  // namespace
}  // namespace pelvane
