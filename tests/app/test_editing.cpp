// The main window's views, lightening edit and launchers, and the link to
// the paint program.
#include "anyimage.h"
#include "editorlaunch.h"
#include "exebuttn.h"
#include "secondarywindows.h"
#include "layout.h"
#include "library.h"
#include "mainwindow.h"
#include "numedit.h"
#include "setcommands.h"
#include "testsets.h"
#include "transparencyeditor.h"
#include "updown.h"
#include "windowtest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace corvane;

namespace {

// An 8-bit Extended Bitmap whose every level shows four quarters (red top
// left, green top right, blue bottom left, yellow bottom right) and, from
// 8x8 up, a white diagonal from the top left corner.
std::vector<uint8_t> quarteredSet(int edge) {
    std::vector<uint8_t> b = corvane::testing::setHeaders8(edge);
    const QRgb colours[] = {qRgb(0, 0, 0),     qRgb(220, 40, 40),  qRgb(40, 180, 60),
                            qRgb(40, 80, 220), qRgb(240, 210, 40), qRgb(255, 255, 255)};
    for (size_t i = 0; i < std::size(colours); ++i) {
        b[54 + 4 * i] = uint8_t(qBlue(colours[i]));
        b[55 + 4 * i] = uint8_t(qGreen(colours[i]));
        b[56 + 4 * i] = uint8_t(qRed(colours[i]));
    }
    for (int level = edge; level >= 1; level /= 2)
        for (int row = level - 1; row >= 0; --row)  // bottom row first
            for (int x = 0; x < level; ++x) {
                const bool top = row < (level + 1) / 2, left = x < (level + 1) / 2;
                b.push_back(level >= 8 && x == row ? 5 : top ? (left ? 1 : 2) : (left ? 3 : 4));
            }
    corvane::testing::finishSet8(b);
    return b;
}

QString contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

class EditingTest : public corvane::testing::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_TRUE(QDir(dir.path()).mkpath("My Tools"));
        editor = dir.filePath("My Tools/paint program");
        QFile script(editor);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\n");
        script.close();
        script.setPermissions(script.permissions() | QFile::ExeOwner);
        open();
    }
    void open() {
        openWindow(editor);
        form->setProgramStarter([this](const QString& program, const QStringList& arguments) {
            started.push_back({program, arguments});
            return true;
        });
    }
    void reopen() {
        form->close();
        form.reset();
        open();
    }
    QString slot(int k) const { return QDir::toNativeSeparators(form->workspace().slotPath(k)); }
    int editedSlot() const { return form->workspace().state().editedSlot; }
    std::vector<corvane::testing::Bytes> slotFiles() const {
        std::vector<corvane::testing::Bytes> files;
        for (int k = 0; k < kSlotCount; ++k)
            files.push_back(corvane::testing::readBytes(form->workspace().slotPath(k)));
        return files;
    }
    void loadQuarteredSet(int edge) {
        const QString file = dir.filePath("quartered.bmp");
        ASSERT_TRUE(corvane::testing::writeBytes(file, quarteredSet(edge)));
        QuorLibrary library(form->context());
        const CommandOutcome outcome = loadExtended(file, BitmapFilter, form->workspace(), library, form->setOptions());
        ASSERT_TRUE(outcome.ok) << outcome.error.toStdString();
        form->showOutcome(outcome);
    }

    QString editor;
    struct Start {
        QString program;
        QStringList arguments;
    };
    std::vector<Start> started;
};

}  // namespace

