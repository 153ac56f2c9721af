#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/help_viewer.h"
#include "app/main_form.h"
#include "app/message_boxes.h"
#include "app/qt_file_picker.h"
#include "app/widget_form_view.h"
#include "job/job_host.h"
#include "job/job_settings.h"

class QProgressBar;
class QRect;

namespace pelvane {

// Runs one whole job for the dialog, reporting to the given host.
using JobFunction = std::function<bool(JobSettings&, JobHost&)>;

// Stand-ins for the dialog's modal helpers; a null member keeps the real one.
struct DialogServices {
    MessageBoxes* messages = nullptr;
    FilePicker* picker = nullptr;
    HelpViewer* help = nullptr;
};

// Pelvane's one window: the form over the job settings, "Run", "Help" and
// the progress bar. It is also the job's host: the job's messages appear as
// message boxes over it and the job moves its progress bar.
class MainDialog : public QDialog, public JobHost {
    Q_OBJECT

public:
    explicit MainDialog(JobFunction job, DialogServices services = {});
    ~MainDialog() override;

    JobSettings& settings() { return form_.settings(); }
    // The control with the given id, or the control at a place in the
    // creation order (which is also the tab order).
    QWidget* control(int id) const;
    const std::vector<QWidget*>& controls_in_order() const { return controls_; }
    QProgressBar* progress_bar() const { return progress_bar_; }
    const QIcon& app_icon() const { return app_icon_; }
    bool job_running() const { return job_running_; }

    void show_message(const std::string& text) override;
    int set_progress_position(int position) override;
    void keep_alive() override;

public slots:
    void OnBrowseTargetImage();
    void OnBrowseFillImage();
    void OnBrowseOutputImage();
    void OnBrowseTargetMask();
    void OnBrowseFillMask();
    void OnUseMaskFile();
    void OnUseThreshold();
    void OnTolvekClicked();
    void OnNumberChanged();
    void OnSarnicClicked();
    void OnHelpButton();
    // "Run": the whole job, on this thread.
    void OnOK();
    // "Close", Escape and the close box; ignored while a job runs.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void repaint_now();
    void create_controls();
    void connect_handlers();
    void place_controls();
    bool layout_fits(const std::vector<QRect>& rects, const QRect& client) const;
    std::vector<QRect> layout_for(int char_width, int char_height) const;
    void OnInitDialog();

    JobFunction job_;
    std::unique_ptr<QtMessageBoxes> own_messages_;
    std::unique_ptr<QtFilePicker> own_picker_;
    std::unique_ptr<DesktopHelpViewer> own_help_;
    MessageBoxes& messages_;
    FilePicker& picker_;
    HelpViewer& help_;
    WidgetFormView view_;
    MainForm form_;

    QIcon app_icon_;
    std::vector<QWidget*> controls_;  // creation order
    QProgressBar* progress_bar_ = nullptr;
    bool job_running_ = false;
    QElapsedTimer repaint_clock_;  // time since the job last let the window repaint
};

}  // namespace pelvane
