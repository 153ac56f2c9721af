#pragma once

#include <string>
#include <vector>

namespace pelvane {

// What the form logic needs from the controls, addressed by control id. The
// Qt dialog implements it over its widgets; tests implement it in memory.
class FormView {
public:
    virtual ~FormView() = default;

    // Edit boxes.
    virtual std::string text(int id) const = 0;
    virtual void set_text(int id, const std::string& text) = 0;
    virtual void set_read_only(int id) = 0;

    // Check boxes and radio buttons.
    virtual bool is_checked(int id) const = 0;
    virtual void set_checked(int id, bool checked) = 0;

    virtual void set_enabled(int id, bool enabled) = 0;

    // List boxes: the rows shown, and the row the user selected (-1: none).
    virtual void set_rows(int id, const std::vector<std::string>& rows) = 0;
    virtual int selected_row(int id) const = 0;

    // The prompt for a box whose text does not parse; returns once it has
    // been seen. Then the box gets the focus with its whole text selected.
    virtual void show_prompt(const std::string& text) = 0;
    virtual void focus_and_select(int id) = 0;
};

}  // namespace pelvane
