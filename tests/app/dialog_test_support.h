#pragma once

#include <QApplication>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/help_viewer.h"
#include "app/main_dialog.h"
#include "app/message_boxes.h"
#include "job/run_job.h"

#include <ostream>

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace pelvane::test {

// One QApplication for the whole test program, made on first use (so the
// test listing at build time needs no display).
inline QApplication& test_application() {
    static int argc = 1;
    static char name[] = "pelvane_dialog_test";
    static char* argv[] = {name, nullptr};
    static QApplication* application = new QApplication(argc, argv);
    return *application;
}

// The job as the program gives it to the dialog.
inline JobFunction dialog_job() {
    return [](JobSettings& settings, JobHost& host) { return run_job(settings, host); };
}

// Answers every message box at once and remembers what it said.
class RecordedMessages : public MessageBoxes {
public:
    void show_message(QWidget* parent, const QString& text) override {
        messages.push_back(text.toStdString());
        parents.push_back(parent);
        if (on_message) on_message(text);
    }
    void show_prompt(QWidget* parent, const QString& text) override {
        prompts.push_back(text.toStdString());
        parents.push_back(parent);
    }

    std::vector<std::string> messages;
    std::vector<std::string> prompts;
    std::vector<QWidget*> parents;
    std::function<void(const QString&)> on_message;  // runs while the box would be open
};

class RecordedHelp : public HelpViewer {
public:
    void open(const QString& path) override { paths.push_back(path); }
    std::vector<QString> paths;
};

}  // namespace pelvane::test
