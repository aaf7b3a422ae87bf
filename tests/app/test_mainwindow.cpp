#include "anyimage.h"
#include "exebuttn.h"
#include "forms.h"
#include "mainwindow.h"
#include "numedit.h"
#include "batchpanel.h"
#include "transparencyeditor.h"
#include "progress.h"

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
    std::unique_ptr<TForm1> open() {
        store = SettingsStore::atIniFile(ini());
        return std::make_unique<TForm1>(*store, prompts, Workspace::inFolder(dir.filePath("work")), defaults);
    }

    QTemporaryDir dir;
    SettingsDefaults defaults;
    ScriptedPrompts prompts;
    std::unique_ptr<SettingsStore> store;
};

// A menu as text: "-" for a separator, "name >" for a sub-menu, check items
// with their mark.
QStringList describe(const QMenu* menu) {
    QStringList lines;
    for (const QAction* a : menu->actions()) {
        if (a->isSeparator()) lines << "-";
        else if (a->menu()) lines << a->text() + " >";
        else if (a->isCheckable()) lines << a->text() + (a->isChecked() ? " [x]" : " [ ]");
        else lines << a->text();
    }
    return lines;
}

const QMenu* subMenu(const QMenu* menu, const QString& title) {
    for (const QAction* a : menu->actions())
        if (a->menu() && a->text() == title) return a->menu();
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
    EXPECT_TRUE(form->ShowHints1->isChecked());
    EXPECT_TRUE(form->hintsShown());
    EXPECT_TRUE(form->mm->isChecked());
    EXPECT_TRUE(form->Smooth8->isChecked());
    EXPECT_FALSE(form->useitool->isChecked());
    EXPECT_TRUE(form->showitool->isChecked());
    // The stored -4 goes through the edit's whole-number rule.
    EXPECT_EQ(form->NumEdit3->text(), "-3");
    EXPECT_EQ(form->lightening(), -3);
    EXPECT_TRUE(form->N256->isChecked());
    EXPECT_EQ(form->maxImportSize, 256);
    EXPECT_EQ(form->openstd.filterIndex, 1);
    EXPECT_EQ(form->largeWindow.left, 10);
    EXPECT_EQ(form->largeWindow.width, 256);
    EXPECT_FALSE(form->workspace().state().largeViewPlaced);
    EXPECT_EQ(form->ExeButton1->toolTip(), "Select Editing Program (Currently gimp)");
    EXPECT_EQ(form->ExeButton1->fileName(), "/usr/bin/gimp");
    EXPECT_EQ(form->ExeButton2->fileName(), defaults.folder);
}

TEST_F(MainWindowTest, OddImportSizeBecomes256AndIsWrittenBack) {
    storeValue("MaxImport", "300");
    auto form = open();
    EXPECT_TRUE(form->N256->isChecked());
    EXPECT_FALSE(form->N512->isChecked());
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
    EXPECT_TRUE(form->N64->isChecked());
    EXPECT_EQ(form->ExeButton1->toolTip(), "Select Editing Program (Currently pbrush.exe)");
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
    EXPECT_EQ(form->ExeButton2->fileName(), dir.filePath("work"));
}

