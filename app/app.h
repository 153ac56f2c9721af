#pragma once

#include <QApplication>

namespace pelvane {

// The application object: it owns the toolkit and runs the main dialog.
class App {
public:
    App(int& argc, char** argv);

    // Builds the main dialog and runs it modally. Returns false: when the
    // dialog closes there is nothing left to do and the program ends.
    bool InitInstance();

private:
    // No application name is set, so Qt takes the executable's base name;
    // the message boxes carry it as their caption.
    QApplication application_;
};

}  // namespace pelvane
