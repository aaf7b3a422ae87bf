// The transparency editor as the user drives it from the main window: the
// grid, the fields, the presets, Exit's question, maps, the view and
// Update+Palette.
#include "anyimage.h"
#include "secondarywindows.h"
#include "layout.h"
#include "library.h"
#include "mainwindow.h"
#include "numedit.h"
#include "setcommands.h"
#include "testsets.h"
#include "transparency.h"
#include "transparencyeditor.h"
#include "updown.h"
#include "windowtest.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

using namespace corvane;
using namespace corvane::testing;

namespace {

class TransparencyEditorTest : public corvane::testing::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        openWindow();
        window->show();
    }

    // Loads a generated set; its level bytes make every third colour
    // (0, 3, 6, ...) fully transparent.
    void load(Form shape, int edge) {
        const QString file = dir.filePath("set.bmp");
        ASSERT_TRUE(writeBytes(file, makeSet(shape, edge)));
        QuorLibrary library(window->context());
        const CommandOutcome outcome =
            loadExtended(file, BitmapFilter, window->workspace(), library, window->setOptions());
        ASSERT_TRUE(outcome.ok) << outcome.error.toStdString();
        window->showOutcome(outcome);
    }
    void openEditor() {
        editTransparencyItem()->trigger();
        ASSERT_TRUE(editor().isOpen());
    }
    TransparencyEditor& editor() { return window->transparencyEditor(); }
    QPushButton* button(const char* name) { return editor().findChild<QPushButton*>(name); }
    void click(const char* name) {
        QPushButton* b = button(name);
        ASSERT_TRUE(b) << name;
        QTest::mouseClick(b, Qt::LeftButton);
    }
    void type(NumEdit* field, const QString& text) {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
    }
    const LevelTable& levels() const { return window->paletteLevels().levels; }
    bool menuEnabled(const char* name) { return window->findChild<QMenu*>(name)->menuAction()->isEnabled(); }
    Bytes slot(int k) const { return readBytes(window->workspace().slotPath(k)); }

    // Clicks Exit and answers Cancel should it ask; true when it asked, in
    // which case the editor must still be open.
    bool exitAsks() {
        prompts.calls.clear();
        prompts.answers.clear();
        prompts.unscriptedAnswer = false;
        QTest::mouseClick(button("Button6"), Qt::LeftButton);
        if (prompts.calls.empty()) {
            EXPECT_FALSE(editor().isOpen());
            return false;
        }
        EXPECT_EQ(prompts.calls.size(), 1u);
        EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Question);
        EXPECT_EQ(prompts.calls[0].title, "CORVANE");
        EXPECT_EQ(prompts.calls[0].text, kPaletteChangedQuestion);
        EXPECT_EQ(prompts.calls[0].icon, PromptIcon::Information);
        EXPECT_TRUE(editor().isOpen());
        return true;
    }
};

}  // namespace

TEST_F(TransparencyEditorTest, OpeningCoversTheWindowAndLocksTheFileAndImageMenus) {
    load(Form::Eight, 32);
    ASSERT_TRUE(transparencyButton()->isEnabled());
    QTest::mouseClick(transparencyButton(), Qt::LeftButton);
    EXPECT_TRUE(editor().isVisible());
    EXPECT_EQ(editor().geometry(), editor().parentWidget()->rect());
    EXPECT_EQ(editor().transparentCount->text(), "Transparent Colours - 86");
    EXPECT_EQ(editor().boxes[17]->geometry(), QRect(200, 52, 18, 18));
    EXPECT_FALSE(menuEnabled("File1"));
    EXPECT_FALSE(menuEnabled("Image1"));
    EXPECT_TRUE(menuEnabled("Prefs1"));
    EXPECT_TRUE(menuEnabled("ImageTool1"));

    EXPECT_FALSE(exitAsks());
    EXPECT_TRUE(menuEnabled("File1"));
    EXPECT_TRUE(menuEnabled("Image1"));
    EXPECT_EQ(editor().findChildren<ColourBox*>().size(), 0);
}

TEST_F(TransparencyEditorTest, EveryLabelShowsItsWholeText) {
    openEditor();
    click("Button7");
    type(editor().levelEdit, "0");
    click("Button17");
    ASSERT_EQ(editor().transparentCount->text(), "Transparent Colours - 256");
    for (const QLabel* label : editor().findChildren<QLabel*>()) {
        const QRect needed = label->fontMetrics().boundingRect(
            QRect(0, 0, label->width(), 10000), int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0),
            label->text());
        EXPECT_LE(needed.width(), label->width()) << label->objectName().toStdString();
        if (label->wordWrap()) {
            EXPECT_LE(needed.height(), label->height()) << label->objectName().toStdString();
        }
    }
}

