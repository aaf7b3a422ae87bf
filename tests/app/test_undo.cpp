// Undo and Redo: after every command that changes the set, Ctrl+Z gives back
// exactly what the window held before it (every slot file, the palette
// levels, the status lines, the title, the views) and Ctrl+Shift+Z what it
// held after it, many steps deep.
#include "anyimage.h"
#include "batchpanel.h"
#include "layout.h"
#include "mainwindow.h"
#include "numedit.h"
#include "secondarywindows.h"
#include "testsets.h"
#include "transparencyeditor.h"
#include "windowtest.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

using namespace corvane;
using namespace corvane::testing;

namespace {

// What the window holds, read here from the disk and the widgets.
struct Held {
    std::vector<std::optional<Bytes>> files;
    std::array<int32_t, 256> levels{};
    QString title;
    QStringList status;
    std::vector<QImage> views;
    int32_t largest = 0;
    bool modified = false;

    bool operator==(const Held&) const = default;
};

// What differs, for the failure message.
std::string differences(const Held& got, const Held& want) {
    std::string d;
    for (size_t k = 0; k < got.files.size(); ++k)
        if (got.files[k] != want.files[k])
            d +=
                "slot " + std::to_string(k) + (got.files[k] ? "" : " missing") + (want.files[k] ? "" : " extra") + "; ";
    if (got.levels != want.levels) d += "levels; ";
    if (got.title != want.title) d += "title " + got.title.toStdString() + " / " + want.title.toStdString() + "; ";
    if (got.status != want.status)
        d += "status " + got.status.join('|').toStdString() + " / " + want.status.join('|').toStdString() + "; ";
    for (size_t i = 0; i < got.views.size(); ++i)
        if (got.views[i] != want.views[i]) d += "view " + std::to_string(i) + "; ";
    if (got.largest != want.largest) d += "largest; ";
    if (got.modified != want.modified) d += "modified; ";
    return d;
}

class UndoTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        set = dir.filePath("set.bmp");
        ASSERT_TRUE(writeBytes(set, makeSet(Form::Eight, 256)));
        openWindow("/bin/true");
        window->setProgramStarter([this](const QString&, const QStringList& arguments) {
            handed = arguments.value(0);
            return true;
        });
        locateImageTool(QFileInfo(QStringLiteral(CORVANE_PROGRAM)).dir().filePath("xbmtool"));
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    Held held() const {
        Held h;
        for (int k = 0; k < kSlotCount; ++k) {
            const QString path = window->workspace().slotPath(k);
            h.files.push_back(QFileInfo::exists(path) ? std::optional(readBytes(path)) : std::nullopt);
        }
        h.levels = window->paletteLevels().levels;
        h.title = window->windowTitle();
        h.status = {statusBitmap()->text(), statusMaximum()->text(), statusLoadedAs()->text(), statusDepth()->text()};
        for (const AnyImage* view : window->views()) h.views.push_back(view->isVisible() ? view->picture() : QImage());
        h.views.push_back(largeLevelWindow.isVisible() ? largeLevelWindow.view->picture() : QImage());
        h.largest = window->workspace().state().largest;
        h.modified = window->workspace().state().modified;
        return h;
    }
    void undo() { QTest::keyClick(QApplication::activeWindow(), Qt::Key_Z, Qt::ControlModifier); }
    void redo() { QTest::keyClick(QApplication::activeWindow(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier); }
    void loadSet(const QString& file) {
        prompts.choose(file, BitmapFilter);
        loadExtendedItem()->trigger();
    }
    // The paint program, handed the largest level, saves it in full colour,
    // or with a palette of its own.
    void paintTheLargestLevel(QRgb colour, bool withPalette = false) {
        editLargestItem()->trigger();
        QImage painted(256, 256, withPalette ? QImage::Format_Indexed8 : QImage::Format_RGB888);
        if (withPalette) {
            QList<QRgb> greys;
            for (int i = 0; i < 256; ++i) greys << qRgb(i, i, 255 - i);
            greys[3] = colour;
            painted.setColorTable(greys);
            painted.fill(3);
        } else {
            painted.fill(colour);
        }
        ASSERT_TRUE(painted.save(handed, "BMP"));
    }
    TransparencyEditor& editor() { return window->transparencyEditor(); }

    QString set, handed;
};

}  // namespace

