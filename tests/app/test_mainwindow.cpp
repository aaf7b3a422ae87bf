#include "anyimage.h"
#include "exebuttn.h"
#include "secondarywindows.h"
#include "mainwindow.h"
#include "numedit.h"
#include "batchpanel.h"
#include "transparencyeditor.h"
#include "progress.h"
#include "scriptedprompts.h"

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

#include <memory>

using namespace corvane;
using namespace corvane::testing;

namespace {

class MainWindowTest : public ::testing::Test {
protected:
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
    std::unique_ptr<MainWindow> open() {
        store = SettingsStore::atIniFile(ini());
        return std::make_unique<MainWindow>(*store, prompts, Workspace::inFolder(dir.filePath("work")), defaults);
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
    auto form = open();
    EXPECT_EQ(form->opencfs.initialFolder, defaults.folder);
    EXPECT_EQ(form->openstd.initialFolder, defaults.folder);
    EXPECT_EQ(form->savebmp.initialFolder, defaults.folder);
    EXPECT_EQ(form->map.initialFolder, "");
    EXPECT_EQ(form->smap.initialFolder, "");
    EXPECT_EQ(form->batchFolder, defaults.folder);
    EXPECT_EQ(form->destFolder, defaults.folder);
    EXPECT_EQ(form->editselect.fileName, "/usr/bin/gimp");
    EXPECT_EQ(form->itool.fileName, "/opt/corvane/xbmtool");
    EXPECT_EQ(form->pos(), QPoint(10, 10));
    EXPECT_TRUE(form->showHintsItem->isChecked());
    EXPECT_TRUE(form->hintsShown());
    EXPECT_TRUE(form->convertTo24Item->isChecked());
    EXPECT_TRUE(form->smooth8Item->isChecked());
    EXPECT_FALSE(form->useToolForMipsItem->isChecked());
    EXPECT_TRUE(form->showToolItem->isChecked());
    // The stored -4 goes through the edit's whole-number rule.
    EXPECT_EQ(form->lighteningEdit->text(), "-3");
    EXPECT_EQ(form->lightening(), -3);
    EXPECT_TRUE(form->maxImport256Item->isChecked());
    EXPECT_EQ(form->maxImportSize, 256);
    EXPECT_EQ(form->openstd.filterIndex, 1);
    EXPECT_EQ(form->largeWindow.left, 10);
    EXPECT_EQ(form->largeWindow.width, 256);
    EXPECT_FALSE(form->workspace().state().largeViewPlaced);
    EXPECT_EQ(form->editorLauncher->toolTip(), "Select Editing Program (Currently gimp)");
    EXPECT_EQ(form->editorLauncher->fileName(), "/usr/bin/gimp");
    EXPECT_EQ(form->batchLauncher->fileName(), defaults.folder);
}

TEST_F(MainWindowTest, OddImportSizeBecomes256AndIsWrittenBack) {
    storeValue("MaxImport", "300");
    auto form = open();
    EXPECT_TRUE(form->maxImport256Item->isChecked());
    EXPECT_FALSE(form->maxImport512Item->isChecked());
    EXPECT_EQ(form->maxImportSize, 256);
    form->close();
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
        auto form = open();
        const SetOptions window = form->setOptions();
        const SetOptions alone = setOptionsFrom(readSettings(*store, defaults));
        EXPECT_EQ(alone.lightening, window.lightening) << lightening;
        EXPECT_EQ(alone.convertTo24, window.convertTo24) << lightening;
        EXPECT_EQ(alone.smooth8, window.smooth8) << lightening;
        EXPECT_EQ(alone.useImageTool, window.useImageTool) << lightening;
    }
}

TEST_F(MainWindowTest, StoredValuesAreApplied) {
    storeValue("Left", "0x20");
    storeValue("Top", "-5");
    storeValue("MaxImport", "64");
    storeValue("Editor", "C:\\windows\\pbrush.exe");
    storeValue("MapDir", "/maps");
    storeValue("Filter", "4");
    auto form = open();
    EXPECT_EQ(form->pos(), QPoint(32, -5));
    EXPECT_TRUE(form->maxImport64Item->isChecked());
    EXPECT_EQ(form->editorLauncher->toolTip(), "Select Editing Program (Currently pbrush.exe)");
    EXPECT_EQ(form->smap.initialFolder, "/maps");
    EXPECT_EQ(form->openstd.filterIndex, 4);
}

TEST_F(MainWindowTest, DeletedBatchFolderFallsBackToHome) {
    ASSERT_TRUE(QDir(dir.path()).mkpath("gone"));
    storeValue("BatchDir", dir.filePath("gone"));
    storeValue("DestDir", dir.filePath("work"));
    ASSERT_TRUE(QDir(dir.filePath("gone")).removeRecursively());
    auto form = open();
    EXPECT_EQ(form->batchFolder, defaults.folder);
    EXPECT_EQ(form->destFolder, dir.filePath("work"));
    EXPECT_EQ(form->batchLauncher->fileName(), dir.filePath("work"));
}

TEST_F(MainWindowTest, HintsShowExactlyWhenChecked) {
    storeValue("Hints", "0");
    auto form = open();
    form->show();
    EXPECT_FALSE(form->showHintsItem->isChecked());
    EXPECT_FALSE(form->hintsShown());
    const auto askForHint = [&] {
        QHelpEvent help(QEvent::ToolTip, QPoint(4, 4), form->loadExtendedButton->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(form->loadExtendedButton, &help);
    };
    askForHint();
    EXPECT_FALSE(QToolTip::isVisible());

    form->showHintsItem->trigger();
    EXPECT_TRUE(form->showHintsItem->isChecked());
    EXPECT_TRUE(form->hintsShown());
    askForHint();
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), "Load Extended Format Bitmap or AF99 Texture");
    QToolTip::hideText();
}