TEST_F(TransparencyEditorTest, BeforeAnySetTheEditorShowsBlackOpaqueColours) {
    ASSERT_FALSE(QFileInfo::exists(window->workspace().slotPath(HeaderSlot)));
    openEditor();
    EXPECT_EQ(editor().transparentCount->text(), "Transparent Colours - 0");
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(levels()[size_t(i)], 255) << i;
        ASSERT_EQ(editor().boxes[size_t(i)]->palette().color(QPalette::Window), QColor(Qt::black)) << i;
    }
    EXPECT_EQ(editor().levelEdit->text(), "255");
}

TEST_F(TransparencyEditorTest, ColourZeroTransparentAndTheFilter) {
    load(Form::Eight, 32);
    openEditor();
    click("Button14");
    EXPECT_EQ(editor().transparentCount->text(), "Transparent Colours - 1");
    EXPECT_EQ(levels()[0], 0);
    EXPECT_EQ(levels()[3], 255);

    editor().filterBox->setCurrentIndex(1);  // Show Transparent Colours
    for (int i = 0; i < 256; ++i) ASSERT_EQ(editor().boxes[size_t(i)]->isVisible(), i == 0) << i;
    EXPECT_EQ(editor().boxes[0]->geometry(), QRect(180, 32, 18, 18));

    editor().filterBox->setCurrentIndex(2);  // Show Opaque Colours
    for (int i = 0; i < 256; ++i) ASSERT_EQ(editor().boxes[size_t(i)]->isVisible(), i != 0) << i;
    EXPECT_EQ(editor().boxes[255]->geometry(), QRect(480, 332, 18, 18));
    // A preset is a change; the filter is not.
    EXPECT_TRUE(exitAsks());
}

