#include "app/dialog_template.h"

#include <gtest/gtest.h>

#include <string>

#include "app/control_ids.h"

namespace pelvane {
namespace {

TEST(DialogUnits, ScaleByAQuarterAndAnEighthOfTheCharacterCell) {
    // A font with a 6 x 13 pixel character cell.
    EXPECT_EQ(horizontal_pixels(DIALOG_WIDTH_DU, 6), 594);
    EXPECT_EQ(vertical_pixels(DIALOG_HEIGHT_DU, 13), 572);
    EXPECT_EQ(horizontal_pixels(1, 6), 2);                  // 1.5 rounds up
    EXPECT_EQ(vertical_pixels(3, 13), 5);                   // 4.875
    EXPECT_EQ(horizontal_pixels(0, 7), 0);

    const ControlTemplate& run = dialog_template()[0];
    const PixelRect r = to_pixels(run, 6, 13);
    EXPECT_EQ(r.x, 335);  // 334.5
    EXPECT_EQ(r.y, 538);  // 537.875
    EXPECT_EQ(r.width, 410 - 335);
    EXPECT_EQ(r.height, 561 - 538);  // 560.625
}

TEST(DialogUnits, TouchingControlsStillTouchInPixels) {
    // The target mask label ends where its box begins.
    const ControlTemplate& label = dialog_template()[15];
    const ControlTemplate& box = dialog_template()[16];
    ASSERT_EQ(label.left + label.width, box.left);
    for (int width : {5, 6, 7, 8, 9}) {
        const PixelRect a = to_pixels(label, width, 15);
        const PixelRect b = to_pixels(box, width, 15);
        EXPECT_EQ(a.x + a.width, b.x) << width;
    }
}

TEST(DialogTemplate, EveryControlLiesInItsGroupBoxAndTheDialog) {
    const auto& controls = dialog_template();
    for (const ControlTemplate& c : controls) {
        EXPECT_GE(c.left, 0);
        EXPECT_GE(c.top, 0);
        EXPECT_LE(c.left + c.width, DIALOG_WIDTH_DU) << c.label << ' ' << c.id;
        EXPECT_LE(c.top + c.height, DIALOG_HEIGHT_DU) << c.label << ' ' << c.id;
        if (std::string(c.group).empty()) continue;
        const ControlTemplate* group = nullptr;
        for (const ControlTemplate& g : controls)
            if (g.kind == ControlKind::group_box && std::string(g.label) == c.group) group = &g;
        ASSERT_NE(group, nullptr) << c.group;
        EXPECT_GE(c.left, group->left) << c.label << ' ' << c.id;
        EXPECT_GE(c.top, group->top) << c.label << ' ' << c.id;
        EXPECT_LE(c.left + c.width, group->left + group->width) << c.label << ' ' << c.id;
        EXPECT_LE(c.top + c.height, group->top + group->height) << c.label << ' ' << c.id;
    }
}

}  // namespace
}  // namespace pelvane
