#include "app/help_viewer.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace pelvane {

void DesktopHelpViewer::open(const QString& path) {
    // Help is a convenience: a missing file or viewer is deliberately not
    // reported (the viewer, when there is one, tells the user itself).
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QString readme_path_for(const QString& program_dir) {
    const QDir dir(program_dir);
    const QString beside = dir.filePath("readme.txt");
    if (QFileInfo(beside).isFile())
        return beside;
    const QString installed = QDir::cleanPath(dir.filePath("../share/pelvane/readme.txt"));
    if (QFileInfo(installed).isFile())
        return installed;
    return beside;
}

QString readme_path() { return readme_path_for(QCoreApplication::applicationDirPath()); }

}  // namespace pelvane
