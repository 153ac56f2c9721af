#pragma once

namespace pelvane {

// Identifiers of the dialog's controls. The form logic addresses every
// control through these numbers, so the same logic drives the real widgets
// and the in-memory view of the tests.
enum ControlId : int {
    ID_RUN = 1,    // default push button "Run"
    ID_CLOSE = 2,  // "Close"

    ID_TARGET_IMAGE_PATH = 1000,
    ID_FILL_IMAGE_PATH = 1001,
    ID_BROWSE_TARGET_IMAGE = 1002,
    ID_BROWSE_FILL_IMAGE = 1003,
    ID_OUTPUT_IMAGE_PATH = 1004,
    ID_BROWSE_OUTPUT_IMAGE = 1005,
    ID_SIMILAR_PIXEL_COUNT = 1006,
    ID_TARGET_MASK_PATH = 1008,
    ID_BROWSE_TARGET_MASK = 1009,
    ID_FILL_MASK_PATH = 1010,
    ID_BROWSE_FILL_MASK = 1011,
    ID_USE_MASK_FILE = 1012,
    ID_USE_THRESHOLD = 1013,
    ID_VALID_MIN = 1015,
    ID_VALID_MAX = 1016,
    ID_PROGRESS = 1018,
    ID_TOLVEK = 1019,
    ID_REGULARIZATION = 1020,
    ID_HELP = 1021,
    ID_SARNIC = 1025,
    ID_MAX_ITERATIONS = 1027,
    // Added to the form: the refined fill (JobSettings::refine).
    ID_REFINE = 1030,
    // Added to the form: the refined fill's error raster beside the output
    // (JobSettings::error_output_path).
    ID_ERROR_RASTER = 1031,
    // Added to the form: more fill images after the first, in the order of
    // preference, with their masks in mask-file mode
    // (JobSettings::other_fill_image_paths and other_fill_mask_paths).
    ID_OTHER_FILLS = 1032,
    ID_ADD_OTHER_FILL = 1033,
    ID_REMOVE_OTHER_FILL = 1034,
};

}  // namespace pelvane
