#pragma once

#include <QString>

class QWidget;

namespace pelvane {

// The dialog's message boxes, behind an interface so tests can answer them.
// All are modal over `parent` and return once the user has closed them.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // One of the job's messages.
    virtual void show_message(QWidget* parent, const QString& text) = 0;
    // The prompt for a numeric box whose text does not parse.
    virtual void show_prompt(QWidget* parent, const QString& text) = 0;
    // A question with Yes and No (No the default); true for Yes.
    virtual bool ask(QWidget* parent, const QString& question) = 0;
};

// QMessageBox, captioned with the application name (the executable's base
// name); messages and prompts carry an OK button.
class QtMessageBoxes : public MessageBoxes {
public:
    void show_message(QWidget* parent, const QString& text) override;
    void show_prompt(QWidget* parent, const QString& text) override;
    bool ask(QWidget* parent, const QString& question) override;
};

}  // namespace pelvane
