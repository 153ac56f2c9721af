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

// readme.txt in the folder of the running executable.
QString readme_path();

}  // namespace pelvane
