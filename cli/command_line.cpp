#include "cli/command_line.h"

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "job/settings_check.h"

namespace pelvane {

namespace {

// GeoTIFF creation options are NAME=VALUE pairs with a non-empty name.
const CLI::Validator creation_option_syntax(
    [](std::string& option) -> std::string {
        const auto equals = option.find('=');
        if (equals == std::string::npos || equals == 0)
            return "creation options take the form NAME=VALUE: " + option;
        return {};
    },
    "");

}  // namespace

int parse_command_line(int argc, const char* const* argv, CommandLine& command,
                       std::ostream& out, std::ostream& err)
{
    JobSettings& s = command.settings;
    RunOptions& o = command.options;
    o.solver_progress = false;

    CLI::App app{"Fills the gaps of a multi-band raster from an image of the same scene taken "
                 "at another date, and writes the result as a GeoTIFF.",
                 "pelvane-cli"};
    app.set_version_flag("--version", std::string("pelvane-cli ") + PELVANE_VERSION);

    app.add_option("--target", s.target_image_path, "Image with gaps")->required();
    // Several fill images, in the user's order of preference, take the refined fill.
    std::vector<std::string> fills;
    app.add_option("--fill", fills,
                   "Image of the same scene from another date; repeat it for more dates, the "
                   "preferred first (several need --refine)")
        ->allow_extra_args(false);
    app.add_option("--output", s.output_image_path, "GeoTIFF to write")->required();

    CLI::Option* target_mask = app.add_option(
        "--target-mask", s.target_mask_path, "Mask file of the target (non-zero: gap)");
    std::vector<std::string> fill_masks;
    CLI::Option* fill_mask =
        app.add_option("--fill-mask", fill_masks,
                       "Mask file of the fill image (non-zero: gap); once for each --fill, in "
                       "the same order")
            ->allow_extra_args(false);
    std::vector<double> valid_range;
    CLI::Option* range =
        app.add_option("--valid-range", valid_range,
                       "Valid values MIN MAX: a pixel with any band outside is a gap "
                       "(default 1 255 when no mask file is given)")
            ->expected(2)
            ->type_name("MIN MAX");
    range->excludes(target_mask);
    range->excludes(fill_mask);
    bool use_nodata = false;
    CLI::Option* nodata = app.add_flag(
        "--nodata", use_nodata,
        "Gaps where GDAL's mask of an image says so, in any band: its no-data value, an alpha "
        "band, an internal or .msk mask. The output keeps the target's no-data value");
    nodata->excludes(range);
    nodata->excludes(target_mask);
    nodata->excludes(fill_mask);

    std::string method = "both";
    app.add_option("--method", method, "Fill method")
        ->check(CLI::IsMember({"sarnic", "tolvek", "both"}))
        ->capture_default_str();
    app.add_option("--similar", s.similar_pixel_count, "Similar pixels per regression (the refined fill: at most 15)")
        ->capture_default_str();
    app.add_option("--regularization", s.regularization, "Weight of the valid pixels in Tolvek")
        ->capture_default_str();
    app.add_option("--max-iterations", s.max_iterations, "Iteration limit of the Tolvek solver")
        ->capture_default_str();
    app.add_option("--tolerance", o.solver_tolerance, "Convergence tolerance of the Tolvek solver")
        ->capture_default_str();

    bool refine = false;
    CLI::Option* refine_flag = app.add_flag("--refine", refine,
                 "Refined fill: the fill image is aligned to the target, then Sarnic combines "
                 "several predictions by the errors each made at the valid pixels around; "
                 "pixels missing in both images are interpolated from "
                 "the edges of their gap (Tolvek alone starts from a smooth interpolation)");
    app.add_option("--status-output", s.status_output_path,
                   "Also write a one-band Byte GeoTIFF telling how each pixel was filled "
                   "(codes in the README)");

    app.add_option("--error-output", s.error_output_path,
                   "Also write a Float32 GeoTIFF with the estimated standard error of every "
                   "filled value, one band per image band (0 at valid pixels, no-data where "
                   "nothing was estimated)")
        ->needs(refine_flag);
    app.add_option("--of", o.output_format,
                   "Output format: GTiff, or COG (a Cloud Optimized GeoTIFF, made by GDAL's COG "
                   "driver from the finished GeoTIFF)")
        ->capture_default_str();
    app.add_option("--co", o.creation_options,
                   "Creation option of the output format (repeatable)")
        ->check(creation_option_syntax)
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    app.add_option("--threads", o.threads,
                   "Threads that fill the gaps, at least 1 (default: all the machine's hardware "
                   "threads); the output is the same for any number");
    app.add_flag("-q,--quiet", command.quiet,
                 "No progress line, and nothing on success: the exit status tells");
    app.add_flag("-v,--verbose", o.solver_progress, "Solver lines on standard error");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e, out, err);
        return status == 0 ? 0 : EXIT_USAGE;
    }

    // The first fill image and its mask are the usual ones; the rest follow.
    if (!fills.empty()) {
        s.fill_image_path = fills.front();
        s.other_fill_image_paths.assign(fills.begin() + 1, fills.end());
    }
    if (!fill_masks.empty()) {
        s.fill_mask_path = fill_masks.front();
        s.other_fill_mask_paths.assign(fill_masks.begin() + 1, fill_masks.end());
    }
    s.use_sarnic = method != "tolvek" ? 1 : 0;
    s.use_tolvek = method != "sarnic" ? 1 : 0;
    s.use_nodata = use_nodata ? 1 : 0;
    s.refine = refine ? 1 : 0;
    // Gaps are marked by mask files, by GDAL's own masks, by a range given,
    // or else by the default range; check_default_range tells whether that
    // fits the target.
    command.default_valid_range = false;
    if (target_mask->count() > 0 || fill_mask->count() > 0 || use_nodata) {
        s.use_threshold = 0;
    } else {
        s.use_threshold = 1;
        if (range->count() > 0) {
            s.valid_min = valid_range[0];
            s.valid_max = valid_range[1];
        } else {
            command.default_valid_range = true;
        }
    }
    // The same checks as every front end's, named as the options are.
    if (const auto problem = check_settings(s, o)) {
        err << "--" << problem->setting << ' ' << problem->problem
            << "\nRun with --help for more information.\n";
        return EXIT_USAGE;
    }
    return -1;
}

}  // namespace pelvane
