// Showing the slots in the views and handing them to the paint program.
#include "mainwindow.h"

#include "anyimage.h"
#include "filewatch.h"
#include "files.h"
#include "palettelevels.h"
#include "placement.h"
#include "secondarywindows.h"
#include "zoomview.h"

#include <QAction>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QScreen>

#include <algorithm>
#include <optional>

namespace corvane {

namespace {

const char* const kTitle = "Corvane";

// Shows a slot in a view.  A view keeps its last picture when its file cannot
// be read; a level the set does not have must show nothing, not a level of
// the set before.
void showSlot(const Workspace& workspace, TAnyImage* view, int slot) {
    view->setFileName(workspace.slotPath(slot));
    if (!QFileInfo::exists(workspace.slotPath(slot))) view->clearPicture();
}

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
    // Its saves there show here without Update.
    slotWatch_->addFile(workspace_.slotPath(slot));

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
    // The large window is shown or hidden by loadViews, once it has its place.
    const LevelVisibility shown = levelVisibility(workspace_.state().largest);
    for (size_t i = 0; i < views_.size(); ++i) views_[i]->setVisible(shown.views[i]);
}

void MainWindow::loadViews() {
    showTransparencyOfViews();
    loadLargeWindow();
    // The view of level index i shows slot i + 1.
    for (size_t i = 0; i < views_.size(); ++i) showSlot(workspace_, views_[i], int(i) + 2);
}

void MainWindow::showTransparencyOfViews() {
    const bool on = showTransparency->isChecked();
    const SetState& state = workspace_.state();
    std::optional<std::array<int32_t, 256>> levels;
    if (state.largest > 0 && !state.highColour) {
        PaletteLevels read;
        getpalette(workspace_, read);
        levels = read.levels;
    }
    const auto apply = [&](TAnyImage* view) {
        view->setCheckerboard(on);
        if (levels) view->setPaletteLevels(*levels);
        else view->clearPaletteLevels();
    };
    for (TAnyImage* view : views_) apply(view);
    if (largeLevelWindow_) {
        apply(largeLevelWindow_->view);
        largeLevelWindow_->setCheckerboard(on);
        largeLevelWindow_->showPicture();
    }
}

void MainWindow::showTransparencyToggled() { showTransparencyOfViews(); }

// ---------------------------------------------------------------------------
// The large window

void MainWindow::addViewMenu(TAnyImage* view, int levelIndex) {
    auto* larger = new QAction(QStringLiteral("View Larger"), view);
    larger->setObjectName(QStringLiteral("ViewLarger"));
    connect(larger, &QAction::triggered, this, [this, levelIndex] { viewLarger(levelIndex); });
    view->addAction(larger);
    view->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void MainWindow::loadLargeWindow() {
    if (!largeLevelWindow_) return;
    LargeLevelWindow& large = *largeLevelWindow_;
    const int largest = workspace_.state().largest;
    // A level picked with "View Larger" stays on show, read afresh, while its
    // window is open and the set keeps its size; else the 512 level, shown
    // exactly when the set has it.
    const int picked = large.levelIndex();
    if (picked != 0 && large.isVisible() && largest == largeLevelSetLargest_ && (512 >> picked) <= largest) {
        showSlot(workspace_, large.view, picked + 1);
        return;
    }
    large.setLevelIndex(0);
    showSlot(workspace_, large.view, 1);
    if (!workspace_.state().largeViewPlaced) {
        placeLargeWindow(largeWindow, 512);
        workspace_.state().largeViewPlaced = true;
    }
    large.setVisible(largest == 512);
}

void MainWindow::viewLarger(int levelIndex) {
    if (!largeLevelWindow_ || levelIndex < 0 || levelIndex > 9) return;
    LargeLevelWindow& large = *largeLevelWindow_;
    const bool opening = !large.isVisible();
    large.setLevelIndex(levelIndex);
    largeLevelSetLargest_ = workspace_.state().largest;
    // The empty name first: the same file is read again.
    large.view->setFileName(QString());
    showSlot(workspace_, large.view, levelIndex + 1);
    if (opening) {
        // Hiding it kept its place in largeWindow.
        placeLargeWindow(largeWindow, 512 >> levelIndex);
        workspace_.state().largeViewPlaced = true;
    }
    large.show();
    large.raise();
    large.activateWindow();
    large.zoom->setFocus();
}

void MainWindow::placeLargeWindow(const LargeWindowGeometry& kept, int edge) {
    LargeLevelWindow& large = *largeLevelWindow_;
    const QScreen* shownOn = screen();
    const QRect available = shownOn ? shownOn->availableGeometry() : QRect();
    const QRect owner = frameGeometry();
    // The large window's decorations are unknown before it is first shown;
    // it gets the same as this window.
    QSize decorations = owner.size() - size();
    if (large.isVisible() || large.frameGeometry().size() != large.size())
        decorations = large.frameGeometry().size() - large.size();
    const QSize keptSize(kept.width, kept.height);
    const QRect keptFrame(QPoint(kept.left, kept.top), keptSize + decorations);
    // Where the user last left it, unless that is off the screen or over the views.
    if (available.isEmpty() || (available.contains(keptFrame) && !keptFrame.intersects(owner))) {
        large.applyGeometry(kept);
        return;
    }
    // Else at the level's size (tiny levels larger, to zoom into), beside this window.
    const int side = std::max(edge, 256);
    const QRect place = placeBeside(owner, QSize(side, side) + decorations, available);
    large.move(place.topLeft());
    large.resize(place.size() - decorations);
}

// ---------------------------------------------------------------------------
// Live refresh

void MainWindow::slotSaved() {
    // A batch run owns the workspace until it ends; what it writes is no edit.
    if (batchRunning_) return;
    updateViews();
}

}  // namespace corvane
