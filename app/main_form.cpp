#include "app/main_form.h"

#include <filesystem>
#include <vector>

#include "app/control_ids.h"
#include "app/number_text.h"

namespace pelvane {

namespace {

constexpr const char* INTEGER_PROMPT = "Please enter an integer.";
constexpr const char* NUMBER_PROMPT = "Please enter a number.";

// Moves one field between the record and its control, in the direction of
// the exchange. In a read-back a box that does not parse leaves its field
// alone, prompts and returns false, which ends the exchange.
class FieldExchange {
public:
    FieldExchange(FormView& view, bool reading) : view_(view), reading_(reading) {}

    bool text(int id, std::string& field) {
        if (reading_)
            field = view_.text(id);
        else
            view_.set_text(id, field);
        return true;
    }

    bool check_box(int id, int& field) {
        if (reading_)
            field = view_.is_checked(id) ? 1 : 0;
        else
            view_.set_checked(id, field != 0);
        return true;
    }

    // Two radio buttons; the field is the index of the checked one, -1 for
    // none.
    bool radio_pair(int first_id, int second_id, int& field) {
        if (reading_) {
            field = view_.is_checked(first_id) ? 0 : view_.is_checked(second_id) ? 1 : -1;
        } else {
            view_.set_checked(first_id, field == 0);
            view_.set_checked(second_id, field == 1);
        }
        return true;
    }

    bool integer(int id, int& field) {
        if (!reading_) {
            view_.set_text(id, format_integer(field));
            return true;
        }
        if (parse_integer(view_.text(id), field)) return true;
        return fail(id, INTEGER_PROMPT);
    }

    bool number(int id, double& field) {
        if (!reading_) {
            view_.set_text(id, format_number(field));
            return true;
        }
        if (parse_number(view_.text(id), field)) return true;
        return fail(id, NUMBER_PROMPT);
    }

private:
    bool fail(int id, const char* prompt) {
        view_.show_prompt(prompt);
        view_.focus_and_select(id);
        return false;
    }

