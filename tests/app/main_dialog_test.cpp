#include "app/main_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QImage>
#include <QLineEdit>
#include <QProcess>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/control_ids.h"
#include "app/dialog_template.h"
#include "tests/app/dialog_test_support.h"

namespace pelvane {
namespace {


class MainDialogTest : public test::DialogFixture {
protected:
    void SetUp() override { open_dialog(); }

    bool enabled(int id) { return dialog->control(id)->isEnabled(); }
    void expect_enabled(bool on, std::initializer_list<int> ids) {
        for (int id : ids) EXPECT_EQ(enabled(id), on) << id;
    }
};

TEST_F(MainDialogTest, FreshStartShowsTheDefaults) {
    EXPECT_EQ(dialog->windowTitle(), "Pelvane");
    EXPECT_EQ(text(ID_VALID_MIN), "1");
    EXPECT_EQ(text(ID_VALID_MAX), "255");
    EXPECT_EQ(text(ID_SIMILAR_PIXEL_COUNT), "30");
    EXPECT_EQ(text(ID_REGULARIZATION), "1000");
    EXPECT_EQ(text(ID_MAX_ITERATIONS), "600");
    EXPECT_TRUE(get<QCheckBox>(ID_SARNIC)->isChecked());
    EXPECT_TRUE(get<QCheckBox>(ID_TOLVEK)->isChecked());
    EXPECT_TRUE(get<QRadioButton>(ID_USE_MASK_FILE)->isChecked());
    EXPECT_FALSE(get<QRadioButton>(ID_USE_THRESHOLD)->isChecked());
    for (int id : {ID_TARGET_IMAGE_PATH, ID_FILL_IMAGE_PATH, ID_OUTPUT_IMAGE_PATH, ID_TARGET_MASK_PATH,
                   ID_FILL_MASK_PATH}) {
        EXPECT_EQ(text(id), "") << id;
        EXPECT_TRUE(get<QLineEdit>(id)->isReadOnly()) << id;
    }
    for (int id : {ID_VALID_MIN, ID_VALID_MAX, ID_SIMILAR_PIXEL_COUNT, ID_REGULARIZATION, ID_MAX_ITERATIONS})
        EXPECT_FALSE(get<QLineEdit>(id)->isReadOnly()) << id;
    expect_enabled(true, {ID_TARGET_MASK_PATH, ID_BROWSE_TARGET_MASK, ID_FILL_MASK_PATH, ID_BROWSE_FILL_MASK,
                          ID_REGULARIZATION, ID_MAX_ITERATIONS, ID_FILL_IMAGE_PATH, ID_SIMILAR_PIXEL_COUNT});
    expect_enabled(false, {ID_VALID_MIN, ID_VALID_MAX});

    QProgressBar* bar = dialog->progress_bar();
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(bar->isTextVisible());

    EXPECT_EQ(QApplication::focusWidget(), dialog->control(ID_RUN));
    EXPECT_TRUE(get<QPushButton>(ID_RUN)->isDefault());
    EXPECT_TRUE(messages.prompts.empty());
    EXPECT_TRUE(messages.messages.empty());

    const JobSettings defaults;
    const JobSettings& s = dialog->settings();
    EXPECT_EQ(s.valid_min, defaults.valid_min);
    EXPECT_EQ(s.similar_pixel_count, defaults.similar_pixel_count);
    EXPECT_EQ(s.max_iterations, defaults.max_iterations);
    EXPECT_EQ(s.use_threshold, 0);
}

TEST_F(MainDialogTest, WindowIsFixedWithMinimiseAndIcon) {
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    const Qt::WindowFlags flags = dialog->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    const QList<QSize> sizes = dialog->windowIcon().availableSizes();
    EXPECT_EQ(sizes.size(), 8);
    for (int size : {16, 20, 24, 32, 40, 48, 64, 128}) EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;

    // The picture at its natural size.
    auto* picture = qobject_cast<QLabel*>(dialog->controls_in_order().back());
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->pixmap().size(), QSize(180, 374));
    EXPECT_EQ(picture->size(), QSize(180, 374));
}

TEST_F(MainDialogTest, EveryLabelFitsAndNothingOverlaps) {
    const auto& controls = dialog->controls_in_order();
    const auto& table = dialog_template();
    ASSERT_EQ(controls.size(), table.size());
    const QRect client = dialog->rect();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const QRect r = controls[i]->geometry();
        SCOPED_TRACE(table[i].label);
        SCOPED_TRACE(i);
        EXPECT_TRUE(client.contains(r));
        if (auto* label = qobject_cast<QLabel*>(controls[i]); label != nullptr && !label->text().isEmpty()) {
            EXPECT_GE(r.width(), label->sizeHint().width());
            EXPECT_GE(r.height(), label->fontMetrics().height());
        }
        if (auto* button = qobject_cast<QAbstractButton*>(controls[i])) {
            const int text_width = button->fontMetrics().horizontalAdvance(button->text());
            EXPECT_GT(r.width(), text_width);
            if (qobject_cast<QPushButton*>(button) == nullptr) {
                EXPECT_GE(r.width(), button->sizeHint().width());
            }
        }
        if (table[i].kind == ControlKind::group_box) continue;
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            if (table[j].kind == ControlKind::group_box) continue;
            EXPECT_FALSE(r.intersects(controls[j]->geometry())) << "overlaps control " << j;
        }
        // Inside the frame of its group.
        if (table[i].group[0] != '\0') {
            const QGroupBox* group = nullptr;
            for (QWidget* w : controls) {
                auto* g = qobject_cast<QGroupBox*>(w);
                if (g != nullptr && g->title() == table[i].group) group = g;
            }
            ASSERT_NE(group, nullptr);
            EXPECT_TRUE(group->geometry().contains(r));
        }
    }
}

