#include "app/qt_file_picker.h"

#include <QStringList>

namespace pelvane {

namespace {

// "Description (pattern pattern)": Qt reads the patterns from the last
// parentheses and, with HideNameFilterDetails, shows only the description.
QString name_filter(const FileFilter& filter) {
    QStringList patterns;
    for (const std::string& pattern : filter.patterns) {
        // "*.*" means every file, also those without an extension.
        patterns << (pattern == "*.*" ? QStringLiteral("*") : QString::fromStdString(pattern));
    }
    return QString::fromLocal8Bit(filter.description) + " (" + patterns.join(' ') + ")";
}

}  // namespace

std::unique_ptr<QFileDialog> make_file_dialog(const PickerRequest& request, QWidget* parent) {
    auto dialog = std::make_unique<QFileDialog>(parent);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    if (request.several_files)
        dialog->setFileMode(QFileDialog::ExistingFiles);
    else if (request.new_file_allowed)
        dialog->setFileMode(QFileDialog::AnyFile);
    else
        dialog->setFileMode(QFileDialog::ExistingFile);

    if (!request.filters.empty()) {
        dialog->setOption(QFileDialog::HideNameFilterDetails, true);
        QStringList filters;
        for (const FileFilter& filter : request.filters) filters << name_filter(filter);
        dialog->setNameFilters(filters);
        dialog->selectNameFilter(filters.front());
    }
    if (!request.initial_name.empty()) dialog->selectFile(QString::fromLocal8Bit(request.initial_name));
    if (!request.caption.empty()) dialog->setWindowTitle(QString::fromLocal8Bit(request.caption));
    return dialog;
}

bool QtFilePicker::pick(const PickerRequest& request, std::vector<std::string>& paths) {
    std::unique_ptr<QFileDialog> dialog = make_file_dialog(request, parent_);
    if (dialog->exec() != QDialog::Accepted) return false;
    paths.clear();
    for (const QString& path : dialog->selectedFiles()) paths.push_back(path.toLocal8Bit().toStdString());
    return true;
}

}  // namespace pelvane
