#include "app/main_dialog.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QWindow>
#include <limits>

#include "app/control_ids.h"
#include "app/dialog_template.h"

// Resources compiled into a static library are registered by hand.
static void register_resources() { Q_INIT_RESOURCE(pelvane); }

namespace pelvane {

namespace {

// Controls that take the user's input; a running job locks all of them but
// "Close" and "Help".
bool locked_while_job_runs(const ControlTemplate& t) {
    if (t.id == ID_CLOSE || t.id == ID_HELP) return false;
    switch (t.kind) {
    case ControlKind::default_button:
    case ControlKind::button:
    case ControlKind::edit:
    case ControlKind::first_radio:
    case ControlKind::radio:
    case ControlKind::check_box:
    case ControlKind::list_box:
        return true;
    default:
        return false;
    }
}

bool shows_text(ControlKind kind) {
    switch (kind) {
    case ControlKind::label:
    case ControlKind::check_box:
    case ControlKind::first_radio:
    case ControlKind::radio:
    case ControlKind::default_button:
    case ControlKind::button:
        return true;
    default:
        return false;
    }
}

const QString PICTURE = QStringLiteral(":/pelvane/picture.png");

// Place in the creation order of the first control of a kind.
std::size_t index_of(ControlKind kind) {
    const auto& controls = dialog_template();
    for (std::size_t i = 0; i < controls.size(); ++i)
        if (controls[i].kind == kind) return i;
    return 0;
}

}  // namespace

MainDialog::MainDialog(JobFunction job, DialogServices services)
    : job_(std::move(job)),
      own_messages_(services.messages ? nullptr : std::make_unique<QtMessageBoxes>()),
      own_picker_(services.picker ? nullptr : std::make_unique<QtFilePicker>(this)),
      own_help_(services.help ? nullptr : std::make_unique<DesktopHelpViewer>()),
      messages_(services.messages ? *services.messages : *own_messages_),
      picker_(services.picker ? *services.picker : *own_picker_),
      help_(services.help ? *services.help : *own_help_),
      view_(*this, messages_),
      form_(view_, picker_) {
    register_resources();
    for (int size : {16, 20, 24, 32, 40, 48, 64, 128})
        app_icon_.addFile(QStringLiteral(":/pelvane/icon_%1.png").arg(size), QSize(size, size));
    progress_range = 100;

    setWindowTitle(QStringLiteral("Pelvane"));
    // A fixed frame with a minimise box and no maximise box; a window of its
    // own (no parent), so it has its own button in the task bar.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    create_controls();
    place_controls();
    connect_handlers();
    OnInitDialog();
}

MainDialog::~MainDialog() {
    if (!job_thread_.joinable()) return;
    // Destroyed with a job still running: stop it and let a message it waits
    // on go unshown; the events it posted die with the window.
    {
        std::lock_guard lock(message_mutex_);
        window_gone_ = true;
    }
    stop_ = true;
    message_closed_.notify_all();
    job_thread_.join();
}

void MainDialog::create_controls() {
    // In table order, so the focus chain (the tab order) follows it.
    for (const ControlTemplate& t : dialog_template()) {
        const QString label = QString::fromUtf8(t.label);
        QWidget* widget = nullptr;
        switch (t.kind) {
        case ControlKind::default_button:
        case ControlKind::button: {
            auto* button = new QPushButton(label, this);
            button->setDefault(t.kind == ControlKind::default_button);
            widget = button;
            break;
        }
        case ControlKind::label:
            widget = new QLabel(label, this);
            break;
        case ControlKind::edit: {
            auto* edit = new QLineEdit(this);
            edit->setMaxLength(std::numeric_limits<int>::max());  // paths of any length
            widget = edit;
            break;
        }
        case ControlKind::group_box: {
            auto* group = new QGroupBox(label, this);
            // Only a frame: it lies under the controls it surrounds and lets
            // their clicks through.
            group->setAttribute(Qt::WA_TransparentForMouseEvents);
            // The title sits on the frame's top line, so neighbouring groups
            // whose frames nearly touch stay apart.
            group->setStyleSheet(QStringLiteral(
                "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.6em; }"
                "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 3px; }"));
            group->setFocusPolicy(Qt::NoFocus);
            widget = group;
            break;
        }
        case ControlKind::first_radio:
        case ControlKind::radio:
            // The two radio buttons are the only ones on the dialog, so Qt's
            // auto-exclusive siblings make exactly their group.
            widget = new QRadioButton(label, this);
            break;
        case ControlKind::check_box:
            widget = new QCheckBox(label, this);
            break;
        case ControlKind::progress_bar: {
            progress_bar_ = new QProgressBar(this);
            progress_bar_->setTextVisible(false);
            widget = progress_bar_;
            break;
        }
        case ControlKind::picture: {
            auto* picture = new QLabel(this);
            picture->setPixmap(QPixmap(PICTURE));
            widget = picture;
            break;
        }
        case ControlKind::list_box: {
            auto* list = new QListWidget(this);
            list->setSelectionMode(QAbstractItemView::SingleSelection);
            widget = list;
            break;
        }
        }
        // Tab reaches only the tab stops; the radio buttons take the focus
        // when clicked.
        if (widget->focusPolicy() != Qt::NoFocus)
            widget->setFocusPolicy(t.tab_stop ? Qt::StrongFocus : Qt::ClickFocus);
        if (t.id != NO_ID) {
            widget->setObjectName(QStringLiteral("control_%1").arg(t.id));
            view_.add(t.id, widget);
        }
        controls_.push_back(widget);
    }
    for (QWidget* widget : controls_)
        if (qobject_cast<QGroupBox*>(widget) != nullptr) widget->lower();
}

QWidget* MainDialog::control(int id) const {
    for (std::size_t i = 0; i < controls_.size(); ++i)
        if (dialog_template()[i].id == id) return controls_[i];
    return nullptr;
}

std::vector<QRect> MainDialog::layout_for(int char_width, int char_height) const {
    const QFontMetrics metrics(font());
    std::vector<QRect> rects;
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        const ControlTemplate& t = dialog_template()[i];
        const PixelRect p = to_pixels(t, char_width, char_height);
        QRect r(p.x, p.y, p.width, p.height);
        if (shows_text(t.kind)) {
            // Grow to the text: the sizes were made for another font.
            QSize need = controls_[i]->sizeHint();
            if (t.kind == ControlKind::button || t.kind == ControlKind::default_button)
                need.setWidth(metrics.horizontalAdvance(QString::fromUtf8(t.label)) + 2 * char_width);
            if (need.width() > r.width()) r.setWidth(need.width());
            if (need.height() > r.height()) {
                const int extra = need.height() - r.height();
                r.adjust(0, -(extra / 2), 0, extra - extra / 2);
            }
        }
        if (t.kind == ControlKind::picture) r.setSize(QPixmap(PICTURE).size());  // its natural size
        rects.push_back(r);
    }
    return rects;
}

