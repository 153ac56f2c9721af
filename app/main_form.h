#pragma once

#include <string>
#include <vector>

#include "app/file_picker.h"
#include "app/form_view.h"
#include "job/job_settings.h"

namespace pelvane {

// The error raster the dialog writes beside an output: "scene.tif" gives
// "scene_error.tif".
std::string error_raster_path(const std::string& output_path);

// The main dialog's behaviour without any toolkit: it owns the job settings,
// exchanges them with the controls, keeps the right controls enabled and
// runs the Browse buttons. The handlers carry the names of the dialog's
// events; the dialog forwards each event to the handler of the same name.
class MainForm {
public:
    MainForm(FormView& view, FilePicker& picker);

    JobSettings& settings() { return settings_; }
    const JobSettings& settings() const { return settings_; }

    // Writes every field into its control, in field order.
    void push();
    // Reads every control back into its field, in field order. Stops at the
    // first box that does not parse: the fields before it are updated, that
    // one and the later ones keep their values, the prompt is shown and the
    // box gets the focus. Returns false then.
    bool read_back();

    // First push, the enabling of the fresh form and the read-only path boxes.
    void OnInitDialog();

    void OnUseMaskFile();
    void OnUseThreshold();
    void OnTolvekClicked();
    void OnSarnicClicked();
    // "Refined fill": the error raster is the refined fill's only.
    void OnRefineClicked();
    void OnErrorRasterClicked();
    // Any text change of the five numeric boxes.
    void OnNumberChanged();

    void OnBrowseTargetImage();
    void OnBrowseFillImage();
    void OnBrowseOutputImage();
    void OnBrowseTargetMask();
    void OnBrowseFillMask();

    // "Add" below the fill image: more fill images, each chosen file in
    // turn; in mask-file mode one image and then its mask. Adding ticks
    // "Refined fill", which alone fills from several images and stays
    // ticked while any is listed. "Remove" drops the selected one.
    void OnAddOtherFill();
    void OnRemoveOtherFill();

private:
    enum class Direction { push, read_back };
    bool exchange(Direction direction);
    void browse(std::string& field, const PickerRequest& request);
    // Enables the controls when `field` is 1, disables them when it is 0.
    void enable_per(int field, int first_id, int second_id);
    // The list's rows: "image", or "image  (mask: mask)" once it has one.
    std::vector<std::string> other_fill_rows() const;
    // After the list changed: the refined fill follows it, then a push.
    void other_fills_changed();

    FormView& view_;
    FilePicker& picker_;
    JobSettings settings_;
    bool pushing_ = false;  // the controls' change notifications during a push are ours
    // "Error raster" ticked; the settings hold the raster's path, made from
    // the output's, whenever the refined fill is on too.
    bool error_raster_ = false;
};

}  // namespace pelvane
