// The batch panel as the user drives it from the main window: the file list,
// its selection commands, the menus, the same-folder question and a run.
#include "batch.h"
#include "batchpanel.h"
#include "exebuttn.h"
#include "secondarywindows.h"
#include "layout.h"
#include "mainwindow.h"
#include "testsets.h"
#include "transparencyeditor.h"
#include "windowtest.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace corvane;
using namespace corvane::testing;

namespace {

class BatchPanelTest : public corvane::testing::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        for (const char* sub : {"src", "dest"}) ASSERT_TRUE(QDir(dir.path()).mkpath(sub));
        source = dir.filePath("src");
        destination = dir.filePath("dest");
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(
                writeBytes(QDir(source).filePath(QString("f%1.bmp").arg(i)), plainBmp(16, 16, i % 2 ? 8 : 24, 7)));
        openWindow();
        smooth8Item()->setChecked(false);
        window->show();
    }

    void openPanel(const QString& from, const QString& to) {
        QTest::mouseClick(batchLauncher(), Qt::LeftButton, {}, QPoint(10, 10));
        ASSERT_TRUE(panel().isVisible());
        ASSERT_TRUE(panel().source->setFolder(from));
        ASSERT_TRUE(panel().destination->setFolder(to));
    }
    BatchPanel& panel() { return *batchPanel(); }
    QListWidget& files() { return *panel().fileList; }
    QPushButton* button(const char* name) { return panel().findChild<QPushButton*>(name); }
    void ctrlClick(int row) {
        const QRect r = files().visualItemRect(files().item(row));
        QTest::mouseClick(files().viewport(), Qt::LeftButton, Qt::ControlModifier, r.center());
    }
    bool menusEnabled() {
        const bool file = window->findChild<QMenu*>("File1")->menuAction()->isEnabled();
        EXPECT_EQ(window->findChild<QMenu*>("Image1")->menuAction()->isEnabled(), file);
        EXPECT_TRUE(window->findChild<QMenu*>("Prefs1")->menuAction()->isEnabled());
        EXPECT_TRUE(window->findChild<QMenu*>("ImageTool1")->menuAction()->isEnabled());
        return file;
    }
    QStringList written() const { return QDir(destination).entryList(QDir::Files, QDir::Name); }

    QString source, destination;
};

}  // namespace

TEST_F(BatchPanelTest, ListsTheSourceFilesAndSelectsAllOrTheInverse) {
    ASSERT_TRUE(writeBytes(QDir(source).filePath("notes.txt"), Bytes(4, 1)));
    ASSERT_TRUE(QDir(source).mkpath("sub.bmp"));
    openPanel(source, destination);
    EXPECT_EQ(panel().geometry(), panel().parentWidget()->rect());
    ASSERT_EQ(files().count(), 10);
    EXPECT_EQ(files().item(0)->text(), "f0.bmp");
    EXPECT_TRUE(panel().selectedNames().isEmpty());

    QTest::mouseClick(button("getallfor_mat"), Qt::LeftButton);
    EXPECT_EQ(panel().selectedNames().size(), 10);
    QTest::mouseClick(button("invert"), Qt::LeftButton);
    EXPECT_TRUE(panel().selectedNames().isEmpty());

    ctrlClick(1);
    ctrlClick(4);
    ctrlClick(8);
    EXPECT_EQ(panel().selectedNames(), (QStringList{"f1.bmp", "f4.bmp", "f8.bmp"}));
    QTest::mouseClick(button("invert"), Qt::LeftButton);
    EXPECT_EQ(panel().selectedNames(),
              (QStringList{"f0.bmp", "f2.bmp", "f3.bmp", "f5.bmp", "f6.bmp", "f7.bmp", "f9.bmp"}));
}

TEST_F(BatchPanelTest, EveryCaptionShowsWhole) {
    openPanel(source, destination);
    for (const QLabel* label : panel().findChildren<QLabel*>()) {
        // The folder lines show paths of any length, with the whole path as their hint.
        if (label->objectName() == "Label19" || label->objectName() == "Label22") continue;
        const QRect needed = label->fontMetrics().boundingRect(
            QRect(0, 0, label->width(), 10000), int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0),
            label->text());
        EXPECT_LE(needed.width(), label->width()) << label->objectName().toStdString();
        EXPECT_LE(needed.height(), label->height()) << label->objectName().toStdString();
    }
    for (const QPushButton* b : panel().findChildren<QPushButton*>())
        EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 8, b->width()) << b->text().toStdString();
}

TEST_F(BatchPanelTest, MenusAreLockedWhileOpenAndFreedByExit) {
    EXPECT_TRUE(menusEnabled());
    openPanel(source, destination);
    EXPECT_FALSE(menusEnabled());
    QTest::mouseClick(button("Button18"), Qt::LeftButton);
    EXPECT_FALSE(panel().isVisible());
    EXPECT_TRUE(menusEnabled());
    // With nothing selected a convert button only closes the panel.
    openPanel(source, destination);
    QTest::mouseClick(panel().convertButton, Qt::LeftButton);
    EXPECT_FALSE(panel().isVisible());
    EXPECT_TRUE(menusEnabled());
    EXPECT_TRUE(written().isEmpty());
    EXPECT_TRUE(prompts.calls.empty());
}

