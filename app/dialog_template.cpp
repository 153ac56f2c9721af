#include "app/dialog_template.h"

#include "app/control_ids.h"

namespace pelvane {

namespace {

using K = ControlKind;

// clang-format off
constexpr std::array<ControlTemplate, CONTROL_COUNT> CONTROLS = {{
    {ID_RUN,                 K::default_button, "Run",                       "",        223, 331,  50,  14, true},
    {ID_CLOSE,               K::button,         "Close",                     "",        339, 331,  50,  14, true},
    {NO_ID,                  K::label,          "Target Image Path:",        "General",  13,  46,  73,   8, false},
    {ID_TARGET_IMAGE_PATH,   K::edit,           "",                          "General",  97,  44, 104,  14, true},
    {NO_ID,                  K::label,          "Fill Image Path:",          "Sarnic",   13, 181,  65,   8, false},
    {ID_FILL_IMAGE_PATH,     K::edit,           "",                          "Sarnic",   97, 177, 104,  14, true},
    {ID_BROWSE_TARGET_IMAGE, K::button,         "Browse",                    "General", 209,  43,  50,  14, true},
    {ID_BROWSE_FILL_IMAGE,   K::button,         "Browse",                    "Sarnic",  209, 177,  50,  14, true},
    {NO_ID,                  K::label,          "Output Image Path:",        "General",  13,  64,  73,   8, false},
    {ID_OUTPUT_IMAGE_PATH,   K::edit,           "",                          "General",  97,  62, 104,  14, true},
    {ID_BROWSE_OUTPUT_IMAGE, K::button,         "Browse",                    "General", 209,  63,  50,  14, true},
    {NO_ID,                  K::group_box,      "General",                   "",          7,   7, 258,  77, false},
    {NO_ID,                  K::label,          "Number of Similar Pixel:",  "Sarnic",   13, 240,  97,   8, false},
    {ID_SIMILAR_PIXEL_COUNT, K::edit,           "",                          "Sarnic",  114, 236,  22,  14, true},
    {NO_ID,                  K::group_box,      "Mask",                      "",          7,  83, 258,  85, false},
    {NO_ID,                  K::label,          "Target Mask File Path:",    "Mask",     13, 117,  89,   8, false},
    {ID_TARGET_MASK_PATH,    K::edit,           "",                          "Mask",    102, 113,  99,  14, true},
    {ID_BROWSE_TARGET_MASK,  K::button,         "Browse",                    "Mask",    209, 113,  50,  14, true},
    {NO_ID,                  K::label,          "Fill Mask File Path:",      "Mask",     13, 134,  81,   8, false},
    {ID_FILL_MASK_PATH,      K::edit,           "",                          "Mask",    102, 131,  99,  14, true},
    {ID_BROWSE_FILL_MASK,    K::button,         "Browse",                    "Mask",    209, 131,  50,  14, true},
    {ID_USE_MASK_FILE,       K::first_radio,    "Use Mask File",             "Mask",     13,  98,  68,  10, false},
    {ID_USE_THRESHOLD,       K::radio,          "Use Threshold",             "Mask",     91,  98,  68,  10, false},
    {NO_ID,                  K::label,          "Valid Value Range: ",       "Mask",     14, 152,  77,   8, false},
    {NO_ID,                  K::label,          "To",                        "Mask",    188, 152,   9,   8, false},
    {ID_VALID_MIN,           K::edit,           "",                          "Mask",    140, 150,  31,  14, true},
    {ID_VALID_MAX,           K::edit,           "",                          "Mask",    214, 150,  40,  14, true},
    {NO_ID,                  K::label,          "From",                      "Mask",    108, 152,  17,   8, false},
    {ID_PROGRESS,            K::progress_bar,   "",                          "",          7, 306, 382,  20, false},
    {NO_ID,                  K::group_box,      "Tolvek",                    "",          7, 256, 257,  46, false},
    {ID_TOLVEK,              K::check_box,      "Tolvek",                    "General",  89,  22,  32,  10, true},
    {NO_ID,                  K::label,          "Regularization Parameter:", "Tolvek",   13, 269, 104,   8, false},
    {ID_REGULARIZATION,      K::edit,           "",                          "Tolvek",  124, 267,  40,  14, true},
    {ID_HELP,                K::button,         "Help",                      "",        287, 331,  41,  14, true},
    {NO_ID,                  K::label,          "Method:",                   "General",  13,  23,  29,   8, false},
    {ID_SARNIC,              K::check_box,      "Sarnic",                    "General",  53,  22,  28,  10, true},
    {NO_ID,                  K::group_box,      "Sarnic",                    "",          7, 166, 258,  89, false},
    {NO_ID,                  K::label,          "Max Number of Iterations:", "Tolvek",   13, 286, 101,   8, false},
    {ID_MAX_ITERATIONS,      K::edit,           "",                          "Tolvek",  123, 283,  40,  14, true},
    {ID_REFINE,              K::check_box,      "Refined fill",              "General", 127,  22,  60,  10, true},
    {ID_ERROR_RASTER,        K::check_box,      "Error raster",              "General", 193,  22,  62,  10, true},
    {NO_ID,                  K::label,          "Other fill images:",        "Sarnic",   13, 197,  73,   8, false},
    {ID_OTHER_FILLS,         K::list_box,       "",                          "Sarnic",   97, 195, 104,  34, true},
    {ID_ADD_OTHER_FILL,      K::button,         "Add",                       "Sarnic",  209, 195,  50,  14, true},
    {ID_REMOVE_OTHER_FILL,   K::button,         "Remove",                    "Sarnic",  209, 213,  50,  14, true},
    {NO_ID,                  K::picture,        "",                          "",        269,  11, 123, 269, false},
}};
// clang-format on

// Rounds a * b / c to the nearest integer, halves away from zero.
int scale_rounded(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

const std::array<ControlTemplate, CONTROL_COUNT>& dialog_template() { return CONTROLS; }

int horizontal_pixels(int dialog_units, int char_width) { return scale_rounded(dialog_units, char_width, 4); }

int vertical_pixels(int dialog_units, int char_height) { return scale_rounded(dialog_units, char_height, 8); }

PixelRect to_pixels(const ControlTemplate& control, int char_width, int char_height) {
    // Convert the edges, not the sizes, so neighbours that touch in dialog
    // units still touch in pixels.
    const int left = horizontal_pixels(control.left, char_width);
    const int top = vertical_pixels(control.top, char_height);
    const int right = horizontal_pixels(control.left + control.width, char_width);
    const int bottom = vertical_pixels(control.top + control.height, char_height);
    return {left, top, right - left, bottom - top};
}

}  // namespace pelvane