bool MainDialog::layout_fits(const std::vector<QRect>& rects, const QRect& client) const {
    const auto& controls = dialog_template();
    auto group_rect = [&](const char* title) {
        for (std::size_t i = 0; i < controls.size(); ++i)
            if (controls[i].kind == ControlKind::group_box && qstrcmp(controls[i].label, title) == 0) return rects[i];
        return client;
    };
    for (std::size_t i = 0; i < rects.size(); ++i) {
        if (controls[i].kind == ControlKind::group_box) continue;
        if (!client.contains(rects[i])) return false;
        if (controls[i].group[0] != '\0' && !group_rect(controls[i].group).contains(rects[i])) return false;
        for (std::size_t j = i + 1; j < rects.size(); ++j)
            if (controls[j].kind != ControlKind::group_box && rects[i].intersects(rects[j])) return false;
    }
    return true;
}

void MainDialog::place_controls() {
    // The dialog font's average character, as dialog units are defined.
    const QFontMetrics metrics(font());
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int base_width = (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
    const int base_height = metrics.height();

    // Widen the whole dialog a pixel per character at a time until every
    // grown control fits without touching a neighbour; taller only when the
    // picture needs it. At three times the font's width, give up growing.
    int char_width = base_width;
    int char_height = base_height;
    std::vector<QRect> rects;
    QRect client;
    for (int step = 0; step <= 2 * base_width; ++step) {
        rects = layout_for(char_width, char_height);
        client = QRect(0, 0, horizontal_pixels(DIALOG_WIDTH_DU, char_width),
                       vertical_pixels(DIALOG_HEIGHT_DU, char_height));
        if (layout_fits(rects, client)) break;
        const QRect& picture = rects[index_of(ControlKind::picture)];
        const QRect& progress = rects[index_of(ControlKind::progress_bar)];
        if (picture.intersects(progress))
            ++char_height;
        else
            ++char_width;
    }
    for (std::size_t i = 0; i < controls_.size(); ++i) controls_[i]->setGeometry(rects[i]);
    setFixedSize(client.size());
}

void MainDialog::connect_handlers() {
    auto on_click = [this](int id, void (MainDialog::*handler)()) {
        connect(qobject_cast<QAbstractButton*>(control(id)), &QAbstractButton::clicked, this, handler);
    };
    on_click(ID_RUN, &MainDialog::OnOK);
    on_click(ID_CLOSE, &MainDialog::reject);
    on_click(ID_BROWSE_TARGET_IMAGE, &MainDialog::OnBrowseTargetImage);
    on_click(ID_BROWSE_FILL_IMAGE, &MainDialog::OnBrowseFillImage);
    on_click(ID_BROWSE_OUTPUT_IMAGE, &MainDialog::OnBrowseOutputImage);
    on_click(ID_BROWSE_TARGET_MASK, &MainDialog::OnBrowseTargetMask);
    on_click(ID_BROWSE_FILL_MASK, &MainDialog::OnBrowseFillMask);
    on_click(ID_USE_MASK_FILE, &MainDialog::OnUseMaskFile);
    on_click(ID_USE_THRESHOLD, &MainDialog::OnUseThreshold);
    on_click(ID_TOLVEK, &MainDialog::OnTolvekClicked);
    on_click(ID_SARNIC, &MainDialog::OnSarnicClicked);
    on_click(ID_REFINE, &MainDialog::OnRefineClicked);
    on_click(ID_ERROR_RASTER, &MainDialog::OnErrorRasterClicked);
    on_click(ID_ADD_OTHER_FILL, &MainDialog::OnAddOtherFill);
    on_click(ID_REMOVE_OTHER_FILL, &MainDialog::OnRemoveOtherFill);
    on_click(ID_HELP, &MainDialog::OnHelpButton);
    for (int id : {ID_SIMILAR_PIXEL_COUNT, ID_REGULARIZATION, ID_VALID_MIN, ID_VALID_MAX, ID_MAX_ITERATIONS})
        connect(qobject_cast<QLineEdit*>(control(id)), &QLineEdit::textChanged, this, &MainDialog::OnNumberChanged);
    auto* help_key = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help_key, &QShortcut::activated, this, &MainDialog::OnHelpButton);
}

