#include "job/job_plan.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace pelvane {
namespace {

// What the plan makes of the settings: the fill image and its mask (the
// target's own with Tolvek alone), the gap rule, the error raster only for
// the refined fill, and the solver's parameters.
TEST(JobPlan, ResolvesTheSettingsOnce)
{
    const struct {
        const char* name;
        std::function<void(JobSettings&)> set;
        const char* fill_image;
        const char* fill_mask;
        GapRule gaps;
        const char* error_output;
    } cases[] = {
        {"both methods, mask files", [](JobSettings&) {}, "f.tif", "fm.tif", GapRule::mask_files, ""},
        {"Tolvek alone", [](JobSettings& s) { s.use_sarnic = 0; }, "t.tif", "tm.tif", GapRule::mask_files, ""},
        {"Sarnic alone, valid range", [](JobSettings& s) { s.use_tolvek = 0, s.use_threshold = 1; },
         "f.tif", "fm.tif", GapRule::valid_range, ""},
        {"no-data over the range", [](JobSettings& s) { s.use_threshold = 1, s.use_nodata = 1; },
         "f.tif", "fm.tif", GapRule::nodata, ""},
        {"refined, with an error raster", [](JobSettings& s) { s.refine = 1; }, "f.tif", "fm.tif",
         GapRule::mask_files, "e.tif"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        JobSettings s;
        s.target_image_path = "t.tif", s.target_mask_path = "tm.tif";
        s.fill_image_path = "f.tif", s.fill_mask_path = "fm.tif";
        s.error_output_path = "e.tif";
        c.set(s);
        RunOptions o;
        o.solver_tolerance = 0.25;
        const JobPlan plan = plan_job(s, o);
        ASSERT_EQ(plan.fills.size(), 1u);
        EXPECT_EQ(plan.fill().image_path, c.fill_image);
        EXPECT_EQ(plan.fill().mask_path, c.fill_mask);
        EXPECT_EQ(plan.gaps, c.gaps);
        EXPECT_EQ(plan.error_output_path, c.error_output);
        EXPECT_EQ(plan.tolvek_params.regularization, s.regularization);
        EXPECT_EQ(plan.tolvek_params.max_iterations, s.max_iterations);
        EXPECT_EQ(plan.tolvek_params.tolerance, 0.25);
        EXPECT_EQ(plan.tolvek_params.smart_start, s.refine != 0);
    }
}

}  // namespace
}  // namespace pelvane
