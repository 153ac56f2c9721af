// pelvane-score: how close a filled image is to the truth over the gaps,
// as RMSE per band and pooled, split by whether the fill image could help.

#include <cmath>
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "demo/gap_score.h"

namespace {

void print_value(double value)
{
    if (std::isnan(value))
        std::printf(" %7s", "-");
    else
        std::printf(" %7.2f", value);
}

void print_class(const char* label, const pelvane::ClassErrors& errors, int bands)
{
    std::printf("%-16s %8lld", label, errors.pixels);
    for (int b = 0; b < bands; ++b)
        print_value(pelvane::band_rmse(errors, b));
    print_value(pelvane::pooled_rmse(errors));
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Scores a filled image against the truth over the gap pixels (RMSE per band and pooled)."};
    std::string truth_path, filled_path, gaps_path;
    bool brief = false;
    app.add_option("truth", truth_path, "complete image")->required();
    app.add_option("filled", filled_path, "filled image, same size and bands")->required();
    app.add_option("gaps", gaps_path,
                   "gap map: 0 valid, 1 gap with a valid fill pixel, 2 gap missing in both, other non-zero: gap")
        ->required();
    app.add_flag("--brief", brief, "one line: the pooled RMSE of each class");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    pelvane::GapScore score;
    std::string error;
    if (!pelvane::score_image_files(truth_path, filled_path, gaps_path, score, error)) {
        std::fprintf(stderr, "pelvane-score: %s\n", error.c_str());
        return 2;
    }

    if (brief) {
        std::printf("all gaps %.2f, fill valid %.2f, missing in both %.2f\n", pelvane::pooled_rmse(score.all),
                    pelvane::pooled_rmse(score.fill_valid), pelvane::pooled_rmse(score.both_missing));
        return 0;
    }
    std::printf("RMSE against the truth over the target's gaps (DN)\n");
    std::printf("%-16s %8s", "", "pixels");
    for (int b = 0; b < score.bands; ++b)
        std::printf("  band %d", b + 1);
    std::printf(" %7s\n", "pooled");
    print_class("all gaps", score.all, score.bands);
    print_class("fill valid", score.fill_valid, score.bands);
    print_class("missing in both", score.both_missing, score.bands);
    std::printf("Pixels outside the gaps that differ from the truth: %lld\n", score.changed_outside_gaps);
    return 0;
}
