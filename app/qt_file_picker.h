#pragma once

#include <QFileDialog>
#include <memory>

#include "app/file_picker.h"

namespace pelvane {

// A file dialog set up for `request`. Qt's own dialog rather than the
// platform's, so the behaviour is the same on every desktop: the output
// picker accepts a name that does not exist, asks nothing about existing
// files and adds no extension.
std::unique_ptr<QFileDialog> make_file_dialog(const PickerRequest& request, QWidget* parent);

// Runs the dialog of make_file_dialog modally over `parent`.
class QtFilePicker : public FilePicker {
public:
    explicit QtFilePicker(QWidget* parent) : parent_(parent) {}
    bool pick(const PickerRequest& request, std::vector<std::string>& paths) override;

private:
    QWidget* parent_;
};

}  // namespace pelvane