TEST_F(MainDialogTest, LayoutKeepsTheTableArrangement) {
    // Rows stay rows and columns stay columns after the conversion.
    auto geometry = [&](int id) { return dialog->control(id)->geometry(); };
    for (int edit : {ID_TARGET_IMAGE_PATH, ID_OUTPUT_IMAGE_PATH, ID_TARGET_MASK_PATH, ID_FILL_MASK_PATH,
                     ID_FILL_IMAGE_PATH})
        EXPECT_LT(geometry(edit).right(), geometry(ID_BROWSE_TARGET_IMAGE).left()) << edit;
    EXPECT_EQ(geometry(ID_BROWSE_TARGET_IMAGE).left(), geometry(ID_BROWSE_FILL_MASK).left());
    EXPECT_LT(geometry(ID_TARGET_IMAGE_PATH).bottom(), geometry(ID_OUTPUT_IMAGE_PATH).top());
    EXPECT_LT(geometry(ID_USE_MASK_FILE).bottom(), geometry(ID_TARGET_MASK_PATH).top());
    EXPECT_LT(geometry(ID_VALID_MIN).right(), geometry(ID_VALID_MAX).left());
    EXPECT_LT(geometry(ID_RUN).right(), geometry(ID_HELP).left());
    EXPECT_LT(geometry(ID_HELP).right(), geometry(ID_CLOSE).left());
    EXPECT_LT(dialog->progress_bar()->geometry().bottom(), geometry(ID_RUN).top());
    // The bar spans the dialog below the groups and the picture.
    const QRect groups = dialog->controls_in_order()[11]->geometry();  // "General"
    EXPECT_EQ(dialog->progress_bar()->geometry().left(), groups.left());
    EXPECT_GT(dialog->progress_bar()->geometry().right(), geometry(ID_CLOSE).right() - 2);
    const QRect picture = dialog->controls_in_order().back()->geometry();
    EXPECT_GT(picture.left(), geometry(ID_BROWSE_TARGET_IMAGE).right());
    EXPECT_LT(picture.bottom(), dialog->progress_bar()->geometry().top());
}

