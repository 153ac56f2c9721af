// pelvane-demo-scene: makes the demo's gap-filling case from one complete
// Byte image (the truth): a striped target, a striped second date to fill
// from, and the gap map the scorer needs. The model is in demo/README.md.
// With --size the truth is the source tiled with mirrored copies, which makes
// scenes of any size (the whole-job benchmarks use it).

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include <CLI/CLI.hpp>

#include "demo/byte_image_file.h"
#include "demo/demo_scene.h"
#include "demo/mirrored_tiling.h"

namespace {

struct ImageSize {
    int width = 0;
    int height = 0;
};

// "WIDTHxHEIGHT", both positive integers; false for anything else.
bool parse_size(const std::string& text, ImageSize& size)
{
    const char* end = text.data() + text.size();
    auto [after_width, width_error] = std::from_chars(text.data(), end, size.width);
    if (width_error != std::errc() || after_width == end || *after_width != 'x')
        return false;
    auto [after_height, height_error] = std::from_chars(after_width + 1, end, size.height);
    return height_error == std::errc() && after_height == end && size.width > 0 && size.height > 0;
}

const CLI::Validator size_syntax(
    [](std::string& text) -> std::string {
        ImageSize size;
        return parse_size(text, size) ? std::string() : "the size takes the form WIDTHxHEIGHT, e.g. 8000x7000: " + text;
    },
    "");

double percent(long long part, long long whole)
{
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Makes the demo scene (truth, target, fill, gaps) from a complete Byte image."};
    std::string source_path;
    std::string output_dir;
    pelvane::DemoSceneParams params;
    app.add_option("source", source_path, "complete Byte image, the truth")->required();
    app.add_option("output-dir", output_dir, "folder for truth.tif, target.tif, fill.tif and gaps.tif")->required();
    app.add_option("--seed", params.seed, "seed of the noise and the smooth fields")->capture_default_str();
    std::string size_text;
    app.add_option("--size", size_text, "size of the scene, tiled from mirrored copies of the source "
                                        "(default: the source's size)")
        ->check(size_syntax)
        ->type_name("WIDTHxHEIGHT");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    pelvane::ByteImage truth;
    std::string error;
    if (!pelvane::read_byte_image(source_path, truth, error)) {
        std::fprintf(stderr, "pelvane-demo-scene: %s\n", error.c_str());
        return 1;
    }
    const int source_width = truth.width, source_height = truth.height;
    ImageSize size{truth.width, truth.height};
    if (!size_text.empty())
        parse_size(size_text, size);
    pelvane::DemoScene scene;
    try {
        if (size.width != truth.width || size.height != truth.height) {
            truth.pixels = pelvane::mirrored_tiling(truth.pixels.data(), truth.width, truth.height, truth.bands,
                                                    size.width, size.height);
            truth.width = size.width;
            truth.height = size.height;
        }
        scene = pelvane::make_demo_scene(truth.pixels.data(), truth.width, truth.height, truth.bands, params);
    } catch (const std::bad_alloc&) {
        // The generator holds about five copies of the scene in memory.
        std::fprintf(stderr, "pelvane-demo-scene: not enough memory for a %d x %d scene of %d bands\n",
                     size.width, size.height, truth.bands);
        return 1;
    }

    std::error_code ec;
    std::filesystem::create_directories(output_dir, ec);
    if (ec) {
        std::fprintf(stderr, "pelvane-demo-scene: cannot create %s: %s\n", output_dir.c_str(), ec.message().c_str());
        return 1;
    }
    const std::filesystem::path dir(output_dir);
    struct Output {
        const char* name;
        int bands;
        const std::vector<std::uint8_t>& pixels;
    };
    const Output outputs[] = {
        {"truth.tif", truth.bands, truth.pixels},
        {"target.tif", truth.bands, scene.target},
        {"fill.tif", truth.bands, scene.fill},
        {"gaps.tif", 1, scene.gaps},
    };
    for (const Output& output : outputs) {
        if (!pelvane::write_byte_geotiff((dir / output.name).string(), truth, output.bands, output.pixels, error)) {
            std::fprintf(stderr, "pelvane-demo-scene: %s\n", error.c_str());
            return 1;
        }
    }

    long long pixels = static_cast<long long>(truth.width) * truth.height;
    long long with_fill = scene.target_gap_pixels - scene.both_gap_pixels;
    std::printf("Demo scene in %s: %d x %d pixels, %d bands, seed %llu\n", output_dir.c_str(), truth.width,
                truth.height, truth.bands, static_cast<unsigned long long>(params.seed));
    if (truth.width != source_width || truth.height != source_height)
        std::printf("  the truth is tiled from mirrored copies of the %d x %d source\n", source_width, source_height);
    std::printf("  target gaps      %8lld pixels  %5.1f %%  (stripes expect %.1f %%)\n", scene.target_gap_pixels,
                percent(scene.target_gap_pixels, pixels), 100.0 * pelvane::expected_gap_fraction(params.target_stripes));
    std::printf("  fill gaps        %8lld pixels  %5.1f %%  (stripes expect %.1f %%)\n", scene.fill_gap_pixels,
                percent(scene.fill_gap_pixels, pixels), 100.0 * pelvane::expected_gap_fraction(params.fill_stripes));
    std::printf("  missing in both  %8lld pixels  %5.1f %%\n", scene.both_gap_pixels,
                percent(scene.both_gap_pixels, pixels));
    std::printf("  %.1f %% of the target's gaps have a valid fill pixel\n", percent(with_fill, scene.target_gap_pixels));
    for (int b = 0; b < truth.bands; ++b)
        std::printf("  band %d of the fill: gain %.3f..%.3f, offset %+.1f..%+.1f DN\n", b + 1, scene.gain_min[b],
                    scene.gain_max[b], scene.offset_min[b], scene.offset_max[b]);
    return 0;
}