TEST_F(MainWindowTest, HintsShowExactlyWhenChecked) {
    storeValue("Hints", "0");
    auto form = open();
    form->show();
    EXPECT_FALSE(form->ShowHints1->isChecked());
    EXPECT_FALSE(form->hintsShown());
    const auto askForHint = [&] {
        QHelpEvent help(QEvent::ToolTip, QPoint(4, 4), form->Button3->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(form->Button3, &help);
    };
    askForHint();
    EXPECT_FALSE(QToolTip::isVisible());

    form->ShowHints1->trigger();
    EXPECT_TRUE(form->ShowHints1->isChecked());
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
    form->AnyImage1->setFileName(ws.slotPath(2));
    form->move(40, 50);
    form->setLightening(5);
    form->N512->trigger();
    form->ShowHints1->trigger();
    form->itool.fileName = "/tools/xbmtool";
    form->largeWindow = {1, 2, 300, 400};

    bool closed = false;
    QObject::connect(form.get(), &TForm1::closed, [&] { closed = true; });
    form->Quit1->trigger();
    EXPECT_TRUE(closed);

    EXPECT_EQ(store->namesWritten(),
              QStringList({"CFSDir",   "STDDir",     "Editor",       "ImageTool",    "SaveDir",       "MapDir",
                           "MergeDir", "BatchDir",   "DestDir",      "Left",         "Top",           "Hints",
                           "24bit",    "Smooth8bit", "KeepCoverage", "UseImageTool", "ShowImageTool", "Top512",
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
    EXPECT_TRUE(form->AnyImage1->fileName().isEmpty());

    // The next start shows what was written.
    form.reset();
    form = open();
    EXPECT_EQ(form->pos(), QPoint(40, 50));
    EXPECT_TRUE(form->N512->isChecked());
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

TEST_F(MainWindowTest, ControlsStandAtTheirBoundsWithCaptionsAndHints) {
    auto form = open();
    struct Expected {
        const char* name;
        QRect bounds;
        const char* caption;
        const char* hint;
    };
    const Expected controls[] = {
        {"AnyImage1", {8, 112, 256, 256}, "", ""},
        {"AnyImage2", {272, 112, 128, 128}, "", ""},
        {"AnyImage3", {440, 8, 64, 64}, "", ""},
        {"AnyImage4", {368, 8, 64, 64}, "", ""},
        {"AnyImage5", {296, 8, 64, 64}, "", ""},
        {"AnyImage6", {224, 8, 64, 64}, "", ""},
        {"AnyImage7", {152, 8, 64, 64}, "", ""},
        {"AnyImage8", {80, 8, 64, 64}, "", ""},
        {"AnyImage9", {8, 8, 64, 64}, "", ""},
        {"Button4", {408, 100, 97, 20}, "Load Any Image", "Load Any Image"},
        {"Button3", {408, 120, 97, 20}, "Load Extended", "Load Extended Format Bitmap or AF99 Texture"},
        {"Button2",
         {408, 140, 97, 20},
         "Create Image Set",
         "Create a full set of SubImages from the Current Largest Image"},
        {"Button9", {408, 160, 97, 20}, "Transparency", "Edit Palette Transparency"},
        {"Button10", {408, 180, 97, 20}, "Edit", "Edit Largest Image"},
        {"updatpal", {408, 200, 97, 20}, "Update+Palette", "Update after Edit - Palette also updated"},
        {"Button1", {408, 220, 97, 20}, "Update", "Update Images after Edit"},
        {"Button13", {8, 376, 81, 25}, "Merge Image", "Load new image remapped to the current Image palette"},
        {"Button20", {96, 376, 81, 25}, "Import CFS", "Replace Image with CFS Extended Image & Palette"},
        {"Button15", {184, 376, 81, 25}, "Import Std", "Replace Image with Image & Palette"},
        {"Button5",
         {272, 376, 233, 25},
         "Save Extended Format Bitmap",
         "Save all displayed Images as a single Extended Format BMP"},
        {"Label10", {272, 248, 185, 16}, "Bitmap", ""},
        {"Label11", {272, 264, 185, 16}, "Maximum", ""},
        {"Label16", {272, 280, 185, 16}, "Loaded as", ""},
        {"Label17", {272, 296, 185, 16}, "", ""},
        {"Label12", {272, 320, 185, 33}, "Double Click on any Image to Edit it in the chosen Bitmap Program", ""},
        {"NumEdit3", {464, 248, 33, 21}, "-3", "Adjust Lightening applied to subimages (Negative = Darkening)"},
        {"UpDown3", {497, 248, 15, 21}, "", "Adjust Lightening applied to subimages (Negative = Darkening)"},
        {"ExeButton2", {464, 274, 40, 40}, "", "Batch-Convert multiple Images"},
        {"ExeButton1", {464, 314, 40, 40}, "", "Select Editing Program (Currently gimp)"},
        {"ProgressBar1", {272, 360, 233, 12}, "", ""},
        {"smallViewsBevel", {0, 0, 513, 89}, "", ""},
        {"mainBevel", {0, 96, 513, 313}, "", ""},
        {"levelCaption1", {8, 72, 65, 16}, "1x1", ""},
        {"levelCaption32", {368, 72, 65, 16}, "32x32", ""},
        {"levelCaption64", {440, 72, 65, 16}, "64x64", ""},
        {"levelCaption256", {8, 97, 257, 13}, "256x256", ""},
        {"levelCaption128", {272, 97, 129, 16}, "128x128", ""},
        {"Panel1", {0, 0, 517, 411}, "", ""},
        {"Panel3", {0, 0, 517, 411}, "", ""},
    };
    for (const Expected& e : controls) {
        SCOPED_TRACE(e.name);
        const QWidget* w = form->centralWidget()->findChild<QWidget*>(e.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->geometry(), e.bounds);
        EXPECT_EQ(w->toolTip(), e.hint);
        QString caption;
        if (auto* b = qobject_cast<const QPushButton*>(w)) caption = b->text();
        if (auto* l = qobject_cast<const QLabel*>(w)) caption = l->text();
        if (auto* l = qobject_cast<const QLineEdit*>(w)) caption = l->text();
        EXPECT_EQ(caption, e.caption);
    }
    for (const QPushButton* b : {form->Button9, form->Button13, form->Button15, form->Button20})
        EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
    for (const QPushButton* b : {form->Button1, form->Button2, form->Button3, form->Button5, form->updatpal})
        EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
    EXPECT_EQ(form->Label17->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_TRUE(form->Label12->wordWrap());
    EXPECT_EQ(form->ProgressBar1->minimum(), 0);
    EXPECT_EQ(form->ProgressBar1->maximum(), 100);
    EXPECT_TRUE(form->Panel1->isHidden());
    EXPECT_TRUE(form->Panel3->isHidden());
}

TEST_F(MainWindowTest, MenusCarryTheirCaptionsSeparatorsAndChecks) {
    auto form = open();
    QStringList titles;
    for (const QAction* a : form->menuBar()->actions()) titles << a->text();
    EXPECT_EQ(titles, QStringList({"File   ", "Image   ", "Prefs   ", "ImageTool"}));

    const auto menu = [&](int i) { return form->menuBar()->actions()[i]->menu(); };
    EXPECT_EQ(describe(menu(0)),
              QStringList({"Load Extended Bmp or AF99 Texture", "Load any Image", "Save Extended Bmp", "-",
                           "Create New 16 bit Image Set", "-", "About", "-", "Quit"}));
    EXPECT_EQ(describe(menu(1)),
              QStringList({"Create SubImages", "Update after Edit", "Edit Transparency", "Edit Largest Image"}));
    EXPECT_EQ(describe(menu(2)), QStringList({"Select Editor", "Show Hints [x]", "Convert 16/32 to 24 bit [x]",
                                              "Smooth 8 bit Image sets [x]", "Keep cut-out coverage in mips [ ]",
                                              "Maximum Image Import Size >", "-"}));
    EXPECT_EQ(describe(subMenu(menu(2), "Maximum Image Import Size")),
              QStringList({"512x512 [ ]", "256x256 [x]", "128x128 [ ]", "64x64 [ ]"}));
    EXPECT_EQ(describe(menu(3)),
              QStringList({"Locate ImageTool", "Use ImageTool for Mips [ ]", "Display ImageTool when Processing [x]",
                           "-", "Convert current image to >"}));
    EXPECT_EQ(describe(subMenu(menu(3), "Convert current image to")),
              QStringList({"256 Colours", "16bit 565", "16bit 444", "32 bit"}));
    EXPECT_EQ(form->Smooth8->toolTip(), "Smooth the subimages created with \"Create Image Set\" with 8 bit Images");

    // The import sizes are one radio group.
    form->N128->trigger();
    EXPECT_EQ(form->maxImportSize, 128);
    EXPECT_FALSE(form->N256->isChecked());
    form->N128->trigger();
    EXPECT_TRUE(form->N128->isChecked());
    // Check items only record the choice.
    form->mm->trigger();
    EXPECT_FALSE(form->mm->isChecked());
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

    // The picture filter comes from the library's own list.
    QString expected = QString::fromUtf8(_Pic_Description(0)) + "|" + QString::fromUtf8(_Pic_Pattern(0)) + "|";
    for (int32_t n = 1; n <= _Pic_Count(); ++n)
        expected += QString::fromUtf8(_Pic_Description(n)) + " (" + QString::fromUtf8(_Pic_Extension(n)) + ")|" +
                    QString::fromUtf8(_Pic_Pattern(n)) + "|";
    expected += "All Files|*.*";
    EXPECT_EQ(form->openstd.filter, expected);
    EXPECT_EQ(form->merge.filter, expected);
    EXPECT_EQ(form->merge.filterIndex, 2);
    EXPECT_EQ(form->openstd.qtNameFilters().size(), _Pic_Count() + 2);
}

TEST_F(MainWindowTest, LocateImageToolStartsInTheToolsFolder) {
    auto form = open();
    form->itool.fileName = "/opt/tools/xbmtool";
    prompts.cancelFile();
    form->LocateImageTool1->trigger();
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].dialog.name, "itool");
    EXPECT_EQ(prompts.calls[0].dialog.initialFolder, "/opt/tools/");
    EXPECT_EQ(form->itool.fileName, "/opt/tools/xbmtool");

    prompts.choose("/usr/local/bin/newtool");
    form->LocateImageTool1Click();
    EXPECT_EQ(form->itool.fileName, "/usr/local/bin/newtool");
    EXPECT_EQ(form->currentSettings().imageTool, "/usr/local/bin/newtool");
}

TEST_F(MainWindowTest, ProgressRoutineMovesTheBar) {
    auto form = open();
    const QuorProgress routine = progressRoutineOf(form->context());
    ASSERT_NE(routine, nullptr);
    routine(50, 200);
    EXPECT_EQ(form->ProgressBar1->value(), 25);
    routine(7, 0);  // nothing to divide by: the bar stays
    EXPECT_EQ(form->ProgressBar1->value(), 25);
    routine(7, -3);
    EXPECT_EQ(form->ProgressBar1->value(), 25);
    routine(2000000000, 2100000000);  // no overflow on large counts
    EXPECT_EQ(form->ProgressBar1->value(), 95);
    routine(300, 200);
    EXPECT_EQ(form->ProgressBar1->value(), 100);
}

TEST_F(MainWindowTest, AboutCentresTheTextWindowOverTheMainWindow) {
    auto form = open();
    TForm2 form2;
    form->setSecondaryWindows(&form2, nullptr, nullptr, nullptr);
    form->move(100, 60);
    form->show();
    QPoint shownAt;
    QTimer::singleShot(0, &form2, [&] {
        shownAt = form2.pos();
        form2.accept();
    });
    form->about->trigger();
    const QRect main = form->frameGeometry();
    EXPECT_EQ(shownAt, centredOver(main, form2.frameGeometry().size()));
    EXPECT_EQ(centredOver(QRect(100, 60, 525, 431), QSize(393, 285)), QPoint(166, 133));
    // A text window wider than the main one: halves still round toward zero.
    EXPECT_EQ(centredOver(QRect(0, 0, 10, 10), QSize(15, 15)), QPoint(-2, -2));
}

TEST_F(MainWindowTest, UnusableWorkFolderIsReported) {
    store = SettingsStore::atIniFile(ini());
    TForm1 form(*store, prompts, Workspace::inFolder(dir.filePath("missing")), defaults);
    ASSERT_EQ(prompts.calls.size(), 1u);
    EXPECT_EQ(prompts.calls[0].kind, ScriptedPrompts::Kind::Warning);
    EXPECT_EQ(prompts.calls[0].title, "Corvane");
}
