// The paint program's side of the window: what it is handed, and what
// becomes of what it saves.
#include "anyimage.h"
#include "batchpanel.h"
#include "layout.h"
#include "mainwindow.h"
#include "setcommands.h"
#include "testsets.h"
#include "windowtest.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::layout;

namespace {

class PaintProgramTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        open();
    }
    void open() {
        openWindow("/bin/true");
        window->setProgramStarter([this](const QString&, const QStringList& arguments) {
            handed << arguments.value(0);
            return true;
        });
    }
    void load(const Bytes& set, const QString& name = "set.bmp") {
        const QString file = dir.filePath(name);
        ASSERT_TRUE(writeBytes(file, set));
        prompts.choose(file, BitmapFilter);
        loadExtendedItem()->trigger();
        ASSERT_EQ(statusBitmap()->text(), "Bitmap - " + name);
    }
    std::vector<Bytes> slotFiles() const {
        std::vector<Bytes> files;
        for (int k = 0; k < kSlotCount; ++k) files.push_back(readBytes(window->workspace().slotPath(k)));
        return files;
    }
    Bytes saved() {
        const QString out = dir.filePath("saved.bmp");
        EXPECT_TRUE(saveSet(window->workspace(), out).ok);
        return readBytes(out);
    }
    // Saved by the paint program as many do: a new file renamed over the old.
    static void paintSaves(const QString& file, const QImage& picture) {
        const QString temp = file + ".new";
        ASSERT_TRUE(picture.save(temp, "BMP"));
        ASSERT_TRUE(QFile::remove(file) && QFile::rename(temp, file));
    }

    QStringList handed;  // the file each start of the paint program was given
};

// Texel (x, y) of level `edge` of a saved set, top row first, decoded here:
// an 8-bit set's palette colour (alpha its level byte), a 32-bit set's bytes.
QRgb savedTexel(const Bytes& set, int largest, int edge, int x, int y) {
    const uint32_t offset = read32(set, kPixelOffsetAt);
    const int bpp = read16(set, kBitsAt) / 8;
    const size_t at = size_t(levelStart(largest, edge, bpp, offset)) + size_t((edge - 1 - y) * edge + x) * size_t(bpp);
    if (bpp == 1) {
        const size_t p = 54 + 4 * size_t(set[at]);
        return qRgba(set[p + 2], set[p + 1], set[p], set[p + 3]);
    }
    return qRgba(set[at + 2], set[at + 1], set[at], set[at + 3]);
}

}  // namespace

