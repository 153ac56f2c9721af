#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <thread>

#include "app/control_ids.h"
#include "app/main_dialog.h"
#include "job/job_messages.h"
#include "tests/app/dialog_test_support.h"
#include "support/test_rasters.h"

namespace pelvane {
namespace {


// Whole jobs started from the real dialog, which runs the real job as the
// program does.
class DialogJobTest : public test::DialogFixture {
protected:
    void SetUp() override {
        // 40 x 30, three bands; the target misses rows 12 to 14 (0 in every
        // band), the fill image is the same scene a little brighter.
        const test::RasterShape raster = test::raster_shape(40, 30, 3);
        test::write_tiff(target, raster, [&](int b, int x, int y) { return y >= 12 && y <= 14 ? 0.0 : scene(b, x, y); });
        test::write_tiff(fill, raster, [&](int b, int x, int y) { return scene(b, x, y) + 5.0; });
        open_dialog();
    }

    void browse(int button, const std::string& path) {
        picker.accept = true;
        picker.answer = {path};
        click(button);
    }
    // Everything a job needs, chosen through the form in valid-range mode.
    void fill_in_the_form() {
        browse(ID_BROWSE_TARGET_IMAGE, target);
        browse(ID_BROWSE_FILL_IMAGE, fill);
        browse(ID_BROWSE_OUTPUT_IMAGE, output);
        click(ID_USE_THRESHOLD);
    }
    static double scene(int b, int x, int y) { return 20.0 + ((x * 3 + y * 2 + b * 17) % 180); }

    test::TempDir folder;
    const std::string target = folder.path("target.tif");
    const std::string fill = folder.path("fill.tif");
    const std::string output = folder.path("filled.tif");
};

TEST_F(DialogJobTest, RunWithNoMethodStartsNothing) {
    fill_in_the_form();
    click(ID_SARNIC);
    click(ID_TOLVEK);
    run_job_and_wait();
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Please select at least one method!"});
    EXPECT_EQ(messages.parents.back(), dialog.get());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(output)));
    EXPECT_EQ(dialog->progress_bar()->value(), 0);
}

TEST_F(DialogJobTest, EnterInAnEditBoxRunsTheJob) {
    QLineEdit* box = qobject_cast<QLineEdit*>(dialog->control(ID_REGULARIZATION));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Return);
    ASSERT_TRUE(dialog->job_running());
    ASSERT_TRUE(job_ends());
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Please select target image path"});
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(DialogJobTest, WholeJobFromTheFormEndsWithTheBarBackAtZero) {
    fill_in_the_form();
    std::vector<int> positions;
    QObject::connect(dialog->progress_bar(), &QProgressBar::valueChanged, [&](int v) { positions.push_back(v); });
    int bar_at_message = -1;
    messages.on_message = [&](const QString&) { bar_at_message = dialog->progress_bar()->value(); };

    run_job_and_wait();

    ASSERT_EQ(messages.messages.size(), 1u) << messages.messages[0];
    EXPECT_TRUE(QRegularExpression("^Job Done:Total Time:\\d+ ms$")
                    .match(QString::fromStdString(messages.messages[0]))
                    .hasMatch())
        << messages.messages[0];
    // The bar moved forward during the job, stood near its end while the
    // message was up, and went back to 0 after it.
    ASSERT_GE(positions.size(), 2u);
    EXPECT_GE(bar_at_message, 90);
    EXPECT_EQ(positions.back(), 0);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end() - 1));
    EXPECT_EQ(dialog->progress_bar()->value(), 0);
    EXPECT_FALSE(dialog->job_running());

    // The output keeps the target's valid pixels; in the gap the fill
    // image, 5 brighter everywhere, predicts the scene itself.
    for (int band = 1; band <= 3; ++band) {
        const std::vector<double> written = test::read_band(output, band);
        ASSERT_EQ(written.size(), 40u * 30u);
        for (int y = 0; y < 30; ++y) {
            for (int x = 0; x < 40; ++x) {
                const double value = written[y * 40 + x];
                if (y >= 12 && y <= 14)
                    ASSERT_NEAR(value, scene(band - 1, x, y), 1.0) << band << ' ' << x << ' ' << y;
                else
                    ASSERT_EQ(value, scene(band - 1, x, y)) << band << ' ' << x << ' ' << y;
            }
        }
    }

    // "Run" again works from the same form.
    run_job_and_wait();
    EXPECT_EQ(messages.messages.size(), 2u);
}

