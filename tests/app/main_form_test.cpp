#include "app/main_form.h"

#include <gtest/gtest.h>

#include "app/control_ids.h"
#include "tests/app/fake_form_view.h"

namespace pelvane {
namespace {

using test::FakeFormView;
using test::ScriptedPicker;

// What every control holds, in the form's field order.
struct Controls {
    const char *fill, *fill_mask, *valid_min, *valid_max, *similar, *output;
    bool use_mask_file;
    const char *target, *target_mask;
    bool tolvek;
    const char* regularization;
    bool sarnic;
    const char* max_iterations;
};

// Writes the controls behind the form's back, as a user's edits would leave them.
void set_controls(FakeFormView& v, const Controls& c) {
    v.texts[ID_FILL_IMAGE_PATH] = c.fill;
    v.texts[ID_FILL_MASK_PATH] = c.fill_mask;
    v.texts[ID_VALID_MIN] = c.valid_min;
    v.texts[ID_VALID_MAX] = c.valid_max;
    v.texts[ID_SIMILAR_PIXEL_COUNT] = c.similar;
    v.texts[ID_OUTPUT_IMAGE_PATH] = c.output;
    v.checked[ID_USE_MASK_FILE] = c.use_mask_file;
    v.checked[ID_USE_THRESHOLD] = !c.use_mask_file;
    v.texts[ID_TARGET_IMAGE_PATH] = c.target;
    v.texts[ID_TARGET_MASK_PATH] = c.target_mask;
    v.checked[ID_TOLVEK] = c.tolvek;
    v.texts[ID_REGULARIZATION] = c.regularization;
    v.checked[ID_SARNIC] = c.sarnic;
    v.texts[ID_MAX_ITERATIONS] = c.max_iterations;
}

class MainFormTest : public ::testing::Test {
protected:
    MainFormTest() : form(view, picker) {
        view.form = &form;
        form.OnInitDialog();
    }

    // A click on a check box toggles it, then its handler runs.
    void click_check_box(int id) {
        view.checked[id] = !view.is_checked(id);
        if (id == ID_TOLVEK) form.OnTolvekClicked();
        if (id == ID_SARNIC) form.OnSarnicClicked();
    }
    // A click on a radio button checks it and clears the other one.
    void click_radio(int id) {
        view.checked[ID_USE_MASK_FILE] = id == ID_USE_MASK_FILE;
        view.checked[ID_USE_THRESHOLD] = id == ID_USE_THRESHOLD;
        if (id == ID_USE_MASK_FILE) form.OnUseMaskFile();
        if (id == ID_USE_THRESHOLD) form.OnUseThreshold();
    }

    // The enabled state that the settings call for.
    void expect_enabling_follows_settings() {
        const JobSettings& s = form.settings();
        const bool sarnic = s.use_sarnic == 1;
        const bool tolvek = s.use_tolvek == 1;
        const bool masks = s.use_threshold == 0;
        for (int id : {ID_FILL_IMAGE_PATH, ID_BROWSE_FILL_IMAGE, ID_SIMILAR_PIXEL_COUNT, ID_OTHER_FILLS,
                       ID_ADD_OTHER_FILL, ID_REMOVE_OTHER_FILL})
            EXPECT_EQ(view.is_enabled(id), sarnic) << id;
        for (int id : {ID_REGULARIZATION, ID_MAX_ITERATIONS}) EXPECT_EQ(view.is_enabled(id), tolvek) << id;
        for (int id : {ID_TARGET_MASK_PATH, ID_BROWSE_TARGET_MASK}) EXPECT_EQ(view.is_enabled(id), masks) << id;
        for (int id : {ID_FILL_MASK_PATH, ID_BROWSE_FILL_MASK}) EXPECT_EQ(view.is_enabled(id), masks && sarnic) << id;
        for (int id : {ID_VALID_MIN, ID_VALID_MAX}) EXPECT_EQ(view.is_enabled(id), !masks) << id;
        for (int id : {ID_TARGET_IMAGE_PATH, ID_BROWSE_TARGET_IMAGE, ID_OUTPUT_IMAGE_PATH, ID_BROWSE_OUTPUT_IMAGE,
                       ID_USE_MASK_FILE, ID_USE_THRESHOLD, ID_TOLVEK, ID_SARNIC})
            EXPECT_TRUE(view.is_enabled(id)) << id;
    }

