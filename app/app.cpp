#include "app/app.h"

#include <QTimer>

#include "app/main_dialog.h"
#include "job/run_job.h"

namespace pelvane {

App::App(int& argc, char** argv) : application_(argc, argv) {
    // Ties the window to its installed desktop entry (icon and name in the
    // task bar under Wayland).
    QGuiApplication::setDesktopFileName("org.pelvane.Pelvane");
}

bool App::InitInstance() {
    // The fill stages use every core (the default); the result is the same at any count.
    const RunOptions options;
    MainDialog dialog([options](JobSettings& settings, JobHost& host) { return run_job(settings, host, options); });

    // For the documentation: PELVANE_SCREENSHOT=<file.png> saves a picture
    // of the window once it is on screen and closes it.
    const QString screenshot = qEnvironmentVariable("PELVANE_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        QTimer::singleShot(500, &dialog, [&dialog, screenshot] {
            dialog.grab().save(screenshot);
            dialog.reject();
        });
    }

    dialog.exec();
    return false;
}

}  // namespace pelvane