TEST_F(TransparencyEditorTest, SelectingByBoxBackgroundOrNumberIsNoChange) {
    load(Form::Eight, 32);
    openEditor();
    QTest::mouseClick(editor().boxes[7], Qt::LeftButton, {}, QPoint(9, 9));
    EXPECT_EQ(editor().currentColour(), 7);
    EXPECT_EQ(editor().colourEdit->text(), "7");
    EXPECT_EQ(editor().levelEdit->text(), "255");
    EXPECT_EQ(editor().boxes[7]->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(editor().boxes[0]->frameShadow(), QFrame::Raised);
    EXPECT_EQ(editor().colourSwatch->palette().color(QPalette::Window), QColor(7 * 7, 255 - 7, 7));

    // Right of the grid is the panel itself, which answers as colour 0.
    QTest::mouseClick(&editor(), Qt::LeftButton, {}, QPoint(510, 200));
    EXPECT_EQ(editor().currentColour(), 0);
    EXPECT_EQ(editor().levelEdit->text(), "0");
    EXPECT_EQ(editor().boxes[0]->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(editor().boxes[7]->frameShadow(), QFrame::Raised);

    type(editor().colourEdit, "12");
    EXPECT_EQ(editor().currentColour(), 12);
    EXPECT_EQ(editor().levelEdit->text(), "0");
    type(editor().colourEdit, "200");
    EXPECT_EQ(editor().currentColour(), 200);
    EXPECT_EQ(editor().levelEdit->text(), "255");
    editor().colourArrows->step(true);
    EXPECT_EQ(editor().currentColour(), 201);
    EXPECT_FALSE(window->paletteLevels().paletteChanged);
    EXPECT_FALSE(exitAsks());
}

TEST_F(TransparencyEditorTest, TypedNumbersStayInsideThePalette) {
    load(Form::Eight, 32);
    openEditor();
    type(editor().colourEdit, "300");
    EXPECT_EQ(editor().currentColour(), 255);
    EXPECT_EQ(editor().colourEdit->text(), "255");

    QTest::mouseClick(editor().boxes[4], Qt::LeftButton);
    type(editor().levelEdit, "300");
    EXPECT_EQ(levels()[4], 255);
    EXPECT_EQ(editor().levelEdit->text(), "255");
    for (int32_t level : levels()) ASSERT_TRUE(level >= 0 && level <= 255) << level;
    editor().levelArrows->step(true);
    EXPECT_EQ(levels()[4], 255);
    EXPECT_TRUE(exitAsks());
}

TEST_F(TransparencyEditorTest, EmptiedLevelFieldMakesTheColourTransparent) {
    load(Form::Eight, 32);
    openEditor();
    QTest::mouseClick(editor().boxes[5], Qt::LeftButton);
    ASSERT_EQ(levels()[5], 255);
    editor().levelEdit->setFocus();
    editor().levelEdit->selectAll();
    QTest::keyClick(editor().levelEdit, Qt::Key_Backspace);
    EXPECT_EQ(levels()[5], 0);
    EXPECT_EQ(editor().levelEdit->text(), "0");
    EXPECT_EQ(editor().transparentCount->text(), "Transparent Colours - 87");
    EXPECT_TRUE(exitAsks());
}

TEST_F(TransparencyEditorTest, GradientToCurrentColour) {
    load(Form::Eight, 32);
    openEditor();
    const LevelTable before = levels();
    click("Button16");  // colour 0 selected: nothing to grade, yet a change
    EXPECT_EQ(levels(), before);
    EXPECT_TRUE(exitAsks());

    type(editor().colourEdit, "9");
    click("Button16");
    const int32_t expected[] = {0, 28, 56, 84, 113, 141, 169, 198, 226};
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(levels()[i], expected[i]) << i;
    EXPECT_EQ(levels()[9], before[9]);
    EXPECT_EQ(levels()[10], before[10]);
    EXPECT_EQ(editor().currentColour(), 9);

    // "All to Current Colour" takes the level field.
    type(editor().levelEdit, "40");
    click("Button17");
    for (int32_t level : levels()) ASSERT_EQ(level, 40);
    click("Button7");
    EXPECT_EQ(editor().transparentCount->text(), "Transparent Colours - 0");
}

TEST_F(TransparencyEditorTest, SavePaletteWritesTheLevelsAndKeepsTheRecord) {
    load(Form::EightRecord, 16);
    const Bytes original = slot(HeaderSlot);
    ASSERT_EQ(original.size(), 1098u);
    openEditor();
    click("Button14");
    click("Button8");
    const Bytes saved = slot(HeaderSlot);
    ASSERT_EQ(saved.size(), 1098u);
    Bytes expected = original;
    for (size_t i = 0; i < 256; ++i) expected[57 + 4 * i] = i == 0 ? 0 : 255;
    EXPECT_EQ(saved, expected);
    EXPECT_FALSE(exitAsks());

    // Leaving unsaved keeps slot 0, and the next opening reads it again.
    openEditor();
    click("Button7");
    prompts.answer(true);
    QTest::mouseClick(button("Button6"), Qt::LeftButton);
    EXPECT_FALSE(editor().isOpen());
    EXPECT_EQ(slot(HeaderSlot), saved);
    openEditor();
    EXPECT_EQ(editor().transparentCount->text(), "Transparent Colours - 1");
}

TEST_F(TransparencyEditorTest, MapsRoundTripAndShareOneFolder) {
    load(Form::Eight, 32);
    openEditor();
    click("Button7");
    type(editor().colourEdit, "255");
    click("Button16");  // colour i at level i, 255 stays opaque
    const LevelTable graded = levels();
    click("Button8");
    ASSERT_FALSE(window->paletteLevels().paletteChanged);

    ASSERT_TRUE(QDir(dir.path()).mkpath("maps"));
    const QString path = dir.filePath("maps/fleet.mpt");
    prompts.choose(path);
    click("Button12");
    const Bytes map = readBytes(path);
    ASSERT_EQ(map.size(), 256u);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(map[i], uint8_t(graded[i])) << i;
    // Saving a map is not saving the palette, nor a change.
    EXPECT_FALSE(window->paletteLevels().paletteChanged);
    EXPECT_EQ(window->currentSettings().mapDir, dir.filePath("maps"));

    click("Button7");
    click("Button8");
    // Both map dialogs open in that folder, offering that map.
    prompts.calls.clear();
    click("Button12");
    prompts.choose(path);
    click("Button11");
    ASSERT_EQ(prompts.calls.size(), 2u);
    for (const auto& call : prompts.calls) {
        EXPECT_EQ(call.dialog.initialFolder, dir.filePath("maps")) << call.dialog.objectName.toStdString();
        EXPECT_EQ(call.dialog.fileName, path) << call.dialog.objectName.toStdString();
    }
    EXPECT_EQ(levels(), graded);
    EXPECT_EQ(editor().transparentCount->text(), "Transparent Colours - 255");
    EXPECT_TRUE(window->paletteLevels().paletteChanged);

    Bytes longer(300, 17);
    longer[255] = 3;
    ASSERT_TRUE(writeBytes(dir.filePath("long.mpt"), longer));
    prompts.choose(dir.filePath("long.mpt"));
    click("Button11");
    EXPECT_EQ(levels()[0], 17);
    EXPECT_EQ(levels()[255], 3);

    // A short map sets what it holds, keeps the rest and says so.
    ASSERT_TRUE(writeBytes(dir.filePath("short.mpt"), Bytes(10, 99)));
    prompts.calls.clear();
    prompts.choose(dir.filePath("short.mpt"));
    click("Button11");
    EXPECT_EQ(levels()[9], 99);
    EXPECT_EQ(levels()[10], 17);
    ASSERT_EQ(prompts.calls.size(), 2u);
    EXPECT_EQ(prompts.calls[1].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_TRUE(prompts.calls[1].text.contains("short.mpt"));

    // A cancelled dialog changes nothing without a word; a map that cannot
    // be read or written changes nothing and the warning names the cause.
    const LevelTable before = levels();
    prompts.calls.clear();
    prompts.cancelFile();
    click("Button11");
    prompts.choose(dir.filePath("missing.mpt"));
    click("Button11");
    prompts.choose(dir.filePath("no such folder/fleet.mpt"));
    click("Button12");
    prompts.choose(dir.filePath("maps"));
    click("Button12");
    EXPECT_EQ(levels(), before);
    using Kind = ScriptedPrompts::Kind;
    std::vector<Kind> kinds;
    for (const auto& call : prompts.calls) kinds.push_back(call.kind);
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::File, Kind::File, Kind::Warning, Kind::File, Kind::Warning, Kind::File,
                                        Kind::Warning}));
    if (kinds.size() == 7) {
        EXPECT_TRUE(prompts.calls[2].text.contains("no such file or folder")) << prompts.calls[2].text.toStdString();
        EXPECT_TRUE(prompts.calls[4].text.contains("no such file or folder")) << prompts.calls[4].text.toStdString();
        EXPECT_TRUE(prompts.calls[6].text.contains("is a folder")) << prompts.calls[6].text.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("no such folder")));
    EXPECT_TRUE(QFileInfo(dir.filePath("maps")).isDir());
    EXPECT_TRUE(exitAsks());
}

