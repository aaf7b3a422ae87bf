// Files in by drop and by Recent Files, the keys, the title, and what
// Load Extended makes of a file whatever the dialog's entry said.
#include "batchpanel.h"
#include "dds.h"
#include "layout.h"
#include "mainwindow.h"
#include "recentfiles.h"
#include "testsets.h"
#include "windowtest.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::layout;

namespace {

const QString kCaption = QStringLiteral("Aviant Extended Bitmap Manipulator");

class DesktopTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        // A set under a name that says nothing of what it is.
        set = dir.filePath("hangar.dat");
        ASSERT_TRUE(writeBytes(set, makeSet(Form::Eight, 256)));
        // A PNG under a bitmap's name.
        picture = dir.filePath("photo.bmp");
        QImage solid(64, 64, QImage::Format_RGB32);
        solid.fill(qRgb(200, 30, 90));
        ASSERT_TRUE(solid.save(picture, "PNG"));
        openWindow("/bin/true");
        window->setProgramStarter([](const QString&, const QStringList&) { return true; });
    }

    // Drags the path over the window and drops it; true when the window took the drag.
    bool drop(const QString& path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        const QPoint at = window->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &dropped);
        // The load runs once the drop has returned.
        for (int i = 0; i < 5; ++i) QApplication::processEvents();
        return dropped.isAccepted();
    }

    // The paint program, handed the largest level, writes it back with another palette.
    void paintLargestLevel() {
        editLargestItem()->trigger();
        Bytes edited = makeSet(Form::Eight, 256);
        edited.resize(size_t(kPaletteHeader + 256 * 256));
        write32(edited, kFileSizeAt, uint32_t(edited.size()));
        for (size_t i = kPaletteAt; i < size_t(kPaletteHeader); ++i) edited[i] = uint8_t(i * 5);
        // The paint program saves the copy of the level it was handed.
        ASSERT_FALSE(window->paintSessions().empty());
        ASSERT_TRUE(writeBytes(window->paintSessions().back().file, edited));
    }

    QStringList recentPaths() const {
        QStringList paths;
        for (const QAction* a : recentMenu()->actions()) paths << a->data().toString();
        return paths;
    }

    QString set, picture;
};

TEST_F(DesktopTest, DroppedFilesLoadAsWhatTheyAreAndAFolderOpensTheBatchPanel) {
    ASSERT_TRUE(drop(set));
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - hangar.dat");
    EXPECT_EQ(statusLoadedAs()->text(), "Loaded as - Extended Bitmap");
    EXPECT_EQ(statusMaximum()->text(), "Maximum Size - 256");

    // A changed set is asked about first; Cancel keeps it.
    window->workspace().state().modified = true;
    prompts.answerSave(SaveChoice::Cancel);
    ASSERT_TRUE(drop(picture));
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - hangar.dat");
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::SaveQuestion);

    prompts.answerSave(SaveChoice::Discard);
    ASSERT_TRUE(drop(picture));
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - photo.bmp");
    EXPECT_EQ(statusLoadedAs()->text(), "Loaded as - Normal Bitmap");

    const QString folder = dir.filePath("incoming");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(drop(folder));
    EXPECT_FALSE(batchPanel()->isHidden());
    EXPECT_EQ(QFileInfo(batchPanel()->source->folder()).canonicalFilePath(), QFileInfo(folder).canonicalFilePath());
    // While the panel is open, a dropped file is not loaded over the run's set.
    drop(set);
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - photo.bmp");
}

// A raw texture, picked with the bitmap entry, is a texture all the same;
// its save asks with buttons that say what they do.
TEST_F(DesktopTest, LoadExtendedGoesByTheFileAndStartsOnItsFirstEntryAgain) {
    const QString texture = dir.filePath("wing.r8");
    Bytes raw(256 * 256);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = patternByte(i);
    ASSERT_TRUE(writeBytes(texture, raw));
    prompts.choose(texture, BitmapFilter);
    loadExtendedItem()->trigger();
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - wing.r8");
    EXPECT_EQ(statusMaximum()->text(), "Maximum Size - 256");
    for (const auto& call : prompts.calls)
        EXPECT_NE(call.kind, ScriptedPrompts::Kind::Warning) << call.text.toStdString();
    prompts.cancelFile();
    loadExtendedItem()->trigger();
    EXPECT_EQ(prompts.calls.back().dialog.filterIndex, 1);

    createSubImagesItem()->trigger();
    prompts.calls.clear();
    prompts.answerChoice(1);  // Save As New File
    saveItem()->trigger();
    ASSERT_GE(prompts.calls.size(), 2u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Choice);
    EXPECT_EQ(prompts.calls[0].icon, PromptIcon::Warning);
    EXPECT_EQ(prompts.calls[0].buttons, QStringList({"Overwrite Texture", "Save As New File"}));
    // The save dialog starts beside the texture and offers no file the set
    // was not loaded from: "wing.bmp" there may be another file altogether.
    ASSERT_EQ(prompts.calls[1].kind, ScriptedPrompts::Kind::File);
    EXPECT_EQ(prompts.calls[1].dialog.objectName, "savebmp");
    EXPECT_EQ(prompts.calls[1].dialog.fileName, QString());
    EXPECT_EQ(QDir::cleanPath(prompts.calls[1].dialog.initialFolder), QDir::cleanPath(dir.path()));
    EXPECT_EQ(readBytes(texture), raw);

    // A DDS file picked under the texture entry loads as a DDS file.
    const QString dds = dir.filePath("wing.dds");
    const CommandOutcome saved = saveDds(window->workspace(), dds, DdsFormat::Auto);
    ASSERT_TRUE(saved.ok) << saved.error.toStdString();
    prompts.answerSave(SaveChoice::Discard);
    prompts.choose(dds, TextureFilter);
    loadExtendedItem()->trigger();
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - wing.dds");
    EXPECT_EQ(statusMaximum()->text(), "Maximum Size - 256");
    EXPECT_FALSE(window->workspace().state().textureOrigin);
}

