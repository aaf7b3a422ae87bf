// Unsaved changes: what makes a set changed, and the question before closing
// or loading over it; and views of levels the current set does not have.
#include "anyimage.h"
#include "batchpanel.h"
#include "secondarywindows.h"
#include "layout.h"
#include "setpixels.h"
#include "mainwindow.h"
#include "testsets.h"
#include "transparencyeditor.h"
#include "windowtest.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

using namespace corvane;
using namespace corvane::testing;

namespace {

const char* const kQuestion = "The image set has unsaved changes.\n\nSave them first?";

class SetChangesTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        set = dir.filePath("set.bmp");
        ASSERT_TRUE(writeBytes(set, makeSet(Form::Eight, 256)));
        picture = dir.filePath("picture.png");
        QImage solid(64, 64, QImage::Format_RGB32);
        solid.fill(qRgb(200, 30, 90));
        ASSERT_TRUE(solid.save(picture));
        open();
    }
    void open() {
        openWindow("/bin/true");
        window->setProgramStarter([](const QString&, const QStringList&) { return true; });
    }

    void loadSet() {
        prompts.choose(set, BitmapFilter);
        loadExtendedItem()->trigger();
        ASSERT_EQ(statusBitmap()->text(), "Bitmap - set.bmp");
    }
    void save() {
        prompts.choose(dir.filePath("saved.bmp"));
        saveItem()->trigger();
        ASSERT_TRUE(QFileInfo::exists(dir.filePath("saved.bmp")));
        QFile::remove(dir.filePath("saved.bmp"));
    }
    // Whether Load Any Image asks first; answered Cancel, it then does nothing.
    bool asksBeforeLoading() {
        prompts.calls.clear();
        prompts.saveChoices = {SaveChoice::Cancel};
        loadAnyItem()->trigger();
        prompts.saveChoices.clear();
        // Asked and cancelled, no file dialog follows; not asked, the dialog comes at once.
        using Kind = ScriptedPrompts::Kind;
        const bool asked = kinds() == std::vector<Kind>{Kind::SaveQuestion};
        if (!asked) {
            EXPECT_EQ(kinds(), std::vector<Kind>{Kind::File});
        }
        return asked;
    }
    std::vector<ScriptedPrompts::Kind> kinds() const {
        std::vector<ScriptedPrompts::Kind> k;
        for (const auto& call : prompts.calls) k.push_back(call.kind);
        return k;
    }
    void showActive() {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }
    bool closes() {
        prompts.calls.clear();
        bool closed = false;
        QObject::connect(window.get(), &MainWindow::closed, [&] { closed = true; });
        const bool accepted = window->close();
        EXPECT_EQ(accepted, closed);
        return closed;
    }

    QString set, picture;
};

}  // namespace

// Every view of a palette set shows what a save then writes, also after a
// command that gives the set another palette but leaves the smaller levels'
// slots as they were: each texel of each view against the saved file, read
// the plain way.
TEST_F(SetChangesTest, ViewsShowWhatASaveWritesAfterThePaletteChanges) {
    using namespace layout;
    // The same set's bytes under another palette: each colour turned round.
    const auto repainted = [](Bytes bytes) {
        for (size_t at = kPaletteAt; at < size_t(kPaletteHeader); at += 4)
            std::rotate(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + 1),
                        bytes.begin() + std::ptrdiff_t(at + 3));
        return bytes;
    };
    const QString other = dir.filePath("other.bmp");
    ASSERT_TRUE(writeBytes(other, repainted(makeSet(Form::Eight, 256))));
    const std::vector<std::pair<const char*, std::function<void()>>> commands = {
        {"import std",
         [&] {
             prompts.choose(other);
             importStdButton()->click();
         }},
        {"palette taken from the edited slot",
         [&] {
             editLargestItem()->trigger();
             ASSERT_FALSE(window->paintSessions().empty());
             Bytes edited = repainted(makeSet(Form::Eight, 256));
             edited.resize(size_t(kPaletteHeader + 256 * 256));
             write32(edited, kFileSizeAt, uint32_t(edited.size()));
             ASSERT_TRUE(writeBytes(window->paintSessions().back().file, edited));
             prompts.answer(true);
             updatePaletteButton()->click();
         }},
    };
    for (const auto& [name, command] : commands) {
        SCOPED_TRACE(name);
        loadSet();
        command();
        const QString saved = dir.filePath("seen.bmp");
        prompts.choose(saved);
        saveItem()->trigger();
        const std::vector<Level> levels = readSet(readBytes(saved));
        QFile::remove(saved);
        const auto views = window->views();
        ASSERT_EQ(levels.size(), views.size());
        for (size_t i = 0; i < levels.size(); ++i) {
            const Picture& want = levels[i].picture;
            const QImage shown = views[i]->shownLevel();
            ASSERT_EQ(shown.size(), QSize(want.edge, want.edge)) << i;
            for (int y = 0; y < want.edge; ++y)
                for (int x = 0; x < want.edge; ++x) {
                    const Rgba& t = want.at(x, y);
                    ASSERT_EQ(shown.pixel(x, y), qRgba(t.r, t.g, t.b, t.a)) << want.edge << " at " << x << "," << y;
                }
        }
    }
}