TEST_F(BatchPanelTest, SameFolderCancelLeavesThePanelOpenAndWritesNothing) {
    const Bytes before = readBytes(QDir(source).filePath("f3.bmp"));
    // Spelt differently, the same folder still asks.
    openPanel(source, source + "/../src/");
    QTest::mouseClick(button("getallfor_mat"), Qt::LeftButton);
    prompts.answer(false);
    QTest::mouseClick(panel().convertButton, Qt::LeftButton);
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Question);
    EXPECT_EQ(prompts.calls[0].title, "CORVANE");
    EXPECT_EQ(prompts.calls[0].text, kSameFolderQuestion);
    EXPECT_TRUE(panel().isVisible());
    EXPECT_FALSE(menusEnabled());
    EXPECT_EQ(QDir(source).entryList(QDir::Files).size(), 10);
    EXPECT_EQ(readBytes(QDir(source).filePath("f3.bmp")), before);
    EXPECT_EQ(files().selectedItems().size(), 10);
    EXPECT_FALSE(QFileInfo::exists(window->workspace().slotPath(HeaderSlot)));
}

TEST_F(BatchPanelTest, ConvertsTheSelectedFilesInListOrderAndShowsProgress) {
    openPanel(source, destination);
    ctrlClick(8);
    ctrlClick(1);
    ctrlClick(4);
    // What the window shows each time the run lets it repaint, and every
    // position of the bar.
    QStringList seen;
    std::vector<int> values;
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString status = statusLoadedAs()->text();
        if (status.startsWith("Converting") && (seen.isEmpty() || seen.back() != status)) seen << status;
    });
    watch.start();
    QObject::connect(progressBar(), &QProgressBar::valueChanged, &watch, [&](int value) { values.push_back(value); });
    QTest::mouseClick(panel().convertButton, Qt::LeftButton);
    watch.stop();

    EXPECT_FALSE(panel().isVisible());
    EXPECT_TRUE(menusEnabled());
    EXPECT_TRUE(prompts.calls.empty());
    EXPECT_EQ(written(), (QStringList{"f1.bmp", "f4.bmp", "f8.bmp"}));
    EXPECT_EQ(seen,
              (QStringList{"Converting f1.bmp (1 of 3)", "Converting f4.bmp (2 of 3)", "Converting f8.bmp (3 of 3)"}));
    ASSERT_FALSE(values.empty());
    EXPECT_NE(std::find(values.begin(), values.end(), 33), values.end());
    EXPECT_NE(std::find(values.begin(), values.end(), 66), values.end());
    EXPECT_NE(std::find(values.begin(), values.end(), 100), values.end());
    // The run has ended: the bar is empty again.
    EXPECT_EQ(progressBar()->value(), 0);
    // The last set stays the window's set, shown as Load Any Image shows it.
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - f8.bmp");
    EXPECT_EQ(window->workspace().state().largest, 16);
    // An 8-bit source stays 8-bit, a 24-bit one becomes 5-6-5; both complete.
    const Bytes eight = readBytes(QDir(destination).filePath("f1.bmp"));
    EXPECT_EQ(eight.size(), size_t(layout::fileLength(16, 1, 1078)));
    const Bytes deep = readBytes(QDir(destination).filePath("f4.bmp"));
    ASSERT_EQ(deep.size(), size_t(layout::fileLength(16, 2, 86)));
    EXPECT_EQ(layout::read32(deep, layout::kMasksAt), 0xF800u);
}

TEST_F(BatchPanelTest, TheBarMovesForwardThroughTheWholeRun) {
    // Pictures this large report their progress from inside the library.
    for (const char* name : {"big0.bmp", "big1.bmp"})
        ASSERT_TRUE(writeBytes(QDir(source).filePath(name), plainBmp(256, 256, 24, 7)));
    openPanel(source, destination);
    ctrlClick(0);
    ctrlClick(1);
    ASSERT_EQ(panel().selectedNames(), (QStringList{"big0.bmp", "big1.bmp"}));
    std::vector<int> values;
    QObject listening;
    QObject::connect(progressBar(), &QProgressBar::valueChanged, &listening,
                     [&](int value) { values.push_back(value); });
    QTest::mouseClick(panel().convertButton, Qt::LeftButton);
    ASSERT_EQ(written(), (QStringList{"big0.bmp", "big1.bmp"}));
    // Forward to the full bar, then empty once the run has ended.
    ASSERT_GE(values.size(), 2u);
    EXPECT_EQ(values.back(), 0);
    values.pop_back();
    EXPECT_EQ(values.back(), 100);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << ::testing::PrintToString(values);
    // Within each file's half, not only at its ends.
    EXPECT_TRUE(std::any_of(values.begin(), values.end(), [](int v) { return v > 0 && v < 50; }));
    EXPECT_TRUE(std::any_of(values.begin(), values.end(), [](int v) { return v > 50 && v < 100; }));
}