TEST_F(MainDialogTest, TabVisitsTheTabStopsInTableOrder) {
    std::vector<QWidget*> expected;
    for (std::size_t i = 0; i < dialog_template().size(); ++i)
        if (dialog_template()[i].tab_stop) expected.push_back(dialog->controls_in_order()[i]);
    ASSERT_EQ(expected.size(), 25u);

    // Walk the focus chain from "Run" as the Tab key does (every control
    // enabled for the walk).
    for (QWidget* w : dialog->controls_in_order()) w->setEnabled(true);
    std::vector<QWidget*> visited;
    QWidget* w = dialog->control(ID_RUN);
    do {
        if ((w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && w->window() == dialog.get()) visited.push_back(w);
        w = w->nextInFocusChain();
    } while (w != dialog->control(ID_RUN));
    EXPECT_EQ(visited, expected);
    // The radio buttons are reached by clicking only.
    EXPECT_EQ(dialog->control(ID_USE_MASK_FILE)->focusPolicy(), Qt::ClickFocus);
}

TEST_F(MainDialogTest, ClicksEnableAndDisableTheRightControls) {
    click(ID_USE_THRESHOLD);
    EXPECT_EQ(dialog->settings().use_threshold, 1);
    expect_enabled(false, {ID_TARGET_MASK_PATH, ID_BROWSE_TARGET_MASK, ID_FILL_MASK_PATH, ID_BROWSE_FILL_MASK});
    expect_enabled(true, {ID_VALID_MIN, ID_VALID_MAX});

    click(ID_SARNIC);
    EXPECT_EQ(dialog->settings().use_sarnic, 0);
    expect_enabled(false, {ID_FILL_IMAGE_PATH, ID_BROWSE_FILL_IMAGE, ID_SIMILAR_PIXEL_COUNT});

    click(ID_USE_MASK_FILE);
    EXPECT_EQ(dialog->settings().use_threshold, 0);
    expect_enabled(true, {ID_TARGET_MASK_PATH, ID_BROWSE_TARGET_MASK});
    expect_enabled(false, {ID_FILL_MASK_PATH, ID_BROWSE_FILL_MASK, ID_VALID_MIN});  // Sarnic is off

    click(ID_SARNIC);
    expect_enabled(true, {ID_FILL_MASK_PATH, ID_FILL_IMAGE_PATH, ID_SIMILAR_PIXEL_COUNT});

    click(ID_TOLVEK);
    EXPECT_EQ(dialog->settings().use_tolvek, 0);
    expect_enabled(false, {ID_REGULARIZATION, ID_MAX_ITERATIONS});
    expect_enabled(true, {ID_FILL_MASK_PATH});
    click(ID_TOLVEK);
    expect_enabled(true, {ID_REGULARIZATION});
    EXPECT_TRUE(messages.prompts.empty());
}

TEST_F(MainDialogTest, InvalidNumberPromptsAndKeepsTheField) {
    QLineEdit* count = get<QLineEdit>(ID_SIMILAR_PIXEL_COUNT);
    count->setFocus();
    count->selectAll();
    QTest::keyClicks(count, "7");
    EXPECT_EQ(dialog->settings().similar_pixel_count, 7);
    EXPECT_TRUE(messages.prompts.empty());

    QTest::keyClick(count, Qt::Key_A);
    ASSERT_EQ(messages.prompts.size(), 1u);
    EXPECT_EQ(messages.prompts[0], "Please enter an integer.");
    EXPECT_EQ(messages.parents.back(), dialog.get());
    EXPECT_EQ(dialog->settings().similar_pixel_count, 7);
    EXPECT_EQ(count->text(), "7a");
    EXPECT_TRUE(count->hasFocus());
    EXPECT_EQ(count->selectedText(), "7a");

    // Emptying the box prompts again at once.
    QTest::keyClick(count, Qt::Key_Backspace);
    EXPECT_EQ(messages.prompts.size(), 2u);
    EXPECT_EQ(count->text(), "");
    EXPECT_EQ(dialog->settings().similar_pixel_count, 7);

    // A number box has its own prompt.
    QLineEdit* regularization = get<QLineEdit>(ID_REGULARIZATION);
    regularization->setFocus();
    regularization->end(false);
    QTest::keyClick(regularization, Qt::Key_E);
    ASSERT_EQ(messages.prompts.size(), 3u);
    // The bad count box comes first in field order, so it is the one blamed.
    EXPECT_EQ(messages.prompts[2], "Please enter an integer.");
    EXPECT_TRUE(count->hasFocus());
    EXPECT_EQ(dialog->settings().regularization, JobSettings{}.regularization);

    // A Browse, even cancelled, writes the kept values back.
    picker.accept = false;
    click(ID_BROWSE_TARGET_IMAGE);
    EXPECT_EQ(count->text(), "7");
    EXPECT_EQ(regularization->text(), "1000");
    EXPECT_EQ(messages.prompts.size(), 3u);

    regularization->selectAll();
    QTest::keyClicks(regularization, "2e");
    EXPECT_EQ(messages.prompts.back(), "Please enter a number.");
    EXPECT_EQ(dialog->settings().regularization, 2.0);
}

TEST_F(MainDialogTest, PathBoxesTakeNoTyping) {
    QLineEdit* target = get<QLineEdit>(ID_TARGET_IMAGE_PATH);
    target->setFocus();
    QTest::keyClicks(target, "/typed.tif");
    EXPECT_EQ(target->text(), "");
    EXPECT_EQ(dialog->settings().target_image_path, "");

    picker.answer = {"/scenes/a.tif", "/scenes/b.tif", "/scenes/c.tif"};
    click(ID_BROWSE_TARGET_IMAGE);
    EXPECT_EQ(target->text(), "/scenes/c.tif");
    EXPECT_EQ(dialog->settings().target_image_path, "/scenes/c.tif");
    // The text can still be selected for copying.
    target->selectAll();
    EXPECT_EQ(target->selectedText(), "/scenes/c.tif");
}

TEST_F(MainDialogTest, HelpButtonAndF1OpenTheGuideBesideTheProgram) {
    click(ID_HELP);
    QTest::keyClick(dialog.get(), Qt::Key_F1);
    ASSERT_EQ(help.paths.size(), 2u);
    const QString expected = QCoreApplication::applicationDirPath() + "/readme.txt";
    EXPECT_EQ(help.paths[0], expected);
    EXPECT_EQ(help.paths[1], expected);
    EXPECT_EQ(readme_path(), expected);
    EXPECT_TRUE(messages.messages.empty());
}

TEST(UserGuide, LiesBesideTheProgramsAndCoversTheForm) {
    test::test_application();
    QFile guide(readme_path());
    ASSERT_TRUE(guide.open(QIODevice::ReadOnly | QIODevice::Text)) << readme_path().toStdString();
    const QString text = QString::fromUtf8(guide.readAll());
    for (const char* word : {"Sarnic", "Tolvek", "Use Mask File", "Use Threshold", "Run",
                             "Please select at least one method!", "Job Done"})
        EXPECT_TRUE(text.contains(word)) << word;
}

TEST_F(MainDialogTest, EscapeAndCloseEndTheDialog) {
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);

    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    click(ID_CLOSE);
    EXPECT_FALSE(dialog->isVisible());
}