TEST_F(UndoTest, EachCommandIsUndoneAndRedoneExactly) {
    const QString picture = dir.filePath("picture.png");
    QImage solid(64, 64, QImage::Format_RGB32);
    solid.fill(qRgb(200, 30, 90));
    ASSERT_TRUE(solid.save(picture));
    const QString map = dir.filePath("levels.mpt");
    Bytes levels(256);
    for (size_t i = 0; i < 256; ++i) levels[i] = uint8_t(255 - i);
    ASSERT_TRUE(writeBytes(map, levels));
    const QString sources = dir.filePath("sources"), results = dir.filePath("results");
    ASSERT_TRUE(QDir().mkpath(sources) && QDir().mkpath(results));
    ASSERT_TRUE(writeBytes(QDir(sources).filePath("one.bmp"), plainBmp(32, 32, 8)));
    ASSERT_TRUE(writeBytes(QDir(sources).filePath("two.bmp"), plainBmp(32, 32, 24)));

    struct Case {
        const char* name;               // as the Edit menu names it
        std::function<void()> prepare;  // before the command: not undone
        std::function<void()> command;
        bool inTheEditor = false;
        // The title after it: the set differs from its file, or is another set.
        QString title = QStringLiteral("set.bmp*");
    };
    const Case cases[] = {
        {"Create Image Set", {}, [&] { createSubImagesItem()->trigger(); }},
        {"Convert to 16bit 565", {}, [&] { convertTo565Item()->trigger(); }},
        {"Convert to 16bit 444", {}, [&] { convertTo4444Item()->trigger(); }},
        {"Convert to 32 bit", {}, [&] { convertTo32Item()->trigger(); }},
        {"Convert to 256 Colours", [&] { convertTo32Item()->trigger(); }, [&] { convertTo256Item()->trigger(); }},
        {"Merge Image",
         {},
         [&] {
             prompts.choose(picture);
             mergeButton()->click();
         }},
        {"Import Std",
         {},
         [&] {
             prompts.choose(set);
             importStdButton()->click();
         }},
        {"Import CFS",
         {},
         [&] {
             prompts.choose(dir.filePath("donor.bmp"));
             importCfsButton()->click();
         }},
        {"Update", [&] { paintTheLargestLevel(qRgb(40, 200, 10)); }, [&] { updateButton()->click(); }},
        {"Update+Palette", [&] { paintTheLargestLevel(qRgb(40, 200, 10), true); },
         [&] {
             prompts.answer(true);
             updatePaletteButton()->click();
         }},
        {"256x256 Level Edit", [&] { paintTheLargestLevel(qRgb(240, 20, 10)); },
         [&] {
             // The live refresh: nothing but the paint program's save.
             const Held before = held();
             QElapsedTimer clock;
             clock.start();
             while (held() == before && clock.elapsed() < 10000) QTest::qWait(20);
         }},
        {"Set Colour 0 Transparent",
         {},
         [&] { QTest::mouseClick(editor().findChild<QPushButton*>("Button14"), Qt::LeftButton); },
         true},
        {"Gradient to Current Colour", [&] { editor().selectColour(40); },
         [&] { QTest::mouseClick(editor().findChild<QPushButton*>("Button16"), Qt::LeftButton); }, true},
        {"Transparency of Colour 7", [&] { editor().selectColour(7); },
         [&] {
             // Three keystrokes, one change.
             editor().levelEdit->selectAll();
             QTest::keyClicks(editor().levelEdit, "123");
             // (Ctrl+Z in the field itself is the field's own undo.)
             editor().levelEdit->clearFocus();
         },
         true},
        {"Load Transparency Map", [&] { prompts.choose(map); },
         [&] { QTest::mouseClick(editor().findChild<QPushButton*>("Button11"), Qt::LeftButton); }, true},
        {"Save Palette", [&] { editor().makeColour0Transparent(); },
         [&] { QTest::mouseClick(editor().findChild<QPushButton*>("Button8"), Qt::LeftButton); }, true},
        {"New 16 bit Image Set", [&] { prompts.answer(true); }, [&] { newSixteenBitItem()->trigger(); }, false,
         "Untitled*"},
        {"Load Any Image", [&] { createSubImagesItem()->trigger(); },
         [&] {
             prompts.answerSave(SaveChoice::Discard);
             prompts.choose(picture);
             loadAnyItem()->trigger();
         },
         false, "picture.png"},
        {"Load Extended", [&] { createSubImagesItem()->trigger(); },
         [&] {
             prompts.answerSave(SaveChoice::Discard);
             loadSet(QString(set).replace("set.bmp", "other.bmp"));
         },
         false, "other.bmp"},
        {"Batch Conversion", {}, [&] { convertFolder(sources, results); }, false, "Untitled"},
    };
    ASSERT_TRUE(writeBytes(dir.filePath("other.bmp"), makeSet(Form::EightRecord, 128)));
    Bytes donor = makeSet(Form::EightRecord, 256);
    std::reverse(donor.begin() + 1098, donor.end());
    ASSERT_TRUE(writeBytes(dir.filePath("donor.bmp"), donor));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        loadSet(set);
        if (c.inTheEditor) editTransparencyItem()->trigger();
        if (c.prepare) c.prepare();
        const Held before = held();
        c.command();
        const Held after = held();
        ASSERT_NE(after, before);
        EXPECT_EQ(after.title, c.title + QStringLiteral(" \u2014 Aviant Extended Bitmap Manipulator"));
        EXPECT_EQ(undoItem()->text(), QStringLiteral("&Undo %1").arg(c.name));
        EXPECT_TRUE(undoItem()->isEnabled());

        undo();
        EXPECT_TRUE(held() == before) << differences(held(), before);
        EXPECT_EQ(redoItem()->text(), QStringLiteral("&Redo %1").arg(c.name));
        redo();
        EXPECT_TRUE(held() == after) << differences(held(), after);
        undo();
        EXPECT_TRUE(held() == before) << differences(held(), before);
        if (c.inTheEditor) {
            // Leaving the editor drops nothing but its own unsaved steps.
            prompts.answer(true);
            ASSERT_TRUE(editor().exit());
        }
        window->workspace().state().modified = false;
        prompts.answers.clear();
        prompts.files.clear();
    }
}

