#include "job/job_plan.h"

#include <cstddef>

#include "job/gap_masks.h"
#include "job/tolvek_stage.h"

namespace pelvane {

JobPlan plan_job(const JobSettings& settings, const RunOptions& options)
{
    JobPlan plan;
    plan.sarnic = settings.use_sarnic != 0;
    plan.tolvek = settings.use_tolvek != 0;
    plan.refine = settings.refine != 0;
    plan.target_image_path = settings.target_image_path;
    plan.target_mask_path = settings.target_mask_path;
    if (plan.tolvek && !plan.sarnic)
        plan.fills = {{settings.target_image_path, settings.target_mask_path}};
    else {
        plan.fills = {{settings.fill_image_path, settings.fill_mask_path}};
        for (std::size_t i = 0; i < settings.other_fill_image_paths.size(); ++i) {
            const auto& masks = settings.other_fill_mask_paths;
            plan.fills.push_back({settings.other_fill_image_paths[i], i < masks.size() ? masks[i] : ""});
        }
    }
    plan.output_image_path = settings.output_image_path;
    plan.status_output_path = settings.status_output_path;
    if (plan.refine)
        plan.error_output_path = settings.error_output_path;
    // No-data mode, when asked for, takes the place of both other rules.
    plan.gaps = settings.use_nodata != 0        ? GapRule::nodata
                : gaps_from_mask_files(settings) ? GapRule::mask_files
                                                 : GapRule::valid_range;
    plan.valid_min = settings.valid_min;
    plan.valid_max = settings.valid_max;
    plan.similar_pixel_count = settings.similar_pixel_count;
    plan.tolvek_params = tolvek_params(settings, options);
    plan.options = options;
    return plan;
}

}  // namespace pelvane
