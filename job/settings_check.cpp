#include "job/settings_check.h"

#include <cmath>
#include <string>
#include <utility>

#include <cpl_conv.h>

#include "job/gap_masks.h"
#include "job/output_format.h"

namespace pelvane {

namespace {

std::optional<SettingProblem> problem(std::string setting, std::string text)
{
    return SettingProblem{std::move(setting), std::move(text)};
}

// What is missing of the inputs the method and the gap marking need.
std::optional<SettingProblem> missing_input(const JobSettings& s)
{
    // Tolvek alone fills from the target, and its mask serves both images.
    const bool tolvek_only = s.use_tolvek != 0 && s.use_sarnic == 0;
    if (!tolvek_only && s.fill_image_path.empty())
        return problem("fill", "is needed unless the method is tolvek");
    if (!gaps_from_mask_files(s))
        return std::nullopt;
    if (s.target_mask_path.empty())
        return problem("target-mask", s.fill_mask_path.empty() ? "is needed to mark the gaps with mask files"
                                                                : "is needed with a fill mask");
    if (!tolvek_only && s.fill_mask_path.empty())
        return problem("fill-mask", "is needed with a target mask unless the method is tolvek");
    // One mask file for each fill image, in the same order.
    if (!tolvek_only && s.other_fill_mask_paths.size() != s.other_fill_image_paths.size())
    {
        // "1 fill mask", "2 fill masks".
        auto counted = [](std::size_t count, const std::string& what) {
            return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
        };
        return problem("fill-mask", "must be given once for each fill image (" +
                                        counted(1 + s.other_fill_image_paths.size(), "fill image") + ", " +
                                        counted(1 + s.other_fill_mask_paths.size(), "fill mask") + ")");
    }
    return std::nullopt;
}

// Only the refined fill weighs several fill images against each other; the
// standard fill takes exactly one, and Tolvek alone fills from the target.
std::optional<SettingProblem> several_fills(const JobSettings& s)
{
    if (s.other_fill_image_paths.empty())
        return std::nullopt;
    if (s.use_sarnic == 0)
        return problem("fill", "takes one image unless the method uses sarnic");
    if (s.refine == 0)
        return problem("fill", "takes several images only with the refined fill (refine)");
    for (const std::string& path : s.other_fill_image_paths)
        if (path.empty())
            return problem("fill", "must not be empty");
    return std::nullopt;
}

// A number that would silently mean nothing: a NaN compares false with
// everything, so no pixel would be out of range and no weight above zero.
std::optional<SettingProblem> bad_number(const JobSettings& s, const RunOptions& o)
{
    if (std::isnan(s.valid_min) || std::isnan(s.valid_max))
        return problem("valid-range", "must be two numbers, not NaN");
    if (!std::isfinite(s.regularization))
        return problem("regularization", "must be a finite number");
    if (std::isnan(o.solver_tolerance))
        return problem("tolerance", "must be a number, not NaN");
    if (o.solver_tolerance < 0.0)
        return problem("tolerance", "must not be negative");
    if (o.threads < 1)
        return problem("threads", "must be at least 1");
    return std::nullopt;
}

std::optional<SettingProblem> bad_output(const JobSettings& s, const RunOptions& o)
{
    if (!is_output_format(o.output_format))
        return problem("of", "must be GTiff or COG, not " + o.output_format);
    // Only the refined fill estimates its errors; without it the job would
    // quietly write no error raster.
    if (!s.error_output_path.empty() && s.refine == 0)
        return problem("error-output", "needs the refined fill (refine)");
    const struct {
        const char* setting;
        const std::string& path;
        const char* what;
    } files[] = {{"output", s.output_image_path, "output"},
                 {"status-output", s.status_output_path, "status raster"},
                 {"error-output", s.error_output_path, "error raster"}};
    for (const auto& file : files) {
        const std::string format = other_format_of_extension(file.path);
        if (!format.empty())
            return problem(file.setting, "names a " + format + " file (." +
                                             CPLGetExtension(file.path.c_str()) + "); the " +
                                             file.what + " is a GeoTIFF: name it .tif or .tiff");
    }
    return std::nullopt;
}

}  // namespace

std::optional<SettingProblem> check_settings(const JobSettings& settings, const RunOptions& options)
{
    if (auto found = missing_input(settings))
        return found;
    if (auto found = several_fills(settings))
        return found;
    if (auto found = bad_number(settings, options))
        return found;
    return bad_output(settings, options);
}

}  // namespace pelvane
