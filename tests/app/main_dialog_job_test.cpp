#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <memory>

#include "app/control_ids.h"
#include "app/main_dialog.h"
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
    click(ID_RUN);
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Please select at least one method!"});
    EXPECT_EQ(messages.parents.back(), dialog.get());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(output)));
    EXPECT_EQ(dialog->progress_bar()->value(), 0);
}

TEST_F(DialogJobTest, EnterInAnEditBoxRunsTheJob) {
    QLineEdit* box = qobject_cast<QLineEdit*>(dialog->control(ID_REGULARIZATION));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_EQ(messages.messages, std::vector<std::string>{"Please select target image path"});
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(DialogJobTest, WholeJobFromTheFormEndsWithTheBarBackAtZero) {
    fill_in_the_form();
    std::vector<int> positions;
    QObject::connect(dialog->progress_bar(), &QProgressBar::valueChanged, [&](int v) { positions.push_back(v); });
    int bar_at_message = -1;
    messages.on_message = [&](const QString&) { bar_at_message = dialog->progress_bar()->value(); };

    click(ID_RUN);

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
    click(ID_RUN);
    EXPECT_EQ(messages.messages.size(), 2u);
}

// Input that arrives while the job works is dropped, not kept for later;
// other events (painting among them) are handled meanwhile.
TEST_F(DialogJobTest, WindowTakesNoInputWhileTheJobRuns) {
    fill_in_the_form();
    QWidget* run = dialog->control(ID_RUN);
    QLineEdit* box = qobject_cast<QLineEdit*>(dialog->control(ID_REGULARIZATION));
    const QPointF centre = run->rect().center();
    QCoreApplication::postEvent(run, new QMouseEvent(QEvent::MouseButtonPress, centre, run->mapToGlobal(centre),
                                                     Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(run, new QMouseEvent(QEvent::MouseButtonRelease, centre, run->mapToGlobal(centre),
                                                     Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    QCoreApplication::postEvent(box, new QKeyEvent(QEvent::KeyPress, Qt::Key_5, Qt::NoModifier, "5"));
    QCoreApplication::postEvent(dialog.get(), new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    QCoreApplication::postEvent(dialog.get(), new QCloseEvent());

    // A probe that notes when the event loop got to it.
    struct Probe : QObject {
        MainDialog* dialog = nullptr;
        test::RecordedMessages* messages = nullptr;
        bool during_job = false;
        bool reached = false;
        bool event(QEvent* e) override {
            if (e->type() != QEvent::User) return QObject::event(e);
            reached = true;
            during_job = dialog->job_running() && messages->messages.empty();
            return true;
        }
    } probe;
    probe.dialog = dialog.get();
    probe.messages = &messages;
    QCoreApplication::postEvent(&probe, new QEvent(QEvent::User));

    click(ID_RUN);
    QCoreApplication::processEvents();  // anything kept back would arrive now

    EXPECT_TRUE(probe.reached);
    EXPECT_TRUE(probe.during_job);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].rfind("Job Done:", 0), 0u);
    EXPECT_EQ(box->text(), "1000");
    EXPECT_TRUE(messages.prompts.empty());
    EXPECT_TRUE(dialog->isVisible());

    // After the job the window takes input again.
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(DialogJobTest, TolvekOnlyRunLeavesTheTargetPathInTheFillPath) {
    browse(ID_BROWSE_TARGET_IMAGE, target);
    browse(ID_BROWSE_OUTPUT_IMAGE, output);
    click(ID_USE_THRESHOLD);
    click(ID_SARNIC);
    click(ID_RUN);
    ASSERT_EQ(messages.messages.size(), 1u);
    EXPECT_EQ(messages.messages[0].rfind("Job Done:", 0), 0u) << messages.messages[0];
    EXPECT_EQ(dialog->settings().fill_image_path, target);
    EXPECT_EQ(text(ID_FILL_IMAGE_PATH), "");  // not refreshed yet

    picker.accept = false;
    click(ID_BROWSE_OUTPUT_IMAGE);
    EXPECT_EQ(text(ID_FILL_IMAGE_PATH).toStdString(), target);
    EXPECT_FALSE(dialog->control(ID_FILL_IMAGE_PATH)->isEnabled());
}

}  // namespace
}  // namespace pelvane
