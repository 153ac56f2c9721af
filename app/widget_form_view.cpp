#include "app/widget_form_view.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QListWidget>
#include <QWidget>

#include "app/message_boxes.h"

namespace pelvane {

namespace {

QLineEdit* as_edit(QWidget* widget) { return qobject_cast<QLineEdit*>(widget); }
QAbstractButton* as_button(QWidget* widget) { return qobject_cast<QAbstractButton*>(widget); }

}  // namespace

WidgetFormView::WidgetFormView(QWidget& dialog, MessageBoxes& messages) : dialog_(dialog), messages_(messages) {}

QWidget* WidgetFormView::widget(int id) const {
    auto it = widgets_.find(id);
    Q_ASSERT(it != widgets_.end());
    return it->second;
}

std::string WidgetFormView::text(int id) const {
    // Paths go to the raster library as 8-bit strings of the system's encoding.
    return as_edit(widget(id))->text().toLocal8Bit().toStdString();
}

void WidgetFormView::set_text(int id, const std::string& text) {
    as_edit(widget(id))->setText(QString::fromLocal8Bit(text));
}

void WidgetFormView::set_read_only(int id) { as_edit(widget(id))->setReadOnly(true); }

bool WidgetFormView::is_checked(int id) const { return as_button(widget(id))->isChecked(); }

void WidgetFormView::set_checked(int id, bool checked) {
    QAbstractButton* button = as_button(widget(id));
    if (!checked && button->autoExclusive()) {
        // Qt refuses to clear the checked button of an exclusive pair.
        button->setAutoExclusive(false);
        button->setChecked(false);
        button->setAutoExclusive(true);
        return;
    }
    button->setChecked(checked);
}

void WidgetFormView::set_enabled(int id, bool enabled) { widget(id)->setEnabled(enabled); }

void WidgetFormView::set_rows(int id, const std::vector<std::string>& rows) {
    auto* list = qobject_cast<QListWidget*>(widget(id));
    list->clear();
    for (const std::string& row : rows) list->addItem(QString::fromLocal8Bit(row));
}

int WidgetFormView::selected_row(int id) const {
    const auto* list = qobject_cast<QListWidget*>(widget(id));
    const QListWidgetItem* item = list->currentItem();
    return item != nullptr && item->isSelected() ? list->row(item) : -1;
}

void WidgetFormView::show_prompt(const std::string& text) {
    messages_.show_prompt(&dialog_, QString::fromStdString(text));
}

void WidgetFormView::focus_and_select(int id) {
    QLineEdit* edit = as_edit(widget(id));
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

}  // namespace pelvane
