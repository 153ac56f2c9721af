// pelvane-quicklook: an RGB PNG of three bands of an image, linearly
// stretched, for a quick look at a scene before and after filling.

#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "demo/linear_stretch.h"

int main(int argc, char** argv)
{
    CLI::App app{"Writes an RGB PNG quicklook of three bands, stretched over their 2..98 % range."};
    std::string image_path, png_path, reference_path;
    std::vector<int> bands{3, 2, 1};
    app.add_option("image", image_path, "image to show")->required();
    app.add_option("png", png_path, "PNG file to write")->required();
    app.add_option("--reference", reference_path, "image whose bands set the stretch (default: the image)");
    app.add_option("--bands", bands, "red, green and blue band numbers")
        ->expected(3)
        ->delimiter(',')
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    if (reference_path.empty())
        reference_path = image_path;

    std::string error;
    const int rgb[3] = {bands[0], bands[1], bands[2]};
    if (!pelvane::write_quicklook(image_path, reference_path, rgb, png_path, error)) {
        std::fprintf(stderr, "pelvane-quicklook: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
