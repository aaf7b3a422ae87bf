// The main window: the level views, the command buttons and menus, the file
// dialogs and the preferences.  Handlers stay thin: they ask through Prompts,
// call the core and show what it returns.
#pragma once

#include "editing.h"
#include "palettelevels.h"
#include "prompts.h"
#include "quorimg.h"
#include "setcommands.h"
#include "settings.h"
#include "workspace.h"

#include <QMainWindow>

#include <array>
#include <cstdint>

class QAction;
class QActionGroup;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class TForm2;
class TForm3;
namespace corvane {
class BatchPanel;
class TForm4;
class TransparencyEditor;
class TAnyImage;
class TExeButton;
class TNumEdit;
class UpDown;
}  // namespace corvane
using corvane::TForm4;
class TAboutForm;

namespace corvane {

// The picture formats the image library reads, as its four routines list them.
struct PictureFormatTable {
    int32_t (*count)();
    const char* (*description)(int32_t);
    const char* (*extension)(int32_t);
    const char* (*pattern)(int32_t);
};
PictureFormatTable libraryPictureFormats();

// The open filter for pictures: the library's combined entry, one entry per
// format with its extension in brackets, then "All Files|*.*".
QString pictureFilter(const PictureFormatTable& formats = libraryPictureFormats());

// Top-left of a window of the given size centred over another (halves
// rounded toward zero).
QPoint centredOver(const QRect& owner, const QSize& size);

// Where the large window goes the first time it is shown, and where it was
// when last hidden.
struct LargeWindowGeometry {
    int32_t left = 10, top = 10, width = 256, height = 256;
};

}  // namespace corvane

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // Reads every setting from the store; the store, the prompts and the
    // secondary windows must outlive the window.
    TForm1(corvane::SettingsStore& store, corvane::Prompts& prompts, corvane::Workspace workspace,
           const corvane::SettingsDefaults& defaults, QWidget* parent = nullptr);
    ~TForm1() override;

    void setSecondaryWindows(TForm2* form2, TForm3* form3, TForm4* form4, TAboutForm* aboutForm);

    corvane::Workspace& workspace() { return workspace_; }
    corvane::Prompts& prompts() { return prompts_; }
    QuorContext& context() { return context_; }

    // Runs a dialog through the prompts; a chosen file becomes the dialog's
    // file name and its filter the selected one, as the next run shows them.
    corvane::FileChoice runDialog(corvane::FileDialog& dialog);

    // Hints show on the window exactly when "Show Hints" is checked.
    bool hintsShown() const;
    // The number in the lightening edit.
    int32_t lightening() const;
    void setLightening(int32_t value);
    // Every value that closing writes back.
    corvane::Settings currentSettings() const;

    // File dialogs.
    corvane::FileDialog opencfs, openstd, savebmp, map, smap, merge, editselect, itool;

    // Current folders of the batch panel's source and destination lists.
    QString batchFolder, destFolder;
    corvane::LargeWindowGeometry largeWindow;
    int32_t maxImportSize = 256;

    // Controls, named as in the window's design.
    corvane::TransparencyEditor* Panel1 = nullptr;
    corvane::BatchPanel* Panel3 = nullptr;
    corvane::TAnyImage *AnyImage1 = nullptr, *AnyImage2 = nullptr, *AnyImage3 = nullptr, *AnyImage4 = nullptr,
                       *AnyImage5 = nullptr, *AnyImage6 = nullptr, *AnyImage7 = nullptr, *AnyImage8 = nullptr,
                       *AnyImage9 = nullptr;
    corvane::TNumEdit* NumEdit3 = nullptr;
    corvane::UpDown* UpDown3 = nullptr;
    corvane::TExeButton *ExeButton1 = nullptr, *ExeButton2 = nullptr;
    QPushButton *Button1 = nullptr, *Button2 = nullptr, *Button3 = nullptr, *Button4 = nullptr, *Button5 = nullptr,
                *Button9 = nullptr, *Button10 = nullptr, *Button13 = nullptr, *Button15 = nullptr, *Button20 = nullptr,
                *updatpal = nullptr;
    QLabel *Label10 = nullptr, *Label11 = nullptr, *Label12 = nullptr, *Label16 = nullptr, *Label17 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;

    // Menu items.
    QAction *loadcfs = nullptr, *loadany = nullptr, *save = nullptr, *new16 = nullptr, *about = nullptr,
            *Quit1 = nullptr;
    QAction *CreateSubImages1 = nullptr, *UpdateafterEdit1 = nullptr, *getpal = nullptr, *doedit = nullptr;
    QAction *seledit = nullptr, *ShowHints1 = nullptr, *mm = nullptr, *Smooth8 = nullptr;
    QAction* keepCoverage = nullptr;  // "Keep cut-out coverage in mips"
    QAction *N512 = nullptr, *N256 = nullptr, *N128 = nullptr, *N64 = nullptr;
    QActionGroup* importSizeGroup = nullptr;
    QAction *LocateImageTool1 = nullptr, *useitool = nullptr, *showitool = nullptr;
    QAction *ConvertCurrentImageto256Colours1 = nullptr, *N16bit5651 = nullptr, *N16bit4441 = nullptr,
            *N32bit1 = nullptr;

    // The colours and transparency levels of the current 8-bit set.
    corvane::PaletteLevels palette;

    // The preferences the set commands read, as the menus and NumEdit3 stand.
    corvane::SetOptions setOptions() const;
    // The texture tool as "ImageTool" and "Display ImageTool when Processing" stand.
    corvane::TextureToolRun textureTool();
    // Shows what a command returned: its messages, the views, the palette,
    // the status lines and the commands that apply to the set.
    void showOutcome(const corvane::CommandOutcome& outcome);
    void showStatus();

    // The batch panel's commands.
    void convertClick(bool colour0Transparent);
    void Button18Click();
    bool batchRunning() const { return batchRunning_; }

    // Clears the views, shows those the largest level calls for and loads
    // every level slot into its view (the Update command's work).
    void refresh();

    // The views AnyImage1..AnyImage9, levels 256 down to 1.
    std::array<corvane::TAnyImage*, 9> views() const;

    // Starts the paint program on the slot of a level (0 for 512 .. 9 for 1)
    // and records that slot as the edited one.
    void editslot(int levelIndex);
    // How the paint program is started; tests put a recorder here.
    void setProgramStarter(corvane::ProgramStarter starter) { startProgram_ = std::move(starter); }

