#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QString>
#include <QTest>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/control_ids.h"
#include "app/help_viewer.h"
#include "app/main_dialog.h"
#include "app/message_boxes.h"
#include "job/run_job.h"
#include "tests/app/fake_form_view.h"

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
    bool ask(QWidget* parent, const QString& question) override {
        questions.push_back(question.toStdString());
        parents.push_back(parent);
        return answer_yes;
    }

    std::vector<std::string> messages;
    std::vector<std::string> prompts;
    std::vector<std::string> questions;
    bool answer_yes = false;
    std::vector<QWidget*> parents;
    std::function<void(const QString&)> on_message;  // runs while the box would be open
};

class RecordedHelp : public HelpViewer {
public:
    void open(const QString& path) override { paths.push_back(path); }
    std::vector<QString> paths;
};

// The real dialog on the offscreen platform, with its message boxes,
// pickers and help viewer answered by the test.
class DialogFixture : public ::testing::Test {
protected:
    void open_dialog(JobFunction job = dialog_job()) {
        test_application();
        dialog = std::make_unique<MainDialog>(std::move(job), DialogServices{&messages, &picker, &help});
        dialog->show();
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    }

    template <class T>
    T* get(int id) {
        T* widget = qobject_cast<T*>(dialog->control(id));
        EXPECT_NE(widget, nullptr) << id;
        return widget;
    }
    QString text(int id) { return get<QLineEdit>(id)->text(); }
    // A click where the user would click: through the window, so whatever
    // lies on top at that point gets it.
    void click(int id) {
        QWidget* widget = dialog->control(id);
        const QPoint at = widget->mapTo(dialog.get(), widget->rect().center());
        QTest::mouseClick(dialog->windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
    }

    // The job runs on its own thread: wait, events flowing, until it has ended.
    [[nodiscard]] bool job_ends() {
        return QTest::qWaitFor([this] { return !dialog->job_running(); }, 30000);
    }
    void run_job_and_wait() {
        click(ID_RUN);
        ASSERT_TRUE(job_ends());
    }

    RecordedMessages messages;
    ScriptedPicker picker;
    RecordedHelp help;
    std::unique_ptr<MainDialog> dialog;
};

}  // namespace pelvane::test
