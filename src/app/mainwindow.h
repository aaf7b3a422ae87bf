// The main window: the level views, the command buttons and menus, the file
// dialogs and the preferences.  Handlers stay thin: they ask through Prompts,
// call the core and show what it returns.  Its building and settings live in
// mainwindow_layout.cpp, the set commands in mainwindow_files.cpp, the views
// and the paint program in mainwindow_views.cpp.
#pragma once

#include "batch.h"
#include "dds.h"
#include "editorlaunch.h"
#include "filekind.h"
#include "palettelevels.h"
#include "prompts.h"
#include "quorimg.h"
#include "setcommands.h"
#include "sethistory.h"
#include "settings.h"
#include "toolrunner.h"
#include "windowtypes.h"
#include "workspace.h"

#include <QHash>
#include <QMainWindow>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QActionGroup;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;

namespace corvane {

class AboutBox;
class BatchPanel;
class FileWatch;
class RecentFiles;
class LargeLevelWindow;
class AnyImage;
class ExeButton;
class NumEdit;
class TextWindow;
class TransparencyEditor;
class TransparencyViewWindow;
class UpDown;

// What the title calls the current set and what Save offers for it.
struct SetIdentity {
    QString file;              // loaded from or saved to; empty for a set made here
    bool holdsTheSet = false;  // `file` is an Extended Bitmap of this set: Save may offer it
    QByteArray clean;          // the set's digest when it matched `file`; empty: never
};

// One level handed to the paint program.  The program is started on a copy
// of the level's slot, so its saves never land in a set loaded since; each
// save is taken into the set the level came from.
struct PaintSession {
    int slot = 0;
    QString file;           // the copy the program was started on
    uint64_t instance = 0;  // the set it belongs to (SetStep::instance)
    QByteArray seen;        // the file's digest when last looked at
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Reads every setting from the store; the store, the prompts and the
    // secondary windows must outlive the window.
    MainWindow(SettingsStore& store, Prompts& prompts, Workspace workspace, const SettingsDefaults& defaults,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    void setSecondaryWindows(TextWindow* textWindow, LargeLevelWindow* largeLevelWindow,
                             TransparencyViewWindow* transparencyViewWindow, AboutBox* aboutBox);

    Workspace& workspace() { return workspace_; }
    QuorContext& context() { return context_; }

    // Hints show on the window exactly when "Show Hints" is checked.
    bool hintsShown() const;
    // The number in the lightening edit.
    int32_t lightening() const;
    void setLightening(int32_t value);
    // "Maximum Image Import Size": 512, 256, 128 or 64.
    int32_t maxImportSize() const { return maxImportSize_; }
    // Every value that closing writes back.
    Settings currentSettings() const;

    // The colours and transparency levels of the current 8-bit set, as the
    // window and its transparency editor hold them.
    const PaletteLevels& paletteLevels() const { return palette_; }
    // The panel over the window that edits those levels; the command line
    // drives its commands as the window's own buttons do.
    TransparencyEditor& transparencyEditor() { return *transparencyEditor_; }

    // The preferences the set commands read, as the menus and the lightening edit stand.
    SetOptions setOptions() const;
    // The texture tool as "ImageTool" and "Display ImageTool when Processing" stand.
    ToolSettings toolSettings() const;
    TextureToolRun textureTool();
    // Shows what a command returned: its messages, the views, the palette,
    // the status lines and the commands that apply to the set.
    void showOutcome(const CommandOutcome& outcome);
    // The same, with the icon a failure's message shows.
    void showOutcome(const CommandOutcome& outcome, PromptIcon failureIcon);
    void showStatus();
    // The four status lines as the labels show them.
    const StatusLines& statusLines() const { return shownStatus_; }

    // The batch panel's commands.
    void convertBatch(bool colour0Transparent);
    void closeBatchPanel();
    bool batchRunning() const { return batchRunning_; }
    // A batch run through the current set with nothing asked and nothing
    // shown (the command line's); the last file converted is left in place.
    BatchSummary convertBatchUnattended(const BatchRequest& request, const BatchObserver& observer,
                                        const std::atomic<bool>* stop);

    // Clears the views, shows those the largest level calls for and loads
    // every level slot into its view (the Update command's work).
    void reloadViews();

    // The views of levels 256 down to 1: views()[i] shows level index i + 1
    // (the large window's view shows level index 0, the 512 level).
    const std::array<AnyImage*, 9>& views() const { return views_; }

    // Starts the paint program on the slot of a level (0 for 512 .. 9 for 1)
    // and records that slot as the edited one.
    void editLevel(int levelIndex);
    // How the paint program is started; tests put a recorder here.
    void setProgramStarter(ProgramStarter starter) { startProgram_ = std::move(starter); }
    // The files handed to the paint program, watched for its saves.
    const FileWatch& editedSlotWatch() const { return *slotWatch_; }
    const std::vector<PaintSession>& paintSessions() const { return sessions_; }
    // Looks at every file handed to the paint program and takes in what it
    // saved since (the live refresh; Update does it too).
    void checkPaintSessions();

    // The steps Undo and Redo go through, and what the current set is called.
    const SetHistory& history() const { return history_; }
    const SetIdentity& identity() const;

    // Shows a level (0 for 512 .. 9 for 1) in the large window ("View Larger").
    void viewLarger(int levelIndex);

signals:
    // The window has closed and written its settings; the program ends.
    void closed();

public slots:
    // Files in (the command line, a drop, Recent Files): loads the file as
    // what its bytes say it is, after the unsaved-changes question.  A folder
    // opens the batch panel with it as the source.
    void openFile(const QString& path);
    // File
    void loadExtended();
    // In the block format given; the window's menu item always chooses Auto.
    // In the format the dialog's choice names, or in `format` when given.
    void saveAsDds(std::optional<DdsFormat> format = std::nullopt);
    void loadAnyImage();
    void saveExtended();
    void newSixteenBitSet();
    void showAbout();
    void quit();
    // Image
    void createImageSet();
    void updateViews();
    void editTransparency();
    // Edit
    void undo();
    void redo();
    void editLargestLevel();
    // Prefs
    void selectEditor();
    void showHintsToggled();
    void showTransparencyToggled();
    // 512, 256, 128 or 64; anything else counts as 256.
    void setMaxImport(int size);
    // ImageTool
    void locateImageTool();
    void convertTo(SetDepth target);
    // Buttons
    void updateWithPalette();
    void mergeImage();
    void importStd();
    void importCfs();
    void openBatchPanel();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Runs a dialog through the prompts; a chosen file becomes the dialog's
    // file name and its filter the selected one, as the next run shows them.
    FileChoice runDialog(FileDialog& dialog);
    void buildControls(QWidget* client);
    void createViews(QWidget* client);
    void createLighteningEdit(QWidget* client);
    void createLaunchers(QWidget* client);
    void createPanels(QWidget* client);
    void buildMenus();
    void buildDialogs();
    void applySettings(const Settings& s);
    void showLauncherFiles();
    void showStatusLines();
    void finishClosing();
    void clearViews();
    void setViewVisibility();
    void loadViews();
    void addViewMenu(AnyImage* view, int levelIndex);
    // The 8-bit set's colour levels and the checkerboard preference, given to every view.
    void showTransparencyOfViews();
    void loadLargeWindow();
    void placeLargeWindow(const LargeWindowGeometry& kept, int edge);
    void setFileMenus(bool enabled);
    void fillRecentMenu();
    void openRecentFile(const QString& path);
    // Loads a readable file of a known kind; `chosenFilter` is Load Extended's
    // dialog entry when the file came from that dialog, else 0.
    void loadFileOfKind(const QString& path, FileKind kind, int chosenFilter);
    // A file loaded or saved goes first in Recent Files.
    void rememberRecentFile(const QString& path);
    // "NAME — caption", with "*" after NAME while the set has unsaved changes.
    void showTitle();

    // Before the set is replaced or the window closes: asks Save, Discard or
    // Cancel when the set has unsaved changes.  True to go on (saved, or
    // discarded); false when the user cancelled or the save did not happen.
    bool settleUnsavedChanges();
    // The Save command; true when the set was written.
    bool saveCommand();
    // False when the set cannot be saved whole and the user would not make its levels now.
    bool levelsReadyToSave();
    // After a command that may have changed the set: a step for Undo when it
    // did (`name` the command), and the title.
    void markChanged(const CommandOutcome& outcome, const QString& name);
    // After a command that may have put another set in place: a step that
    // starts a new set, named `identity`.
    void markLoaded(const CommandOutcome& outcome, const QString& name, const SetIdentity& identity);
    // A step when the set now differs from the current one.  Inside a group
    // the steps are one, made when the group ends.
    void recordChange(const QString& name, const QString& mergeKey = {});
    void recordNewSet(const QString& name, SetIdentity identity, bool cleanNow);
    void beginStepGroup() { ++groupDepth_; }
    void endStepGroup(const QString& name);
    SetStep captureStep(const QString& name, uint64_t instance, const QString& mergeKey = {}) const;
    bool restoreStep(const SetStep& step);
    // Marks the set changed when it differs from its file; the title and the Edit menu.
    void refreshSetMark();
    void updateUndoItems();
    void transparencyEditorClosed();
    // Whether a set is loaded (with its header slot), so Save and Edit apply.
    bool hasSet() const;

    // The paint program's sessions.
    bool takePaintSession(PaintSession& session);
    void paintSessionOfAnotherSet(PaintSession& session);
    QString paintSessionCopy(int slot);
    void removePaintSessions();
    // A note where the edit hint stands, which comes back after a while.
    void showNote(const QString& note, int milliseconds = 5000);

    SettingsStore& store_;
    Prompts& prompts_;

    // File dialogs, kept between runs.
    FileDialog loadExtendedDialog_, loadAnyDialog_, saveExtendedDialog_, saveDdsDialog_, loadMapDialog_, saveMapDialog_,
        mergeDialog_, editorDialog_, imageToolDialog_;
    // Current folders of the batch panel's source and destination lists.
    QString batchSourceFolder_, batchDestinationFolder_;
    LargeWindowGeometry largeWindowGeometry_;
    int32_t maxImportSize_ = 256;
    PaletteLevels palette_;

    // Controls.
    TransparencyEditor* transparencyEditor_ = nullptr;
    BatchPanel* batchPanel_ = nullptr;
    NumEdit* lighteningEdit_ = nullptr;
    ExeButton *editorLauncher_ = nullptr, *batchLauncher_ = nullptr;
    QPushButton *saveButton_ = nullptr, *transparencyButton_ = nullptr, *editButton_ = nullptr, *mergeButton_ = nullptr,
                *importStdButton_ = nullptr, *importCfsButton_ = nullptr;
    QLabel *statusBitmap_ = nullptr, *statusMaximum_ = nullptr, *statusLoadedAs_ = nullptr, *statusDepth_ = nullptr;
    QLabel* editHint_ = nullptr;
    QProgressBar* progressBar_ = nullptr;

    // Menu items.
    QAction *loadExtendedItem_ = nullptr, *loadAnyItem_ = nullptr, *saveItem_ = nullptr, *saveDdsItem_ = nullptr,
            *aboutItem_ = nullptr, *quitItem_ = nullptr;
    // File > Recent Files: one item a file, newest first, its path as the item's data.
    QMenu* recentMenu_ = nullptr;
    // Edit: Undo and Redo, named after the command they take back or bring back.
    QAction *undoItem_ = nullptr, *redoItem_ = nullptr;
    QAction *updateAfterEditItem_ = nullptr, *editTransparencyItem_ = nullptr, *editLargestItem_ = nullptr;
    QAction *showHintsItem_ = nullptr, *convertTo24Item_ = nullptr, *smooth8Item_ = nullptr;
    QAction* keepCoverageItem_ = nullptr;      // "Keep cut-out coverage in mips"
    QAction* showTransparencyItem_ = nullptr;  // "Show Transparency"
    QAction *maxImport512Item_ = nullptr, *maxImport256Item_ = nullptr, *maxImport128Item_ = nullptr,
            *maxImport64Item_ = nullptr;
    QAction *useToolForMipsItem_ = nullptr, *showToolItem_ = nullptr;

    Workspace workspace_;
    QuorContext context_{};
    bool showHints_ = true;
    ProgramStarter startProgram_ = &startDetached;
    FileWatch* slotWatch_ = nullptr;
    int32_t largeLevelSetLargest_ = 0;  // the set's largest level when "View Larger" was chosen
    std::array<AnyImage*, 9> views_{};
    StatusLines shownStatus_ = initialStatusLines();

    TextWindow* textWindow_ = nullptr;
    LargeLevelWindow* largeLevelWindow_ = nullptr;
    TransparencyViewWindow* transparencyViewWindow_ = nullptr;
    AboutBox* aboutBox_ = nullptr;
    std::array<QMenu*, 4> menus_{};
    bool batchRunning_ = false;
    std::unique_ptr<RecentFiles> recent_;

    SetHistory history_;
    uint64_t lastInstance_ = 0;
    QHash<uint64_t, SetIdentity> identities_;
    int groupDepth_ = 0;
    bool groupChanged_ = false;
    int editorRuns_ = 0, editorRun_ = 0;  // the transparency editor's runs; the open one's, or 0
    std::vector<PaintSession> sessions_;
    int sessionCount_ = 0;
    bool checkingSessions_ = false, sessionsToCheck_ = false;
};

}  // namespace corvane