// Set A's level is handed over; then another set replaces A in each of the
// ways there are; then the paint program saves.  The new set's slots stay
// byte for byte as they were, and the user is told which file was saved and
// asked whether to take it; taken, it is a change that closing asks about.
TEST_F(PaintProgramTest, ASaveAfterAnotherSetCameNeverTouchesIt) {
    const QString sources = dir.filePath("sources"), results = dir.filePath("results");
    ASSERT_TRUE(QDir().mkpath(sources) && QDir().mkpath(results));
    ASSERT_TRUE(writeBytes(QDir(sources).filePath("grass.bmp"), plainBmp(64, 64, 24)));
    const QString photo = dir.filePath("photo.png");
    QImage solid(64, 64, QImage::Format_RGB32);
    solid.fill(qRgb(20, 160, 90));
    ASSERT_TRUE(solid.save(photo));
    struct Case {
        const char* name;
        std::function<void()> replaceA;
        bool noticedLive;  // by the watch on the file, else by Update
    };
    const Case cases[] = {
        {"Load Extended", [&] { load(makeSet(Form::Eight, 128), "b.bmp"); }, true},
        {"New 16-bit set",
         [&] {
             prompts.answer(true);
             newSixteenBitItem()->trigger();
         },
         false},
        {"Load Any Image",
         [&] {
             prompts.choose(photo);
             loadAnyItem()->trigger();
         },
         false},
        {"a batch", [&] { convertFolder(sources, results); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open();
        handed.clear();
        load(makeSet(Form::Eight, 256), "a.bmp");
        window->editLevel(3);  // A's 64x64 level
        ASSERT_EQ(handed.size(), 1);
        c.replaceA();
        const std::vector<Bytes> before = slotFiles();
        prompts.calls.clear();

        QImage painted(64, 64, QImage::Format_RGB888);
        painted.fill(qRgb(250, 10, 10));
        paintSaves(handed[0], painted);
        if (c.noticedLive) {
            QElapsedTimer clock;
            clock.start();
            while (prompts.calls.empty() && clock.elapsed() < 10000) QTest::qWait(20);
        } else {
            updateButton()->click();
        }
        EXPECT_EQ(slotFiles(), before);
        ASSERT_EQ(prompts.calls.size(), 1u);
        EXPECT_TRUE(prompts.calls[0].text.contains(QDir::toNativeSeparators(handed[0])))
            << prompts.calls[0].text.toStdString();
        EXPECT_TRUE(prompts.calls[0].text.contains("a.bmp")) << prompts.calls[0].text.toStdString();
        window->close();
    }

    // Taken when the user says so: the level is B's now, and a change.
    open();
    handed.clear();
    load(makeSet(Form::Eight, 256), "a.bmp");
    window->editLevel(3);
    load(makeSet(Form::Rgb565, 128), "b.bmp");
    const Bytes b64 = readBytes(window->workspace().levelPath(64));
    QImage painted(64, 64, QImage::Format_RGB888);
    painted.fill(qRgb(250, 10, 10));
    paintSaves(handed[0], painted);
    prompts.answer(true);
    updateButton()->click();
    EXPECT_NE(readBytes(window->workspace().levelPath(64)), b64);
    EXPECT_TRUE(window->windowTitle().startsWith("b.bmp*"));
    prompts.calls.clear();
    prompts.answerSave(SaveChoice::Cancel);
    EXPECT_FALSE(window->close());
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::SaveQuestion);
    prompts.answerSave(SaveChoice::Discard);
    EXPECT_TRUE(window->close());
}

// The paint program stores the largest level of an 8-bit set with the same
// colours on a palette written backwards: Update saves the colours it shows.
// With a palette of other colours, Update+Palette takes that palette.
// The 64x64 level of a 32-bit set comes back as 24-bit: the view shows the
// alpha the save writes, which is the set's.
TEST_F(PaintProgramTest, WhatComesBackIsSavedAndShownAsThePaintProgramShowedIt) {
    window->show();
    {
        SCOPED_TRACE("8-bit, reversed palette");
        load(makeSet(Form::Eight, 256));
        window->editLevel(1);
        ASSERT_EQ(handed.size(), 1);
        QImage level(handed.back());
        ASSERT_EQ(level.format(), QImage::Format_Indexed8);
        const QImage shown = level.convertToFormat(QImage::Format_RGB32);
        QList<QRgb> table = level.colorTable();
        std::reverse(table.begin(), table.end());
        QImage reordered(256, 256, QImage::Format_Indexed8);
        reordered.setColorTable(table);
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) reordered.setPixel(x, y, 255 - level.pixelIndex(x, y));
        paintSaves(handed.back(), reordered);
        updateButton()->click();
        const Bytes set = saved();
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x)
                ASSERT_EQ(savedTexel(set, 256, 256, x, y) | 0xff000000u, shown.pixel(x, y)) << x << ',' << y;
    }
    {
        SCOPED_TRACE("8-bit, Update+Palette");
        load(makeSet(Form::EightRecord, 256), "record.bmp");
        window->editLevel(1);
        QImage level(handed.back());
        QList<QRgb> table;
        for (int i = 0; i < 256; ++i) table << qRgb(i, 255 - i, (i * 7) & 255);
        level.setColorTable(table);
        paintSaves(handed.back(), level);
        prompts.answer(true);
        updatePaletteButton()->click();
        // The paint program's palette, and its indices as they stand.
        const Bytes set = saved();
        const QImage back(handed.back());
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x)
                ASSERT_EQ(savedTexel(set, 256, 256, x, y) | 0xff000000u, table[back.pixelIndex(x, y)]) << x << ',' << y;
        EXPECT_EQ(read32(set, kPixelOffsetAt), 1098u);  // the record kept
        window->workspace().state().modified = false;
    }
    for (const bool convert : {true, false}) {
        SCOPED_TRACE(convert ? "32-bit shown as 24" : "32-bit as it is");
        convertTo24Item()->setChecked(convert);
        Bytes set32 = makeSet(Form::Argb32, 256);
        const Bytes original = set32;
        load(set32, convert ? "alpha32_256.bmp" : "alpha32_256b.bmp");
        window->editLevel(3);
        QImage opaque(64, 64, QImage::Format_RGB888);
        opaque.fill(qRgb(30, 60, 90));
        paintSaves(handed.back(), opaque);
        updateButton()->click();
        const Bytes set = saved();
        const QImage view = window->views()[2]->picture();
        ASSERT_EQ(view.size(), QSize(64, 64));
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) {
                const QRgb s = savedTexel(set, 256, 64, x, y);
                ASSERT_EQ(qAlpha(s), qAlpha(savedTexel(original, 256, 64, x, y))) << x << ',' << y;
                ASSERT_EQ(qAlpha(view.pixel(x, y)), qAlpha(s)) << x << ',' << y;
                ASSERT_EQ(qRgb(30, 60, 90), s | 0xff000000u) << x << ',' << y;
            }
        window->workspace().state().modified = false;
    }
}