    FormView& view_;
    bool reading_;
};

}  // namespace

std::string error_raster_path(const std::string& output_path) {
    std::filesystem::path path(output_path);
    path.replace_extension();
    return path.string() + "_error.tif";
}

MainForm::MainForm(FormView& view, FilePicker& picker) : view_(view), picker_(picker) {}

bool MainForm::exchange(Direction direction) {
    FieldExchange x(view_, direction == Direction::read_back);
    JobSettings& s = settings_;
    if (direction == Direction::read_back)
        error_raster_ = view_.is_checked(ID_ERROR_RASTER);
    else
        view_.set_checked(ID_ERROR_RASTER, error_raster_);
    // The order of the settings record; a failed read-back stops here.
    const bool complete = x.text(ID_FILL_IMAGE_PATH, s.fill_image_path)
        && x.text(ID_FILL_MASK_PATH, s.fill_mask_path)
        && x.number(ID_VALID_MIN, s.valid_min)
        && x.number(ID_VALID_MAX, s.valid_max)
        && x.integer(ID_SIMILAR_PIXEL_COUNT, s.similar_pixel_count)
        && x.text(ID_OUTPUT_IMAGE_PATH, s.output_image_path)
        && x.radio_pair(ID_USE_MASK_FILE, ID_USE_THRESHOLD, s.use_threshold)
        && x.text(ID_TARGET_IMAGE_PATH, s.target_image_path)
        && x.text(ID_TARGET_MASK_PATH, s.target_mask_path)
        && x.check_box(ID_TOLVEK, s.use_tolvek)
        && x.number(ID_REGULARIZATION, s.regularization)
        && x.check_box(ID_SARNIC, s.use_sarnic)
        && x.integer(ID_MAX_ITERATIONS, s.max_iterations)
        && x.check_box(ID_REFINE, s.refine);
    // The list is the form's own: Add and Remove change the settings, the
    // list only shows them.
    if (direction == Direction::push) view_.set_rows(ID_OTHER_FILLS, other_fill_rows());
    // After a browse for the output too, so the raster follows its name.
    const bool with_error = error_raster_ && s.refine != 0 && !s.output_image_path.empty();
    s.error_output_path = with_error ? error_raster_path(s.output_image_path) : "";
    return complete;
}

void MainForm::push() {
    // Writing the numeric boxes raises their change notifications; they must
    // not turn into a read-back of a half-written form.
    pushing_ = true;
    exchange(Direction::push);
    pushing_ = false;
}

bool MainForm::read_back() { return exchange(Direction::read_back); }

void MainForm::enable_per(int field, int first_id, int second_id) {
    view_.set_enabled(first_id, field != 0);
    view_.set_enabled(second_id, field != 0);
}

void MainForm::OnInitDialog() {
    push();
    view_.set_enabled(ID_FILL_MASK_PATH, true);
    view_.set_enabled(ID_BROWSE_FILL_MASK, true);
    view_.set_enabled(ID_TARGET_MASK_PATH, true);
    view_.set_enabled(ID_BROWSE_TARGET_MASK, true);
    view_.set_enabled(ID_VALID_MAX, false);
    view_.set_enabled(ID_VALID_MIN, false);
    view_.set_enabled(ID_REGULARIZATION, true);
    view_.set_enabled(ID_MAX_ITERATIONS, true);
    view_.set_enabled(ID_ERROR_RASTER, settings_.refine != 0);
    view_.set_enabled(ID_REFINE, settings_.other_fill_image_paths.empty());
    // Paths are chosen with the Browse buttons only; the boxes still let the
    // user select and copy them.
    for (int id : {ID_FILL_MASK_PATH, ID_TARGET_MASK_PATH, ID_TARGET_IMAGE_PATH, ID_FILL_IMAGE_PATH,
                   ID_OUTPUT_IMAGE_PATH})
        view_.set_read_only(id);
}

void MainForm::OnUseMaskFile() {
    read_back();
    view_.set_enabled(ID_TARGET_MASK_PATH, true);
    view_.set_enabled(ID_BROWSE_TARGET_MASK, true);
    view_.set_enabled(ID_VALID_MAX, false);
    view_.set_enabled(ID_VALID_MIN, false);
    enable_per(settings_.use_sarnic, ID_FILL_MASK_PATH, ID_BROWSE_FILL_MASK);
}

void MainForm::OnUseThreshold() {
    view_.set_enabled(ID_FILL_MASK_PATH, false);
    view_.set_enabled(ID_BROWSE_FILL_MASK, false);
    view_.set_enabled(ID_TARGET_MASK_PATH, false);
    view_.set_enabled(ID_BROWSE_TARGET_MASK, false);
    view_.set_enabled(ID_VALID_MAX, true);
    view_.set_enabled(ID_VALID_MIN, true);
    read_back();
}

void MainForm::OnTolvekClicked() {
    read_back();
    enable_per(settings_.use_tolvek, ID_REGULARIZATION, ID_MAX_ITERATIONS);
    if (settings_.use_threshold == 0 && settings_.use_sarnic == 0) {
        view_.set_enabled(ID_FILL_MASK_PATH, false);
        view_.set_enabled(ID_BROWSE_FILL_MASK, false);
    }
}

void MainForm::OnSarnicClicked() {
    read_back();
    enable_per(settings_.use_sarnic, ID_BROWSE_FILL_IMAGE, ID_FILL_IMAGE_PATH);
    view_.set_enabled(ID_SIMILAR_PIXEL_COUNT, settings_.use_sarnic != 0);
    for (int id : {ID_OTHER_FILLS, ID_ADD_OTHER_FILL, ID_REMOVE_OTHER_FILL})
        view_.set_enabled(id, settings_.use_sarnic != 0);
    if (settings_.use_threshold == 0) enable_per(settings_.use_sarnic, ID_FILL_MASK_PATH, ID_BROWSE_FILL_MASK);
}

void MainForm::OnRefineClicked() {
    read_back();
    view_.set_enabled(ID_ERROR_RASTER, settings_.refine != 0);
}

void MainForm::OnErrorRasterClicked() { read_back(); }

void MainForm::OnNumberChanged() {
    if (pushing_) return;
    read_back();
}

void MainForm::browse(std::string& field, const PickerRequest& request) {
    std::vector<std::string> paths;
    if (picker_.pick(request, paths)) {
        // Each chosen path in turn, so the last one listed is kept.
        for (const std::string& path : paths) field = path;
    }
    // Also after a cancel: puts the last parsed values back into boxes that
    // hold text that does not parse.
    push();
}

void MainForm::OnBrowseTargetImage() { browse(settings_.target_image_path, input_picker_request()); }
void MainForm::OnBrowseFillImage() { browse(settings_.fill_image_path, input_picker_request()); }
void MainForm::OnBrowseOutputImage() { browse(settings_.output_image_path, output_picker_request()); }
void MainForm::OnBrowseTargetMask() { browse(settings_.target_mask_path, input_picker_request()); }
void MainForm::OnBrowseFillMask() { browse(settings_.fill_mask_path, input_picker_request()); }

std::vector<std::string> MainForm::other_fill_rows() const {
    std::vector<std::string> rows;
    const auto& masks = settings_.other_fill_mask_paths;
    for (std::size_t i = 0; i < settings_.other_fill_image_paths.size(); ++i) {
        std::string row = settings_.other_fill_image_paths[i];
        if (i < masks.size() && !masks[i].empty()) row += "  (mask: " + masks[i] + ")";
        rows.push_back(row);
    }
    return rows;
}

void MainForm::other_fills_changed() {
    const bool several = !settings_.other_fill_image_paths.empty();
    if (several) settings_.refine = 1;
    view_.set_enabled(ID_REFINE, !several);
    view_.set_enabled(ID_ERROR_RASTER, settings_.refine != 0);
    push();
}

void MainForm::OnAddOtherFill() {
    PickerRequest request = input_picker_request();
    request.caption = "Other fill image";
    const bool masks = settings_.use_threshold == 0;
    // A mask is asked for each image in turn, so one image at a time there.
    request.several_files = !masks;
    std::vector<std::string> images;
    if (!picker_.pick(request, images) || images.empty()) {
        push();
        return;
    }
    // Mask paths stay in step with the images; "" for an image added while
    // the gaps come from the valid range.
    std::vector<std::string> image_masks(images.size());
    if (masks) {
        images.resize(1);
        PickerRequest mask_request = input_picker_request();
        mask_request.several_files = false;
        mask_request.caption = "Mask of " + std::filesystem::path(images[0]).filename().string();
        std::vector<std::string> chosen;
        if (!picker_.pick(mask_request, chosen) || chosen.empty()) {
            push();  // no image without its mask
            return;
        }
        image_masks = {chosen.back()};
    }
    settings_.other_fill_mask_paths.resize(settings_.other_fill_image_paths.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        settings_.other_fill_image_paths.push_back(images[i]);
        settings_.other_fill_mask_paths.push_back(image_masks[i]);
    }
    other_fills_changed();
}

void MainForm::OnRemoveOtherFill() {
    const int row = view_.selected_row(ID_OTHER_FILLS);
    auto& images = settings_.other_fill_image_paths;
    auto& masks = settings_.other_fill_mask_paths;
    if (row >= 0 && static_cast<std::size_t>(row) < images.size()) {
        images.erase(images.begin() + row);
        if (static_cast<std::size_t>(row) < masks.size()) masks.erase(masks.begin() + row);
    }
    other_fills_changed();
}

}  // namespace pelvane
