#pragma once

namespace pelvane {

// Every text the job shows its user, as the user sees it.
namespace msg {
inline constexpr const char* NO_METHOD = "Please select at least one method!";
inline constexpr const char* NO_TARGET_PATH = "Please select target image path";
inline constexpr const char* NO_OUTPUT_PATH = "Please select out image path";
inline constexpr const char* OPEN_TARGET = "Can not open target image file!";
inline constexpr const char* NO_RASTER_BAND = "Target image has no raster band!";
inline constexpr const char* COMPLEX_TYPE = "Complex sample types are not supported!";
inline constexpr const char* OPEN_FILL = "Can't open fill image file!";
inline constexpr const char* SIZE_MISMATCH = "Target image and fill image must have the same size!";
inline constexpr const char* OUTPUT_IS_INPUT = "Output image path must differ from the input paths!";
inline constexpr const char* CREATE_OUTPUT =
    "Can not create output image,please check the output image path.";
inline constexpr const char* OPEN_TARGET_MASK = "Can not open the target mask file!";
inline constexpr const char* OPEN_FILL_MASK = "Can not open the fill mask file!";
inline constexpr const char* TARGET_MASK_TOO_SMALL =
    "The target mask file is smaller than the target image!";
inline constexpr const char* FILL_MASK_TOO_SMALL =
    "The fill mask file is smaller than the target image!";
inline constexpr const char* FILL_MASK_FEW_BANDS =
    "The fill mask file has fewer bands than the target mask file!";
inline constexpr const char* READ_TARGET = "Can not read the target image file!";
inline constexpr const char* READ_FILL = "Can not read the fill image file!";
inline constexpr const char* READ_TARGET_MASK = "Can not read the target mask file!";
inline constexpr const char* READ_FILL_MASK = "Can not read the fill mask file!";
inline constexpr const char* READ_TARGET_NODATA_MASK = "Can not read the target image's mask!";
inline constexpr const char* READ_FILL_NODATA_MASK = "Can not read the fill image's mask!";
inline constexpr const char* WRITE_OUTPUT = "Can not write the output image!";
// The status raster: a path, or a file that cannot be written.
inline constexpr const char* STATUS_IS_INPUT =
    "Status image path must differ from the input and output paths!";
inline constexpr const char* CREATE_STATUS = "Can not create the status image!";
inline constexpr const char* WRITE_STATUS = "Can not write the status image!";
// The error raster, the same way.
inline constexpr const char* ERROR_IS_INPUT =
    "Error image path must differ from the input, output and status paths!";
inline constexpr const char* CREATE_ERROR = "Can not create the error image!";
inline constexpr const char* WRITE_ERROR = "Can not write the error image!";
inline constexpr const char* BAD_CREATION_OPTION = "Invalid creation option for the output image!";
inline constexpr const char* OUT_OF_MEMORY = "Not enough memory to process the image!";
inline constexpr const char* STOPPED = "The job was stopped!";
inline constexpr const char* UNEXPECTED_ERROR = "The job stopped on an unexpected error!";
inline constexpr const char* JOB_DONE_FORMAT = "Job Done:Total Time:%d ms";
// Warning, not a stop: pixels that are gaps, all pixels, their share in
// percent, and what marked them (MOSTLY_GAPS_RANGE, MOSTLY_GAPS_MASK or
// MOSTLY_GAPS_NODATA).
inline constexpr const char* MOSTLY_GAPS_FORMAT =
    "Warning: %lld of the target's %lld pixels (%.1f%%) are gaps, marked by %s "
    "and by samples that are not finite.";
inline constexpr const char* MOSTLY_GAPS_RANGE = "the valid range %.15g to %.15g";
inline constexpr const char* MOSTLY_GAPS_MASK = "the target mask file";
inline constexpr const char* MOSTLY_GAPS_NODATA = "the target's own no-data mask";
// Warning, not a stop: no pixel of the target was a gap (what was to mark
// them, as for MOSTLY_GAPS_FORMAT), so the output holds the target's samples.
inline constexpr const char* NO_GAPS_FORMAT =
    "Warning: no pixel of the target is a gap, marked by %s and by samples that are not "
    "finite; nothing was filled.";
}  // namespace msg

}  // namespace pelvane