TEST_F(TransparencyEditorTest, ViewShowsLevelsAsGreyAndTheCurrentColourRed) {
    load(Form::Eight, 32);
    const Bytes source = slot(slotOfLevel(32));
    openEditor();
    click("Button14");
    click("viewtran");
    Bytes view = slot(ScratchSlot);
    ASSERT_EQ(view.size(), source.size());
    EXPECT_TRUE(transparencyViewWindow.isVisible());
    // Beside the editor, never over it, and on the screen.
    EXPECT_FALSE(transparencyViewWindow.frameGeometry().intersects(window->frameGeometry()));
    EXPECT_TRUE(window->screen()->availableGeometry().contains(transparencyViewWindow.frameGeometry()));
    EXPECT_EQ(transparencyViewWindow.size(), QSize(32, 32));
    EXPECT_EQ(transparencyViewWindow.view->picture().size(), QSize(32, 32));
    const auto entry = [&](size_t i) {
        return Bytes(view.begin() + long(54 + 4 * i), view.begin() + long(58 + 4 * i));
    };
    EXPECT_EQ(entry(0), (Bytes{0, 0, 0, source[57]}));
    EXPECT_EQ(entry(1), (Bytes{255, 255, 255, source[61]}));
    EXPECT_TRUE(std::equal(view.begin() + 1078, view.end(), source.begin() + 1078));

    QTest::mouseClick(editor().boxes[5], Qt::LeftButton);
    click("viewcur");
    view = slot(ScratchSlot);
    EXPECT_EQ(entry(5), (Bytes{0, 0, 255, source[54 + 4 * 5 + 3]}));
    EXPECT_EQ(entry(6), (Bytes{255, 255, 255, source[54 + 4 * 6 + 3]}));
    // Every pixel of colour 5 shows red, the right way up.
    const auto at = std::find(source.begin() + 1078, source.end(), uint8_t(5));
    ASSERT_NE(at, source.end());
    const long index = long(at - source.begin()) - 1078;
    const QImage shown = transparencyViewWindow.view->picture();
    EXPECT_EQ(shown.pixel(int(index % 32), 31 - int(index / 32)), qRgb(255, 0, 0));

    // Leaving the editor hides the window.
    prompts.answer(true);
    click("Button6");
    EXPECT_FALSE(editor().isOpen());
    EXPECT_FALSE(transparencyViewWindow.isVisible());
}