TEST_F(DesktopTest, ImportStdRefusesAPictureOfAnotherDepthWithAnErrorIcon) {
    prompts.choose(set, BitmapFilter);
    loadExtendedItem()->trigger();
    prompts.calls.clear();
    prompts.choose(picture);
    importStdButton()->click();
    ASSERT_EQ(prompts.calls.size(), 2u);
    EXPECT_EQ(prompts.calls[1].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_EQ(prompts.calls[1].icon, PromptIcon::Error);
}

TEST_F(DesktopTest, TitleNamesTheSetAndMarksUnsavedChanges) {
    EXPECT_EQ(window->windowTitle(), kCaption);
    prompts.choose(set, BitmapFilter);
    loadExtendedItem()->trigger();
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("hangar.dat \u2014 ") + kCaption);

    // Update finds the slot the paint program wrote.
    paintLargestLevel();
    updateButton()->click();
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("hangar.dat* \u2014 ") + kCaption);

    const QString saved = dir.filePath("saved.bmp");
    prompts.choose(saved);
    saveItem()->trigger();
    ASSERT_TRUE(QFileInfo::exists(saved));
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("saved.bmp \u2014 ") + kCaption);
    EXPECT_EQ(editHint()->text(), "Saved saved.bmp");
    EXPECT_EQ(progressBar()->value(), 0);
}

TEST_F(DesktopTest, RecentFilesOutliveTheWindowAndAMissingOneDropsOut) {
    prompts.choose(set, BitmapFilter);
    loadExtendedItem()->trigger();
    prompts.answerSave(SaveChoice::Discard);
    prompts.choose(picture);
    loadAnyItem()->trigger();
    ASSERT_EQ(statusBitmap()->text(), "Bitmap - photo.bmp");
    window->close();

    // A new window over the same store.
    openWindow("/bin/true");
    const QString setKey = QFileInfo(set).canonicalFilePath(), pictureKey = QFileInfo(picture).canonicalFilePath();
    EXPECT_EQ(recentPaths(), QStringList({pictureKey, setKey}));

    ASSERT_TRUE(QFile::remove(picture));
    // Opening the menu lists it still: it never drops out unannounced.
    emit recentMenu()->aboutToShow();
    EXPECT_EQ(recentPaths(), QStringList({pictureKey, setKey}));
    prompts.calls.clear();
    recentMenu()->actions()[0]->trigger();
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_TRUE(prompts.calls[0].text.contains("photo.bmp")) << prompts.calls[0].text.toStdString();
    EXPECT_EQ(recentPaths(), QStringList({setKey}));

    recentMenu()->actions()[0]->trigger();
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - hangar.dat");
}

TEST_F(DesktopTest, EachKeyReachesItsCommand) {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const auto lastDialog = [&] {
        return !prompts.calls.empty() && prompts.calls.back().kind == ScriptedPrompts::Kind::File
                   ? prompts.calls.back().dialog.objectName
                   : QString();
    };
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(lastDialog(), "openstd");
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(lastDialog(), "opencfs");

    prompts.choose(set, BitmapFilter);
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(statusBitmap()->text(), "Bitmap - hangar.dat");
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(lastDialog(), "savebmp");

    // F5: Update sees the slot the paint program wrote.
    paintLargestLevel();
    QTest::keyClick(window.get(), Qt::Key_F5);
    EXPECT_TRUE(window->workspace().state().modified);

    bool aboutShown = false;
    QTimer::singleShot(0, &textWindow, [&] {
        aboutShown = textWindow.isVisible();
        textWindow.accept();
    });
    QTest::keyClick(window.get(), Qt::Key_F1);
    EXPECT_TRUE(aboutShown);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

    QTest::keyClick(window.get(), Qt::Key_F10);
    EXPECT_EQ(window->menuBar()->activeAction(), window->menuBar()->actions().value(0));
    QTest::keyClick(window->menuBar(), Qt::Key_Escape);

    bool closed = false;
    QObject::connect(window.get(), &MainWindow::closed, [&] { closed = true; });
    prompts.answerSave(SaveChoice::Discard);
    QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(closed);
}

}  // namespace
