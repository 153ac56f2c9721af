#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// Runs one whole job for the dialog, reporting to the given host (its end
// too, through show_end). It runs on a thread of its own.
using JobFunction = std::function<void(JobSettings&, JobHost&)>;

// Stand-ins for the dialog's modal helpers; a null member keeps the real one.
struct DialogServices {
    MessageBoxes* messages = nullptr;
    FilePicker* picker = nullptr;
    HelpViewer* help = nullptr;
};

// Pelvane's one window: the form over the job settings, "Run", "Help" and
// the progress bar. It is also the job's host: the job runs on a worker
// thread, its messages appear as message boxes over the window and it moves
// the progress bar, each call carried over to the GUI thread in the order the
// job made it.
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
    // From "Run" until the job's thread has ended and the form is back.
    bool job_running() const { return job_running_; }

    // The host, called on the job's thread only.
    // Shows the message box on the GUI thread and waits until it is closed.
    void show_message(const std::string& text) override;
    // The same for the job's last message, but for a stop the user asked for
    // by closing the window: that one goes unsaid.
    void show_end(const JobResult& result) override;
    // Moves the bar on the GUI thread; returns the position the job set last.
    int set_progress_position(int position) override;
    // True once the user has chosen to stop the job.
    bool stop_requested() override;

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
    void OnRefineClicked();
    void OnErrorRasterClicked();
    void OnAddOtherFill();
    void OnRemoveOtherFill();
    void OnHelpButton();
    // "Run": starts the job on its thread, unless one runs already.
    void OnOK();
    // "Close", Escape and the close box. While a job runs, asks whether to
    // stop it; if so, the window closes once the job has ended.
    void reject() override;

private:
    void lock_form();
    void unlock_form();
    // show_message, and with `unless_closing` nothing once the user closed the window.
    void post_message(const std::string& text, bool unless_closing);
    void show_job_message(const std::string& text, bool unless_closing);
    void OnJobEnded();
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

    // GUI thread only.
    bool job_running_ = false;
    bool asking_to_stop_ = false;
    bool close_when_job_ends_ = false;  // the user stopped the job by closing
    std::vector<QWidget*> locked_;      // controls disabled while the job runs
    QPointer<QWidget> focus_before_job_;

    std::thread job_thread_;
    std::atomic<bool> stop_ = false;
    int job_bar_position_ = 0;  // job's thread only, while it runs
    // A message box the job waits for: it waits until the GUI thread has
    // closed the box or the window is being destroyed.
    std::mutex message_mutex_;
    std::condition_variable message_closed_;
    bool message_open_ = false;
    bool window_gone_ = false;
};

}  // namespace pelvane
