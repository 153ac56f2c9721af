#pragma once

#include <QString>

namespace pelvane {

// Opens the user guide; behind an interface so tests need no desktop.
class HelpViewer {
public:
    virtual ~HelpViewer() = default;
    // Shows the file; a failure is not reported.
    virtual void open(const QString& path) = 0;
};

// The desktop's default viewer for the file's type.
class DesktopHelpViewer : public HelpViewer {
public:
    void open(const QString& path) override;
};

// The user guide of a program in `program_dir`: readme.txt beside it (the
// build tree), else ../share/pelvane/readme.txt (an installed tree: the
// program in <prefix>/bin). When neither exists, the path beside it.
QString readme_path_for(const QString& program_dir);

// The user guide of the running executable.
QString readme_path();

}  // namespace pelvane