void MainDialog::OnInitDialog() {
    form_.OnInitDialog();
    setWindowIcon(app_icon_);
    progress_bar_->setRange(0, progress_range);
    progress_bar_->setValue(0);
    control(ID_RUN)->setFocus(Qt::OtherFocusReason);
}

void MainDialog::OnBrowseTargetImage() { form_.OnBrowseTargetImage(); }
void MainDialog::OnBrowseFillImage() { form_.OnBrowseFillImage(); }
void MainDialog::OnBrowseOutputImage() { form_.OnBrowseOutputImage(); }
void MainDialog::OnBrowseTargetMask() { form_.OnBrowseTargetMask(); }
void MainDialog::OnBrowseFillMask() { form_.OnBrowseFillMask(); }
void MainDialog::OnUseMaskFile() { form_.OnUseMaskFile(); }
void MainDialog::OnUseThreshold() { form_.OnUseThreshold(); }
void MainDialog::OnTolvekClicked() { form_.OnTolvekClicked(); }
void MainDialog::OnNumberChanged() { form_.OnNumberChanged(); }
void MainDialog::OnSarnicClicked() { form_.OnSarnicClicked(); }
void MainDialog::OnRefineClicked() { form_.OnRefineClicked(); }
void MainDialog::OnErrorRasterClicked() { form_.OnErrorRasterClicked(); }
void MainDialog::OnAddOtherFill() { form_.OnAddOtherFill(); }
void MainDialog::OnRemoveOtherFill() { form_.OnRemoveOtherFill(); }

