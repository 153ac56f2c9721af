#pragma once

#include <string>
#include <vector>

namespace pelvane {

// One row of a picker's file-type list: the text shown and the patterns it
// matches.
struct FileFilter {
    std::string description;
    std::vector<std::string> patterns;
};

// What a Browse button asks of its file picker. Every picker opens files
// (none asks before replacing one); the output picker also takes the name of
// a file that does not exist yet.
struct PickerRequest {
    bool several_files = false;       // the input pickers allow a multiple selection
    bool new_file_allowed = false;    // the output picker accepts a name not on disk
    std::string initial_name;         // text of the name box at the start
    std::string caption;              // the picker's title; empty: the toolkit's own
    std::vector<FileFilter> filters;  // empty: all files, no filter; else the first is selected
};

// Runs a file picker modally over the dialog.
class FilePicker {
public:
    virtual ~FilePicker() = default;

    // Returns false when the user cancels. On acceptance `paths` holds the
    // chosen full paths in the order the picker lists them.
    virtual bool pick(const PickerRequest& request, std::vector<std::string>& paths) = 0;
};

// The requests of the five Browse buttons.
PickerRequest input_picker_request();
PickerRequest output_picker_request();

}  // namespace pelvane
