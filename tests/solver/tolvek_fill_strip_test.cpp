#include "solver/tolvek_fill_strip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "job/tolvek_stage.h"

namespace pelvane {
namespace {

// A strip of `bands` bands with its scratch stack and gap mask.
struct Strip {
    int width, rows;
    std::vector<std::vector<double>> filled, scratch;
    std::vector<unsigned char> gaps;

    Strip(int w, int h, int bands)
        : width(w), rows(h), filled(bands, std::vector<double>(w * h)),
          scratch(bands, std::vector<double>(w * h)), gaps(w * h, 0) {}

    bool run(TolvekParams params = quiet()) {
        std::vector<double*> f, s;
        for (std::size_t b = 0; b < filled.size(); ++b) {
            f.push_back(filled[b].data());
            s.push_back(scratch[b].data());
        }
        return tolvek_fill_strip(f.data(), s.data(), gaps.data(), width, rows,
                                 static_cast<int>(filled.size()), params);
    }

    static TolvekParams quiet() {
        return tolvek_params(JobSettings{}, RunOptions{});  // the job's defaults
    }

    // A stripe of gaps two rows high, the way a scanner leaves them.
    void cut_stripe(int first_row) {
        for (int y = first_row; y < first_row + 2; ++y)
            for (int x = 0; x < width; ++x) gaps[x + width * y] = 1;
    }
};

// Band 0 rises along x in steps of 1 from 0 to 48, so that 1 normalised and
// mapped back lands just below 1 (1/48 * 48 is fine, 1/49 * 49 is not: the
// span 0..49 needs a 49). Band 1 is a smooth pattern in other units.
Strip ramp_strip() {
    Strip strip(50, 12, 2);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 50; ++x) {
            strip.filled[0][x + 50 * y] = std::min(x, 49);
            strip.filled[1][x + 50 * y] = 1000.0 + 250.0 * std::sin(0.2 * x + 0.3 * y);
        }
    strip.cut_stripe(5);
    return strip;
}

TEST(TolvekFillStrip, ValidPixelsKeepTheirValuesAndGapsStayInTheirSpan) {
    Strip strip = ramp_strip();
    // What an earlier stage left at the gaps does not matter.
    for (std::size_t i = 0; i < strip.gaps.size(); ++i)
        if (strip.gaps[i]) strip.filled[0][i] = std::numeric_limits<double>::quiet_NaN();
    const auto before = strip.filled;
    TolvekParams params = Strip::quiet();
    params.tolerance = 1e-7;  // let the gaps settle
    params.max_iterations = 3000;
    ASSERT_TRUE(strip.run(params));
    for (int b = 0; b < 2; ++b) {
        double lo = 1e300, hi = -1e300;
        for (std::size_t i = 0; i < strip.gaps.size(); ++i)
            if (!strip.gaps[i]) {
                lo = std::min(lo, before[b][i]);
                hi = std::max(hi, before[b][i]);
            }
        for (std::size_t i = 0; i < strip.gaps.size(); ++i) {
            if (strip.gaps[i]) {
                EXPECT_TRUE(strip.filled[b][i] >= lo && strip.filled[b][i] <= hi) << b << ":" << i;
            } else {
                EXPECT_EQ(strip.filled[b][i], before[b][i]) << b << ":" << i;
            }
        }
    }
    // Across a horizontal stripe the ramp continues: each column is constant.
    for (int x = 0; x < 50; ++x)
        EXPECT_NEAR(strip.filled[0][x + 50 * 6], std::min(x, 49), 0.5) << x;
}

TEST(TolvekFillStrip, StartValuesAtTheGapsDoNotMatter) {
    Strip a = ramp_strip(), b = ramp_strip();
    for (std::size_t i = 0; i < a.gaps.size(); ++i)
        if (a.gaps[i]) {
            a.filled[1][i] = 0.0;
            b.filled[1][i] = -7e9;
        }
    a.run();
    b.run();
    EXPECT_EQ(a.filled, b.filled);
}

TEST(TolvekFillStrip, StripWithoutGapsIsLeftAlone) {
    Strip strip = ramp_strip();
    std::fill(strip.gaps.begin(), strip.gaps.end(), 0);
    TolvekParams params = Strip::quiet();
    params.regularization = 0.0;  // a solve would move every pixel
    const auto before = strip.filled;
    EXPECT_TRUE(strip.run(params));
    EXPECT_EQ(strip.filled, before);
}

TEST(TolvekFillStrip, ConstantBandTakesItsValueEverywhere) {
    Strip strip = ramp_strip();
    std::fill(strip.filled[0].begin(), strip.filled[0].end(), 7.25);
    strip.run();
    EXPECT_EQ(strip.filled[0], std::vector<double>(600, 7.25));
    EXPECT_NE(strip.filled[1][50 * 5], 7.25);  // the other band is solved on its own
}

TEST(TolvekFillStrip, AllGapStripEndsAtTheLowStartValue) {
    Strip strip = ramp_strip();
    std::fill(strip.gaps.begin(), strip.gaps.end(), 1);
    strip.run();
    for (const auto& band : strip.filled) EXPECT_EQ(band, std::vector<double>(600, -1000000.0));
}

TEST(TolvekFillStrip, WithoutRegularizationEveryPixelTakesTheSolverValue) {
    for (const double regularization : {0.0, -5.0}) {
        Strip strip = ramp_strip();
        const auto before = strip.filled;
        TolvekParams params = Strip::quiet();
        params.regularization = regularization;
        strip.run(params);
        int changed = 0;
        for (std::size_t i = 0; i < strip.gaps.size(); ++i) {
            EXPECT_TRUE(strip.filled[0][i] >= 0.0 && strip.filled[0][i] <= 49.0);
            if (!strip.gaps[i] && strip.filled[0][i] != before[0][i]) ++changed;
        }
        EXPECT_GT(changed, 0) << regularization;
    }
}

int count_calls(int state, int iteration, double, const double*, int width, int height,
                int channels, void* data) {
    auto* calls = static_cast<std::vector<int>*>(data);
    if (state != 0) calls->push_back(state * 1000 + iteration);
    EXPECT_EQ(width, 50);
    EXPECT_EQ(height, 12);
    EXPECT_EQ(channels, 1);
    return 1;
}

TEST(TolvekFillStrip, PassesLimitToleranceAndProgressToEveryBand) {
    Strip strip = ramp_strip();
    std::vector<int> finals;
    TolvekParams params = Strip::quiet();
    params.max_iterations = 5;
    params.tolerance = 0.0;
    params.progress = count_calls;
    params.progress_user_data = &finals;
    strip.run(params);
    EXPECT_EQ(finals, (std::vector<int>{2005, 2005}));  // limit reached, once per band
}

TEST(TolvekFillStrip, OnePixelWideStripIsFilled) {
    Strip strip(1, 9, 1);
    for (int y = 0; y < 9; ++y) strip.filled[0][y] = 10.0 + y;
    strip.gaps[4] = 1;
    strip.filled[0][4] = 0.0;
    ASSERT_TRUE(strip.run());
    EXPECT_GE(strip.filled[0][4], 10.0);
    EXPECT_LE(strip.filled[0][4], 18.0);
    EXPECT_EQ(strip.filled[0][3], 13.0);
}

}  // namespace
}  // namespace pelvane
