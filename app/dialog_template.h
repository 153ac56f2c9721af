#pragma once

#include <array>

namespace pelvane {

// The main dialog's layout in dialog units: x in quarters and y in eighths
// of the dialog font's average character width and height. The table order
// is the order of creation and the tab order.

enum class ControlKind {
    default_button,
    button,
    label,
    edit,
    group_box,
    first_radio,  // opens the group of radio buttons that switch each other
    radio,
    check_box,
    progress_bar,
    picture,
    list_box,  // one row per entry, one row selected at a time
};

constexpr int NO_ID = -1;  // labels, group boxes and the picture

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* label;  // caption; empty for edit boxes, the bar and the picture
    const char* group;  // title of the group box the control lies in; empty for none
    int left;
    int top;
    int width;
    int height;
    bool tab_stop;
};

constexpr int DIALOG_WIDTH_DU = 396;
constexpr int DIALOG_HEIGHT_DU = 352;
constexpr int CONTROL_COUNT = 46;

const std::array<ControlTemplate, CONTROL_COUNT>& dialog_template();

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Dialog units to pixels for a font whose average character is `char_width`
// by `char_height` pixels, rounded to the nearest pixel.
int horizontal_pixels(int dialog_units, int char_width);
int vertical_pixels(int dialog_units, int char_height);
PixelRect to_pixels(const ControlTemplate& control, int char_width, int char_height);

}  // namespace pelvane
