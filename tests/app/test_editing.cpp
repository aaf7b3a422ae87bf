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
#include "zoomview.h"
#include "../support/scaledrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QAction>
#include <QProcess>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

using namespace corvane;
using namespace corvane::testing;

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

// A 32-bit Extended Bitmap (54-byte header, fourth byte alpha) whose texel
// (x, y) of each level, top row first, is texel(level, x, y).
std::vector<uint8_t> set32(int edge, const std::function<QRgb(int level, int x, int y)>& texel) {
    std::vector<uint8_t> b = corvane::testing::makeSet(corvane::testing::Form::Argb32, edge);
    b.resize(54);
    for (int level = edge; level >= 1; level /= 2)
        for (int row = level - 1; row >= 0; --row)
            for (int x = 0; x < level; ++x) {
                const QRgb c = texel(level, x, row);
                b.insert(b.end(), {uint8_t(qBlue(c)), uint8_t(qGreen(c)), uint8_t(qRed(c)), uint8_t(qAlpha(c))});
            }
    layout::write32(b, layout::kFileSizeAt, uint32_t(b.size()));
    return b;
}

// Two alternating greys of 8x8 device pixels wherever `transparent` holds,
// `colour` elsewhere: the left half of a grabbed view.
void expectCheckerboardWhere(const QImage& shot, const std::function<bool(int x, int y)>& transparent, QRgb colour) {
    const QRgb light = qRgb(0xcc, 0xcc, 0xcc), dark = qRgb(0x99, 0x99, 0x99);
    std::set<QRgb> greys;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QRgb got = shot.pixel(x, y) | 0xff000000u;
            if (!transparent(x, y)) {
                ASSERT_EQ(got, colour) << x << ',' << y;
                continue;
            }
            ASSERT_TRUE(got == light || got == dark) << x << ',' << y << ": " << std::hex << got;
            greys.insert(got);
            // Squares of eight: the next square along differs, the one after matches.
            if (x + 16 < shot.width() && transparent(x + 16, y)) {
                EXPECT_NE(got, shot.pixel(x + 8, y) | 0xff000000u) << x << ',' << y;
                EXPECT_EQ(got, shot.pixel(x + 16, y) | 0xff000000u) << x << ',' << y;
            }
        }
    EXPECT_EQ(greys.size(), 2u);
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
        window->setProgramStarter([this](const QString& program, const QStringList& arguments) {
            started.push_back({program, arguments});
            return true;
        });
    }
    void reopen() {
        window->close();
        window.reset();
        open();
    }
    // A window that reads `stored` (name, text) from the store.
    void reopenWith(std::initializer_list<std::pair<const char*, QString>> stored) {
        window->close();
        window.reset();
        for (const auto& [name, text] : stored) storeValue(name, text);
        open();
    }
    void loadSet(const std::vector<uint8_t>& bytes) {
        const QString file = dir.filePath("set.bmp");
        ASSERT_TRUE(corvane::testing::writeBytes(file, bytes));
        QuorLibrary library(window->context());
        const CommandOutcome outcome =
            loadExtended(file, BitmapFilter, window->workspace(), library, window->setOptions());
        ASSERT_TRUE(outcome.ok) << outcome.error.toStdString();
        window->showOutcome(outcome);
    }
    QString slot(int k) const { return QDir::toNativeSeparators(window->workspace().slotPath(k)); }
    int editedSlot() const { return window->workspace().state().editedSlot; }
    // The slot the program was last started on a copy of: the copy has the
    // slot's name and, until the program saves, its bytes; -1 when it is not so.
    int handedOver() const {
        if (started.empty() || started.back().arguments.size() != 1) return -1;
        const QString copy = started.back().arguments[0];
        for (int k = kFirstLevelSlot; k <= kLastLevelSlot; ++k)
            if (QFileInfo(copy).fileName() == slotFileName(k) && copy != slot(k) &&
                corvane::testing::readBytes(copy) == corvane::testing::readBytes(window->workspace().slotPath(k)))
                return k;
        return -1;
    }
    std::vector<corvane::testing::Bytes> slotFiles() const {
        std::vector<corvane::testing::Bytes> files;
        for (int k = 0; k < kSlotCount; ++k)
            files.push_back(corvane::testing::readBytes(window->workspace().slotPath(k)));
        return files;
    }
    void loadQuarteredSet(int edge) {
        const QString file = dir.filePath("quartered.bmp");
        ASSERT_TRUE(corvane::testing::writeBytes(file, quarteredSet(edge)));
        QuorLibrary library(window->context());
        const CommandOutcome outcome =
            loadExtended(file, BitmapFilter, window->workspace(), library, window->setOptions());
        ASSERT_TRUE(outcome.ok) << outcome.error.toStdString();
        window->showOutcome(outcome);
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
    // Before any load there is nothing to edit.
    EXPECT_FALSE(editButton()->isEnabled());
    EXPECT_FALSE(editLargestItem()->isEnabled());
    loadQuarteredSet(512);
    window->show();
    const auto views = window->views();
    for (size_t i = 0; i < views.size(); ++i) {
        QTest::mouseDClick(views[i], Qt::LeftButton);
        ASSERT_EQ(started.size(), i + 1);
        EXPECT_EQ(started.back().program, editor);
        EXPECT_EQ(handedOver(), int(i) + 2);
        EXPECT_EQ(editedSlot(), int(i) + 2);
    }
    EXPECT_TRUE(started[2].arguments[0].endsWith("Bmp064.bmp"));
    QTest::mouseDClick(largeLevelWindow.view, Qt::LeftButton);
    EXPECT_EQ(handedOver(), 1);

    // "Edit" takes the largest level.
    for (const auto& [largest, expected] : {std::pair{512, 1}, std::pair{128, 3}, std::pair{2, 9}}) {
        loadQuarteredSet(largest);
        QTest::mouseClick(editButton(), Qt::LeftButton);
        EXPECT_EQ(handedOver(), expected) << largest;
    }
    EXPECT_EQ(editLevelIndex(0), 7);
    EXPECT_EQ(editLevelIndex(300), 7);
    EXPECT_TRUE(prompts.calls.empty());
}