TEST_F(DialogJobTest, RefinedFillWithItsErrorRasterBesideTheOutput) {
    fill_in_the_form();
    EXPECT_FALSE(dialog->control(ID_ERROR_RASTER)->isEnabled());
    click(ID_REFINE);
    EXPECT_EQ(dialog->settings().refine, 1);  // read as it is ticked
    ASSERT_TRUE(dialog->control(ID_ERROR_RASTER)->isEnabled());
    click(ID_ERROR_RASTER);
    // Run straight after the ticks: they were read as they were made.
    run_job_and_wait();
    ASSERT_EQ(messages.messages.size(), 1u) << messages.messages[0];
    const std::string error_raster = folder.path("filled_error.tif");
    EXPECT_EQ(dialog->settings().error_output_path, error_raster);
    ASSERT_EQ(test::read_band(error_raster, 3).size(), 40u * 30u);
    EXPECT_GT(test::read_band(error_raster, 1)[13 * 40 + 20], 0.0);  // a filled pixel
    EXPECT_EQ(test::read_band(error_raster, 1)[0], 0.0);             // a valid one

    // Without the refined fill the box is off and no raster is asked for.
    click(ID_REFINE);
    EXPECT_FALSE(dialog->control(ID_ERROR_RASTER)->isEnabled());
    EXPECT_EQ(dialog->settings().error_output_path, "");
}

TEST_F(DialogJobTest, OtherFillImagesAreAddedRemovedAndFilledFromWithTheRefinedFill) {
    const std::string fill2 = folder.path("fill2.tif");  // a darker date
    test::write_tiff(fill2, test::raster_shape(40, 30, 3), [](int b, int x, int y) { return scene(b, x, y) - 4.0; });
    fill_in_the_form();
    picker.answer = {target, fill2};  // chosen together: both, in the picker's order
    click(ID_ADD_OTHER_FILL);
    EXPECT_TRUE(get<QCheckBox>(ID_REFINE)->isChecked());  // ticked, and held while the list has images
    EXPECT_FALSE(dialog->control(ID_REFINE)->isEnabled());
    QListWidget* list = get<QListWidget>(ID_OTHER_FILLS);
    list->setCurrentRow(0);
    click(ID_REMOVE_OTHER_FILL);
    EXPECT_EQ(dialog->settings().other_fill_image_paths, std::vector<std::string>{fill2});

    run_job_and_wait();  // the bytes the job itself writes given the same two fills
    ASSERT_EQ(messages.messages.at(0).rfind("Job Done:", 0), 0u) << messages.messages[0];
    JobSettings direct = dialog->settings();
    direct.output_image_path = folder.path("direct.tif");
    test::RecordingHost host;
    run_job(direct, host);
    EXPECT_EQ(test::file_bytes(output), test::file_bytes(direct.output_image_path));

    click(ID_USE_MASK_FILE);  // each image's mask is asked for right after it
    picker.answer = {fill2};
    click(ID_ADD_OTHER_FILL);
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(1)->text(), QString::fromStdString(fill2 + "  (mask: " + fill2 + ")"));
    EXPECT_EQ(picker.requests.back().caption, "Mask of fill2.tif");
    EXPECT_EQ(dialog->settings().other_fill_mask_paths, (std::vector<std::string>{"", fill2}));
}

TEST_F(DialogJobTest, TolvekOnlyRunLeavesTheTargetPathInTheFillPath) {
    browse(ID_BROWSE_TARGET_IMAGE, target);
    browse(ID_BROWSE_OUTPUT_IMAGE, output);
    click(ID_USE_THRESHOLD);
    click(ID_SARNIC);
    run_job_and_wait();
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].rfind("Job Done:", 0), 0u) << messages.messages[0];
    EXPECT_EQ(dialog->settings().fill_image_path, target);
    EXPECT_EQ(text(ID_FILL_IMAGE_PATH), "");  // not refreshed yet

    picker.accept = false;
    click(ID_BROWSE_OUTPUT_IMAGE);
    EXPECT_EQ(text(ID_FILL_IMAGE_PATH).toStdString(), target);
    EXPECT_FALSE(dialog->control(ID_FILL_IMAGE_PATH)->isEnabled());
}

// A job the test holds: it moves the bar until released, then ends with
// "Job Done"; once the host asks it to stop, it stops as the real job does.
struct HeldJob {
    std::atomic<int> starts = 0;
    std::atomic<bool> release = false;
    std::atomic<bool> stopped = false;
    std::atomic<bool> message_first = false;  // show a message before the work
    std::atomic<bool> showing_first = false;

    JobFunction function() {
        return [this](JobSettings&, JobHost& host) {
            ++starts;
            if (message_first) {
                showing_first = true;
                host.show_message("first");
            }
            for (int position = 1; !release; position = position % 99 + 1) {
                if (host.stop_requested()) {
                    stopped = true;
                    host.show_end(JobResult::stopped());
                    return false;
                }
                host.set_progress_position(position);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            host.show_message("Job Done:Total Time:1 ms");
            host.set_progress_position(0);
            return true;
        };
    }
};

class DialogHeldJobTest : public test::DialogFixture {
protected:
    void SetUp() override { open_dialog(job.function()); }
    // The dialog goes first: it may still run the job.
    void TearDown() override { dialog.reset(); }

