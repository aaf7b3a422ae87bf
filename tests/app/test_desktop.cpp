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
        form->setProgramStarter([](const QString&, const QStringList&) { return true; });
    }

    // Drags the path over the window and drops it; true when the window took the drag.
    bool drop(const QString& path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        const QPoint at = form->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &dropped);
        // The load runs once the drop has returned.
        for (int i = 0; i < 5; ++i) QApplication::processEvents();
        return dropped.isAccepted();
    }

    // The paint program, handed the largest level, writes it back with another palette.
    void paintLargestLevel() {
        form->editLargestItem->trigger();
        Bytes edited = makeSet(Form::Eight, 256);
        edited.resize(size_t(kPaletteHeader + 256 * 256));
        write32(edited, kFileSizeAt, uint32_t(edited.size()));
        for (size_t i = kPaletteAt; i < size_t(kPaletteHeader); ++i) edited[i] = uint8_t(i * 5);
        // The paint program saves the copy of the level it was handed.
        ASSERT_FALSE(form->paintSessions().empty());
        ASSERT_TRUE(writeBytes(form->paintSessions().back().file, edited));
    }

    QStringList recentPaths() const {
        QStringList paths;
        for (const QAction* a : form->recentMenu->actions()) paths << a->data().toString();
        return paths;
    }

    QString set, picture;
};

TEST_F(DesktopTest, DroppedFilesLoadAsWhatTheyAreAndAFolderOpensTheBatchPanel) {
    ASSERT_TRUE(drop(set));
    EXPECT_EQ(form->statusBitmap->text(), "Bitmap - hangar.dat");
    EXPECT_EQ(form->statusLoadedAs->text(), "Loaded as - Extended Bitmap");
    EXPECT_EQ(form->statusMaximum->text(), "Maximum Size - 256");

    // A changed set is asked about first; Cancel keeps it.
    form->workspace().state().modified = true;
    prompts.answerSave(SaveChoice::Cancel);
    ASSERT_TRUE(drop(picture));
    EXPECT_EQ(form->statusBitmap->text(), "Bitmap - hangar.dat");
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::SaveQuestion);

    prompts.answerSave(SaveChoice::Discard);
    ASSERT_TRUE(drop(picture));
    EXPECT_EQ(form->statusBitmap->text(), "Bitmap - photo.bmp");
    EXPECT_EQ(form->statusLoadedAs->text(), "Loaded as - Normal Bitmap");

    const QString folder = dir.filePath("incoming");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(drop(folder));
    EXPECT_FALSE(form->batchPanel->isHidden());
    EXPECT_EQ(QFileInfo(form->batchPanel->source->folder()).canonicalFilePath(), QFileInfo(folder).canonicalFilePath());
    // While the panel is open, a dropped file is not loaded over the run's set.
    drop(set);
    EXPECT_EQ(form->statusBitmap->text(), "Bitmap - photo.bmp");
}

// A raw texture, picked with the bitmap entry, is a texture all the same;
// its save asks with buttons that say what they do.
TEST_F(DesktopTest, LoadExtendedGoesByTheFileAndStartsOnItsFirstEntryAgain) {
    const QString texture = dir.filePath("wing.r8");
    Bytes raw(256 * 256);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = patternByte(i);
    ASSERT_TRUE(writeBytes(texture, raw));
    prompts.choose(texture, BitmapFilter);
    form->loadExtendedItem->trigger();
    EXPECT_EQ(form->statusBitmap->text(), "Bitmap - wing.r8");
    EXPECT_EQ(form->statusMaximum->text(), "Maximum Size - 256");
    EXPECT_EQ(form->opencfs.filterIndex, 1);
    for (const auto& call : prompts.calls) EXPECT_NE(call.kind, ScriptedPrompts::Kind::Warning) << call.text.toStdString();

    form->createSubImagesItem->trigger();
    prompts.calls.clear();
    prompts.answerChoice(1);  // Save As New File
    form->saveItem->trigger();
    ASSERT_GE(prompts.calls.size(), 2u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Choice);
    EXPECT_EQ(prompts.calls[0].icon, PromptIcon::Warning);
    EXPECT_EQ(prompts.calls[0].buttons, QStringList({"Overwrite Texture", "Save As New File"}));
    // The save dialog starts beside the texture and offers no file the set
    // was not loaded from: "wing.bmp" there may be another file altogether.
    ASSERT_EQ(prompts.calls[1].kind, ScriptedPrompts::Kind::File);
    EXPECT_EQ(prompts.calls[1].dialog.name, "savebmp");
    EXPECT_EQ(prompts.calls[1].dialog.fileName, QString());
    EXPECT_EQ(QDir::cleanPath(prompts.calls[1].dialog.initialFolder), QDir::cleanPath(dir.path()));
    EXPECT_EQ(readBytes(texture), raw);

    // A DDS file picked under the texture entry loads as a DDS file.
    const QString dds = dir.filePath("wing.dds");
    QString why;
    ASSERT_TRUE(saveDds(form->workspace(), dds, DdsFormat::Auto, &why)) << why.toStdString();
    prompts.answerSave(SaveChoice::Discard);
    prompts.choose(dds, TextureFilter);
    form->loadExtendedItem->trigger();
    EXPECT_EQ(form->statusBitmap->text(), "Bitmap - wing.dds");
    EXPECT_EQ(form->statusMaximum->text(), "Maximum Size - 256");
    EXPECT_FALSE(form->workspace().state().textureOrigin);
}

