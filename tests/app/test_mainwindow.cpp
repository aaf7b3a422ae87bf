#include "anyimage.h"
#include "exebuttn.h"
#include "secondarywindows.h"
#include "mainwindow.h"
#include "numedit.h"
#include "batchpanel.h"
#include "transparencyeditor.h"
#include "progress.h"
#include "scriptedprompts.h"
#include "windowcontrols.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace corvane;
using namespace corvane::testing;

namespace {

class MainWindowTest : public ::testing::Test, public WindowControls {
protected:
    // The window goes before the prompts and the store it refers to.
    ~MainWindowTest() override { window.reset(); }

    void SetUp() override {
        ASSERT_TRUE(QDir(dir.path()).mkpath("work"));
        ASSERT_TRUE(QDir(dir.path()).mkpath("home"));
        defaults = {dir.filePath("home"), "/usr/bin/gimp", "/opt/corvane/xbmtool"};
    }

    QString ini() const { return dir.filePath("store.ini"); }
    void storeValue(const char* name, const QString& text) {
        QSettings(ini(), QSettings::IniFormat).setValue(name, text);
    }
    QString stored(const char* name) const { return QSettings(ini(), QSettings::IniFormat).value(name).toString(); }
    void open() {
        store = SettingsStore::atIniFile(ini());
        window = std::make_unique<MainWindow>(*store, prompts, Workspace::inFolder(dir.filePath("work")), defaults);
    }
    // The dialog a command shows, cancelled.
    FileDialog dialogOf(const std::function<void()>& command) {
        prompts.calls.clear();
        prompts.cancelFile();
        command();
        if (prompts.calls.empty() || prompts.calls.back().kind != ScriptedPrompts::Kind::File) {
            ADD_FAILURE() << "no file dialog";
            return {};
        }
        return prompts.calls.back().dialog;
    }

    QTemporaryDir dir;
    SettingsDefaults defaults;
    ScriptedPrompts prompts;
    std::unique_ptr<SettingsStore> store;
};

// A caption as shown, without the marks of its underlined letter.
QString shown(const QAction* a) { return a->text().remove(u'&'); }

// A menu as text: "-" for a separator, "name >" for a sub-menu, check items
// with their mark, keys after a tab.
QStringList describe(const QMenu* menu) {
    QStringList lines;
    for (const QAction* a : menu->actions()) {
        QString line;
        if (a->isSeparator()) line = "-";
        else if (a->menu()) line = shown(a) + " >";
        else if (a->isCheckable()) line = shown(a) + (a->isChecked() ? " [x]" : " [ ]");
        else line = shown(a);
        if (!a->shortcut().isEmpty()) line += "\t" + a->shortcut().toString();
        lines << line;
    }
    return lines;
}

const QMenu* subMenu(const QMenu* menu, const QString& title) {
    for (const QAction* a : menu->actions())
        if (a->menu() && shown(a) == title) return a->menu();
    return nullptr;
}

}  // namespace

TEST_F(MainWindowTest, FirstRunShowsEveryDefault) {
    open();
    const Settings s = window->currentSettings();
    EXPECT_EQ(s.cfsDir, defaults.folder);
    EXPECT_EQ(s.stdDir, defaults.folder);
    EXPECT_EQ(s.saveDir, defaults.folder);
    EXPECT_EQ(s.mapDir, "");
    EXPECT_EQ(s.batchDir, defaults.folder);
    EXPECT_EQ(s.destDir, defaults.folder);
    EXPECT_EQ(s.editor, "/usr/bin/gimp");
    EXPECT_EQ(s.imageTool, "/opt/corvane/xbmtool");
    EXPECT_EQ(window->pos(), QPoint(10, 10));
    EXPECT_TRUE(showHintsItem()->isChecked());
    EXPECT_TRUE(window->hintsShown());
    EXPECT_TRUE(convertTo24Item()->isChecked());
    EXPECT_TRUE(smooth8Item()->isChecked());
    EXPECT_FALSE(useToolForMipsItem()->isChecked());
    EXPECT_TRUE(showToolItem()->isChecked());
    // The stored -4 goes through the edit's whole-number rule.
    EXPECT_EQ(lighteningEdit()->text(), "-3");
    EXPECT_EQ(window->lightening(), -3);
    EXPECT_TRUE(maxImportItem(256)->isChecked());
    EXPECT_EQ(window->maxImportSize(), 256);
    EXPECT_EQ(s.filter, 1);
    EXPECT_EQ(s.left512, 10);
    EXPECT_EQ(s.width512, 256);
    EXPECT_FALSE(window->workspace().state().largeViewPlaced);
    EXPECT_EQ(editorLauncher()->toolTip(), "Select Editing Program (Currently gimp)");
    EXPECT_EQ(editorLauncher()->fileName(), "/usr/bin/gimp");
    EXPECT_EQ(batchLauncher()->fileName(), defaults.folder);
}