    void start() {
        click(ID_RUN);
        ASSERT_TRUE(QTest::qWaitFor([this] { return job.starts == 1 && dialog->progress_bar()->value() > 0; }));
    }
    std::vector<bool> enabled_states() {
        std::vector<bool> states;
        for (QWidget* widget : dialog->controls_in_order()) states.push_back(widget->isEnabled());
        return states;
    }

    HeldJob job;
};

// The GUI thread stays free while the job works; the form takes no input
// then, and nothing is kept for later. "Help" and "Close" stay usable.
TEST_F(DialogHeldJobTest, FormIsLockedWhileTheJobRunsAndComesBackAsItWas) {
    click(ID_USE_THRESHOLD);
    click(ID_SARNIC);
    const std::vector<bool> before = enabled_states();
    start();

    for (int id : {ID_RUN, ID_BROWSE_TARGET_IMAGE, ID_USE_MASK_FILE, ID_TOLVEK, ID_SARNIC, ID_REGULARIZATION,
                   ID_VALID_MIN, ID_TARGET_IMAGE_PATH})
        EXPECT_FALSE(dialog->control(id)->isEnabled()) << id;
    EXPECT_TRUE(dialog->control(ID_CLOSE)->isEnabled());
    EXPECT_TRUE(dialog->control(ID_HELP)->isEnabled());

    // Neither a click on "Run", nor Enter, nor the handler itself starts a
    // second job; typing reaches no box.
    click(ID_RUN);
    QTest::keyClick(dialog.get(), Qt::Key_Return);
    dialog->OnOK();
    QLineEdit* box = get<QLineEdit>(ID_REGULARIZATION);
    QTest::keyClicks(box, "5");
    click(ID_SARNIC);
    click(ID_HELP);
    QTest::qWait(20);  // the events have been handled and the job went on meanwhile
    EXPECT_EQ(job.starts, 1);
    EXPECT_EQ(box->text(), "1000");
    EXPECT_EQ(dialog->settings().use_sarnic, 0);
    EXPECT_TRUE(messages.prompts.empty());
    EXPECT_TRUE(messages.questions.empty());  // Enter does not press "Close"
    EXPECT_EQ(help.paths.size(), 1u);
    EXPECT_TRUE(dialog->job_running());

    job.release = true;
    ASSERT_TRUE(job_ends());
    EXPECT_EQ(job.starts, 1);
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Job Done:Total Time:1 ms"});
    EXPECT_EQ(dialog->progress_bar()->value(), 0);
    // The enabling rules' states are back, and the focus on "Run".
    EXPECT_EQ(enabled_states(), before);
    EXPECT_EQ(QApplication::focusWidget(), dialog->control(ID_RUN));
    click(ID_SARNIC);
    EXPECT_EQ(dialog->settings().use_sarnic, 1);
}

// "Close", Escape and the close box, while a job runs: each asks first.
struct CloseWay {
    const char* name;
    void (*close)(MainDialog&);
};
const CloseWay CLOSE_WAYS[] = {
    {"CloseButton", [](MainDialog& d) { qobject_cast<QPushButton*>(d.control(ID_CLOSE))->click(); }},
    {"Escape", [](MainDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }},
    {"CloseBox", [](MainDialog& d) { d.windowHandle()->close(); }},
};

class DialogCloseDuringJobTest : public DialogHeldJobTest, public ::testing::WithParamInterface<CloseWay> {
protected:
    void close_the_window() { GetParam().close(*dialog); }
};
INSTANTIATE_TEST_SUITE_P(Ways, DialogCloseDuringJobTest, ::testing::ValuesIn(CLOSE_WAYS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(DialogCloseDuringJobTest, NoLetsTheJobFinish) {
    start();
    messages.answer_yes = false;
    close_the_window();
    ASSERT_EQ(messages.questions, std::vector<std::string>{"A job is running. Do you want to stop it?"});
    EXPECT_EQ(messages.parents.back(), dialog.get());
    EXPECT_TRUE(dialog->isVisible());

    job.release = true;
    ASSERT_TRUE(job_ends());
    EXPECT_FALSE(job.stopped);
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Job Done:Total Time:1 ms"});
    EXPECT_TRUE(dialog->isVisible());
}

TEST_P(DialogCloseDuringJobTest, YesStopsTheJobAndTheWindowClosesOnceItHasEnded) {
    start();
    messages.answer_yes = true;
    close_the_window();
    ASSERT_EQ(messages.questions.size(), 1u);
    ASSERT_TRUE(job_ends());
    EXPECT_TRUE(job.stopped);
    EXPECT_TRUE(messages.messages.empty());  // no box to say it stopped
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

TEST_F(DialogHeldJobTest, DestroyingTheWindowStopsTheJob) {
    start();
    dialog.reset();
    EXPECT_TRUE(job.stopped);
    EXPECT_TRUE(messages.messages.empty());
}

// The box the job waits for never comes up: no event is handled between
// "Run" and the window's end. The job is let go and stops.
TEST_F(DialogHeldJobTest, DestroyingTheWindowWhileTheJobWaitsForItsBoxStopsIt) {
    job.message_first = true;
    dialog->OnOK();
    for (int i = 0; i < 10000 && !job.showing_first; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(job.showing_first);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // into its wait, most likely
    dialog.reset();
    EXPECT_TRUE(job.stopped);
    EXPECT_TRUE(messages.messages.empty());
}

// The job goes on only once its message box is closed.
TEST_F(DialogJobTest, JobWaitsForItsMessageBox) {
    std::atomic<bool> past_first = false;
    open_dialog([&](JobSettings&, JobHost& host) {
        host.show_message("first");
        past_first = true;
        host.show_message("second");
        return true;
    });
    std::vector<bool> past_first_while_open;
    messages.on_message = [&](const QString&) {
        QTest::qWait(50);  // the box stays up a while; events flow meanwhile
        past_first_while_open.push_back(past_first);
    };
    run_job_and_wait();
    EXPECT_EQ(messages.messages, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(past_first_while_open, (std::vector<bool>{false, true}));
}

// The job's messages and bar moves, as a window shows them: a bar move only
// when the position changes.
class SequenceHost : public JobHost {
public:
    void show_message(const std::string& text) override { log.push_back("message " + text); }
    int set_progress_position(int position) override {
        if (position != bar) log.push_back("bar " + std::to_string(position));
        const int previous = bar;
        bar = position;
        return previous;
    }
    std::vector<std::string> log;
    int bar = 0;
};

std::vector<std::string> without_times(std::vector<std::string> log) {
    static const std::regex time("Time:[0-9]+ ms");
    for (std::string& entry : log) entry = std::regex_replace(entry, time, "Time:_ ms");
    return log;
}

// Float64 images with three strips, whose fill stages show messages in the
// middle of the job: around the gap the fill image is 1e-7, present but
// missing, so the fallback finds no fill value near some pixels.
class DialogJobOrderTest : public DialogJobTest {
protected:
    void SetUp() override {
        const test::RasterShape raster = test::raster_shape(40, 30, 3, GDT_Float64);
        test::write_tiff(target, raster, [&](int b, int x, int y) { return y >= 12 && y <= 14 ? 0.0 : scene(b, x, y); });
        test::write_tiff(fill, raster, [&](int b, int x, int y) {
            return y >= 8 && y <= 18 && x >= 6 && x <= 16 ? 1e-7 : scene(b, x, y) + 5.0;
        });
        options.strip_budget = 64 * 3 * 40 * 10;  // ten rows a strip
        options.solver_progress = false;
        open_dialog([this](JobSettings& settings, JobHost& host) { return run_job(settings, host, options); });
        fill_in_the_form();
    }
    RunOptions options;
};

TEST_F(DialogJobOrderTest, MessagesAndBarMovesArriveInTheJobsOrder) {
    JobSettings same = dialog->settings();
    SequenceHost recorder;
    ASSERT_TRUE(run_job(same, recorder, options).done());

    std::vector<std::string> shown;
    QObject::connect(dialog->progress_bar(), &QProgressBar::valueChanged,
                     [&](int v) { shown.push_back("bar " + std::to_string(v)); });
    messages.on_message = [&](const QString& text) { shown.push_back("message " + text.toStdString()); };
    run_job_and_wait();

    EXPECT_EQ(without_times(shown), without_times(recorder.log));
    EXPECT_GT(std::count(shown.begin(), shown.end(), "message alr Error!"), 0);  // between bar moves
}

// The user closes the window while one of the job's boxes is up and says
// Yes: the job goes on once the box is closed, stops, and the window closes.
TEST_F(DialogJobOrderTest, ClosingWhileAJobMessageIsUpStopsTheJob) {
    messages.answer_yes = true;
    messages.on_message = [&](const QString&) {
        if (messages.questions.empty()) dialog->windowHandle()->close();
    };
    run_job_and_wait();
    EXPECT_EQ(messages.questions.size(), 1u);
    ASSERT_FALSE(messages.messages.empty());
    for (const std::string& text : messages.messages) EXPECT_EQ(text, "alr Error!");
    EXPECT_FALSE(dialog->isVisible());
}

}  // namespace
}  // namespace pelvane
