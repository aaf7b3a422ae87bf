// Showing the slots in the views and handing them to the paint program.
#include "mainwindow.h"

#include "anyimage.h"
#include "editedlevel.h"
#include "library.h"
#include "filewatch.h"
#include "files.h"
#include "palettelevels.h"
#include "placement.h"
#include "secondarywindows.h"
#include "zoomview.h"

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace corvane {

namespace {

const char* const kTitle = "Corvane";

// Shows a slot in a view.  A view keeps its last picture when its file cannot
// be read; a level the set does not have must show nothing, not a level of
// the set before.
void showSlot(const Workspace& workspace, AnyImage* view, int slot) {
    view->setFileName(workspace.slotPath(slot));
    if (!QFileInfo::exists(workspace.slotPath(slot))) view->clearPicture();
}

}  // namespace

// ---------------------------------------------------------------------------
// The paint program

void MainWindow::editLevel(int levelIndex) {
    const int slot = levelIndex + 1;
    // Recorded whether or not the program starts: "Update+Palette" reads it.
    workspace_.state().editedSlot = slot;
    if (slot < kFirstLevelSlot || slot > kLastLevelSlot || !QFileInfo(workspace_.slotPath(slot)).isFile()) {
        prompts_.warning(kTitle, hasSet() ? QStringLiteral("The set has no %1x%1 level to edit.").arg(512 >> levelIndex)
                                          : QStringLiteral("There is no image set to edit; load one first."));
        return;
    }
    const QString& editor = editorDialog_.fileName;
    if (editor.trimmed().isEmpty()) {
        prompts_.warning(kTitle,
                         QStringLiteral("No editing program is chosen. Choose one with Prefs > Select Editor."));
        return;
    }
    const QString program = locateProgram(editor);
    const QString copy = program.isEmpty() ? QString() : paintSessionCopy(slot);
    if (!program.isEmpty() && copy.isEmpty()) {
        prompts_.warning(
            kTitle,
            QStringLiteral("The %1x%1 level could not be copied for the paint program.").arg(levelOfSlot(slot)));
        return;
    }
    if (program.isEmpty() || !startProgram_(program, {QDir::toNativeSeparators(copy)})) {
        prompts_.warning(kTitle, "The editing program " + QDir::toNativeSeparators(editor) +
                                     " cannot be started: it is missing or is not a program. Choose another "
                                     "with Prefs > Select Editor.");
    }
}

void MainWindow::editLargestLevel() { editLevel(editLevelIndex(workspace_.state().largest)); }

void MainWindow::selectEditor() {
    editorDialog_.initialFolder = folderPartOf(editorDialog_.fileName);
    runDialog(editorDialog_);
    // Set again after a cancel too: the button and hint then stay as they were.
    showLauncherFiles();
}

// ---------------------------------------------------------------------------
// The views

void MainWindow::updateViews() {
    // What the paint program saved since is taken in, all of it one step.
    beginStepGroup();
    checkPaintSessions();
    reloadViews();
    endStepGroup(QStringLiteral("Update"));
    showStatus();
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
    const bool on = showTransparencyItem_->isChecked();
    const SetState& state = workspace_.state();
    // Every level of a palette set is drawn with the set's palette, which is
    // what a save writes them with, even where a level's slot still holds
    // another (after Import Std or Update+Palette, until the levels are made
    // again).
    std::optional<std::array<QRgb, 256>> palette;
    if (state.largest > 0 && !state.depth.highColour() &&
        QFileInfo(workspace_.slotPath(HeaderSlot)).size() >= layout::kPaletteHeader) {
        PaletteLevels read;
        getpalette(workspace_, read);
        palette.emplace();
        for (size_t i = 0; i < 256; ++i) {
            const uint32_t c = read.colours[i];
            (*palette)[i] =
                qRgba(int(c & 0xFF), int(c >> 8 & 0xFF), int(c >> 16 & 0xFF), std::clamp(read.levels[i], 0, 255));
        }
    }
    const auto apply = [&](AnyImage* view) {
        view->setCheckerboard(on);
        if (palette) view->setPaletteOfSet(*palette);
        else view->clearPaletteOfSet();
    };
    for (AnyImage* view : views_) apply(view);
    if (largeLevelWindow_) {
        apply(largeLevelWindow_->view);
        largeLevelWindow_->setCheckerboard(on);
        largeLevelWindow_->showPicture();
    }
}

void MainWindow::showTransparencyToggled() { showTransparencyOfViews(); }

// ---------------------------------------------------------------------------
// The large window

void MainWindow::addViewMenu(AnyImage* view, int levelIndex) {
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
        placeLargeWindow(largeWindowGeometry_, 512);
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
        placeLargeWindow(largeWindowGeometry_, 512 >> levelIndex);
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
// The paint program's sessions

namespace {

// The file's digest, empty when it cannot be read (gone for now, or being written).
QByteArray fileDigest(const QString& path) {
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, bytes)) return {};
    return QCryptographicHash::hash(
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())),
        QCryptographicHash::Sha256);
}

