// Whole jobs on the olinda scene through run_job, compared pixel by pixel with
// the reference outputs of a separate, plain implementation. Float64 runs
// must agree in every bit; Byte runs in every pixel (no truncation tie has
// turned up, so none is allowed for).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "job/run_job.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {

const std::string DATA = std::string(PELVANE_TEST_DATA) + "/olinda/";

enum class Methods { Sarnic, Tolvek, Both };
enum class Validity { Range, MaskFiles };

struct Case {
    const char* expected;  // file in expected/
    const char* suffix;    // "" for Byte inputs, "_f64" for Float64 inputs
    Methods methods;
    Validity validity;
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.expected; }

// Each case on 1, 2 and 3 threads: the output must not depend on them.
class OlindaJob : public ::testing::TestWithParam<std::tuple<Case, int>> {
protected:
    test::TempDir dir;
};

TEST_P(OlindaJob, MatchesTheReferenceOutput)
{
    const auto& [c, threads] = GetParam();
    JobSettings settings;
    settings.target_image_path = DATA + "target" + c.suffix + ".tif";
    settings.fill_image_path = DATA + "fill" + c.suffix + ".tif";
    settings.output_image_path = dir.path("out.tif");
    settings.use_sarnic = c.methods != Methods::Tolvek;
    settings.use_tolvek = c.methods != Methods::Sarnic;
    settings.use_threshold = c.validity == Validity::Range;
    if (c.validity == Validity::MaskFiles) {
        settings.target_mask_path = DATA + "target_mask.tif";
        settings.fill_mask_path = DATA + "fill_mask.tif";
    }
    RunOptions options;
    options.solver_progress = false;
    options.threads = threads;

    test::RecordingHost host;
    ASSERT_TRUE(run_job(settings, host, options).done());
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].rfind("Job Done:Total Time:", 0), 0u) << host.messages[0];

    const std::string expected = DATA + "expected/" + c.expected;
    for (int b = 1; b <= 6; ++b) {
        const std::vector<double> want = test::read_band(expected, b);
        const std::vector<double> got = test::read_band(settings.output_image_path, b);
        ASSERT_EQ(got.size(), want.size());
        std::size_t differing = 0, first = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            // Bitwise, so that a NaN would only match a NaN.
            if (std::memcmp(&got[i], &want[i], sizeof(double)) != 0) {
                if (differing++ == 0) first = i;
            }
        }
        EXPECT_EQ(differing, 0u) << "band " << b << ": first difference at row "
                                 << first / 349 << ", column " << first % 349 << ": got "
                                 << got[first] << ", expected " << want[first];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Olinda, OlindaJob,
    ::testing::Combine(
        ::testing::Values(Case{"sarnic_range.tif", "", Methods::Sarnic, Validity::Range},
                          Case{"sarnic_range_f64.tif", "_f64", Methods::Sarnic, Validity::Range},
                          Case{"both_range.tif", "", Methods::Both, Validity::Range},
                          Case{"both_range_f64.tif", "_f64", Methods::Both, Validity::Range},
                          Case{"both_masks.tif", "", Methods::Both, Validity::MaskFiles},
                          Case{"tolvek_range.tif", "", Methods::Tolvek, Validity::Range},
                          Case{"tolvek_range_f64.tif", "_f64", Methods::Tolvek, Validity::Range}),
        ::testing::Values(1, 2, 3)),
    [](const ::testing::TestParamInfo<std::tuple<Case, int>>& info) {
        std::string name = std::get<0>(info.param).expected;
        name = name.substr(0, name.find('.'));
        return name + "_threads" + std::to_string(std::get<1>(info.param));
    });

}  // namespace
}  // namespace pelvane