TEST_F(MainWindowTest, OddImportSizeBecomes256AndIsWrittenBack) {
    storeValue("MaxImport", "300");
    open();
    EXPECT_TRUE(maxImportItem(256)->isChecked());
    EXPECT_FALSE(maxImportItem(512)->isChecked());
    EXPECT_EQ(window->maxImportSize(), 256);
    window->close();
    EXPECT_EQ(stored("MaxImport"), "256");
}

// A command line of batches reads the options from the store without a
// window; it must arrive at what the window's controls make of them.
TEST_F(MainWindowTest, OptionsReadWithoutTheWindowMatchTheWindows) {
    const char* lightenings[] = {"-150", "-100", "-99", "-5",  "-4",  "-1",   "0",
                                 "1",    "4",    "99",  "100", "250", "0x10", "x"};
    int round = 0;
    for (const char* lightening : lightenings) {
        storeValue("Lightening", lightening);
        storeValue("24bit", round % 2 ? "0" : "1");
        storeValue("Smooth8bit", round % 3 ? "1" : "0");
        storeValue("UseImageTool", round % 4 ? "0" : "7");
        ++round;
        open();
        const SetOptions shown = window->setOptions();
        const SetOptions alone = setOptionsFrom(readSettings(*store, defaults));
        EXPECT_EQ(alone.lightening, shown.lightening) << lightening;
        EXPECT_EQ(alone.convertTo24, shown.convertTo24) << lightening;
        EXPECT_EQ(alone.smooth8, shown.smooth8) << lightening;
        EXPECT_EQ(alone.useImageTool, shown.useImageTool) << lightening;
    }
}

TEST_F(MainWindowTest, StoredValuesAreApplied) {
    storeValue("Left", "0x20");
    storeValue("Top", "-5");
    storeValue("MaxImport", "64");
    storeValue("Editor", "C:\\windows\\pbrush.exe");
    storeValue("MapDir", "/maps");
    storeValue("Filter", "4");
    open();
    EXPECT_EQ(window->pos(), QPoint(32, -5));
    EXPECT_TRUE(maxImportItem(64)->isChecked());
    EXPECT_EQ(editorLauncher()->toolTip(), "Select Editing Program (Currently pbrush.exe)");
    EXPECT_EQ(window->currentSettings().mapDir, "/maps");
    EXPECT_EQ(window->currentSettings().filter, 4);
}

TEST_F(MainWindowTest, DeletedBatchFolderFallsBackToHome) {
    ASSERT_TRUE(QDir(dir.path()).mkpath("gone"));
    storeValue("BatchDir", dir.filePath("gone"));
    storeValue("DestDir", dir.filePath("work"));
    ASSERT_TRUE(QDir(dir.filePath("gone")).removeRecursively());
    open();
    EXPECT_EQ(window->currentSettings().batchDir, defaults.folder);
    EXPECT_EQ(window->currentSettings().destDir, dir.filePath("work"));
    EXPECT_EQ(batchLauncher()->fileName(), dir.filePath("work"));
}

TEST_F(MainWindowTest, HintsShowExactlyWhenChecked) {
    storeValue("Hints", "0");
    open();
    window->show();
    EXPECT_FALSE(showHintsItem()->isChecked());
    EXPECT_FALSE(window->hintsShown());
    const auto askForHint = [&] {
        QHelpEvent help(QEvent::ToolTip, QPoint(4, 4), loadExtendedButton()->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(loadExtendedButton(), &help);
    };
    askForHint();
    EXPECT_FALSE(QToolTip::isVisible());

    showHintsItem()->trigger();
    EXPECT_TRUE(showHintsItem()->isChecked());
    EXPECT_TRUE(window->hintsShown());
    askForHint();
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), "Load Extended Format Bitmap or AF99 Texture");
    QToolTip::hideText();
}