TEST_F(SetChangesTest, WhatChangesASetAndWhatLeavesItUnchanged) {
    using namespace layout;
    loadSet();
    EXPECT_FALSE(asksBeforeLoading());

    createSubImagesItem()->trigger();
    EXPECT_TRUE(asksBeforeLoading());
    save();
    EXPECT_FALSE(asksBeforeLoading());

    // A command that fails before touching the set leaves it as it was.
    prompts.choose(dir.filePath("missing.png"));
    mergeButton()->click();
    EXPECT_FALSE(asksBeforeLoading());

    const auto changes = [&](const char* what, const std::function<void()>& command) {
        SCOPED_TRACE(what);
        command();
        EXPECT_TRUE(asksBeforeLoading());
        save();
        EXPECT_FALSE(asksBeforeLoading());
    };
    changes("merge", [&] {
        prompts.choose(picture);
        mergeButton()->click();
    });
    changes("import std", [&] {
        prompts.choose(set);
        importStdButton()->click();
    });
    changes("import cfs", [&] {
        prompts.choose(set);
        importCfsButton()->click();
    });
    changes("save palette", [&] {
        editTransparencyItem()->trigger();
        window->transparencyEditor().makeColour0Transparent();
        window->transparencyEditor().savePalette();
        ASSERT_TRUE(window->transparencyEditor().exit());
    });

    // Update counts a change only when the slot handed to the paint program
    // has been written since, and the save takes what was written.
    editLargestItem()->trigger();
    updateButton()->click();
    EXPECT_FALSE(asksBeforeLoading());
    Bytes edited = makeSet(Form::Eight, 256);
    edited.resize(size_t(kPaletteHeader + 256 * 256));
    write32(edited, kFileSizeAt, uint32_t(edited.size()));
    for (size_t i = kPaletteAt; i < size_t(kPaletteHeader); ++i) edited[i] = uint8_t(i * 3);
    // The paint program saves the copy of the level it was handed.
    ASSERT_FALSE(window->paintSessions().empty());
    ASSERT_TRUE(writeBytes(window->paintSessions().back().file, edited));
    changes("update after an edit", [&] { updateButton()->click(); });
    updateButton()->click();
    EXPECT_FALSE(asksBeforeLoading());
    changes("palette taken from the edited slot", [&] {
        prompts.answer(true);
        updatePaletteButton()->click();
    });

    changes("new 16-bit set", [&] {
        prompts.answer(true);
        newSixteenBitItem()->trigger();
    });
    locateImageTool(QFileInfo(QStringLiteral(CORVANE_PROGRAM)).dir().filePath("xbmtool"));
    changes("conversion", [&] {
        convertTo4444Item()->trigger();
        ASSERT_TRUE(window->workspace().state().depth == SetDepth::Argb4444);
        EXPECT_EQ(statusBitmap()->text(), "New Bitmap");  // no file's name
    });

    // A load starts unchanged, whatever was discarded for it.
    createSubImagesItem()->trigger();
    prompts.answerSave(SaveChoice::Discard);
    prompts.choose(picture);
    loadAnyItem()->trigger();
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - picture.png");
    EXPECT_FALSE(asksBeforeLoading());
    // A conversion reloads the set from the tool's file, under the name it had.
    convertTo32Item()->trigger();
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - picture.png");
}