TEST_F(TransparencyEditorTest, UpdatePaletteAsksAndCancelUpdatesNothing) {
    load(Form::EightRecord, 64);
    const Bytes header = slot(HeaderSlot);
    ASSERT_EQ(header.size(), 1098u);
    const auto view64 = window->views()[2];
    const QRgb shownBefore = view64->picture().pixel(5, 5);
    // What the paint program left in the 64 level.
    QImage edited(64, 64, QImage::Format_RGB888);
    edited.fill(QColor(10, 20, 30));
    ASSERT_TRUE(edited.save(window->workspace().slotPath(slotOfLevel(64)), "BMP"));

    prompts.answer(false);
    QTest::mouseClick(updatePaletteButton(), Qt::LeftButton);
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Question);
    EXPECT_EQ(prompts.calls[0].title, "Corvane");
    EXPECT_EQ(prompts.calls[0].text, kPaletteUpdateWarning);
    EXPECT_EQ(prompts.calls[0].icon, PromptIcon::Warning);
    EXPECT_EQ(view64->picture().pixel(5, 5), shownBefore);
    EXPECT_EQ(slot(HeaderSlot), header);

    // Before any edit the set's own palette is taken: slot 0 stays as it was,
    // record included, and the views show the edit.
    prompts.answer(true);
    QTest::mouseClick(updatePaletteButton(), Qt::LeftButton);
    EXPECT_EQ(prompts.calls.size(), 2u);
    EXPECT_EQ(slot(HeaderSlot), header);
    EXPECT_EQ(view64->picture().pixel(5, 5), qRgb(10, 20, 30));
}

TEST_F(TransparencyEditorTest, UpdatePaletteTakesTheEditedPaletteAndKeepsTheRecord) {
    load(Form::EightRecord, 16);
    Bytes header = slot(HeaderSlot);
    const int edited = slotOfLevel(16);
    Bytes level = slot(edited);
    ASSERT_GE(level.size(), 1078u);
    for (size_t i = 54; i < 1078; ++i) level[i] = uint8_t(i * 5);
    ASSERT_TRUE(writeBytes(window->workspace().slotPath(edited), level));
    window->workspace().state().editedSlot = edited;

    prompts.answer(true);
    window->updateWithPalette();
    std::copy(level.begin() + 54, level.begin() + 1078, header.begin() + 54);
    EXPECT_EQ(slot(HeaderSlot), header);
    ASSERT_EQ(prompts.calls.size(), 1u);

    // The editor then reads the new palette's fourth bytes.
    openEditor();
    EXPECT_EQ(levels()[1], uint8_t((57 + 4) * 5));
}

// An 8-bit set of concentric rings in 256 hues, the inner 24 colours fully
// transparent: something a painter would recognise in a screenshot.
Bytes ringsSet(int edge) {
    Bytes b = setHeaders8(edge);
    for (int i = 0; i < 256; ++i) {
        const QColor c = QColor::fromHsv(i * 359 / 255, 190, 235);
        b[size_t(54 + 4 * i)] = uint8_t(c.blue());
        b[size_t(55 + 4 * i)] = uint8_t(c.green());
        b[size_t(56 + 4 * i)] = uint8_t(c.red());
        b[size_t(57 + 4 * i)] = i < 24 ? 0 : 255;
    }
    for (int level = edge; level >= 1; level /= 2)
        for (int y = 0; y < level; ++y)
            for (int x = 0; x < level; ++x) {
                const double dx = (x + 0.5) / level - 0.5, dy = (y + 0.5) / level - 0.5;
                b.push_back(uint8_t(std::min(255.0, std::sqrt(dx * dx + dy * dy) * 2 * 255)));
            }
    finishSet8(b);
    return b;
}

// Keeps the editor open on an 8-bit set, with the view of colour 100, for a
// screenshot:
//   QT_QPA_PLATFORM=xcb app_tests --gtest_also_run_disabled_tests --gtest_filter='*EditorForAScreenshot'
TEST_F(TransparencyEditorTest, DISABLED_ShowsTheEditorForAScreenshot) {
    window->move(10, 10);
    const QString file = dir.filePath("rings.bmp");
    ASSERT_TRUE(writeBytes(file, ringsSet(256)));
    QuorLibrary library(window->context());
    window->showOutcome(loadExtended(file, BitmapFilter, window->workspace(), library, window->setOptions()));
    openEditor();
    type(editor().colourEdit, "100");
    click("viewcur");
    transparencyViewWindow.move(560, 10);
    QTest::qWait(qEnvironmentVariableIntValue("CORVANE_SHOW_SECONDS") * 1000 + 1000);
}
