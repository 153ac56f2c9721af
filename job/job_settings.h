#pragma once

#include <string>
#include <vector>

namespace pelvane {

// Everything one gap-filling job needs from its user. The field order is the
// order in which the dialog exchanges them with its controls.
struct JobSettings {
    std::string fill_image_path;
    std::string fill_mask_path;
    double valid_min = 1.0;
    double valid_max = 255.0;
    int similar_pixel_count = 30;
    std::string output_image_path;
    int use_threshold = 0;  // 0: validity from mask files, 1: from the valid range
    std::string target_image_path;
    std::string target_mask_path;
    int use_tolvek = 1;
    double regularization = 1000.0;
    int use_sarnic = 1;
    int max_iterations = 600;

    // Not on the form: 1 takes the gaps from GDAL's own mask of each image
    // (its no-data value, alpha band or mask) instead of use_threshold's choice.
    int use_nodata = 0;

    // Not among the form's original fields either: 1 runs the refined fill
    // (Sarnic combines several predictions by the errors each made at the
    // valid pixels around; with both methods the pixels missing in both
    // images are interpolated from their gap's edges, with Tolvek alone
    // Tolvek starts from a smooth interpolation). 0 keeps the standard fill,
    // byte for byte.
    int refine = 0;

    // When not empty: a one-band Byte GeoTIFF of the output's size and
    // georeferencing that tells for every pixel how it was filled (FillCode).
    std::string status_output_path;

    // When not empty (refined fill only): a Float32 GeoTIFF with one band per
    // image band holding the estimated standard error of every value the
    // regression stage filled, 0 at valid pixels and the no-data value (NaN)
    // elsewhere.
    std::string error_output_path;

    // More images to fill from, after fill_image_path, in the user's order
    // of preference, and their mask files in the same order (with mask
    // files). Only the refined fill takes more than one fill image.
    std::vector<std::string> other_fill_image_paths;
    std::vector<std::string> other_fill_mask_paths;
};

}  // namespace pelvane