TEST_F(EditingTest, EditorIsLookedUpAndAMissingOneChangesNothingButTheEditedSlot) {
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.filePath("My Tools")) + QDir::listSeparator().toLatin1() + path);
    reopenWith({{"Editor", "paint program"}});
    loadQuarteredSet(64);
    window->editLevel(9);
    qputenv("PATH", path);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, editor);

    for (const QString& missing : {dir.filePath("gone/paint"), QStringLiteral("no-such-paint-program"), QString()}) {
        reopenWith({{"Editor", missing}});
        loadQuarteredSet(64);
        const auto before = slotFiles();
        window->workspace().state().editedSlot = 0;
        prompts.calls.clear();
        window->editLargestLevel();
        EXPECT_EQ(editedSlot(), 4);
        ASSERT_EQ(prompts.calls.size(), 1u);
        EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Warning);
        EXPECT_TRUE(prompts.calls[0].text.contains(missing)) << prompts.calls[0].text.toStdString();
        EXPECT_EQ(slotFiles(), before);
    }
    EXPECT_EQ(started.size(), 1u);
}

TEST_F(EditingTest, TheEditorRunsDetachedWithItsPathAndTheSlot) {
    // A copy in a folder with a blank in its name: each path stays one item.
    const QString program = dir.filePath("My Tools/record args");
    ASSERT_TRUE(QFile::copy(QStringLiteral(CORVANE_RECORD_ARGS_PROGRAM), program));
    QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
    const QString record = dir.filePath("arguments.txt");
    qputenv("CORVANE_RECORD_ARGS", QFile::encodeName(record));
    reopenWith({{"Editor", program}});
    window->setProgramStarter(&startDetached);
    loadQuarteredSet(64);

    QElapsedTimer clock;
    clock.start();
    window->editLevel(3);
    // The stand-in lingers three seconds after recording.
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(editedSlot(), 4);
    while (!QFile::exists(record) && clock.elapsed() < 10000) QTest::qWait(20);
    qunsetenv("CORVANE_RECORD_ARGS");
    const QStringList recorded = contents(record).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(recorded.size(), 2);
    EXPECT_EQ(recorded[0], program);
    EXPECT_EQ(QFileInfo(recorded[1]).fileName(), "Bmp064.bmp");
    EXPECT_EQ(corvane::testing::readBytes(recorded[1]), corvane::testing::readBytes(window->workspace().slotPath(4)));
    EXPECT_TRUE(prompts.calls.empty());
}

