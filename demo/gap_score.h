#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelvane {

// Squared errors of one class of gap pixels, summed per band.
struct ClassErrors {
    long long pixels = 0;
    std::vector<double> sum_squares;  // one entry per band
};

// How a filled image compares with the truth over the gaps of the demo's gap
// map (codes in demo_scene.h): all gaps, the gaps where the fill image was
// valid, and the gaps missing in both images. Outside the gaps a correct
// fill copies the target, which was the truth there, so any pixel that
// differs is counted.
struct GapScore {
    int bands = 0;
    ClassErrors all;
    ClassErrors fill_valid;
    ClassErrors both_missing;
    long long changed_outside_gaps = 0;
};

GapScore make_gap_score(int bands);

// Adds `pixels` pixels: truth and filled are band-sequential (band b of pixel
// p at b * pixels + p), gaps holds one code per pixel. Any non-zero code is a
// gap; codes other than the two classes count only towards `all`.
void add_to_gap_score(GapScore& score, const double* truth, const double* filled, const std::uint8_t* gaps,
                      long long pixels);

// Root mean square error of one band, or of all bands pooled; NaN when the
// class has no pixels.
double band_rmse(const ClassErrors& errors, int band);
double pooled_rmse(const ClassErrors& errors);

// Scores three files (truth, filled output, one-band gap map) of equal size,
// reading them in row blocks so memory stays small on whole scenes. Returns
// false with a message in `error` when a file cannot be read or the sizes or
// band counts differ.
bool score_image_files(const std::string& truth_path, const std::string& filled_path,
                       const std::string& gaps_path, GapScore& score, std::string& error);

}  // namespace pelvane