signals:
    // The window has closed and written its settings; the program ends.
    void closed();

public slots:
    // File
    void loadcfsClick();
    void loadanyClick();
    void saveClick();
    void new16Click();
    void aboutClick();
    void Quit1Click();
    // Image
    void Button2Click();
    void Button1Click();
    void getpalClick();
    void doeditClick();
    // Prefs
    void seleditClick();
    void ShowHints1Click();
    void mmClick();
    void Smooth8Click();
    void keepCoverageToggled();
    void N512Click();
    void N256Click();
    void N128Click();
    void N64Click();
    // ImageTool
    void LocateImageTool1Click();
    void useitoolClick();
    void showitoolClick();
    void ConvertCurrentImageto256Colours1Click();
    void N16bit5651Click();
    void N16bit4441Click();
    void N32bit1Click();
    // Buttons
    void updatpalClick();
    void Button13Click();
    void Button15Click();
    void Button20Click();
    void ExeButton2Click();
    // Views
    void AnyImage1DblClick();
    void AnyImage2Click();
    void AnyImage3Click();
    void AnyImage4DblClick();
    void AnyImage5DblClick();
    void AnyImage6DblClick();
    void AnyImage7DblClick();
    void AnyImage8DblClick();
    void AnyImage9DblClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls(QWidget* client);
    void createViews(QWidget* client);
    void createLighteningEdit(QWidget* client);
    void createLaunchers(QWidget* client);
    void buildMenus();
    void buildDialogs();
    void applySettings(const corvane::Settings& s);
    void showLauncherFiles();
    void checkImportSize(int32_t size);
    void FormClose();
    void clearViews();
    void flushClick();
    void showViews();

    corvane::SettingsStore& store_;
    corvane::Prompts& prompts_;
    corvane::Workspace workspace_;
    QuorContext context_{};
    bool showHints_ = true;
    corvane::ProgramStarter startProgram_ = &corvane::startDetached;

    TForm2* form2_ = nullptr;
    TForm3* form3_ = nullptr;
    TForm4* form4_ = nullptr;
    TAboutForm* aboutForm_ = nullptr;
    std::array<QMenu*, 4> menus_{};
    bool batchRunning_ = false;

    void createPanels(QWidget* client);
    void setFileMenus(bool enabled);

    // Before the set is replaced or the window closes: asks Save, Discard or
    // Cancel when the set has unsaved changes.  True to go on (saved, or
    // discarded); false when the user cancelled or the save did not happen.
    bool settleUnsavedChanges();
    // The Save command; true when the set was written.
    bool saveCommand();
    // Commands that alter the set mark it changed; a load starts unchanged.
    void markChanged(const corvane::CommandOutcome& outcome);
    void markLoaded(const corvane::CommandOutcome& outcome);
    void forgetChanges();
    void convertWith(int mode);
    // The contents of the slot last handed to the paint program, as a digest.
    QByteArray editedSlotDigest() const;
};