// The real Qt pickers, answered by typing into their name box.
class FilePickerTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::test_application();
        ASSERT_TRUE(folder.isValid());
        for (const char* name : {"a.tif", "b.tif", "c.tif", "exists.tif"}) {
            QFile file(folder.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
    }
    static QLineEdit* name_box(QFileDialog& dialog) { return dialog.findChild<QLineEdit*>("fileNameEdit"); }

    QTemporaryDir folder;
};

TEST_F(FilePickerTest, OutputPickerStartsWithTifAndTheFirstFilter) {
    auto dialog = make_file_dialog(output_picker_request(), nullptr);
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::AnyFile);
    EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(dialog->defaultSuffix(), "");
    const QStringList filters = dialog->nameFilters();
    ASSERT_EQ(filters.size(), 13);
    EXPECT_EQ(filters[0], "GTiff(*.tif) (*.tif)");
    EXPECT_EQ(filters[5], "DTED(*.dt0,*.dt1) (*.dt0 *.dt1)");
    EXPECT_EQ(filters[12], "ALL(*.*) (*)");
    EXPECT_EQ(dialog->selectedNameFilter(), "GTiff(*.tif)");
    ASSERT_NE(name_box(*dialog), nullptr);
    EXPECT_EQ(name_box(*dialog)->text(), ".tif");

    // The list shows the descriptions alone.
    auto* type_list = dialog->findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(type_list, nullptr);
    ASSERT_EQ(type_list->count(), 13);
    EXPECT_EQ(type_list->itemText(0), "GTiff(*.tif)");
    EXPECT_EQ(type_list->itemText(5), "DTED(*.dt0,*.dt1)");
    EXPECT_EQ(type_list->itemText(11), "Japanese DEM (.mem)");
    EXPECT_EQ(type_list->currentIndex(), 0);
}