TEST_F(SetChangesTest, ClosingOverUnsavedChangesSavesDiscardsOrStays) {
    using Kind = ScriptedPrompts::Kind;
    loadSet();
    createSubImagesItem()->trigger();

    // The load has put the set among the recent files; closing writes the rest.
    const QStringList writtenBefore = store->namesWritten();
    prompts.answerSave(SaveChoice::Cancel);
    EXPECT_FALSE(closes());
    ASSERT_EQ(kinds(), std::vector<Kind>{Kind::SaveQuestion});
    EXPECT_EQ(prompts.calls[0].title, "Corvane");
    EXPECT_EQ(prompts.calls[0].text, kQuestion);
    EXPECT_TRUE(QFileInfo::exists(window->workspace().slotPath(HeaderSlot)));
    EXPECT_EQ(store->namesWritten(), writtenBefore);

    // Save whose dialog is cancelled cancels the close.
    prompts.answerSave(SaveChoice::Save);
    prompts.cancelFile();
    EXPECT_FALSE(closes());
    EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::SaveQuestion, Kind::File}));

    const QString saved = dir.filePath("kept.bmp");
    prompts.answerSave(SaveChoice::Save);
    prompts.choose(saved);
    EXPECT_TRUE(closes());
    // The 256 level as it was loaded, with its header and palette.
    const Bytes original = makeSet(Form::Eight, 256), written = readBytes(saved);
    ASSERT_EQ(written.size(), original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 1078 + 256 * 256, written.begin()));

    open();
    loadSet();
    createSubImagesItem()->trigger();
    const QStringList before = QDir(dir.path()).entryList({"*.bmp"}, QDir::Files);
    prompts.answerSave(SaveChoice::Discard);
    EXPECT_TRUE(closes());
    EXPECT_EQ(kinds(), std::vector<Kind>{Kind::SaveQuestion});
    EXPECT_EQ(QDir(dir.path()).entryList({"*.bmp"}, QDir::Files), before);

    // Nothing to save: no question.
    open();
    loadSet();
    EXPECT_TRUE(closes());
    EXPECT_TRUE(prompts.calls.empty());
}

// The transparency editor's levels mark the set changed before they are put
// into its palette; answering Save to the question on closing must then
// write them, not the palette as it was.  The oracle is the map's own bytes
// against the fourth bytes of the saved file's palette.
TEST_F(SetChangesTest, SavingOnCloseWritesTheLevelsTheEditorShows) {
    const std::vector<std::pair<const char*, std::function<uint8_t(size_t)>>> maps = {
        {"a level per colour", [](size_t i) { return uint8_t(i * 37 + 11); }},
        {"colour 0 transparent", [](size_t i) { return uint8_t(i == 0 ? 0 : 255); }},
        {"half transparent", [](size_t i) { return uint8_t(i < 128 ? 128 : 255); }},
    };
    for (const auto& [name, level] : maps) {
        SCOPED_TRACE(name);
        open();
        loadSet();
        Bytes map(256);
        for (size_t i = 0; i < 256; ++i) map[i] = level(i);
        const QString mapFile = dir.filePath("levels.mpt");
        ASSERT_TRUE(writeBytes(mapFile, map));
        editTransparencyItem()->trigger();
        prompts.choose(mapFile);
        window->transparencyEditor().loadMap();
        ASSERT_TRUE(window->paletteLevels().paletteChanged);

        const QString saved = dir.filePath("closed.bmp");
        prompts.answerSave(SaveChoice::Save);
        prompts.choose(saved);
        EXPECT_TRUE(closes());
        const Bytes written = readBytes(saved);
        ASSERT_GE(written.size(), size_t(layout::kPaletteAt + 1024));
        for (size_t i = 0; i < 256; ++i)
            ASSERT_EQ(written[size_t(layout::kPaletteAt) + 4 * i + 3], map[i]) << "colour " << i;
        QFile::remove(saved);
    }
}

TEST_F(SetChangesTest, LoadingOverUnsavedChangesSavesDiscardsOrStays) {
    using Kind = ScriptedPrompts::Kind;
    loadSet();
    createSubImagesItem()->trigger();

    prompts.calls.clear();
    prompts.answerSave(SaveChoice::Cancel);
    prompts.choose(picture);
    loadAnyItem()->trigger();
    EXPECT_EQ(kinds(), std::vector<Kind>{Kind::SaveQuestion});
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - set.bmp");
    prompts.files.clear();

    const QString saved = dir.filePath("kept.bmp");
    prompts.calls.clear();
    prompts.answerSave(SaveChoice::Save);
    prompts.choose(saved);
    prompts.choose(picture);
    loadAnyItem()->trigger();
    EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::SaveQuestion, Kind::File, Kind::File}));
    EXPECT_EQ(readBytes(saved).size(), makeSet(Form::Eight, 256).size());
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - picture.png");

    createSubImagesItem()->trigger();
    prompts.calls.clear();
    prompts.answerSave(SaveChoice::Discard);
    prompts.choose(set, BitmapFilter);
    loadExtendedItem()->trigger();
    EXPECT_EQ(kinds(), (std::vector<Kind>{Kind::SaveQuestion, Kind::File}));
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - set.bmp");
}