TEST_F(EditingTest, ViewsAndEditHandTheirSlotToTheEditor) {
    form->workspace().state().largest = 512;
    form->reloadViews();
    form->show();
    const auto views = form->views();
    for (size_t i = 0; i < views.size(); ++i) {
        QTest::mouseDClick(views[i], Qt::LeftButton);
        ASSERT_EQ(started.size(), i + 1);
        EXPECT_EQ(started.back().program, editor);
        EXPECT_EQ(started.back().arguments, QStringList{slot(int(i) + 2)});
        EXPECT_EQ(editedSlot(), int(i) + 2);
    }
    EXPECT_TRUE(started[2].arguments[0].endsWith("Bmp064.bmp"));
    QTest::mouseDClick(form3.view, Qt::LeftButton);
    EXPECT_EQ(started.back().arguments, QStringList{slot(1)});

    // "Edit" takes the largest level; before any load, the 4x4 one.
    const std::pair<int, int> cases[] = {{512, 1}, {128, 3}, {2, 9}, {0, 8}, {300, 8}};
    for (const auto& [largest, expected] : cases) {
        form->workspace().state().largest = largest;
        QTest::mouseClick(form->editButton, Qt::LeftButton);
        EXPECT_EQ(started.back().arguments, QStringList{slot(expected)}) << largest;
    }
    EXPECT_TRUE(prompts.calls.empty());
}

TEST_F(EditingTest, EditorIsLookedUpAndAMissingOneChangesNothingButTheEditedSlot) {
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.filePath("My Tools")) + QDir::listSeparator().toLatin1() + path);
    form->editselect.fileName = "paint program";
    form->editLevel(9);
    qputenv("PATH", path);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, editor);

    loadQuarteredSet(64);
    const auto before = slotFiles();
    for (const QString& missing : {dir.filePath("gone/paint"), QStringLiteral("no-such-paint-program"), QString()}) {
        form->editselect.fileName = missing;
        form->workspace().state().editedSlot = 0;
        prompts.calls.clear();
        form->editLargestLevel();
        EXPECT_EQ(editedSlot(), 4);
        ASSERT_EQ(prompts.calls.size(), 1u);
        EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Warning);
        EXPECT_TRUE(prompts.calls[0].text.contains(missing)) << prompts.calls[0].text.toStdString();
    }
    EXPECT_EQ(started.size(), 1u);
    EXPECT_EQ(slotFiles(), before);
}

TEST_F(EditingTest, TheEditorRunsDetachedWithItsPathAndTheSlot) {
    // A copy in a folder with a blank in its name: each path stays one item.
    const QString program = dir.filePath("My Tools/record args");
    ASSERT_TRUE(QFile::copy(QStringLiteral(CORVANE_RECORD_ARGS_PROGRAM), program));
    QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
    const QString record = dir.filePath("arguments.txt");
    qputenv("CORVANE_RECORD_ARGS", QFile::encodeName(record));
    form->setProgramStarter(&startDetached);
    form->editselect.fileName = program;

    QElapsedTimer clock;
    clock.start();
    form->editLevel(3);
    // The stand-in lingers three seconds after recording.
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(editedSlot(), 4);
    while (!QFile::exists(record) && clock.elapsed() < 10000) QTest::qWait(20);
    qunsetenv("CORVANE_RECORD_ARGS");
    EXPECT_EQ(contents(record).split(u'\n', Qt::SkipEmptyParts), QStringList({program, slot(4)}));
    EXPECT_TRUE(prompts.calls.empty());
}

TEST_F(EditingTest, SelectingTheEditorSetsTheButtonAndItsHint) {
    prompts.cancelFile();
    QTest::mouseClick(form->editorLauncher, Qt::LeftButton, {}, QPoint(20, 20));
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].dialog.name, "editselect");
    EXPECT_EQ(prompts.calls[0].dialog.initialFolder, dir.filePath("My Tools/"));
    EXPECT_EQ(form->editselect.fileName, editor);
    EXPECT_EQ(form->editorLauncher->toolTip(), "Select Editing Program (Currently paint program)");

    prompts.choose("/opt/Paint Shop/paint shop");
    form->selectEditorItem->trigger();
    EXPECT_EQ(form->editorLauncher->fileName(), "/opt/Paint Shop/paint shop");
    EXPECT_EQ(form->editorLauncher->toolTip(), "Select Editing Program (Currently paint shop)");
}

