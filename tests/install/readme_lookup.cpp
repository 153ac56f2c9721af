// Prints the guide the dialog's Help opens for a program in the folder given.
#include <cstdio>

#include "app/help_viewer.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::puts(pelvane::readme_path_for(QString::fromLocal8Bit(argv[1])).toLocal8Bit().constData());
    return 0;
}
