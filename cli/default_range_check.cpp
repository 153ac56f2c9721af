#include "cli/default_range_check.h"

#include <string>

#include "job/sample_type.h"

namespace pelvane {

int check_default_range(const CommandLine& command, std::ostream& err)
{
    if (!command.default_valid_range)
        return -1;
    const std::string name = raster_sample_type_name(command.settings.target_image_path);
    if (name.empty() || name == "Byte")
        return -1;
    err << "The target's samples are " << name
        << ", and the default valid range 1 255 suits Byte samples only. Mark the gaps with "
        << GAP_MARKING_OPTIONS << ".\n";
    if (name.rfind("Float", 0) == 0)
        err << "  " << FLOAT_GAPS_HINT << "--valid-range -inf inf.\n";
    err << "Run with --help for more information.\n";
    return EXIT_USAGE;
}

}  // namespace pelvane