TEST_F(MainWindowTest, ClosingWritesEverySettingAndClearsTheWorkspace) {
    for (const auto& [name, text] :
         {std::pair{"Left512", "1"}, {"Top512", "2"}, {"Width512", "300"}, {"Height512", "400"}})
        storeValue(name, text);
    open();
    const Workspace& ws = window->workspace();
    for (int slot = 0; slot < kSlotCount; ++slot) {
        QFile f(ws.slotPath(slot));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    window->views()[0]->setFileName(ws.slotPath(2));
    window->move(40, 50);
    window->setLightening(5);
    maxImportItem(512)->trigger();
    showHintsItem()->trigger();
    prompts.choose("/tools/xbmtool");
    locateToolItem()->trigger();

    bool closed = false;
    QObject::connect(window.get(), &MainWindow::closed, [&] { closed = true; });
    quitItem()->trigger();
    EXPECT_TRUE(closed);

    EXPECT_EQ(
        store->namesWritten(),
        QStringList(
            {"CFSDir",       "STDDir",           "Editor",       "ImageTool",     "SaveDir", "MapDir",  "MergeDir",
             "BatchDir",     "DestDir",          "Left",         "Top",           "Hints",   "24bit",   "Smooth8bit",
             "KeepCoverage", "ShowTransparency", "UseImageTool", "ShowImageTool", "Top512",  "Left512", "Width512",
             "Height512",    "MaxImport",        "Filter",       "Lightening"}));
    EXPECT_EQ(stored("Left"), "40");
    EXPECT_EQ(stored("Top"), "50");
    EXPECT_EQ(stored("Lightening"), "5");
    EXPECT_EQ(stored("MaxImport"), "512");
    EXPECT_EQ(stored("Hints"), "0");
    EXPECT_EQ(stored("ImageTool"), "/tools/xbmtool");
    EXPECT_EQ(stored("Left512"), "1");
    EXPECT_EQ(stored("Height512"), "400");
    EXPECT_EQ(stored("CFSDir"), defaults.folder);
    for (int slot = 0; slot < kSlotCount; ++slot) EXPECT_FALSE(QFile::exists(ws.slotPath(slot))) << slot;
    EXPECT_TRUE(window->views()[0]->fileName().isEmpty());

    // The next start shows what was written.
    window.reset();
    prompts.calls.clear();
    open();
    EXPECT_EQ(window->pos(), QPoint(40, 50));
    EXPECT_TRUE(maxImportItem(512)->isChecked());
    EXPECT_FALSE(window->hintsShown());
    EXPECT_EQ(window->lightening(), 5);
    EXPECT_TRUE(prompts.calls.empty());
}

TEST_F(MainWindowTest, ClientAreaIsFixedBelowTheMenuBar) {
    open();
    window->show();
    const QWidget* client = window->centralWidget();
    EXPECT_EQ(client->size(), QSize(517, 411));
    EXPECT_EQ(client->y(), window->menuBar()->height());
    EXPECT_EQ(window->height(), window->menuBar()->height() + 411);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(window->windowTitle(), "Aviant Extended Bitmap Manipulator");
}

TEST_F(MainWindowTest, ControlsStartAsForAWindowWithoutASet) {
    open();
    const QRect client = window->centralWidget()->rect();
    for (const QWidget* w : window->centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(client.contains(w->geometry())) << w->objectName().toStdString();
    // Nothing to save, edit or undo yet.
    for (const QPushButton* b :
         {transparencyButton(), mergeButton(), importStdButton(), importCfsButton(), saveButton(), editButton()})
        EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
    for (const QAction* a : {saveItem(), saveDdsItem(), editLargestItem(), undoItem(), redoItem()})
        EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
    for (const QPushButton* b : {updateButton(), createImageSetButton(), loadExtendedButton(), updatePaletteButton()})
        EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
    EXPECT_EQ(statusDepth()->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_TRUE(editHint()->wordWrap());
    EXPECT_EQ(progressBar()->minimum(), 0);
    EXPECT_EQ(progressBar()->maximum(), 100);
    EXPECT_TRUE(window->transparencyEditor().isHidden());
    EXPECT_TRUE(batchPanel()->isHidden());
}

TEST_F(MainWindowTest, MenusCarryTheirCaptionsSeparatorsAndChecks) {
    open();
    QStringList titles;
    for (const QAction* a : window->menuBar()->actions()) titles << a->text();
    EXPECT_EQ(titles, QStringList({"&File   ", "&Edit   ", "&Image   ", "&Prefs   ", "Image&Tool"}));

    const auto menu = [&](int i) { return window->menuBar()->actions()[i]->menu(); };
    EXPECT_EQ(describe(menu(0)),
              QStringList({"Load Extended Bmp or AF99 Texture\tCtrl+Shift+O", "Load any Image\tCtrl+O",
                           "Recent Files >", "Save Extended Bmp\tCtrl+S", "Save As DDS…", "-",
                           "Create New 16 bit Image Set", "-", "About\tF1", "-", "Quit\tCtrl+Q"}));
    EXPECT_EQ(describe(menu(1)), QStringList({"Undo\tCtrl+Z", "Redo\tCtrl+Shift+Z"}));
    EXPECT_EQ(describe(menu(2)),
              QStringList({"Create SubImages", "Update after Edit\tF5", "Edit Transparency", "Edit Largest Image"}));
    EXPECT_EQ(describe(menu(3)), QStringList({"Select Editor", "Show Hints [x]", "Convert 16/32 to 24 bit [x]",
                                              "Smooth 8 bit Image sets [x]", "Keep cut-out coverage in mips [ ]",
                                              "Show Transparency [x]", "Maximum Image Import Size >", "-"}));
    EXPECT_EQ(describe(subMenu(menu(3), "Maximum Image Import Size")),
              QStringList({"512x512 [ ]", "256x256 [x]", "128x128 [ ]", "64x64 [ ]"}));
    EXPECT_EQ(describe(menu(4)),
              QStringList({"Locate ImageTool", "Use ImageTool for Mips [ ]", "Display ImageTool when Processing [x]",
                           "-", "Convert current image to >"}));
    EXPECT_EQ(describe(subMenu(menu(4), "Convert current image to")),
              QStringList({"256 Colours", "16bit 565", "16bit 444", "32 bit"}));
    EXPECT_EQ(smooth8Item()->toolTip(), "Smooth the subimages created with \"Create Image Set\" with 8 bit Images");

    // The import sizes are one radio group.
    maxImportItem(128)->trigger();
    EXPECT_EQ(window->maxImportSize(), 128);
    EXPECT_FALSE(maxImportItem(256)->isChecked());
    maxImportItem(128)->trigger();
    EXPECT_TRUE(maxImportItem(128)->isChecked());
    // Check items only record the choice.
    convertTo24Item()->trigger();
    EXPECT_FALSE(convertTo24Item()->isChecked());
    EXPECT_FALSE(window->currentSettings().convert24bit);
}

// Each command's dialog as the user meets it, on the stored folders.
TEST_F(MainWindowTest, FileDialogsAreSetUpAsDesigned) {
    for (const auto& [name, text] :
         {std::pair{"CFSDir", "/cfs"}, {"STDDir", "/std"}, {"SaveDir", "/save"}, {"MapDir", "/maps"}, {"Filter", "3"}})
        storeValue(name, text);
    open();
    // Save asks for a set: a new one, which no file holds yet.
    prompts.unscriptedAnswer = true;
    newSixteenBitItem()->trigger();
    ASSERT_TRUE(window->workspace().state().modified);

    const QString bitmaps = "Windows Bitmap|*.bmp|AF99 Texture File|*.?af|Any R8 Texture File|*.*";
    const QString maps = "Transparency Map|*.mpt";
    using Kind = FileDialog::Kind;
    struct Case {
        std::function<void()> command;
        const char* name;
        FileDialog::Kind kind;
        QString filter;  // empty: the picture filter
        const char* extension;
        bool confirmOverwrite;
        const char* folder;
        int filterIndex;
    };
    const Case cases[] = {
        {[&] { loadExtendedItem()->trigger(); }, "opencfs", Kind::Open, bitmaps, ".bmp", false, "/cfs", 1},
        {[&] { loadAnyItem()->trigger(); }, "openstd", Kind::Open, {}, ".bmp", false, "/std", 3},
        {[&] { window->mergeImage(); }, "merge", Kind::Open, {}, "bmp", false, "", 2},
        {[&] { saveItem()->trigger(); }, "savebmp", Kind::Save, "Windows Bitmap|*.bmp", ".bmp", true, "/save", 1},
        {[&] { saveDdsItem()->trigger(); }, "savedds", Kind::Save,
         "BC1/BC3 (automatic)|*.dds|BC7|*.dds|Uncompressed|*.dds", ".dds", true, "", 1},
        {[&] { window->transparencyEditor().loadMap(); }, "map", Kind::Open, maps, "mpt", false, "/maps", 1},
        {[&] { window->transparencyEditor().saveMap(); }, "smap", Kind::Save, maps, "mpt", true, "/maps", 1},
        {[&] { selectEditorItem()->trigger(); }, "editselect", Kind::Open, "Programs|*", "", false, "/usr/bin/", 1},
        {[&] { locateToolItem()->trigger(); }, "itool", Kind::Open, "Programs|*", "", false, "/opt/corvane/", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FileDialog shown = dialogOf(c.command);
        EXPECT_EQ(shown.objectName, c.name);
        EXPECT_EQ(shown.kind, c.kind);
        if (c.filter.isEmpty()) {
            // The library's combined entry, one per format, then all files.
            EXPECT_EQ(shown.qtNameFilters().size(), _Pic_Count() + 2);
            EXPECT_TRUE(shown.filter.endsWith("|All Files|*.*")) << shown.filter.toStdString();
        } else {
            EXPECT_EQ(shown.filter, c.filter);
        }
        EXPECT_EQ(shown.defaultExtension, c.extension);
        EXPECT_EQ(shown.confirmOverwrite, c.confirmOverwrite);
        EXPECT_EQ(shown.initialFolder, c.folder);
        EXPECT_EQ(shown.filterIndex, c.filterIndex);
    }
    EXPECT_EQ(dialogOf([&] { window->mergeImage(); }).filter, dialogOf([&] { loadAnyItem()->trigger(); }).filter);
}

TEST_F(MainWindowTest, LocateImageToolStartsInTheToolsFolder) {
    storeValue("ImageTool", "/opt/tools/xbmtool");
    open();
    prompts.cancelFile();
    locateToolItem()->trigger();
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].dialog.objectName, "itool");
    EXPECT_EQ(prompts.calls[0].dialog.initialFolder, "/opt/tools/");
    EXPECT_EQ(window->toolSettings().toolPath, "/opt/tools/xbmtool");

    prompts.choose("/usr/local/bin/newtool");
    window->locateImageTool();
    EXPECT_EQ(window->toolSettings().toolPath, "/usr/local/bin/newtool");
    EXPECT_EQ(window->currentSettings().imageTool, "/usr/local/bin/newtool");
}

TEST_F(MainWindowTest, ProgressRoutineMovesTheBar) {
    open();
    const QuorProgress routine = progressRoutineOf(window->context());
    ASSERT_NE(routine, nullptr);
    routine(50, 200);
    EXPECT_EQ(progressBar()->value(), 25);
    routine(7, 0);  // nothing to divide by: the bar stays
    EXPECT_EQ(progressBar()->value(), 25);
    routine(7, -3);
    EXPECT_EQ(progressBar()->value(), 25);
    routine(2000000000, 2100000000);  // no overflow on large counts
    EXPECT_EQ(progressBar()->value(), 95);
    routine(300, 200);
    EXPECT_EQ(progressBar()->value(), 100);
}

TEST_F(MainWindowTest, AboutCentresTheTextWindowOverTheMainWindow) {
    open();
    TextWindow textWindow;
    window->setSecondaryWindows(&textWindow, nullptr, nullptr, nullptr);
    window->move(100, 60);
    window->show();
    QPoint shownAt;
    QTimer::singleShot(0, &textWindow, [&] {
        shownAt = textWindow.pos();
        textWindow.accept();
    });
    aboutItem()->trigger();
    const QRect main = window->frameGeometry();
    EXPECT_EQ(shownAt, centredOver(main, textWindow.frameGeometry().size()));
    EXPECT_EQ(centredOver(QRect(100, 60, 525, 431), QSize(393, 285)), QPoint(166, 133));
    // A text window wider than the main one: halves still round toward zero.
    EXPECT_EQ(centredOver(QRect(0, 0, 10, 10), QSize(15, 15)), QPoint(-2, -2));
}

TEST_F(MainWindowTest, UnusableWorkFolderIsReported) {
    store = SettingsStore::atIniFile(ini());
    MainWindow window(*store, prompts, Workspace::inFolder(dir.filePath("missing")), defaults);
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_EQ(prompts.calls[0].title, "Corvane");
}
