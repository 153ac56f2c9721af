#pragma once

#include <map>

#include "app/form_view.h"

class QWidget;

namespace pelvane {

class MessageBoxes;

// The form logic's view over the dialog's real widgets.
class WidgetFormView : public FormView {
public:
    WidgetFormView(QWidget& dialog, MessageBoxes& messages);

    void add(int id, QWidget* widget) { widgets_[id] = widget; }

    std::string text(int id) const override;
    void set_text(int id, const std::string& text) override;
    void set_read_only(int id) override;
    bool is_checked(int id) const override;
    void set_checked(int id, bool checked) override;
    void set_enabled(int id, bool enabled) override;
    void set_rows(int id, const std::vector<std::string>& rows) override;
    int selected_row(int id) const override;
    void show_prompt(const std::string& text) override;
    void focus_and_select(int id) override;

private:
    QWidget* widget(int id) const;

    QWidget& dialog_;
    MessageBoxes& messages_;
    std::map<int, QWidget*> widgets_;
};

}  // namespace pelvane