TEST_F(EditingTest, SelectingTheEditorSetsTheButtonAndItsHint) {
    prompts.cancelFile();
    QTest::mouseClick(editorLauncher(), Qt::LeftButton, {}, QPoint(20, 20));
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].dialog.objectName, "editselect");
    EXPECT_EQ(prompts.calls[0].dialog.initialFolder, dir.filePath("My Tools/"));
    EXPECT_EQ(window->currentSettings().editor, editor);
    EXPECT_EQ(editorLauncher()->toolTip(), "Select Editing Program (Currently paint program)");

    prompts.choose("/opt/Paint Shop/paint shop");
    selectEditorItem()->trigger();
    EXPECT_EQ(editorLauncher()->fileName(), "/opt/Paint Shop/paint shop");
    EXPECT_EQ(editorLauncher()->toolTip(), "Select Editing Program (Currently paint shop)");
}

TEST_F(EditingTest, ViewsShowEveryLevelAndUpdateRereadsThem) {
    loadQuarteredSet(512);
    ASSERT_TRUE(largeLevelWindow.isVisible());
    EXPECT_EQ(largeLevelWindow.view->picture().size(), QSize(512, 512));
    const auto views = window->views();
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
    ASSERT_TRUE(edited.save(window->workspace().slotPath(4), "BMP"));
    const auto before = slotFiles();
    QTest::mouseClick(updateButton(), Qt::LeftButton);
    EXPECT_EQ(views[2]->picture().pixel(5, 5), qRgb(10, 20, 30));
    EXPECT_EQ(slotFiles(), before);
}

TEST_F(EditingTest, LevelVisibilityAndTheLargeWindowsPlace) {
    reopenWith({{"Left512", "540"}, {"Top512", "40"}, {"Width512", "240"}, {"Height512", "200"}});
    window->workspace().state().largest = 64;
    window->reloadViews();
    const auto views = window->views();
    for (size_t i = 0; i < views.size(); ++i) EXPECT_EQ(views[i]->isHidden(), i < 2) << i;
    EXPECT_FALSE(largeLevelWindow.isVisible());

    // Placed from the kept geometry by the first reloadViews only.
    window->workspace().state().largest = 512;
    window->reloadViews();
    ASSERT_TRUE(largeLevelWindow.isVisible());
    EXPECT_EQ(largeLevelWindow.pos(), QPoint(540, 40));
    EXPECT_EQ(largeLevelWindow.size(), QSize(240, 200));
    largeLevelWindow.move(100, 120);
    largeLevelWindow.resize(320, 240);
    window->workspace().state().largest = 256;
    window->reloadViews();
    EXPECT_FALSE(largeLevelWindow.isVisible());
    EXPECT_EQ(window->currentSettings().left512, 100);
    EXPECT_EQ(window->currentSettings().height512, 240);
    window->workspace().state().largest = 512;
    window->reloadViews();
    EXPECT_EQ(largeLevelWindow.pos(), QPoint(100, 120));

    // Closing the program keeps where the visible large window stands.
    largeLevelWindow.move(140, 150);
    window->close();
    EXPECT_EQ(QSettings(dir.filePath("store.ini"), QSettings::IniFormat).value("Left512").toString(), "140");
}

TEST_F(EditingTest, LighteningRoundTripsThroughTheWholeNumberRule) {
    const auto stored = [&] {
        return QSettings(dir.filePath("store.ini"), QSettings::IniFormat).value("Lightening").toString();
    };
    EXPECT_EQ(lighteningEdit()->text(), "-3");
    reopen();
    EXPECT_EQ(stored(), "-4");
    EXPECT_EQ(lighteningEdit()->text(), "-3");

    lighteningEdit()->selectAll();
    QTest::keyClicks(lighteningEdit(), "-7");
    reopen();
    EXPECT_EQ(stored(), "-8");
    EXPECT_EQ(lighteningEdit()->text(), "-7");
    EXPECT_EQ(window->lightening(), -7);
    // The arrows step from what the edit shows.
    lighteningArrows()->step(true);
    EXPECT_EQ(lighteningEdit()->text(), "-6");

    window->setLightening(5);
    reopen();
    EXPECT_EQ(stored(), "5");
}