TEST_F(DesktopTest, ImportStdRefusesAPictureOfAnotherDepthWithAnErrorIcon) {
    prompts.choose(set, BitmapFilter);
    form->loadExtendedItem->trigger();
    prompts.calls.clear();
    prompts.choose(picture);
    form->importStdButton->click();
    ASSERT_EQ(prompts.calls.size(), 2u);
    EXPECT_EQ(prompts.calls[1].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_EQ(prompts.calls[1].icon, PromptIcon::Error);
}

TEST_F(DesktopTest, TitleNamesTheSetAndMarksUnsavedChanges) {
    EXPECT_EQ(form->windowTitle(), kCaption);
    prompts.choose(set, BitmapFilter);
    form->loadExtendedItem->trigger();
    EXPECT_EQ(form->windowTitle(), QString::fromUtf8("hangar.dat \u2014 ") + kCaption);

    // Update finds the slot the paint program wrote.
    paintLargestLevel();
    form->updateButton->click();
    EXPECT_EQ(form->windowTitle(), QString::fromUtf8("hangar.dat* \u2014 ") + kCaption);

    const QString saved = dir.filePath("saved.bmp");
    prompts.choose(saved);
    form->saveItem->trigger();
    ASSERT_TRUE(QFileInfo::exists(saved));
    EXPECT_EQ(form->windowTitle(), QString::fromUtf8("saved.bmp \u2014 ") + kCaption);
    EXPECT_EQ(form->editHint->text(), "Saved saved.bmp");
    EXPECT_EQ(form->progressBar->value(), 0);
}

TEST_F(DesktopTest, RecentFilesOutliveTheWindowAndAMissingOneDropsOut) {
    prompts.choose(set, BitmapFilter);
    form->loadExtendedItem->trigger();
    prompts.answerSave(SaveChoice::Discard);
    prompts.choose(picture);
    form->loadAnyItem->trigger();
    ASSERT_EQ(form->statusBitmap->text(), "Bitmap - photo.bmp");
    form->close();

    // A new window over the same store.
    openWindow("/bin/true");
    const QString setKey = QFileInfo(set).canonicalFilePath(), pictureKey = QFileInfo(picture).canonicalFilePath();
    EXPECT_EQ(recentPaths(), QStringList({pictureKey, setKey}));

    ASSERT_TRUE(QFile::remove(picture));
    // Opening the menu lists it still: it never drops out unannounced.
    emit form->recentMenu->aboutToShow();
    EXPECT_EQ(recentPaths(), QStringList({pictureKey, setKey}));
    prompts.calls.clear();
    form->recentMenu->actions()[0]->trigger();
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_TRUE(prompts.calls[0].text.contains("photo.bmp")) << prompts.calls[0].text.toStdString();
    EXPECT_EQ(recentPaths(), QStringList({setKey}));

    form->recentMenu->actions()[0]->trigger();
    EXPECT_EQ(form->statusBitmap->text(), "Bitmap - hangar.dat");
}

TEST_F(DesktopTest, EachKeyReachesItsCommand) {
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    const auto lastDialog = [&] {
        return !prompts.calls.empty() && prompts.calls.back().kind == ScriptedPrompts::Kind::File
                   ? prompts.calls.back().dialog.name
                   : QString();
    };
    QTest::keyClick(form.get(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(lastDialog(), "openstd");
    QTest::keyClick(form.get(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(lastDialog(), "opencfs");

    prompts.choose(set, BitmapFilter);
    QTest::keyClick(form.get(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(form->statusBitmap->text(), "Bitmap - hangar.dat");
    QTest::keyClick(form.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(lastDialog(), "savebmp");

    // F5: Update sees the slot the paint program wrote.
    paintLargestLevel();
    QTest::keyClick(form.get(), Qt::Key_F5);
    EXPECT_TRUE(form->workspace().state().modified);

    bool aboutShown = false;
    QTimer::singleShot(0, &form2, [&] {
        aboutShown = form2.isVisible();
        form2.accept();
    });
    QTest::keyClick(form.get(), Qt::Key_F1);
    EXPECT_TRUE(aboutShown);
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));

    QTest::keyClick(form.get(), Qt::Key_F10);
    EXPECT_EQ(form->menuBar()->activeAction(), form->menuBar()->actions().value(0));
    QTest::keyClick(form->menuBar(), Qt::Key_Escape);

    bool closed = false;
    QObject::connect(form.get(), &MainWindow::closed, [&] { closed = true; });
    prompts.answerSave(SaveChoice::Discard);
    QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(closed);
}

}  // namespace