void MainDialog::OnHelpButton() { help_.open(readme_path()); }

void MainDialog::OnOK() {
    if (job_running_) return;
    job_running_ = true;
    stop_ = false;
    close_when_job_ends_ = false;
    job_bar_position_ = progress_bar_->value();
    lock_form();
    // The settings are current: the handlers read the form back on every
    // change, so the job takes them as they stand. The form is locked, so
    // nothing else touches them until the job has ended.
    job_thread_ = std::thread([this] {
        job_(form_.settings(), *this);
        // Queued behind everything the job posted before it.
        QMetaObject::invokeMethod(this, &MainDialog::OnJobEnded, Qt::QueuedConnection);
    });
}

void MainDialog::OnJobEnded() {
    job_thread_.join();
    job_running_ = false;
    unlock_form();
    if (close_when_job_ends_) QDialog::reject();
}

void MainDialog::lock_form() {
    // The focus would move on to "Close" and Enter would press it; on the
    // window itself, Enter finds only the disabled "Run".
    focus_before_job_ = focusWidget();
    setFocus(Qt::OtherFocusReason);
    locked_.clear();
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        if (locked_while_job_runs(dialog_template()[i]) && controls_[i]->isEnabled()) {
            controls_[i]->setEnabled(false);
            locked_.push_back(controls_[i]);
        }
    }
}

void MainDialog::unlock_form() {
    // Exactly the controls the job locked: the enabling rules left the others
    // disabled, and they stay so.
    for (QWidget* widget : locked_) widget->setEnabled(true);
    locked_.clear();
    if (focus_before_job_ != nullptr) focus_before_job_->setFocus(Qt::OtherFocusReason);
}

void MainDialog::reject() {
    if (!job_running_) {
        QDialog::reject();
        return;
    }
    // Asked already, or stopping already: the window closes when the job ends.
    if (asking_to_stop_ || close_when_job_ends_) return;
    asking_to_stop_ = true;
    const bool stop = messages_.ask(this, tr("A job is running. Do you want to stop it?"));
    asking_to_stop_ = false;
    if (!stop) return;
    if (!job_running_) {  // it ended while the question was up
        QDialog::reject();
        return;
    }
    close_when_job_ends_ = true;
    stop_ = true;
}

void MainDialog::show_message(const std::string& text) { post_message(text, false); }

void MainDialog::show_end(const JobResult& result) {
    // The user who closed the window to stop the job has no need to hear
    // that it stopped.
    if (result.end == JobEnd::stopped)
        post_message(result.message, true);
    else
        JobHost::show_end(result);
}

void MainDialog::post_message(const std::string& text, bool unless_closing) {
    std::unique_lock lock(message_mutex_);
    if (window_gone_) return;
    message_open_ = true;
    QMetaObject::invokeMethod(
        this, [this, text, unless_closing] { show_job_message(text, unless_closing); }, Qt::QueuedConnection);
    message_closed_.wait(lock, [this] { return !message_open_ || window_gone_; });
}

void MainDialog::show_job_message(const std::string& text, bool unless_closing) {
    if (!(unless_closing && close_when_job_ends_))
        messages_.show_message(this, QString::fromLocal8Bit(text));
    std::lock_guard lock(message_mutex_);
    message_open_ = false;
    message_closed_.notify_all();
}

int MainDialog::set_progress_position(int position) {
    const int previous = job_bar_position_;
    job_bar_position_ = position;
    QMetaObject::invokeMethod(this, [this, position] { progress_bar_->setValue(position); }, Qt::QueuedConnection);
    return previous;
}

bool MainDialog::stop_requested() { return stop_; }

}  // namespace pelvane
