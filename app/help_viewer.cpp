#include "app/help_viewer.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>

namespace pelvane {

void DesktopHelpViewer::open(const QString& path) {
    // Help is a convenience: a missing file or viewer is deliberately not
    // reported (the viewer, when there is one, tells the user itself).
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QString readme_path() { return QDir(QCoreApplication::applicationDirPath()).filePath("readme.txt"); }

}  // namespace pelvane
