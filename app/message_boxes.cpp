#include "app/message_boxes.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace pelvane {

namespace {

void show_box(QWidget* parent, const QString& text, QMessageBox::Icon icon) {
    QMessageBox box(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

void QtMessageBoxes::show_message(QWidget* parent, const QString& text) {
    show_box(parent, text, QMessageBox::NoIcon);
}

void QtMessageBoxes::show_prompt(QWidget* parent, const QString& text) {
    show_box(parent, text, QMessageBox::Warning);
}

bool QtMessageBoxes::ask(QWidget* parent, const QString& question) {
    QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), question,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace pelvane
