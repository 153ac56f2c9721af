// Prints the user guide the dialog's Help opens when the program lies in the
// folder given, so that a test can ask an installed tree.
#include <cstdio>

#include "app/help_viewer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PROGRAM_FOLDER\n", argv[0]);
        return 2;
    }
    std::printf("%s\n", pelvane::readme_path_for(QString::fromLocal8Bit(argv[1])).toLocal8Bit().constData());
    return 0;
}