TEST_F(BatchPanelTest, ColourZeroTransparentButtonOnAnEightBitSource) {
    openPanel(source, destination);
    ctrlClick(3);
    QTest::mouseClick(panel().convertColour0Button, Qt::LeftButton);
    const Bytes out = readBytes(QDir(destination).filePath("f3.bmp"));
    ASSERT_EQ(out.size(), size_t(layout::fileLength(16, 1, 1078)));
    EXPECT_EQ(out[57], 0);
    for (size_t i = 1; i < 256; ++i) ASSERT_EQ(out[57 + 4 * i], 255) << i;
    EXPECT_FALSE(window->paletteLevels().paletteChanged);
}

TEST_F(BatchPanelTest, ARunIgnoresTheUserUntilItEnds) {
    openPanel(source, destination);
    QTest::mouseClick(button("getallfor_mat"), Qt::LeftButton);
    // Clicks and a close that arrive while the run repaints between files,
    // once an 8-bit set has enabled "Transparency".
    bool tried = false;
    QTimer poke;
    poke.setInterval(0);
    QObject::connect(&poke, &QTimer::timeout, [&] {
        if (tried || !transparencyButton()->isEnabled()) return;
        tried = true;
        QTest::mouseClick(batchLauncher(), Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseClick(transparencyButton(), Qt::LeftButton);
        window->close();
    });
    poke.start();
    QTest::mouseClick(panel().convertButton, Qt::LeftButton);
    poke.stop();
    ASSERT_TRUE(tried);
    EXPECT_EQ(written().size(), 10);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(panel().isVisible());
    EXPECT_FALSE(window->transparencyEditor().isOpen());
    EXPECT_TRUE(menusEnabled());
    EXPECT_TRUE(QFileInfo::exists(window->workspace().slotPath(HeaderSlot)));
}

TEST_F(BatchPanelTest, EscapeStopsTheRunAfterTheFileBeingConverted) {
    openPanel(source, destination);
    QTest::mouseClick(button("getallfor_mat"), Qt::LeftButton);
    QTimer::singleShot(0, window.get(), [&] { QTest::keyClick(window.get(), Qt::Key_Escape); });
    QTest::mouseClick(panel().convertButton, Qt::LeftButton);
    EXPECT_EQ(written(), QStringList{"f0.bmp"});
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_EQ(statusBitmap()->text(), "Bitmap - f0.bmp");
    EXPECT_TRUE(menusEnabled());
}

// "Write DDS": each set comes out as name.dds, read here by its header's
// fixed offsets: magic, height, width, mip count, then the DXT1 code of an
// opaque picture.
TEST_F(BatchPanelTest, WriteDdsSavesEachSetAsADirectDrawSurface) {
    openPanel(source, destination);
    ctrlClick(4);
    QTest::mouseClick(panel().writeDdsBox, Qt::LeftButton);
    ASSERT_TRUE(panel().writeDdsBox->isChecked());
    QTest::mouseClick(panel().convertButton, Qt::LeftButton);
    ASSERT_EQ(written(), QStringList{"f4.dds"});
    const Bytes dds = readBytes(QDir(destination).filePath("f4.dds"));
    ASSERT_GE(dds.size(), size_t(128));
    EXPECT_EQ(std::string(dds.begin(), dds.begin() + 4), "DDS ");
    EXPECT_EQ(layout::read32(dds, 12), 16u);
    EXPECT_EQ(layout::read32(dds, 16), 16u);
    EXPECT_EQ(layout::read32(dds, 28), 5u);  // 16, 8, 4, 2, 1
    EXPECT_EQ(std::string(dds.begin() + 84, dds.begin() + 88), "DXT1");
}

// A name that is not UTF-8 is listed readably and converted under its own bytes.
TEST_F(BatchPanelTest, ANameThatIsNotUtf8IsListedAndConverted) {
    const std::filesystem::path src = source.toStdString(), dest = destination.toStdString();
    const Bytes picture = plainBmp(16, 16, 24, 3);
    std::ofstream(src / "g\xe9.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(picture.data()), std::streamsize(picture.size()));
    openPanel(source, destination);
    ASSERT_EQ(files().count(), 11);
    EXPECT_EQ(files().item(10)->text(), "g\\xE9.bmp");
    ctrlClick(10);
    QTest::mouseClick(button("convert"), Qt::LeftButton);
    EXPECT_TRUE(std::filesystem::is_regular_file(dest / "g\xe9.bmp"));
    // Qt's own removal of the scratch folder would pass such names over.
    for (const std::filesystem::path& folder : {src, dest}) std::filesystem::remove(folder / "g\xe9.bmp");
}