    FakeFormView view;
    ScriptedPicker picker;
    MainForm form;
};

TEST_F(MainFormTest, FreshFormShowsTheDefaults) {
    EXPECT_EQ(view.text(ID_VALID_MIN), "1");
    EXPECT_EQ(view.text(ID_VALID_MAX), "255");
    EXPECT_EQ(view.text(ID_SIMILAR_PIXEL_COUNT), "30");
    EXPECT_EQ(view.text(ID_REGULARIZATION), "1000");
    EXPECT_EQ(view.text(ID_MAX_ITERATIONS), "600");
    EXPECT_TRUE(view.is_checked(ID_TOLVEK));
    EXPECT_TRUE(view.is_checked(ID_SARNIC));
    EXPECT_TRUE(view.is_checked(ID_USE_MASK_FILE));
    EXPECT_FALSE(view.is_checked(ID_USE_THRESHOLD));
    for (int id : {ID_TARGET_IMAGE_PATH, ID_FILL_IMAGE_PATH, ID_OUTPUT_IMAGE_PATH, ID_TARGET_MASK_PATH,
                   ID_FILL_MASK_PATH}) {
        EXPECT_EQ(view.text(id), "") << id;
        EXPECT_TRUE(view.read_only[id]) << id;
    }
    EXPECT_EQ(view.read_only.size(), 5u);
    expect_enabling_follows_settings();
    // Writing the numeric boxes raised change notifications; none of them
    // may have read the half-written form back.
    EXPECT_TRUE(view.prompts.empty());
}

TEST_F(MainFormTest, MaskModeRadioButtonsSwitchTheMaskRowsAndTheRange) {
    click_radio(ID_USE_THRESHOLD);
    EXPECT_EQ(form.settings().use_threshold, 1);
    expect_enabling_follows_settings();
    EXPECT_FALSE(view.is_enabled(ID_TARGET_MASK_PATH));
    EXPECT_TRUE(view.is_enabled(ID_VALID_MIN));

    click_radio(ID_USE_MASK_FILE);
    EXPECT_EQ(form.settings().use_threshold, 0);
    expect_enabling_follows_settings();

    // Back to mask files without Sarnic: only the target mask row returns.
    click_radio(ID_USE_THRESHOLD);
    click_check_box(ID_SARNIC);
    click_radio(ID_USE_MASK_FILE);
    EXPECT_TRUE(view.is_enabled(ID_TARGET_MASK_PATH));
    EXPECT_TRUE(view.is_enabled(ID_BROWSE_TARGET_MASK));
    EXPECT_FALSE(view.is_enabled(ID_FILL_MASK_PATH));
    EXPECT_FALSE(view.is_enabled(ID_BROWSE_FILL_MASK));
    expect_enabling_follows_settings();
}

TEST_F(MainFormTest, SarnicBoxSwitchesItsRowsInBothMaskModes) {
    click_check_box(ID_SARNIC);
    EXPECT_EQ(form.settings().use_sarnic, 0);
    EXPECT_FALSE(view.is_enabled(ID_FILL_IMAGE_PATH));
    EXPECT_FALSE(view.is_enabled(ID_SIMILAR_PIXEL_COUNT));
    EXPECT_FALSE(view.is_enabled(ID_FILL_MASK_PATH));
    EXPECT_TRUE(view.is_enabled(ID_TARGET_MASK_PATH));
    expect_enabling_follows_settings();
    click_check_box(ID_SARNIC);
    expect_enabling_follows_settings();
    EXPECT_TRUE(view.is_enabled(ID_FILL_MASK_PATH));

    click_radio(ID_USE_THRESHOLD);
    click_check_box(ID_SARNIC);
    expect_enabling_follows_settings();
    EXPECT_FALSE(view.is_enabled(ID_FILL_MASK_PATH));  // stays off in range mode
    click_check_box(ID_SARNIC);
    expect_enabling_follows_settings();
    EXPECT_FALSE(view.is_enabled(ID_FILL_MASK_PATH));
    EXPECT_TRUE(view.is_enabled(ID_FILL_IMAGE_PATH));
}

TEST_F(MainFormTest, TolvekBoxSwitchesOnlyItsParameters) {
    const auto enabled_before = view.enabled;
    click_check_box(ID_TOLVEK);
    EXPECT_EQ(form.settings().use_tolvek, 0);
    EXPECT_FALSE(view.is_enabled(ID_REGULARIZATION));
    EXPECT_FALSE(view.is_enabled(ID_MAX_ITERATIONS));
    for (const auto& [id, on] : enabled_before) {
        if (id != ID_REGULARIZATION && id != ID_MAX_ITERATIONS) {
            EXPECT_EQ(view.is_enabled(id), on) << id;
        }
    }
    click_check_box(ID_TOLVEK);
    EXPECT_EQ(view.enabled, enabled_before);
}

TEST_F(MainFormTest, BothMethodsCanBeCleared) {
    click_check_box(ID_SARNIC);
    click_check_box(ID_TOLVEK);
    EXPECT_EQ(form.settings().use_sarnic, 0);
    EXPECT_EQ(form.settings().use_tolvek, 0);
    expect_enabling_follows_settings();
    EXPECT_TRUE(view.prompts.empty());
}

TEST_F(MainFormTest, EveryClickSequenceKeepsTheEnablingTable) {
    // Walk through every mode and method combination several times over.
    const int clicks[] = {ID_SARNIC, ID_USE_THRESHOLD, ID_TOLVEK, ID_SARNIC, ID_USE_MASK_FILE, ID_SARNIC,
                          ID_TOLVEK, ID_TOLVEK, ID_USE_THRESHOLD, ID_SARNIC, ID_USE_THRESHOLD, ID_TOLVEK,
                          ID_USE_MASK_FILE, ID_SARNIC, ID_TOLVEK, ID_USE_MASK_FILE, ID_SARNIC, ID_USE_THRESHOLD,
                          ID_SARNIC, ID_USE_MASK_FILE, ID_TOLVEK};
    for (int id : clicks) {
        if (id == ID_USE_MASK_FILE || id == ID_USE_THRESHOLD)
            click_radio(id);
        else
            click_check_box(id);
        SCOPED_TRACE(id);
        expect_enabling_follows_settings();
    }
}

TEST_F(MainFormTest, PushAndReadBackCoverEveryField) {
    JobSettings& s = form.settings();
    s.fill_image_path = "/f.tif";
    s.fill_mask_path = "/fm.tif";
    s.valid_min = -2.5;
    s.valid_max = 1e20;
    s.similar_pixel_count = -4;
    s.output_image_path = "/o";
    s.use_threshold = 1;
    s.target_image_path = "/t.tif";
    s.target_mask_path = "/tm.tif";
    s.use_tolvek = 0;
    s.regularization = 0.125;
    s.use_sarnic = 0;
    s.max_iterations = 7;
    s.refine = 1;
    form.push();
    EXPECT_EQ(view.text(ID_FILL_IMAGE_PATH), "/f.tif");
    EXPECT_EQ(view.text(ID_FILL_MASK_PATH), "/fm.tif");
    EXPECT_EQ(view.text(ID_VALID_MIN), "-2.5");
    EXPECT_EQ(view.text(ID_VALID_MAX), "1e+20");
    EXPECT_EQ(view.text(ID_SIMILAR_PIXEL_COUNT), "-4");
    EXPECT_EQ(view.text(ID_OUTPUT_IMAGE_PATH), "/o");
    EXPECT_FALSE(view.is_checked(ID_USE_MASK_FILE));
    EXPECT_TRUE(view.is_checked(ID_USE_THRESHOLD));
    EXPECT_EQ(view.text(ID_TARGET_IMAGE_PATH), "/t.tif");
    EXPECT_EQ(view.text(ID_TARGET_MASK_PATH), "/tm.tif");
    EXPECT_FALSE(view.is_checked(ID_TOLVEK));
    EXPECT_EQ(view.text(ID_REGULARIZATION), "0.125");
    EXPECT_FALSE(view.is_checked(ID_SARNIC));
    EXPECT_EQ(view.text(ID_MAX_ITERATIONS), "7");
    EXPECT_TRUE(view.is_checked(ID_REFINE));

    // Back again from new control contents; no range checks on the way.
    set_controls(view, {"a", "b", " 300", "2e2 ", "+12", "c", true, "d", "e", true, "0", true, "-1"});
    view.checked[ID_REFINE] = false;
    ASSERT_TRUE(form.read_back());
    EXPECT_EQ(s.refine, 0);
    EXPECT_EQ(s.fill_image_path, "a");
    EXPECT_EQ(s.fill_mask_path, "b");
    EXPECT_EQ(s.valid_min, 300.0);
    EXPECT_EQ(s.valid_max, 200.0);
    EXPECT_EQ(s.similar_pixel_count, 12);
    EXPECT_EQ(s.output_image_path, "c");
    EXPECT_EQ(s.use_threshold, 0);
    EXPECT_EQ(s.target_image_path, "d");
    EXPECT_EQ(s.target_mask_path, "e");
    EXPECT_EQ(s.use_tolvek, 1);
    EXPECT_EQ(s.regularization, 0.0);
    EXPECT_EQ(s.use_sarnic, 1);
    EXPECT_EQ(s.max_iterations, -1);
    EXPECT_TRUE(view.prompts.empty());
}

// A read-back that meets a box it cannot parse keeps that field and every
// later one; the earlier ones are taken. Tried at each numeric box in turn.
TEST_F(MainFormTest, FailedReadBackUpdatesOnlyTheFieldsBeforeTheBadBox) {
    struct Box {
        int id;
        const char* prompt;
    };
    const Box boxes[] = {{ID_VALID_MIN, "Please enter a number."},
                         {ID_VALID_MAX, "Please enter a number."},
                         {ID_SIMILAR_PIXEL_COUNT, "Please enter an integer."},
                         {ID_REGULARIZATION, "Please enter a number."},
                         {ID_MAX_ITERATIONS, "Please enter an integer."}};
    for (const Box& bad : boxes) {
        SCOPED_TRACE(bad.id);
        FakeFormView v;
        ScriptedPicker p;
        MainForm f(v, p);
        f.OnInitDialog();
        const JobSettings before = f.settings();
        set_controls(v, {"new fill", "new fill mask", "2", "3", "4", "new out", false, "new target",
                         "new target mask", false, "5", false, "6"});
        v.texts[bad.id] = "x";

        EXPECT_FALSE(f.read_back());
        ASSERT_EQ(v.prompts.size(), 1u);
        EXPECT_EQ(v.prompts[0], bad.prompt);
        EXPECT_EQ(v.focus, bad.id);
        EXPECT_EQ(v.selected, bad.id);

        const JobSettings& s = f.settings();
        const int order = bad.id == ID_VALID_MIN ? 3 : bad.id == ID_VALID_MAX ? 4
                        : bad.id == ID_SIMILAR_PIXEL_COUNT ? 5 : bad.id == ID_REGULARIZATION ? 11 : 13;
        // Fields 1 and 2 come before every numeric box.
        EXPECT_EQ(s.fill_image_path, "new fill");
        EXPECT_EQ(s.fill_mask_path, "new fill mask");
        EXPECT_EQ(s.valid_min, order > 3 ? 2.0 : before.valid_min);
        EXPECT_EQ(s.valid_max, order > 4 ? 3.0 : before.valid_max);
        EXPECT_EQ(s.similar_pixel_count, order > 5 ? 4 : before.similar_pixel_count);
        EXPECT_EQ(s.output_image_path, order > 6 ? "new out" : before.output_image_path);
        EXPECT_EQ(s.use_threshold, order > 7 ? 1 : before.use_threshold);
        EXPECT_EQ(s.target_image_path, order > 8 ? "new target" : before.target_image_path);
        EXPECT_EQ(s.target_mask_path, order > 9 ? "new target mask" : before.target_mask_path);
        EXPECT_EQ(s.use_tolvek, order > 10 ? 0 : before.use_tolvek);
        EXPECT_EQ(s.regularization, order > 11 ? 5.0 : before.regularization);
        EXPECT_EQ(s.use_sarnic, order > 12 ? 0 : before.use_sarnic);
        EXPECT_EQ(s.max_iterations, before.max_iterations);  // the last field: never reached
    }
}

TEST_F(MainFormTest, EmptyingACountBoxPromptsAtOnceAndKeepsTheValue) {
    view.type(ID_SIMILAR_PIXEL_COUNT, "45");
    EXPECT_EQ(form.settings().similar_pixel_count, 45);
    view.type(ID_SIMILAR_PIXEL_COUNT, "");
    ASSERT_EQ(view.prompts.size(), 1u);
    EXPECT_EQ(view.prompts[0], "Please enter an integer.");
    EXPECT_EQ(view.focus, ID_SIMILAR_PIXEL_COUNT);
    EXPECT_EQ(view.selected, ID_SIMILAR_PIXEL_COUNT);
    EXPECT_EQ(form.settings().similar_pixel_count, 45);

    // A Browse, even cancelled, writes the kept value back into the box, and
    // that push does not prompt again.
    picker.accept = false;
    form.OnBrowseOutputImage();
    EXPECT_EQ(view.text(ID_SIMILAR_PIXEL_COUNT), "45");
    EXPECT_EQ(view.prompts.size(), 1u);
}

TEST_F(MainFormTest, UnfinishedNumbersPromptOnEveryKeystroke) {
    view.type(ID_REGULARIZATION, "2");
    view.type(ID_REGULARIZATION, "2e");
    view.type(ID_REGULARIZATION, "2e-");
    view.type(ID_REGULARIZATION, "2e-1");
    ASSERT_EQ(view.prompts.size(), 2u);
    EXPECT_EQ(view.prompts[1], "Please enter a number.");
    EXPECT_EQ(form.settings().regularization, 0.2);
    view.type(ID_VALID_MIN, "-");
    EXPECT_EQ(view.prompts.size(), 3u);
    EXPECT_EQ(view.focus, ID_VALID_MIN);
    EXPECT_EQ(form.settings().valid_min, 1.0);
}

TEST_F(MainFormTest, ClickWhileABoxIsBadUsesThePreviousValuesForEnabling) {
    view.texts[ID_SIMILAR_PIXEL_COUNT] = "abc";  // left bad by an earlier keystroke
    click_check_box(ID_TOLVEK);                  // now unchecked on screen
    ASSERT_EQ(view.prompts.size(), 1u);
    EXPECT_EQ(view.focus, ID_SIMILAR_PIXEL_COUNT);
    EXPECT_FALSE(view.is_checked(ID_TOLVEK));
    EXPECT_EQ(form.settings().use_tolvek, 1);  // after the bad box in field order
    EXPECT_TRUE(view.is_enabled(ID_REGULARIZATION));
    EXPECT_TRUE(view.is_enabled(ID_MAX_ITERATIONS));

    click_radio(ID_USE_THRESHOLD);
    EXPECT_EQ(view.prompts.size(), 2u);
    EXPECT_EQ(form.settings().use_threshold, 0);
    // The radio handler disables the mask rows before its read-back.
    EXPECT_FALSE(view.is_enabled(ID_TARGET_MASK_PATH));
    EXPECT_TRUE(view.is_enabled(ID_VALID_MIN));
}

TEST_F(MainFormTest, CancelledPickerKeepsTheFieldButRefreshesEveryBox) {
    form.settings().target_image_path = "/kept.tif";
    view.texts[ID_TARGET_IMAGE_PATH] = "stale";
    view.texts[ID_MAX_ITERATIONS] = "stale";
    view.checked[ID_SARNIC] = false;
    picker.accept = false;
    picker.answer = {"/never.tif"};
    form.OnBrowseTargetImage();
    EXPECT_EQ(form.settings().target_image_path, "/kept.tif");
    EXPECT_EQ(view.text(ID_TARGET_IMAGE_PATH), "/kept.tif");
    EXPECT_EQ(view.text(ID_MAX_ITERATIONS), "600");
    EXPECT_TRUE(view.is_checked(ID_SARNIC));
}

TEST_F(MainFormTest, SeveralChosenFilesKeepTheLastOneListed) {
    picker.answer = {"/data/a.tif", "/data/b.tif", "/data/c.tif"};
    form.OnBrowseTargetImage();
    EXPECT_EQ(form.settings().target_image_path, "/data/c.tif");
    EXPECT_EQ(view.text(ID_TARGET_IMAGE_PATH), "/data/c.tif");

    picker.answer = {"/m/1.tif", "/m/2.tif"};
    form.OnBrowseFillMask();
    EXPECT_EQ(form.settings().fill_mask_path, "/m/2.tif");
    EXPECT_EQ(view.text(ID_FILL_MASK_PATH), "/m/2.tif");

    // An accepted picker that lists nothing leaves the field as it was.
    picker.answer = {};
    form.OnBrowseTargetImage();
    EXPECT_EQ(form.settings().target_image_path, "/data/c.tif");
}

TEST_F(MainFormTest, EachBrowseButtonFillsItsOwnField) {
    const struct {
        void (MainForm::*browse)();
        std::string JobSettings::*field;
        int box;
    } buttons[] = {{&MainForm::OnBrowseTargetImage, &JobSettings::target_image_path, ID_TARGET_IMAGE_PATH},
                   {&MainForm::OnBrowseFillImage, &JobSettings::fill_image_path, ID_FILL_IMAGE_PATH},
                   {&MainForm::OnBrowseOutputImage, &JobSettings::output_image_path, ID_OUTPUT_IMAGE_PATH},
                   {&MainForm::OnBrowseTargetMask, &JobSettings::target_mask_path, ID_TARGET_MASK_PATH},
                   {&MainForm::OnBrowseFillMask, &JobSettings::fill_mask_path, ID_FILL_MASK_PATH}};
    for (int i = 0; i < 5; ++i) {
        picker.answer = {"/" + std::to_string(i + 1)};
        (form.*buttons[i].browse)();
    }
    // Only when all are done: no button wrote another's field.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(form.settings().*buttons[i].field, "/" + std::to_string(i + 1)) << i;
        EXPECT_EQ(view.text(buttons[i].box), "/" + std::to_string(i + 1)) << i;
    }