TEST_F(EditingTest, TransparentTexelsShowOverTheCheckerboard) {
    window->show();
    ASSERT_TRUE(showTransparencyItem()->isChecked());
    const QRgb under = qRgb(200, 0, 200), solid = qRgb(30, 120, 60);
    // The 64x64 view shows its level at its own size: texel x is device pixel x.
    const auto leftHalf = [](int x, int) { return x < 32; };
    const auto grabbed = [&] { return window->views()[2]->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    const auto expectColours = [&](QRgb left, QRgb right) {
        const QImage shot = grabbed();
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) ASSERT_EQ(shot.pixel(x, y), x < 32 ? left : right) << x << ',' << y;
    };
    {
        SCOPED_TRACE("32-bit, left half alpha 0");
        loadSet(set32(64, [&](int level, int x, int) {
            return x < level / 2 ? qRgba(qRed(under), qGreen(under), qBlue(under), 0) : solid;
        }));
        expectCheckerboardWhere(grabbed(), leftHalf, solid);
        // Off, what is behind the view shows through, as it did before.
        const QString level = window->views()[2]->fileName();
        window->views()[2]->clearPicture();
        const QRgb behind = grabbed().pixel(0, 0);
        window->views()[2]->setFileName(QString());
        window->views()[2]->setFileName(level);
        showTransparencyItem()->trigger();
        expectColours(behind, solid);
        showTransparencyItem()->trigger();
    }
    {
        SCOPED_TRACE("32-bit, every fourth byte 0: a set without alpha, opaque");
        loadSet(set32(64, [&](int level, int x, int) {
            return qRgba(qRed(x < level / 2 ? under : solid), qGreen(x < level / 2 ? under : solid),
                         qBlue(x < level / 2 ? under : solid), 0);
        }));
        expectColours(under, solid);
    }
    {
        SCOPED_TRACE("8-bit, colour 0 at level 0");
        std::vector<uint8_t> b = corvane::testing::setHeaders8(64);
        for (const auto& [index, colour, level] : {std::tuple{0, under, 0}, std::tuple{1, solid, 255}}) {
            b[54 + 4 * index] = uint8_t(qBlue(colour));
            b[55 + 4 * index] = uint8_t(qGreen(colour));
            b[56 + 4 * index] = uint8_t(qRed(colour));
            b[57 + 4 * index] = uint8_t(level);
        }
        for (int level = 64; level >= 1; level /= 2)
            for (int row = 0; row < level; ++row)
                for (int x = 0; x < level; ++x) b.push_back(x < level / 2 ? 0 : 1);
        corvane::testing::finishSet8(b);
        loadSet(b);
        expectCheckerboardWhere(grabbed(), leftHalf, solid);
    }
    // The choice is kept between runs.
    showTransparencyItem()->trigger();
    reopen();
    EXPECT_EQ(QSettings(dir.filePath("store.ini"), QSettings::IniFormat).value("ShowTransparency").toString(), "0");
    EXPECT_FALSE(showTransparencyItem()->isChecked());
}

// Texel (x, y) of a level by its colour: red x, green y, blue the level.
QRgb texelColour(int level, int x, int y) { return qRgb(x, y, 3 * (level % 64) + 40); }

TEST_F(EditingTest, ViewLargerShowsALevelZoomedBesideTheWindowAndEditsIt) {
    window->move(10, 10);
    window->show();
    loadSet(set32(64, texelColour));
    QAction* larger = nullptr;
    for (QAction* a : window->views()[4]->actions())
        if (a->text() == "View Larger") larger = a;
    ASSERT_TRUE(larger);
    EXPECT_EQ(window->views()[4]->contextMenuPolicy(), Qt::ActionsContextMenu);
    larger->trigger();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&largeLevelWindow));
    EXPECT_EQ(largeLevelWindow.windowTitle(), "Corvane - 16x16 Image");

    // Fully on the screen and clear of the main window.
    const QRect available = window->screen()->availableGeometry();
    const QRect placed = largeLevelWindow.frameGeometry();
    const std::string where = QStringLiteral("%1,%2 %3x%4")
                                  .arg(placed.x())
                                  .arg(placed.y())
                                  .arg(placed.width())
                                  .arg(placed.height())
                                  .toStdString();
    EXPECT_TRUE(available.contains(placed)) << where;
    EXPECT_FALSE(placed.intersects(window->frameGeometry())) << where;

    // At a whole zoom step, every texel the same whole square of device
    // pixels, in the level's own order.
    const qreal zoom = largeLevelWindow.zoom->zoom();
    EXPECT_GE(zoom, 2);
    EXPECT_EQ(zoom, std::round(zoom));
    const QImage shot = largeLevelWindow.zoom->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QPoint first(-1, -1), second(-1, -1);
    for (int y = 0; y < shot.height() && second.x() < 0; ++y)
        for (int x = 0; x < shot.width(); ++x) {
            if (first.x() < 0 && shot.pixel(x, y) == texelColour(16, 0, 0)) first = {x, y};
            if (first.x() >= 0 && shot.pixel(x, y) == texelColour(16, 1, 0)) {
                second = {x, y};
                break;
            }
        }
    ASSERT_GE(first.x(), 0);
    const int side = second.x() - first.x();
    EXPECT_EQ(side, qRound(zoom * largeLevelWindow.zoom->devicePixelRatioF()));
    for (int ty = 0; ty < 16; ++ty)
        for (int tx = 0; tx < 16; ++tx)
            for (const QPoint inside : {QPoint(0, 0), QPoint(side - 2, side - 2)})
                ASSERT_EQ(shot.pixel(first + QPoint(tx * side, ty * side) + inside), texelColour(16, tx, ty))
                    << tx << ',' << ty;

    // Update keeps the level on show; a double-click edits it.
    QTest::mouseClick(updateButton(), Qt::LeftButton);
    EXPECT_TRUE(largeLevelWindow.isVisible());
    EXPECT_EQ(largeLevelWindow.view->picture().size(), QSize(16, 16));
    QTest::mouseDClick(largeLevelWindow.zoom->viewport(), Qt::LeftButton);
    ASSERT_FALSE(started.empty());
    EXPECT_EQ(handedOver(), 6);
}