const char* const kSessionPrefix = "edit-";

}  // namespace

QString MainWindow::paintSessionCopy(int slot) {
    // A folder of its own for each level handed over, so the program keeps
    // the slot's name in its title and no two sessions share a file.
    const QString folder = workspace_.workDir() + kSessionPrefix + QString::number(++sessionCount_);
    QDir().mkpath(folder);
    const QString copy = QDir(folder).filePath(QString::fromLatin1(slotFileName(slot)));
    QFile::remove(copy);
    // A 4-4-4-4 level as the set stores it names no alpha mask, which many
    // readers refuse: such a level goes over as the image library writes it.
    const HeaderFacts facts = readHeaderFacts(workspace_.slotPath(slot));
    QuorLibrary library(context_);
    const bool copied = workspace_.state().depth == SetDepth::Argb4444 && facts.bits == 16
                            ? library.anyToBmp(workspace_.slotPath(slot), copy)
                            : QFile::copy(workspace_.slotPath(slot), copy);
    progressBar_->setValue(0);
    if (!copied) return {};
    sessions_.push_back(PaintSession{slot, copy, history_.current().instance, fileDigest(copy)});
    // Its saves show here without Update.
    slotWatch_->addFile(copy);
    return copy;
}

void MainWindow::removePaintSessions() {
    for (const PaintSession& session : sessions_) slotWatch_->removeFile(session.file);
    sessions_.clear();
    const QDir work(workspace_.workDir());
    for (const QString& name :
         work.entryList({QString::fromLatin1(kSessionPrefix) + '*'}, QDir::Dirs | QDir::NoDotAndDotDot))
        QDir(work.filePath(name)).removeRecursively();
}

void MainWindow::checkPaintSessions() {
    // A batch run owns the workspace until it ends, and a question already
    // asked must be answered first: the files are looked at again then.
    if (batchRunning_ || checkingSessions_) {
        sessionsToCheck_ = true;
        return;
    }
    // Nor while a dialog is open (a Save As, say): once it has closed.
    if (QApplication::activeModalWidget()) {
        QTimer::singleShot(500, this, [this] { checkPaintSessions(); });
        return;
    }
    checkingSessions_ = true;
    do {
        sessionsToCheck_ = false;
        for (size_t i = 0; i < sessions_.size(); ++i) {
            const QByteArray now = fileDigest(sessions_[i].file);
            if (now.isEmpty() || now == sessions_[i].seen) continue;
            sessions_[i].seen = now;
            if (sessions_[i].instance == history_.current().instance) takePaintSession(sessions_[i]);
            else paintSessionOfAnotherSet(sessions_[i]);
        }
    } while (sessionsToCheck_ && !batchRunning_);
    checkingSessions_ = false;
}

bool MainWindow::takePaintSession(PaintSession& session) {
    QuorLibrary library(context_);
    const LevelIntake intake = takeEditedLevel(workspace_, library, setOptions(), session.slot, session.file);
    progressBar_->setValue(0);  // the library's work is done
    if (!intake.outcome.ok) {
        prompts_.warning(kTitle, intake.outcome.error);
        return false;
    }
    if (!intake.changed) return true;
    recordChange(QStringLiteral("%1x%1 Level Edit").arg(levelOfSlot(session.slot)));
    reloadViews();
    showStatus();
    if (!intake.note.isEmpty()) showNote(intake.note, 15000);
    return true;
}

void MainWindow::paintSessionOfAnotherSet(PaintSession& session) {
    const SetIdentity other = identities_.value(session.instance);
    const QString from = other.file.isEmpty() ? QStringLiteral("an earlier set")
                                              : QStringLiteral("the set %1").arg(QFileInfo(other.file).fileName());
    const QString saved = QStringLiteral("The paint program saved %1, the %2x%2 level of %3, which is no longer open.")
                              .arg(QDir::toNativeSeparators(session.file))
                              .arg(levelOfSlot(session.slot))
                              .arg(from);
    const int largest = workspace_.state().largest;
    if (!hasSet() || levelOfSlot(session.slot) > largest) {
        prompts_.information(kTitle, saved + QStringLiteral("\n\nIt was not taken into the current set."));
        return;
    }
    if (!prompts_.question(kTitle, saved + QStringLiteral("\n\nTake this level into the current set?"))) return;
    // Taken, it is this set's level from now on.
    session.instance = history_.current().instance;
    takePaintSession(session);
}

}  // namespace corvane
