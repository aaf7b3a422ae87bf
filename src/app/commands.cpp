// The set commands of the main window: loading, saving, creating, importing,
// converting, the transparency editor and the batch panel.  Each asks through
// the prompts, calls the core and shows what it returns.
#include "mainwindow.h"

#include "batch.h"
#include "batchpanel.h"
#include "fileaccess.h"
#include "import.h"
#include "library.h"
#include "palettelevels.h"
#include "progress.h"
#include "splitjoin.h"
#include "transparency.h"
#include "transparencyeditor.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace corvane;

namespace {

const char* const kTitle = "Corvane";
const char* const kTextureSaveQuestion =
    "This Bitmap was loaded from an AF99 Texture file.\n\nClick ok to overwrite the original AF file\n\n"
    "Click Cancel to save normally with BMP extension";

const char* const kUnsavedChangesQuestion = "The image set has unsaved changes.\n\nSave them first?";

QString folderOf(const QString& path) { return QFileInfo(path).absolutePath(); }

// A chosen file that cannot be opened is refused here, naming the cause,
// before the library or the loader goes near it: some never return from a
// FIFO or a device, and "not a picture" would hide a missing file.
bool readable(Prompts& prompts, const QString& path) {
    const QString cause = causeNotReadable(path);
    if (cause.isEmpty()) return true;
    prompts.warning(kTitle, cannotReadText(path, cause));
    return false;
}

// What a command that alters the set did to it: a failure that left the
// views alone left the set alone too.
bool changedTheSet(const CommandOutcome& outcome) { return outcome.ok || outcome.refreshViews; }

// During a batch run the bar shows the whole run.  A file takes several
// library calls, each reporting from 0 again and none knowing how many
// follow, so each call fills half of what is left of the file's share: the
// bar moves within every file and never back.
struct RunProgress {
    QPointer<QProgressBar> bar;
    int to = 100;  // end of the current file's share of 0..100
    int callFrom = 0, callTo = 0;
    double last = -1;  // the fraction the current call reported last

    void startFile(int from, int end) {
        to = end;
        callFrom = callTo = from;
        last = -1;
    }
};
RunProgress runProgress;

}  // namespace

extern "C" {
static void showRunProgress(int32_t done, int32_t total) {
    RunProgress& p = runProgress;
    if (total <= 0 || !p.bar) return;
    const double fraction = std::clamp(double(done) / total, 0.0, 1.0);
    if (fraction == 0 || fraction < p.last) {
        p.callFrom = std::max(p.callTo, p.bar->value());
        p.callTo = p.callFrom + (p.to - p.callFrom + 1) / 2;
    }
    p.last = fraction;
    const int value = p.callFrom + int(fraction * (p.callTo - p.callFrom));
    if (value <= p.bar->value() || value > p.to) return;
    p.bar->setValue(value);
    p.bar->repaint();
}
}

void TForm1::createPanels(QWidget* client) {
    Panel1 = new TransparencyEditor(workspace_, palette, prompts_, map, smap, client);
    Panel1->setGeometry(client->rect());
    connect(Panel1, &TransparencyEditor::opened, this, [this] { setFileMenus(false); });
    connect(Panel1, &TransparencyEditor::closed, this, [this] { setFileMenus(true); });

    Panel3 = new BatchPanel(client);
    Panel3->setGeometry(client->rect());
    connect(Panel3, &BatchPanel::exitRequested, this, [this] { Button18Click(); });
    connect(Panel3, &BatchPanel::convertRequested, this, [this](bool colour0) { convertClick(colour0); });
    connect(Panel3->source, &FolderChooser::folderChanged, this, [this](const QString& f) { batchFolder = f; });
    connect(Panel3->destination, &FolderChooser::folderChanged, this, [this](const QString& f) {
        destFolder = f;
        showLauncherFiles();
    });
}

void TForm1::setFileMenus(bool enabled) {
    // menus_ holds File, Image, Prefs, ImageTool.
    for (int i = 0; i < 2; ++i)
        if (menus_[size_t(i)]) menus_[size_t(i)]->menuAction()->setEnabled(enabled);
}

SetOptions TForm1::setOptions() const {
    SetOptions options;
    options.convertTo24 = mm->isChecked();
    options.smooth8 = Smooth8->isChecked();
    options.keepCoverage = keepCoverage->isChecked();
    options.useImageTool = useitool->isChecked();
    options.lightening = lightening();
    return options;
}

TextureToolRun TForm1::textureTool() {
    return corvane::textureTool(workspace_, ToolSettings{itool.fileName, showitool->isChecked()});
}