    ASSERT_EQ(picker.requests.size(), 5u);
    for (int i : {0, 1, 3, 4}) {
        EXPECT_TRUE(picker.requests[i].several_files);
        EXPECT_TRUE(picker.requests[i].filters.empty());
        EXPECT_EQ(picker.requests[i].initial_name, "");
    }
    const PickerRequest& output = picker.requests[2];
    EXPECT_FALSE(output.several_files);
    EXPECT_TRUE(output.new_file_allowed);
    EXPECT_EQ(output.initial_name, ".tif");
}

TEST(OutputPicker, OffersTheFileTypesInOrder) {
    const PickerRequest request = output_picker_request();
    const char* expected[] = {"GTiff(*.tif)", "HFA (*.img)", "AIG(*.adf)", "BSB(*.cap)", "DOQ1 DOQ1(*.doq)",
                              "DTED(*.dt0,*.dt1)", "ECW(*.ecw)", "Envisat(*.n1)", "FAST(*.fst)", "FITS(*.fits)",
                              "RMS(*.rms)", "Japanese DEM (.mem)", "ALL(*.*)"};
    ASSERT_EQ(request.filters.size(), std::size(expected));
    for (std::size_t i = 0; i < request.filters.size(); ++i) EXPECT_EQ(request.filters[i].description, expected[i]);
    EXPECT_EQ(request.filters[0].patterns, std::vector<std::string>{"*.tif"});
    EXPECT_EQ(request.filters[5].patterns, (std::vector<std::string>{"*.dt0", "*.dt1"}));
    EXPECT_EQ(request.filters[11].patterns, std::vector<std::string>{"*.mem"});
}

TEST_F(MainFormTest, NameWithoutExtensionIsStoredAsTyped) {
    picker.answer = {"/results/filled"};
    form.OnBrowseOutputImage();
    EXPECT_EQ(form.settings().output_image_path, "/results/filled");
}

// A Tolvek-only job stores the target path in the fill path. The disabled
// fill box shows it after the next refresh; a read-back that comes first
// takes the box's old text again.
TEST_F(MainFormTest, TolvekOnlyFillPathSurvivesUntilTheNextExchange) {
    picker.answer = {"/scene/old-fill.tif"};
    form.OnBrowseFillImage();
    picker.answer = {"/scene/target.tif"};
    form.OnBrowseTargetImage();
    click_check_box(ID_SARNIC);
    JobSettings& s = form.settings();

    s.fill_image_path = s.target_image_path;  // what the job leaves behind
    view.type(ID_REGULARIZATION, "500");      // a read-back comes first
    EXPECT_EQ(s.fill_image_path, "/scene/old-fill.tif");

    s.fill_image_path = s.target_image_path;
    picker.accept = false;
    form.OnBrowseOutputImage();  // a refresh comes first
    EXPECT_EQ(s.fill_image_path, "/scene/target.tif");
    EXPECT_EQ(view.text(ID_FILL_IMAGE_PATH), "/scene/target.tif");
    EXPECT_FALSE(view.is_enabled(ID_FILL_IMAGE_PATH));
}

}  // namespace
}  // namespace pelvane
