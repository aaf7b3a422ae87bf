// The set commands of the main window: loading, saving, creating, importing,
// converting, the transparency editor and the batch panel.  Each asks through
// the prompts, calls the core and shows what it returns.
#include "mainwindow.h"

#include "batch.h"
#include "batchpanel.h"
#include "dds.h"
#include "fileaccess.h"
#include "import.h"
#include "library.h"
#include "palettelevels.h"
#include "progress.h"
#include "recentfiles.h"
#include "splitjoin.h"
#include "transparency.h"
#include "transparencyeditor.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <span>

namespace corvane {

namespace {

const char* const kTitle = "Corvane";
const char* const kTextureSaveQuestion =
    "This Bitmap was loaded from an AF99 Texture file.\n\nOverwrite Texture writes over the original AF file\n\n"
    "Save As New File saves normally with BMP extension";

// Load Extended's dialog entries: a bitmap, an AF99 texture, any R8 texture.
constexpr int kBitmapEntry = 1;
constexpr int kTextureEntry = 2;
constexpr int kRawTextureEntry = 3;

// The dialog entry a file of this kind loads under.  A raw texture is always
// a texture; a set keeps the texture entry when that is how it was chosen, or
// when its name is a texture's (".?af"), so that Save offers to write it back.
int entryFor(FileKind kind, const QString& path, int chosenFilter) {
    if (kind == FileKind::RawTexture) return chosenFilter > kBitmapEntry ? chosenFilter : kRawTextureEntry;
    if (chosenFilter == kTextureEntry) return kTextureEntry;
    const QString suffix = QFileInfo(path).suffix();
    return suffix.size() == 3 && suffix.endsWith(QLatin1String("af"), Qt::CaseInsensitive) ? kTextureEntry
                                                                                           : kBitmapEntry;
}

// The files and folders a drag carries, as local paths.
QStringList droppedPaths(const QMimeData* data) {
    QStringList paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    return paths;
}

const char* const kUnsavedChangesQuestion = "The image set has unsaved changes.\n\nSave them first?";

// A chosen file that cannot be opened is refused here, naming the cause,
// before the library or the loader goes near it: some never return from a
// FIFO or a device, and "not a picture" would hide a missing file.
bool readable(Prompts& prompts, const QString& path) {
    const QString cause = causeNotReadable(path);
    if (cause.isEmpty()) return true;
    prompts.warning(kTitle, cannotReadText(path, cause));
    return false;
}

}  // namespace

void MainWindow::showStatus() {
    shownStatus_ = statusShown(workspace_.status(), shownStatus_);
    showStatusLines();
    showTitle();
    // Nothing to save or edit without a set.
    const bool loaded = hasSet();
    for (QPushButton* b : {saveButton_, editButton_}) b->setEnabled(loaded);
    for (QAction* a : {saveItem_, saveDdsItem_, editLargestItem_}) a->setEnabled(loaded);
    // Without a set the rest stand as the window starts (the menu's editor
    // then shows black opaque colours).
    const bool eightBit = loaded && paletteCommandsAvailable(workspace_);
    transparencyButton_->setEnabled(eightBit);
    editTransparencyItem_->setEnabled(eightBit || !loaded);
    const bool replace = loaded && replaceCommandsAvailable(workspace_);
    mergeButton_->setEnabled(replace);
    importStdButton_->setEnabled(replace);
    importCfsButton_->setEnabled(replace);
}

void MainWindow::showStatusLines() {
    statusBitmap_->setText(shownStatus_.bitmap);
    statusMaximum_->setText(shownStatus_.maximum);
    statusLoadedAs_->setText(shownStatus_.loadedAs);
    statusDepth_->setText(shownStatus_.depth);
    statusDepth_->setToolTip(shownStatus_.depthHint);
}

void MainWindow::showOutcome(const CommandOutcome& outcome) { showOutcome(outcome, PromptIcon::Warning); }

void MainWindow::showOutcome(const CommandOutcome& outcome, PromptIcon failureIcon) {
    if (outcome.readPalette) getpalette(workspace_, palette_);
    if (outcome.refreshViews) reloadViews();
    showStatus();
    // The command has ended: its progress goes.
    progressBar_->setValue(0);
    for (const QString& text : outcome.information) prompts_.information(kTitle, text);
    if (!outcome.ok) {
        if (failureIcon == PromptIcon::Warning) prompts_.warning(kTitle, outcome.error);
        else prompts_.message(failureIcon, kTitle, outcome.error);
    }
}

bool MainWindow::settleUnsavedChanges() {
    if (!workspace_.state().modified) return true;
    switch (prompts_.saveQuestion(kTitle, QString::fromLatin1(kUnsavedChangesQuestion))) {
        case SaveChoice::Save:
            return saveCommand();
        case SaveChoice::Discard:
            return true;
        case SaveChoice::Cancel:
            break;
    }
    return false;
}

void MainWindow::rememberRecentFile(const QString& path) {
    if (!recent_) return;
    recent_->add(path);
    fillRecentMenu();
}

void MainWindow::fillRecentMenu() {
    if (!recentMenu_ || !recent_) return;
    recentMenu_->clear();
    const QStringList& files = recent_->list();
    for (int i = 0; i < files.size(); ++i) {
        const QString& path = files[i];
        // "&1 name.bmp": the digit chooses it from the keyboard.
        QAction* action = recentMenu_->addAction(
            QStringLiteral("&%1 %2").arg(i + 1).arg(QFileInfo(path).fileName().replace(u'&', QStringLiteral("&&"))));
        action->setData(path);
        action->setToolTip(QDir::toNativeSeparators(path));
        connect(action, &QAction::triggered, this, [this, path] { openRecentFile(path); });
    }
    recentMenu_->setEnabled(!files.isEmpty());
}

void MainWindow::openRecentFile(const QString& path) {
    if (!QFileInfo(path).isFile()) {
        prompts_.warning(kTitle, QStringLiteral("The file %1 is no longer there; it is taken off the list.")
                                     .arg(QDir::toNativeSeparators(path)));
        recent_->remove(path);
        fillRecentMenu();
        return;
    }
    openFile(path);
}

void MainWindow::openFile(const QString& path) {
    if (batchRunning_) return;
    if (QFileInfo(path).isDir()) {
        if (!transparencyEditor_->isHidden()) return;
        batchSourceFolder_ = path;
        openBatchPanel();
        return;
    }
    if (!transparencyEditor_->isHidden() || !batchPanel_->isHidden()) return;
    if (!settleUnsavedChanges()) return;
    if (!readable(prompts_, path)) return;
    const FileKind kind = classify(path);
    if (kind == FileKind::Unreadable) {
        prompts_.warning(kTitle,
                         QStringLiteral("%1 is not a picture Corvane reads.").arg(QDir::toNativeSeparators(path)));
        return;
    }
    loadFileOfKind(path, kind, 0);
}

void MainWindow::loadFileOfKind(const QString& path, FileKind kind, int chosenFilter) {
    QuorLibrary library(context_);
    CommandOutcome outcome;
    // Save may offer to write over an Extended Bitmap it was loaded from;
    // a picture, a DDS file or a texture only names the set.
    SetIdentity loaded{path, false, {}};
    switch (kind) {
        case FileKind::Dds:
            outcome = loadDds(path, workspace_, library, setOptions());
            break;
        case FileKind::Picture:
            outcome = corvane::loadAnyImage(path, workspace_, library, setOptions(), maxImportSize_);
            break;
        case FileKind::ExtendedBitmap:
        case FileKind::RawTexture:
            outcome =
                corvane::loadExtended(path, entryFor(kind, path, chosenFilter), workspace_, library, setOptions());
            loaded.holdsTheSet = !workspace_.state().textureOrigin;
            break;
        case FileKind::Unreadable:
            // Load Extended's own checks say what is wrong with it.
            outcome = corvane::loadExtended(path, chosenFilter > 0 ? chosenFilter : kBitmapEntry, workspace_, library,
                                            setOptions());
            break;
    }
    markLoaded(outcome, kind == FileKind::Picture ? QStringLiteral("Load Any Image") : QStringLiteral("Load Extended"),
               loaded);
    if (outcome.ok) rememberRecentFile(path);
    showOutcome(outcome);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QStringList paths = droppedPaths(event->mimeData());
    if (paths.size() == 1 && !batchRunning_) event->acceptProposedAction();
    else event->ignore();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QStringList paths = droppedPaths(event->mimeData());
    if (paths.size() != 1) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // The drag's source waits for the drop to return: load once it has.
    const QString path = paths.front();
    QTimer::singleShot(0, this, [this, path] { openFile(path); });
}

void MainWindow::loadExtended() {
    if (!settleUnsavedChanges()) return;
    const FileChoice choice = runDialog(loadExtendedDialog_);
    // The dialog opens on its first entry every time.
    loadExtendedDialog_.filterIndex = kBitmapEntry;
    if (!choice.chosen) return;
    loadExtendedDialog_.initialFolder = folderOfChosenFile(choice.path);
    if (!readable(prompts_, choice.path)) return;
    // The file's bytes, not the dialog's entry, say what it is.
    loadFileOfKind(choice.path, classify(choice.path), choice.filterIndex);
}

void MainWindow::saveExtended() { saveCommand(); }

bool MainWindow::levelsReadyToSave() {
    if (!hasSet()) {
        prompts_.warning(kTitle, QStringLiteral("There is no image set to save."));
        return false;
    }
    // A set whose smaller levels are missing, or were cut short in the file
    // it came from, would be saved short or with zeros: offer to make them first.
    if (const std::vector<int> notWhole = levelsNotWhole(workspace_); !notWhole.empty()) {
        if (const std::vector<int> missing = missingLevels(workspace_);
            !missing.empty() && missing.front() == workspace_.state().largest) {
            prompts_.warning(kTitle, QStringLiteral("There is no image set to save."));
            return false;
        }
        if (!prompts_.question(kTitle, QStringLiteral("The set lacks its smaller levels (%1).\n\n"
                                                      "Create them now with Create Image Set, then save?")
                                           .arg(levelNames(notWhole))))
            return false;
        createImageSet();
        if (!levelsNotWhole(workspace_).empty()) return false;
    }
    return true;
}

bool MainWindow::saveCommand() {
    if (!levelsReadyToSave()) return false;
    const SetState& state = workspace_.state();
    QString output = state.loadedPath;
    if (!state.textureOrigin ||
        prompts_.chooseButton(PromptIcon::Warning, kTitle, QString::fromLatin1(kTextureSaveQuestion),
                              {QStringLiteral("Overwrite Texture"), QStringLiteral("Save As New File")}, 0, 1) != 0) {
        // The dialog offers only the Extended Bitmap this set was loaded from
        // or saved to; any other set (a new one, a picture, a batch's last)
        // gets a name from the user, beside its file when it has one.
        const SetIdentity& set = identity();
        saveExtendedDialog_.fileName = set.holdsTheSet ? set.file : QString();
        if (!set.file.isEmpty()) saveExtendedDialog_.initialFolder = QFileInfo(set.file).absolutePath();
        const FileChoice choice = runDialog(saveExtendedDialog_);
        if (!choice.chosen) return false;
        saveExtendedDialog_.initialFolder = folderOfChosenFile(choice.path);
        output = choice.path;
    }
    // Levels the transparency editor holds count as a change of the set
    // (the title shows it), so they go into the palette the file gets.
    if (transparencyEditor_->isOpen() && palette_.paletteChanged) transparencyEditor_->savePalette();
    const CommandOutcome outcome = saveSet(workspace_, output);
    if (outcome.ok) {
        // The file now holds the set as it stands; a texture written over is
        // still a texture, which the next save offers to write over again.
        const bool texture = workspace_.state().textureOrigin && output == state.loadedPath;
        identities_[history_.current().instance] =
            SetIdentity{QFileInfo(output).absoluteFilePath(), !texture, history_.current().digest};
        refreshSetMark();
        rememberRecentFile(output);
    }
    showOutcome(outcome);
    if (outcome.ok) showNote(QStringLiteral("Saved %1").arg(QFileInfo(output).fileName()));
    return outcome.ok;
}

void MainWindow::saveAsDds(std::optional<DdsFormat> format) {
    if (!levelsReadyToSave()) return;
    // Named after the set's file, when it has one.
    const QString file = identity().file;
    if (saveDdsDialog_.initialFolder.isEmpty() && !file.isEmpty())
        saveDdsDialog_.initialFolder = folderOfChosenFile(file);
    saveDdsDialog_.fileName = file.isEmpty() ? QString() : QFileInfo(file).completeBaseName() + ".dds";
    const FileChoice choice = runDialog(saveDdsDialog_);
    if (!choice.chosen) return;
    saveDdsDialog_.initialFolder = folderOfChosenFile(choice.path);
    // The dialog opens on the choice made last.
    const auto choices = std::span(kDdsSaveChoices);
    const size_t chosen = size_t(std::clamp<int>(choice.filterIndex, 1, int(choices.size())) - 1);
    saveDdsDialog_.filterIndex = int(chosen) + 1;
    const DdsRequest request{format.value_or(choices[chosen].format), ddsAlphaCut(setOptions())};
    showOutcome(saveDds(workspace_, choice.path, request));
}

void MainWindow::createImageSet() {
    QuorLibrary library(context_);
    const CommandOutcome outcome = corvane::createImageSet(workspace_, library, setOptions(), textureTool());
    markChanged(outcome, QStringLiteral("Create Image Set"));
    showOutcome(outcome);
}

void MainWindow::loadAnyImage() {
    if (!settleUnsavedChanges()) return;
    const FileChoice choice = runDialog(loadAnyDialog_);
    if (!choice.chosen) return;
    loadAnyDialog_.initialFolder = folderOfChosenFile(choice.path);
    if (!readable(prompts_, choice.path)) return;
    QuorLibrary library(context_);
    const CommandOutcome outcome =
        corvane::loadAnyImage(choice.path, workspace_, library, setOptions(), maxImportSize_);
    // The set takes the picture's name, but no file holds it yet.
    markLoaded(outcome, QStringLiteral("Load Any Image"), SetIdentity{choice.path, false, {}});
    if (outcome.ok) rememberRecentFile(choice.path);
    showOutcome(outcome);
}

void MainWindow::mergeImage() {
    const FileChoice choice = runDialog(mergeDialog_);
    if (!choice.chosen) return;
    mergeDialog_.initialFolder = folderOfChosenFile(choice.path);
    if (!readable(prompts_, choice.path)) return;
    QuorLibrary library(context_);
    const CommandOutcome outcome = corvane::mergeImage(choice.path, workspace_, library, setOptions(), textureTool());
    markChanged(outcome, QStringLiteral("Merge Image"));
    showOutcome(outcome);
}

void MainWindow::importStd() {
    const FileChoice choice = runDialog(mergeDialog_);
    if (!choice.chosen) return;
    mergeDialog_.initialFolder = folderOfChosenFile(choice.path);
    if (!readable(prompts_, choice.path)) return;
    QuorLibrary library(context_);
    const CommandOutcome outcome = corvane::importStd(choice.path, workspace_, library);
    markChanged(outcome, QStringLiteral("Import Std"));
    showOutcome(outcome, PromptIcon::Error);
}

void MainWindow::importCfs() {
    const FileChoice choice = runDialog(mergeDialog_);
    if (!choice.chosen) return;
    mergeDialog_.initialFolder = folderOfChosenFile(choice.path);
    if (!readable(prompts_, choice.path)) return;
    const CommandOutcome outcome = corvane::importCfs(choice.path, workspace_);
    markChanged(outcome, QStringLiteral("Import CFS"));
    showOutcome(outcome);
}

void MainWindow::newSixteenBitSet() {
    // A changed set is asked about as any set that is replaced; an unchanged one as the command always asked.
    if (workspace_.state().modified) {
        if (!settleUnsavedChanges()) return;
    } else if (!prompts_.question(QString::fromLatin1(kNewSixteenTitle), QString::fromLatin1(kNewSixteenQuestion))) {
        return;
    }
    QuorLibrary library(context_);
    const CommandOutcome outcome = corvane::newSixteenBitSet(workspace_, library, setOptions());
    // No file holds it: it is Untitled, and changed until it is saved.
    if (outcome.ok) recordNewSet(QStringLiteral("New 16 bit Image Set"), SetIdentity{}, false);
    showOutcome(outcome);
}

void MainWindow::convertTo(SetDepth target) {
    QuorLibrary library(context_);
    // The set keeps the name it is shown under: a file's name, or a line of
    // its own such as a new set's, which the reload would replace with the
    // name of the exchange file.
    const StatusLines before = workspace_.status();
    const bool shownAsFile = before.bitmap.isEmpty() || before.bitmapFile;
    const QString name = before.bitmapFile.value_or(QFileInfo(loadExtendedDialog_.fileName).fileName());
    const CommandOutcome outcome = convertCurrentImage(target, workspace_, library, setOptions(), textureTool(), name);
    if (!shownAsFile) workspace_.status().showLine(before.bitmap);
    markChanged(outcome, QStringLiteral("Convert to %1").arg(QString::fromLatin1(target.menuText()).remove(u'&')));
    showOutcome(outcome);
}

void MainWindow::editTransparency() { transparencyEditor_->open(); }

void MainWindow::updateWithPalette() {
    if (workspace_.state().depth.highColour() || !hasSet()) {
        updateViews();
        return;
    }
    if (!prompts_.confirm(PromptIcon::Warning, kTitle, QString::fromLatin1(kPaletteUpdateWarning))) return;
    beginStepGroup();
    // The palette of the level this set last handed to the paint program,
    // and that level with its own indices, which now mean its own colours.
    PaintSession* last = nullptr;
    for (PaintSession& session : sessions_)
        if (session.instance == history_.current().instance) last = &session;
    const CommandOutcome update =
        last ? updatePaletteFromFile(workspace_, last->file) : updatePaletteFromEditedSlot(workspace_);
    if (update.ok) {
        recordChange(QString());
        if (last) takePaintSession(*last);
    } else {
        prompts_.warning(kTitle, update.error);
    }
    checkPaintSessions();
    reloadViews();
    endStepGroup(QStringLiteral("Update+Palette"));
    showStatus();
}

void MainWindow::openBatchPanel() {
    setFileMenus(false);
    updateUndoItems();
    batchPanel_->source->setFolder(batchSourceFolder_) || batchPanel_->source->setFolder(QDir::homePath());
    batchPanel_->destination->setFolder(batchDestinationFolder_) ||
        batchPanel_->destination->setFolder(QDir::homePath());
    batchPanel_->open();
}

void MainWindow::closeBatchPanel() {
    batchPanel_->hide();
    setFileMenus(true);
    updateUndoItems();
}

void MainWindow::convertBatch(bool colour0Transparent) {
    BatchRequest request;
    request.sourceFolder = batchPanel_->source->folder();
    request.destinationFolder = batchPanel_->destination->folder();
    if (sameFolder(request.sourceFolder, request.destinationFolder) &&
        !prompts_.question("CORVANE", QString::fromLatin1(kSameFolderQuestion)))
        return;
    request.names = batchPanel_->selectedNames();
    request.colour0Transparent = colour0Transparent;
    request.writeDds = batchPanel_->writeDdsBox->isChecked();
    request.ddsFormat = DdsFormat::Auto;
    request.maxImport = maxImportSize_;
    request.options = setOptions();
    // Each file of the run goes through the workspace: the current set would be lost.
    if (!request.names.isEmpty() && !settleUnsavedChanges()) return;
    closeBatchPanel();
    if (request.names.isEmpty()) return;

    QuorLibrary library(context_);
    RunProgress runProgress(progressBar_);
    BatchObserver observer;
    observer.starting = [this, &runProgress](int index, int count, const QString& name) {
        shownStatus_.loadedAs = QStringLiteral("Converting %1 (%2 of %3)").arg(name).arg(index + 1).arg(count);
        showStatusLines();
        runProgress.startFile(index * 100 / count, (index + 1) * 100 / count);
        progressBar_->setValue(index * 100 / count);
        QApplication::processEvents();
    };
    observer.finished = [this](int index, int count, const BatchFileResult&) {
        reloadViews();
        showStatus();
        progressBar_->setValue((index + 1) * 100 / count);
        // Repaint now so each set shows in turn; Escape is read here too.
        QApplication::processEvents();
    };
    batchRunning_ = true;
    std::atomic<bool> stop{false};
    // Escape stops the run after the file being converted.  The repaints
    // between files would also deliver clicks, keys and a close of the
    // window, which would start other commands on the workspace the run is
    // using; those are dropped until the run ends.
    struct StopWatcher : QObject {
        std::atomic<bool>* stop;
        QWidget* window;
        bool eventFilter(QObject* watched, QEvent* e) override {
            switch (e->type()) {
                case QEvent::KeyPress:
                    if (static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape) stop->store(true);
                    return true;
                case QEvent::Close:
                    if (watched != window) return false;
                    e->ignore();
                    return true;
                case QEvent::MouseButtonPress:
                case QEvent::MouseButtonRelease:
                case QEvent::MouseButtonDblClick:
                case QEvent::KeyRelease:
                case QEvent::ShortcutOverride:
                case QEvent::Shortcut:
                case QEvent::Wheel:
                case QEvent::ContextMenu:
                    return true;
                default:
                    return false;
            }
        }
    } watcher;
    watcher.stop = &stop;
    watcher.window = this;
    qApp->installEventFilter(&watcher);
    progressBar_->setValue(0);
    BatchSummary summary;
    {
        const RunProgressReports reports(context_, runProgress);
        summary = runBatch(request, workspace_, library, palette_, textureTool(), observer, &stop);
    }
    qApp->removeEventFilter(&watcher);
    batchRunning_ = false;
    // The set now in the workspace is one the run has just saved; it is
    // named for none, so Save asks where it goes.
    if (!summary.files.empty()) recordNewSet(QStringLiteral("Batch Conversion"), SetIdentity{}, true);
    // What the paint program saved during the run is looked at now.
    checkPaintSessions();
    showStatus();
    progressBar_->setValue(0);
    if (!summary.complete()) prompts_.warning(kTitle, summary.text());
}

BatchSummary MainWindow::convertBatchUnattended(const BatchRequest& request, const BatchObserver& observer,
                                                const std::atomic<bool>* stop) {
    QuorLibrary library(context_);
    return runBatch(request, workspace_, library, palette_, textureTool(), observer, stop);
}

}  // namespace corvane