TEST_F(FilePickerTest, OutputPickerTakesNewNamesAsTypedAndExistingFilesWithoutAsking) {
    for (const QString name : {"filled", "exists.tif"}) {
        auto dialog = make_file_dialog(output_picker_request(), nullptr);
        dialog->setDirectory(folder.path());
        dialog->show();
        name_box(*dialog)->setText(name);
        static_cast<QDialog*>(dialog.get())->accept();  // would stay open behind a question
        EXPECT_EQ(dialog->result(), QDialog::Accepted) << name.toStdString();
        EXPECT_EQ(dialog->selectedFiles(), QStringList{folder.filePath(name)});
    }
}

TEST_F(FilePickerTest, InputPickerReturnsEveryChosenFileInOrder) {
    QtFilePicker picker(nullptr);
    QTimer::singleShot(0, [this] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
        dialog->setDirectory(folder.path());
        name_box(*dialog)->setText("\"a.tif\" \"c.tif\" \"b.tif\"");
        static_cast<QDialog*>(dialog)->accept();
    });
    std::vector<std::string> paths;
    ASSERT_TRUE(picker.pick(input_picker_request(), paths));
    const std::vector<std::string> expected = {folder.filePath("a.tif").toStdString(),
                                               folder.filePath("c.tif").toStdString(),
                                               folder.filePath("b.tif").toStdString()};
    EXPECT_EQ(paths, expected);

    QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
    paths.clear();
    EXPECT_FALSE(picker.pick(input_picker_request(), paths));
    EXPECT_TRUE(paths.empty());
}

TEST(MessageBoxesTest, CaptionIsTheProgramNameWithAnOkButton) {
    test::test_application();
    QWidget owner;
    QString caption, text;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        buttons = box->standardButtons();
        parent = box->parentWidget();
        box->button(QMessageBox::Ok)->click();
    });
    QtMessageBoxes boxes;
    boxes.show_message(&owner, "Job Done:Total Time:5 ms");
    EXPECT_EQ(caption, QCoreApplication::applicationName());
    EXPECT_EQ(caption, "pelvane_dialog_test");
    EXPECT_EQ(text, "Job Done:Total Time:5 ms");
    EXPECT_EQ(buttons, QMessageBox::Ok);
    EXPECT_EQ(parent, &owner);
}

// The question before stopping a job: Yes stops; No, the default, and
// Escape do not.
TEST(MessageBoxesTest, QuestionHasYesAndNoWithNoAsTheDefault) {
    test::test_application();
    QWidget owner;
    const std::pair<std::function<void(QMessageBox&)>, bool> answers[] = {
        {[](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); }, true},
        {[](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); }, false},
        {[](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, false},
    };
    for (const auto& [answer, yes] : answers) {
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), "pelvane_dialog_test");
            EXPECT_EQ(box->text(), "Stop?");
            EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            EXPECT_EQ(box->parentWidget(), &owner);
            answer(*box);
        });
        EXPECT_EQ(QtMessageBoxes().ask(&owner, "Stop?"), yes);
    }
}

// The program opens the dialog at once and ends when it is closed (here by
// its screenshot switch, which closes it after saving the picture).
TEST(Program, ShowsTheDialogAndEndsWhenItCloses) {
    test::test_application();
    QTemporaryDir folder;
    const QString shot = folder.filePath("dialog.png");
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("PELVANE_SCREENSHOT", shot);
    program.setProcessEnvironment(environment);
    program.start(PELVANE_PROGRAM, {});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);

    const QImage image(shot);
    ASSERT_FALSE(image.isNull());
    MainDialog same(test::dialog_job());
    EXPECT_EQ(image.size(), same.size() * same.devicePixelRatio());
}

}  // namespace
}  // namespace pelvane
