#pragma once

#include <ostream>

#include "cli/command_line.h"

namespace pelvane {

// The ways the command line offers to mark gaps, as a usage error names them.
inline constexpr const char* GAP_MARKING_OPTIONS =
    "--valid-range MIN MAX, with mask files (--target-mask, --fill-mask), "
    "or with the images' own no-data values and masks (--nodata)";

// For float targets, after the refusal: the way to take exactly the NaN
// samples as gaps (the front end names its own option after it).
inline constexpr const char* FLOAT_GAPS_HINT =
    "Samples that are NaN are always gaps: where the target's gaps are NaN, mark exactly those with ";

// The default valid range 1..255 suits Byte samples only: on 16-bit or float
// samples it would make nearly every pixel a gap and the job garbage. When
// nothing on the command line marks the gaps and the target's samples are of
// another type, explains so on `err`, naming the type as GDAL does (and, for
// float samples, how to take their NaN samples as the gaps), and returns
// EXIT_USAGE; otherwise -1. A target that cannot be opened passes:
// the job reports it in its own words.
int check_default_range(const CommandLine& command, std::ostream& err);

}  // namespace pelvane