TEST_F(MainWindowTest, ClosingWritesEverySettingAndClearsTheWorkspace) {
    auto form = open();
    const Workspace& ws = form->workspace();
    for (int slot = 0; slot < kSlotCount; ++slot) {
        QFile f(ws.slotPath(slot));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    form->views()[0]->setFileName(ws.slotPath(2));
    form->move(40, 50);
    form->setLightening(5);
    form->maxImport512Item->trigger();
    form->showHintsItem->trigger();
    form->itool.fileName = "/tools/xbmtool";
    form->largeWindow = {1, 2, 300, 400};

    bool closed = false;
    QObject::connect(form.get(), &MainWindow::closed, [&] { closed = true; });
    form->quitItem->trigger();
    EXPECT_TRUE(closed);

    EXPECT_EQ(store->namesWritten(),
              QStringList({"CFSDir",   "STDDir",     "Editor",       "ImageTool",    "SaveDir",       "MapDir",
                           "MergeDir", "BatchDir",   "DestDir",      "Left",         "Top",           "Hints",
                           "24bit",    "Smooth8bit", "KeepCoverage", "ShowTransparency", "UseImageTool",
                           "ShowImageTool", "Top512",
                           "Left512",  "Width512",   "Height512",    "MaxImport",    "Filter",        "Lightening"}));
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
    EXPECT_TRUE(form->views()[0]->fileName().isEmpty());

    // The next start shows what was written.
    form.reset();
    form = open();
    EXPECT_EQ(form->pos(), QPoint(40, 50));
    EXPECT_TRUE(form->maxImport512Item->isChecked());
    EXPECT_FALSE(form->hintsShown());
    EXPECT_EQ(form->lightening(), 5);
    EXPECT_TRUE(prompts.calls.empty());
}

TEST_F(MainWindowTest, ClientAreaIsFixedBelowTheMenuBar) {
    auto form = open();
    form->show();
    const QWidget* client = form->centralWidget();
    EXPECT_EQ(client->size(), QSize(517, 411));
    EXPECT_EQ(client->y(), form->menuBar()->height());
    EXPECT_EQ(form->height(), form->menuBar()->height() + 411);
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->windowTitle(), "Aviant Extended Bitmap Manipulator");
}

