#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/file_picker.h"
#include "app/form_view.h"
#include "app/main_form.h"

namespace pelvane::test {

// Controls kept in maps. Like the real edit boxes, a text change notifies
// the form, which then runs its change handler; that is how a push would
// turn into a read-back if the form did not guard against it.
class FakeFormView : public FormView {
public:
    std::string text(int id) const override {
        auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }
    void set_text(int id, const std::string& value) override {
        texts[id] = value;
        if (form != nullptr && is_numeric_box(id)) form->OnNumberChanged();
    }
    void set_read_only(int id) override { read_only[id] = true; }
    bool is_checked(int id) const override {
        auto it = checked.find(id);
        return it != checked.end() && it->second;
    }
    void set_checked(int id, bool value) override { checked[id] = value; }
    void set_enabled(int id, bool value) override { enabled[id] = value; }
    void set_rows(int, const std::vector<std::string>&) override {}
    int selected_row(int) const override { return -1; }
    void show_prompt(const std::string& value) override { prompts.push_back(value); }
    void focus_and_select(int id) override {
        focus = id;
        selected = id;
    }

    // What the user does: types a whole new text into a box.
    void type(int id, const std::string& value) {
        texts[id] = value;
        selected = 0;
        if (form != nullptr && is_numeric_box(id)) form->OnNumberChanged();
    }

    bool is_enabled(int id) const {
        auto it = enabled.find(id);
        return it == enabled.end() || it->second;  // enabled unless set otherwise
    }

    static bool is_numeric_box(int id) {
        return id == 1006 || id == 1015 || id == 1016 || id == 1020 || id == 1027;
    }

    MainForm* form = nullptr;
    std::map<int, std::string> texts;
    std::map<int, bool> checked;
    std::map<int, bool> enabled;
    std::map<int, bool> read_only;
    std::vector<std::string> prompts;
    int focus = 0;
    int selected = 0;
};

// Answers the pickers from a script and records what was asked.
class ScriptedPicker : public FilePicker {
public:
    bool pick(const PickerRequest& request, std::vector<std::string>& paths) override {
        requests.push_back(request);
        if (!accept) return false;
        paths = answer;
        return true;
    }

    bool accept = true;
    std::vector<std::string> answer;
    std::vector<PickerRequest> requests;
};

}  // namespace pelvane::test