void TForm1::showStatus() {
    const StatusLines& status = workspace_.status();
    if (!status.bitmap.isEmpty()) {
        Label10->setText(status.bitmap);
        Label11->setText(status.maximum);
        Label16->setText(status.loadedAs);
        Label17->setText(status.depth);
        Label17->setToolTip(status.depthHint);
    }
    if (workspace_.state().largest > 0) {
        const bool eightBit = paletteCommandsAvailable(workspace_);
        Button9->setEnabled(eightBit);
        getpal->setEnabled(eightBit);
        const bool replace = replaceCommandsAvailable(workspace_);
        Button13->setEnabled(replace);
        Button15->setEnabled(replace);
        Button20->setEnabled(replace);
    }
}

void TForm1::showOutcome(const CommandOutcome& outcome) {
    if (outcome.readPalette) getpalette(workspace_, palette);
    if (outcome.refreshViews) refresh();
    showStatus();
    for (const QString& text : outcome.information) prompts_.information(kTitle, text);
    if (!outcome.ok) prompts_.warning(kTitle, outcome.error);
}

bool TForm1::settleUnsavedChanges() {
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

void TForm1::markChanged(const CommandOutcome& outcome) {
    if (changedTheSet(outcome)) workspace_.state().modified = true;
}

void TForm1::markLoaded(const CommandOutcome& outcome) {
    if (changedTheSet(outcome)) forgetChanges();
}

void TForm1::forgetChanges() {
    SetState& state = workspace_.state();
    state.modified = false;
    state.editedDigest.clear();  // the slots hold another set now
}

void TForm1::loadcfsClick() {
    if (!settleUnsavedChanges()) return;
    const FileChoice choice = runDialog(opencfs);
    if (!choice.chosen) return;
    opencfs.initialFolder = folderOf(choice.path);
    if (!readable(prompts_, choice.path)) return;
    QuorLibrary library(context_);
    const CommandOutcome outcome = loadExtended(choice.path, choice.filterIndex, workspace_, library, setOptions());
    markLoaded(outcome);
    showOutcome(outcome);
}

void TForm1::saveClick() { saveCommand(); }

bool TForm1::saveCommand() {
    // A set whose smaller levels are missing would be saved short: offer to make them first.
    if (const std::vector<int> missing = missingLevels(workspace_); !missing.empty()) {
        if (missing.front() == workspace_.state().largest) {
            prompts_.warning(kTitle, QStringLiteral("There is no image set to save."));
            return false;
        }
        if (!prompts_.question(kTitle, QStringLiteral("The set lacks its smaller levels (%1).\n\n"
                                                      "Create them now with Create Image Set, then save?")
                                           .arg(levelNames(missing))))
            return false;
        Button2Click();
        if (!missingLevels(workspace_).empty()) return false;
    }
    const SetState& state = workspace_.state();
    QString output = state.loadedPath;
    if (!state.textureOrigin || !prompts_.question(kTitle, kTextureSaveQuestion)) {
        const FileChoice choice = runDialog(savebmp);
        if (!choice.chosen) return false;
        savebmp.initialFolder = folderOf(choice.path);
        output = choice.path;
    }
    const CommandOutcome outcome = saveSet(workspace_, output);
    if (outcome.ok) {
        workspace_.state().modified = false;
        // What the paint program had written by now is in the saved file.
        if (!workspace_.state().editedDigest.isEmpty()) workspace_.state().editedDigest = editedSlotDigest();
    }
    showOutcome(outcome);
    return outcome.ok;
}

void TForm1::Button2Click() {
    QuorLibrary library(context_);
    const CommandOutcome outcome = createImageSet(workspace_, library, setOptions(), textureTool());
    markChanged(outcome);
    showOutcome(outcome);
}

void TForm1::loadanyClick() {
    if (!settleUnsavedChanges()) return;
    const FileChoice choice = runDialog(openstd);
    if (!choice.chosen) return;
    openstd.initialFolder = folderOf(choice.path);
    if (!readable(prompts_, choice.path)) return;
    QuorLibrary library(context_);
    const CommandOutcome outcome = loadAnyImage(choice.path, workspace_, library, setOptions(), maxImportSize);
    markLoaded(outcome);
    showOutcome(outcome);
}

void TForm1::Button13Click() {
    const FileChoice choice = runDialog(merge);
    if (!choice.chosen) return;
    merge.initialFolder = folderOf(choice.path);
    if (!readable(prompts_, choice.path)) return;
    QuorLibrary library(context_);
    const CommandOutcome outcome = mergeImage(choice.path, workspace_, library, setOptions(), textureTool());
    markChanged(outcome);
    showOutcome(outcome);
}

void TForm1::Button15Click() {
    const FileChoice choice = runDialog(merge);
    if (!choice.chosen) return;
    merge.initialFolder = folderOf(choice.path);
    if (!readable(prompts_, choice.path)) return;
    QuorLibrary library(context_);
    const CommandOutcome outcome = importStd(choice.path, workspace_, library);
    markChanged(outcome);
    showOutcome(outcome);
}

void TForm1::Button20Click() {
    const FileChoice choice = runDialog(merge);
    if (!choice.chosen) return;
    merge.initialFolder = folderOf(choice.path);
    if (!readable(prompts_, choice.path)) return;
    const CommandOutcome outcome = importCfs(choice.path, workspace_);
    markChanged(outcome);
    showOutcome(outcome);
}

void TForm1::new16Click() {
    if (!prompts_.question(QString::fromLatin1(kNewSixteenTitle), QString::fromLatin1(kNewSixteenQuestion))) return;
    QuorLibrary library(context_);
    const CommandOutcome outcome = newSixteenBitSet(workspace_, library, setOptions());
    markChanged(outcome);
    showOutcome(outcome);
}

void TForm1::convertWith(int mode) {
    QuorLibrary library(context_);
    // The set keeps the name it is shown under: a file's name, or a line of
    // its own such as a new set's, which the reload would replace with the
    // name of the exchange file.
    const QString bitmap = workspace_.status().bitmap;
    const QString prefix = QStringLiteral("Bitmap - ");
    const bool shownAsFile = bitmap.isEmpty() || bitmap.startsWith(prefix);
    const QString name = bitmap.startsWith(prefix) ? bitmap.mid(prefix.size()) : QFileInfo(opencfs.fileName).fileName();
    const CommandOutcome outcome = convertCurrentImage(mode, workspace_, library, setOptions(), textureTool(), name);
    if (!shownAsFile) workspace_.status().bitmap = bitmap;
    markChanged(outcome);
    showOutcome(outcome);
}

void TForm1::ConvertCurrentImageto256Colours1Click() { convertWith(9); }
void TForm1::N16bit5651Click() { convertWith(2); }
void TForm1::N16bit4441Click() { convertWith(5); }
void TForm1::N32bit1Click() { convertWith(7); }

void TForm1::getpalClick() { Panel1->open(); }

void TForm1::updatpalClick() {
    if (!workspace_.state().highColour) {
        if (!prompts_.question(kTitle, QString::fromLatin1(kPaletteUpdateWarning))) return;
        const PaletteUpdate update = updatePaletteFromEditedSlot(workspace_);
        if (update.changed) workspace_.state().modified = true;
        else prompts_.warning(kTitle, update.message);
    }
    Button1Click();
}

void TForm1::ExeButton2Click() {
    setFileMenus(false);
    Panel3->source->setFolder(batchFolder) || Panel3->source->setFolder(QDir::homePath());
    Panel3->destination->setFolder(destFolder) || Panel3->destination->setFolder(QDir::homePath());
    Panel3->open();
}

void TForm1::Button18Click() {
    Panel3->hide();
    setFileMenus(true);
}

void TForm1::convertClick(bool colour0Transparent) {
    BatchRequest request;
    request.sourceFolder = Panel3->source->folder();
    request.destinationFolder = Panel3->destination->folder();
    if (sameFolder(request.sourceFolder, request.destinationFolder) &&
        !prompts_.question("CORVANE", QString::fromLatin1(kSameFolderQuestion)))
        return;
    request.names = Panel3->selectedNames();
    request.colour0Transparent = colour0Transparent;
    request.maxImport = maxImportSize;
    request.options = setOptions();
    // Each file of the run goes through the workspace: the current set would be lost.
    if (!request.names.isEmpty() && !settleUnsavedChanges()) return;
    Button18Click();
    if (request.names.isEmpty()) return;

    QuorLibrary library(context_);
    BatchObserver observer;
    observer.starting = [this](int index, int count, const QString& name) {
        Label16->setText(QStringLiteral("Converting %1 (%2 of %3)").arg(name).arg(index + 1).arg(count));
        runProgress.startFile(index * 100 / count, (index + 1) * 100 / count);
        ProgressBar1->setValue(index * 100 / count);
        QApplication::processEvents();
    };
    observer.finished = [this](int index, int count, const BatchFileResult&) {
        refresh();
        showStatus();
        ProgressBar1->setValue((index + 1) * 100 / count);
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
    ProgressBar1->setValue(0);
    runProgress.bar = ProgressBar1;
    const QuorProgress ownRoutine = progressRoutineOf(context_);
    const QuorProgress routine = &showRunProgress;
    std::memcpy(context_.bytes + QUOR_CONTEXT_PROGRESS, &routine, sizeof routine);
    const BatchSummary summary = runBatch(request, workspace_, library, palette, textureTool(), observer, &stop);
    std::memcpy(context_.bytes + QUOR_CONTEXT_PROGRESS, &ownRoutine, sizeof ownRoutine);
    runProgress.bar = nullptr;
    qApp->removeEventFilter(&watcher);
    batchRunning_ = false;
    // The set now in the workspace is one the run has just saved.
    if (!summary.files.empty()) forgetChanges();
    showStatus();
    if (summary.failedCount() > 0 || summary.stopped) prompts_.warning(kTitle, summary.text());
}