// Undoing the first load of a run gives back the window as it started: no
// status line names the picture that is gone.
TEST_F(UndoTest, UndoingTheFirstLoadShowsTheWindowAsItStarted) {
    const Held start = held();
    loadSet(set);
    ASSERT_NE(held(), start);
    undo();
    EXPECT_TRUE(held() == start) << differences(held(), start);
    redo();
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - set.bmp");
}

// Twenty-five changes back to the loaded set, and forward again, each step
// the window as it was; files on the disk are never touched.
TEST_F(UndoTest, TwentyFiveStepsBackAndForward) {
    loadSet(set);
    const Bytes file = readBytes(set);
    std::vector<Held> states{held()};
    for (int i = 0; i < 25; ++i) {
        const QString picture = dir.filePath(QStringLiteral("p%1.png").arg(i));
        QImage solid(32, 32, QImage::Format_RGB32);
        solid.fill(qRgb(i * 10, 255 - i * 10, (i * 37) % 256));
        ASSERT_TRUE(solid.save(picture));
        prompts.choose(picture);
        mergeButton()->click();
        states.push_back(held());
        ASSERT_NE(states.back(), states[states.size() - 2]) << i;
    }
    for (int i = 25; i > 0; --i) {
        undo();
        ASSERT_TRUE(held() == states[size_t(i - 1)]) << i << ": " << differences(held(), states[size_t(i - 1)]);
    }
    // Back at the set as loaded: what is left to undo is the load itself.
    EXPECT_EQ(undoItem()->text(), "&Undo Load Extended");
    EXPECT_FALSE(window->workspace().state().modified);
    for (int i = 1; i <= 25; ++i) {
        redo();
        ASSERT_TRUE(held() == states[size_t(i)]) << i << ": " << differences(held(), states[size_t(i)]);
    }
    EXPECT_FALSE(redoItem()->isEnabled());
    EXPECT_EQ(readBytes(set), file);

    // Saved, then undone: the set differs from the file it was saved to.
    prompts.choose(set);
    saveItem()->trigger();
    EXPECT_FALSE(window->workspace().state().modified);
    undo();
    EXPECT_TRUE(window->workspace().state().modified);
    EXPECT_TRUE(window->windowTitle().startsWith("set.bmp*"));
    redo();
    EXPECT_FALSE(window->workspace().state().modified);
}

// The keys of the window reach it from the large window too.
TEST_F(UndoTest, TheKeysWorkFromTheLargeWindow) {
    const QString big = dir.filePath("big.bmp");
    ASSERT_TRUE(writeBytes(big, makeSet(Form::Eight, 512)));
    loadSet(big);
    ASSERT_TRUE(largeLevelWindow.isVisible());
    createSubImagesItem()->trigger();
    const Held changed = held();
    largeLevelWindow.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&largeLevelWindow));
    QTest::keyClick(&largeLevelWindow, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_NE(held(), changed);
    QTest::keyClick(&largeLevelWindow, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(held() == changed);
    prompts.calls.clear();
    QTest::keyClick(&largeLevelWindow, Qt::Key_S, Qt::ControlModifier);
    ASSERT_FALSE(prompts.calls.empty());
    EXPECT_EQ(prompts.calls.back().dialog.objectName, "savebmp");
}
