#include "app/main_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
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

// While a job runs the window keeps painting but drops these.
bool is_user_input(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::Close:
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

MainDialog::~MainDialog() = default;

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

void MainDialog::OnHelpButton() { help_.open(readme_path()); }

void MainDialog::OnOK() {
    if (job_running_) return;
    // The settings are current: the handlers read the form back on every
    // change, so the job takes them as they stand.
    struct RunningJob {
        MainDialog& dialog;
        explicit RunningJob(MainDialog& d) : dialog(d) {
            dialog.job_running_ = true;
            dialog.repaint_clock_.invalidate();
            QCoreApplication::instance()->installEventFilter(&dialog);
        }
        ~RunningJob() {
            QCoreApplication::instance()->removeEventFilter(&dialog);
            dialog.job_running_ = false;
        }
    } running(*this);
    job_(form_.settings(), *this);
}

void MainDialog::reject() {
    if (job_running_) return;
    QDialog::reject();
}

void MainDialog::closeEvent(QCloseEvent* event) {
    if (job_running_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    // Installed on the application while a job runs. Input meant for this
    // window is dropped, not queued, so a click on "Run" during a job does
    // not start another one afterwards; the job's message boxes are windows
    // of their own and take input as usual.
    if (job_running_ && is_user_input(event->type())) {
        if (watched == windowHandle()) return true;
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr && watched->parent() != nullptr) widget = qobject_cast<QWidget*>(watched->parent());
        if (widget != nullptr && widget->window() == this) return true;
    }
    return QDialog::eventFilter(watched, event);
}

void MainDialog::show_message(const std::string& text) {
    messages_.show_message(this, QString::fromLocal8Bit(text));
}

int MainDialog::set_progress_position(int position) {
    const int previous = progress_bar_->value();
    progress_bar_->setValue(position);
    if (position != previous) repaint_now();
    return previous;
}

void MainDialog::keep_alive() {
    // Between bar moves the job checks in every few thousand pixels and every
    // solver iteration; repainting a few times a second is plenty.
    if (!repaint_clock_.isValid() || repaint_clock_.elapsed() >= 50) repaint_now();
}

void MainDialog::repaint_now() {
    // The job runs on this thread: let the window paint. Input is dropped
    // meanwhile by the event filter.
    QCoreApplication::processEvents();
    repaint_clock_.start();
}

}  // namespace pelvane