// Every level file of every form, as the workspace holds it and as the paint
// program is handed it, reads as a BMP of its size in ImageMagick and Pillow.
// (Pillow knows no 4-4-4-4 layout: a 4-4-4-4 level kept in the set's own form,
// with "Convert 16/32 to 24 bit" off, goes to the paint program converted.)
TEST_F(PaintProgramTest, EveryLevelFileReadsInOutsideReaders) {
    const QString python = QStringLiteral("/usr/bin/python3");
    const auto hasPillow = [&] {
        QProcess p;
        p.start(python, {"-c", "import PIL"});
        return p.waitForFinished(30000) && p.exitCode() == 0;
    };
    if (QStandardPaths::findExecutable("identify").isEmpty() || !hasPillow())
        GTEST_SKIP() << "ImageMagick's identify and Pillow (python3-pil) are needed";
    QStringList files, sizes;  // each file and "edge edge"
    QStringList forPillow, pillowSizes;
    const Form forms[] = {Form::Eight, Form::EightRecord, Form::Rgb565, Form::Argb4444, Form::Rgb24, Form::Argb32};
    int n = 0;
    for (const bool convert : {true, false})
        for (const Form f : forms) {
            convertTo24Item()->setChecked(convert);
            load(makeSet(f, 16), QStringLiteral("set%1.bmp").arg(n));
            for (int level = 16; level >= 1; level /= 2) {
                const int slot = slotOfLevel(level);
                window->editLevel(slot - 1);
                // Kept apart: the next load replaces the slots.
                for (const QString& from : {window->workspace().slotPath(slot), handed.back()}) {
                    const QString copy = dir.filePath(QStringLiteral("level%1.bmp").arg(n++));
                    ASSERT_TRUE(QFile::copy(from, copy));
                    files << copy;
                    sizes << QStringLiteral("%1 %1").arg(level);
                    if (f == Form::Argb4444 && !convert && from != handed.back()) continue;
                    forPillow << copy;
                    pillowSizes << sizes.back();
                }
            }
            window->workspace().state().modified = false;
        }

    QProcess identify;
    identify.start("identify", QStringList{"-regard-warnings", "-format", "%w %h %[fx:mean>=0]\\n"} + files);
    ASSERT_TRUE(identify.waitForFinished(120000));
    EXPECT_EQ(identify.exitCode(), 0) << identify.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromLatin1(identify.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
              QStringList(sizes).replaceInStrings(QRegularExpression("$"), " 1"));

    QProcess pillow;
    pillow.start(python, QStringList{"-c",
                                     "import sys\n"
                                     "from PIL import Image\n"
                                     "for f in sys.argv[1:]:\n"
                                     "    im = Image.open(f); im.load(); print(im.format, im.size[0], im.size[1])\n"} +
                             forPillow);
    ASSERT_TRUE(pillow.waitForFinished(120000));
    EXPECT_EQ(pillow.exitCode(), 0) << pillow.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromLatin1(pillow.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
              QStringList(pillowSizes).replaceInStrings(QRegularExpression("^"), "BMP "));
}