// After a set of 256, a picture of 64 brings its largest level alone: the
// views of every other level must not go on showing the set before.
TEST_F(SetChangesTest, ViewsOfLevelsTheSetLacksShowNothing) {
    loadSet();
    for (AnyImage* view : window->views()) ASSERT_FALSE(view->picture().isNull()) << view->objectName().toStdString();

    prompts.choose(picture);
    loadAnyItem()->trigger();
    ASSERT_EQ(window->workspace().state().largest, 64);
    const auto views = window->views();
    for (size_t i = 0; i < views.size(); ++i) {
        const int level = 256 >> i;
        SCOPED_TRACE(level);
        const bool there = QFileInfo::exists(window->workspace().levelPath(level));
        EXPECT_EQ(there, level == 64);
        EXPECT_EQ(views[i]->picture().isNull(), !there);
    }
    EXPECT_EQ(views[2]->picture().pixel(10, 10), qRgb(200, 30, 90));
    EXPECT_TRUE(largeLevelWindow.view->picture().isNull());
}

// A set that did not come from X never goes to X: after a new set, a batch
// run, a picture or a texture, Ctrl+S then Enter (and Yes, were the dialog to
// offer a file that exists) writes nothing, and the title says what the
// window holds.  Only the set X was loaded from offers X.
TEST_F(SetChangesTest, SaveOffersOnlyTheFileTheSetCameFrom) {
    const QString caption = QStringLiteral(" \u2014 Aviant Extended Bitmap Manipulator");
    const QString sources = dir.filePath("sources"), results = dir.filePath("results");
    ASSERT_TRUE(QDir().mkpath(sources) && QDir().mkpath(results));
    for (const char* name : {"grass.bmp", "sand.bmp"})
        ASSERT_TRUE(writeBytes(QDir(sources).filePath(name), plainBmp(32, 32, 24, int(name[0]))));
    // A picture named as a set would be, beside the set.
    const QString photo = dir.filePath("photo.bmp");
    ASSERT_TRUE(writeBytes(photo, plainBmp(64, 64, 24)));
    const QString texture = dir.filePath("wing.r8");
    ASSERT_TRUE(writeBytes(texture, Bytes(256 * 256, 77)));

    struct Case {
        const char* name;
        std::function<void()> replaceTheSet;
        QString title;  // without the caption
    };
    const Case cases[] = {
        {"new 16-bit set",
         [&] {
             prompts.answer(true);
             newSixteenBitItem()->trigger();
         },
         "Untitled*"},
        {"a batch of two files", [&] { convertFolder(sources, results); }, "Untitled"},
        {"a picture",
         [&] {
             prompts.choose(photo);
             loadAnyItem()->trigger();
             EXPECT_EQ(window->windowTitle(), "photo.bmp \u2014 Aviant Extended Bitmap Manipulator");
             createSubImagesItem()->trigger();
         },
         "photo.bmp*"},
        {"a texture",
         [&] {
             prompts.choose(texture, TextureFilter);
             loadExtendedItem()->trigger();
             createSubImagesItem()->trigger();
             prompts.answerChoice(1);  // Save As New File
         },
         "wing.r8*"},
    };
    const auto everyFile = [&] {
        QStringList names;
        for (const QFileInfo& f : QDir(dir.path()).entryInfoList(QDir::Files, QDir::Name))
            names << f.fileName() + ":" + QString::number(f.size()) + ":" +
                         f.lastModified().toString(Qt::ISODateWithMs);
        return names;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open();
        showActive();
        loadSet();
        EXPECT_EQ(window->windowTitle(), "set.bmp" + caption);
        c.replaceTheSet();
        EXPECT_EQ(window->windowTitle(), c.title + caption);
        const Bytes before = readBytes(set);
        const QStringList files = everyFile();
        prompts.calls.clear();
        prompts.acceptOffer();
        QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
        const auto dialog = std::find_if(prompts.calls.begin(), prompts.calls.end(),
                                         [](const auto& call) { return call.kind == ScriptedPrompts::Kind::File; });
        ASSERT_NE(dialog, prompts.calls.end());
        EXPECT_EQ(dialog->dialog.fileName, QString());
        EXPECT_EQ(readBytes(set), before);
        EXPECT_EQ(everyFile(), files);
        prompts.files.clear();
        prompts.choices.clear();
        window->close();
    }

    // The set loaded from X, changed, goes back to X.
    open();
    showActive();
    loadSet();
    createSubImagesItem()->trigger();
    EXPECT_EQ(window->windowTitle(), "set.bmp*" + caption);
    prompts.acceptOffer();
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(window->windowTitle(), "set.bmp" + caption);
    EXPECT_NE(readBytes(set), makeSet(Form::Eight, 256));
}