TEST_F(MainWindowTest, ControlsStartAsForAWindowWithoutASet) {
    auto form = open();
    const QRect client = form->centralWidget()->rect();
    for (const QWidget* w : form->centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(client.contains(w->geometry())) << w->objectName().toStdString();
    // Nothing to save, edit or undo yet.
    for (const QPushButton* b : {form->transparencyButton, form->mergeButton, form->importStdButton,
                                 form->importCfsButton, form->saveButton, form->editButton})
        EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
    for (const QAction* a : {form->saveItem, form->saveDdsItem, form->editLargestItem, form->undoItem, form->redoItem})
        EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
    for (const QPushButton* b : {form->updateButton, form->createImageSetButton, form->loadExtendedButton,
                                 form->updatePaletteButton})
        EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
    EXPECT_EQ(form->statusDepth->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_TRUE(form->editHint->wordWrap());
    EXPECT_EQ(form->progressBar->minimum(), 0);
    EXPECT_EQ(form->progressBar->maximum(), 100);
    EXPECT_TRUE(form->transparencyEditor->isHidden());
    EXPECT_TRUE(form->batchPanel->isHidden());
}

TEST_F(MainWindowTest, MenusCarryTheirCaptionsSeparatorsAndChecks) {
    auto form = open();
    QStringList titles;
    for (const QAction* a : form->menuBar()->actions()) titles << a->text();
    EXPECT_EQ(titles, QStringList({"&File   ", "&Edit   ", "&Image   ", "&Prefs   ", "Image&Tool"}));

    const auto menu = [&](int i) { return form->menuBar()->actions()[i]->menu(); };
    EXPECT_EQ(describe(menu(0)),
              QStringList({"Load Extended Bmp or AF99 Texture\tCtrl+Shift+O", "Load any Image\tCtrl+O",
                           "Recent Files >", "Save Extended Bmp\tCtrl+S", "Save As DDS…", "-",
                           "Create New 16 bit Image Set", "-", "About\tF1", "-", "Quit\tCtrl+Q"}));
    EXPECT_EQ(describe(menu(1)), QStringList({"Undo\tCtrl+Z", "Redo\tCtrl+Shift+Z"}));
    EXPECT_EQ(describe(menu(2)), QStringList({"Create SubImages", "Update after Edit\tF5", "Edit Transparency",
                                              "Edit Largest Image"}));
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
    EXPECT_EQ(form->smooth8Item->toolTip(), "Smooth the subimages created with \"Create Image Set\" with 8 bit Images");

    // The import sizes are one radio group.
    form->maxImport128Item->trigger();
    EXPECT_EQ(form->maxImportSize, 128);
    EXPECT_FALSE(form->maxImport256Item->isChecked());
    form->maxImport128Item->trigger();
    EXPECT_TRUE(form->maxImport128Item->isChecked());
    // Check items only record the choice.
    form->convertTo24Item->trigger();
    EXPECT_FALSE(form->convertTo24Item->isChecked());
    EXPECT_FALSE(form->currentSettings().convert24bit);
}

TEST_F(MainWindowTest, FileDialogsAreSetUpAsDesigned) {
    auto form = open();
    EXPECT_EQ(form->opencfs.filter, "Windows Bitmap|*.bmp|AF99 Texture File|*.?af|Any R8 Texture File|*.*");
    EXPECT_EQ(form->savebmp.filter, "Windows Bitmap|*.bmp");
    EXPECT_TRUE(form->savebmp.confirmOverwrite);
    EXPECT_EQ(form->map.filter, "Transparency Map|*.mpt");
    EXPECT_EQ(form->smap.defaultExtension, "mpt");
    EXPECT_TRUE(form->smap.confirmOverwrite);
    EXPECT_FALSE(form->opencfs.confirmOverwrite);
    EXPECT_EQ(form->itool.defaultExtension, "");

    // The picture filter: the library's combined entry, one per format, then all files.
    EXPECT_EQ(form->merge.filter, form->openstd.filter);
    EXPECT_EQ(form->merge.filterIndex, 2);
    EXPECT_EQ(form->openstd.qtNameFilters().size(), _Pic_Count() + 2);
}

TEST_F(MainWindowTest, LocateImageToolStartsInTheToolsFolder) {
    auto form = open();
    form->itool.fileName = "/opt/tools/xbmtool";
    prompts.cancelFile();
    form->locateToolItem->trigger();
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].dialog.name, "itool");
    EXPECT_EQ(prompts.calls[0].dialog.initialFolder, "/opt/tools/");
    EXPECT_EQ(form->itool.fileName, "/opt/tools/xbmtool");

    prompts.choose("/usr/local/bin/newtool");
    form->locateImageTool();
    EXPECT_EQ(form->itool.fileName, "/usr/local/bin/newtool");
    EXPECT_EQ(form->currentSettings().imageTool, "/usr/local/bin/newtool");
}

TEST_F(MainWindowTest, ProgressRoutineMovesTheBar) {
    auto form = open();
    const QuorProgress routine = progressRoutineOf(form->context());
    ASSERT_NE(routine, nullptr);
    routine(50, 200);
    EXPECT_EQ(form->progressBar->value(), 25);
    routine(7, 0);  // nothing to divide by: the bar stays
    EXPECT_EQ(form->progressBar->value(), 25);
    routine(7, -3);
    EXPECT_EQ(form->progressBar->value(), 25);
    routine(2000000000, 2100000000);  // no overflow on large counts
    EXPECT_EQ(form->progressBar->value(), 95);
    routine(300, 200);
    EXPECT_EQ(form->progressBar->value(), 100);
}

TEST_F(MainWindowTest, AboutCentresTheTextWindowOverTheMainWindow) {
    auto form = open();
    TextWindow form2;
    form->setSecondaryWindows(&form2, nullptr, nullptr, nullptr);
    form->move(100, 60);
    form->show();
    QPoint shownAt;
    QTimer::singleShot(0, &form2, [&] {
        shownAt = form2.pos();
        form2.accept();
    });
    form->aboutItem->trigger();
    const QRect main = form->frameGeometry();
    EXPECT_EQ(shownAt, centredOver(main, form2.frameGeometry().size()));
    EXPECT_EQ(centredOver(QRect(100, 60, 525, 431), QSize(393, 285)), QPoint(166, 133));
    // A text window wider than the main one: halves still round toward zero.
    EXPECT_EQ(centredOver(QRect(0, 0, 10, 10), QSize(15, 15)), QPoint(-2, -2));
}

TEST_F(MainWindowTest, UnusableWorkFolderIsReported) {
    store = SettingsStore::atIniFile(ini());
    MainWindow form(*store, prompts, Workspace::inFolder(dir.filePath("missing")), defaults);
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_EQ(prompts.calls[0].title, "Corvane");
}
