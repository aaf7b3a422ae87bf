// Showing the slots in the views and handing them to the paint program.
#include "mainwindow.h"

#include "anyimage.h"
#include "secondarywindows.h"
#include "files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace corvane {

namespace {

const char* const kTitle = "Corvane";

}  // namespace

// ---------------------------------------------------------------------------
// The paint program

void MainWindow::editLevel(int levelIndex) {
    const int slot = levelIndex + 1;
    const QString slotFile = QDir::toNativeSeparators(workspace_.slotPath(slot));
    // Recorded whether or not the program starts: "Update+Palette" reads it,
    // and Update compares the slot with what it held now.
    workspace_.state().editedSlot = slot;
    workspace_.state().editedDigest = editedSlotDigest();

    const QString& editor = editselect.fileName;
    if (editor.trimmed().isEmpty()) {
        prompts_.warning(kTitle,
                         QStringLiteral("No editing program is chosen. Choose one with Prefs > Select Editor."));
        return;
    }
    const QString program = locateProgram(editor);
    if (program.isEmpty() || !startProgram_(program, {slotFile})) {
        prompts_.warning(kTitle, "The editing program " + QDir::toNativeSeparators(editor) +
                                     " cannot be started: it is missing or is not a program. Choose another "
                                     "with Prefs > Select Editor.");
    }
}

void MainWindow::editLargestLevel() { editLevel(editLevelIndex(workspace_.state().largest)); }

void MainWindow::selectEditor() {
    editselect.initialFolder = folderPartOf(editselect.fileName);
    runDialog(editselect);
    // Set again after a cancel too: the button and hint then stay as they were.
    showLauncherFiles();
}

// ---------------------------------------------------------------------------
// The views

QByteArray MainWindow::editedSlotDigest() const {
    const int slot = workspace_.state().editedSlot;
    if (slot < 0 || slot >= kSlotCount) return {};
    std::vector<uint8_t> bytes;
    // A slot that is not there is something a paint program can change too.
    if (!readFileBytes(workspace_.slotPath(slot), bytes)) return QByteArrayLiteral("none");
    return QCryptographicHash::hash(
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())),
        QCryptographicHash::Sha256);
}

void MainWindow::updateViews() {
    // A slot the paint program has written since it was handed over is a change to the set.
    SetState& state = workspace_.state();
    if (!state.editedDigest.isEmpty()) {
        const QByteArray now = editedSlotDigest();
        if (now != state.editedDigest) {
            state.modified = true;
            state.editedDigest = now;
        }
    }
    reloadViews();
    showTitle();
}

void MainWindow::reloadViews() {
    clearViews();
    setViewVisibility();
    loadViews();
}

void MainWindow::setViewVisibility() {
    const LevelVisibility shown = levelVisibility(workspace_.state().largest);
    // The large window is shown by loadViews, once it has its place.
    if (largeLevelWindow_ && !shown.large) largeLevelWindow_->hide();
    for (size_t i = 0; i < views_.size(); ++i) views_[i]->setVisible(shown.views[i]);
}

void MainWindow::loadViews() {
    // A view keeps its last picture when its file cannot be read; a level
    // the set does not have must show nothing, not a level of the set before.
    const auto show = [this](TAnyImage* view, int slot) {
        view->setFileName(workspace_.slotPath(slot));
        if (!QFileInfo::exists(workspace_.slotPath(slot))) view->clearPicture();
    };
    if (largeLevelWindow_) {
        show(largeLevelWindow_->view, 1);
        if (!workspace_.state().largeViewPlaced) {
            largeLevelWindow_->applyGeometry(largeWindow);
            workspace_.state().largeViewPlaced = true;
        }
        largeLevelWindow_->setVisible(workspace_.state().largest == 512);
    }
    // The view of level index i shows slot i + 1.
    for (size_t i = 0; i < views_.size(); ++i) show(views_[i], int(i) + 2);
}

}  // namespace corvane