TEST_F(EditingTest, ViewsShowEveryLevelAndUpdateRereadsThem) {
    loadQuarteredSet(512);
    ASSERT_TRUE(form3.isVisible());
    EXPECT_EQ(form3.view->picture().size(), QSize(512, 512));
    const auto views = form->views();
    for (size_t i = 0; i < views.size(); ++i) {
        const int level = 256 >> i;
        const QImage shown = views[i]->picture();
        SCOPED_TRACE(level);
        ASSERT_EQ(shown.size(), QSize(level, level));
        // Right way up: green top right, blue bottom left.
        EXPECT_EQ(shown.pixel(level - 1, 0), level > 1 ? qRgb(40, 180, 60) : qRgb(220, 40, 40));
        EXPECT_EQ(shown.pixel(0, level - 1), level > 1 ? qRgb(40, 80, 220) : qRgb(220, 40, 40));
    }

    // Update shows what the paint program saved, and itself writes nothing.
    QImage edited(64, 64, QImage::Format_RGB888);
    edited.fill(QColor(10, 20, 30));
    ASSERT_TRUE(edited.save(form->workspace().slotPath(4), "BMP"));
    const auto before = slotFiles();
    QTest::mouseClick(form->updateButton, Qt::LeftButton);
    EXPECT_EQ(views[2]->picture().pixel(5, 5), qRgb(10, 20, 30));
    EXPECT_EQ(slotFiles(), before);
}

TEST_F(EditingTest, LevelVisibilityAndTheLargeWindowsPlace) {
    form->largeWindow = {30, 40, 300, 200};
    form->workspace().state().largest = 64;
    form->reloadViews();
    const auto views = form->views();
    for (size_t i = 0; i < views.size(); ++i) EXPECT_EQ(views[i]->isHidden(), i < 2) << i;
    EXPECT_FALSE(form3.isVisible());

    // Placed from the kept geometry by the first reloadViews only.
    form->workspace().state().largest = 512;
    form->reloadViews();
    ASSERT_TRUE(form3.isVisible());
    EXPECT_EQ(form3.pos(), QPoint(30, 40));
    EXPECT_EQ(form3.size(), QSize(300, 200));
    form3.move(100, 120);
    form3.resize(320, 240);
    form->workspace().state().largest = 256;
    form->reloadViews();
    EXPECT_FALSE(form3.isVisible());
    EXPECT_EQ(form->largeWindow.left, 100);
    EXPECT_EQ(form->largeWindow.height, 240);
    form->workspace().state().largest = 512;
    form->reloadViews();
    EXPECT_EQ(form3.pos(), QPoint(100, 120));

    // Closing the program keeps where the visible large window stands.
    form3.move(140, 150);
    form->close();
    EXPECT_EQ(QSettings(dir.filePath("store.ini"), QSettings::IniFormat).value("Left512").toString(), "140");
}

TEST_F(EditingTest, LighteningRoundTripsThroughTheWholeNumberRule) {
    const auto stored = [&] {
        return QSettings(dir.filePath("store.ini"), QSettings::IniFormat).value("Lightening").toString();
    };
    EXPECT_EQ(form->lighteningEdit->text(), "-3");
    reopen();
    EXPECT_EQ(stored(), "-4");
    EXPECT_EQ(form->lighteningEdit->text(), "-3");

    form->lighteningEdit->selectAll();
    QTest::keyClicks(form->lighteningEdit, "-7");
    reopen();
    EXPECT_EQ(stored(), "-8");
    EXPECT_EQ(form->lighteningEdit->text(), "-7");
    EXPECT_EQ(form->lightening(), -7);
    // The arrows step from what the edit shows.
    form->lighteningArrows->step(true);
    EXPECT_EQ(form->lighteningEdit->text(), "-6");

    form->setLightening(5);
    reopen();
    EXPECT_EQ(stored(), "5");
}

// Keeps a loaded 512 set on screen for a screenshot:
//   QT_QPA_PLATFORM=xcb app_tests --gtest_also_run_disabled_tests --gtest_filter='*ForAScreenshot'
TEST_F(EditingTest, DISABLED_ShowsTheViewsForAScreenshot) {
    form->move(10, 10);
    form->largeWindow = {560, 10, 440, 440};
    form->show();
    loadQuarteredSet(512);
    QTest::qWait(qEnvironmentVariableIntValue("CORVANE_SHOW_SECONDS") * 1000 + 1000);
}