TEST_F(EditingTest, ASlotSavedByThePaintProgramShowsWithoutUpdate) {
    loadQuarteredSet(64);
    window->editLevel(3);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_FALSE(window->workspace().state().modified);
    // Saved as paint programs do: a new file renamed over the old, here in
    // full colour, one of the set's colours all over.
    const QColor blue(40, 80, 220);
    QImage edited(64, 64, QImage::Format_RGB888);
    edited.fill(blue);
    QSaveFile file(started[0].arguments[0]);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(edited.save(&file, "BMP"));
    ASSERT_TRUE(file.commit());
    QElapsedTimer clock;
    clock.start();
    while (window->views()[2]->picture().pixel(5, 5) != blue.rgb() && clock.elapsed() < 10000) QTest::qWait(20);
    EXPECT_EQ(window->views()[2]->picture().pixel(5, 5), blue.rgb());
    // Like Update, it makes the edit part of the set.
    EXPECT_TRUE(window->workspace().state().modified);
}

// Run as it is, and again under other screen scales by the test below.
TEST_F(EditingTest, ViewsDrawEachTexelAsAWholeSquareOfDevicePixels) {
    window->show();
    loadSet(set32(256, texelColour));
    const auto views = window->views();
    for (size_t i = 0; i < views.size(); ++i) {
        const int level = 256 >> i;
        SCOPED_TRACE(level);
        const QImage shot = views[i]->grab().toImage().convertToFormat(QImage::Format_RGB32);
        // Where each texel's colour shows, and how often.
        std::vector<QRect> boxes(size_t(level * level));
        std::vector<int> counts(boxes.size(), 0);
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QRgb c = shot.pixel(x, y);
                if (qBlue(c) != qBlue(texelColour(level, 0, 0)) || qRed(c) >= level || qGreen(c) >= level) continue;
                const size_t t = size_t(qGreen(c) * level + qRed(c));
                boxes[t] |= QRect(x, y, 1, 1);
                ++counts[t];
            }
        const int side = boxes[0].width();
        ASSERT_GE(side, 1);
        for (int ty = 0; ty < level; ++ty)
            for (int tx = 0; tx < level; ++tx) {
                const size_t t = size_t(ty * level + tx);
                ASSERT_EQ(boxes[t], QRect(boxes[0].topLeft() + QPoint(tx * side, ty * side), QSize(side, side)))
                    << tx << ',' << ty;
                ASSERT_EQ(counts[t], side * side) << tx << ',' << ty;
            }
        // The level keeps most of its place in the layout.
        EXPECT_GE(3 * level * side, 2 * shot.width());
        EXPECT_LE(level * side, shot.width());
    }
}

TEST_F(EditingTest, ViewsStayPixelExactUnderScreenScales) {
    expectPassesUnderScreenScales("EditingTest.ViewsDrawEachTexelAsAWholeSquareOfDevicePixels", 180000);
}

// Keeps a loaded 512 set on screen for a screenshot:
//   QT_QPA_PLATFORM=xcb app_tests --gtest_also_run_disabled_tests --gtest_filter='*ForAScreenshot'
TEST_F(EditingTest, DISABLED_ShowsTheViewsForAScreenshot) {
    reopenWith({{"Left512", "560"}, {"Top512", "10"}, {"Width512", "440"}, {"Height512", "440"}});
    window->move(10, 10);
    window->show();
    loadQuarteredSet(512);
    QTest::qWait(qEnvironmentVariableIntValue("CORVANE_SHOW_SECONDS") * 1000 + 1000);
}
