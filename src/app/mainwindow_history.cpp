// Undo and Redo, and what the current set is called and whether it differs
// from its file.  Every command that changes the set ends by recording a
// step; the step holds the whole workspace, so Undo puts back exactly what
// was there, and "*" shows exactly when the set is not what its file holds.
#include "mainwindow.h"

#include "batchpanel.h"
#include "transparencyeditor.h"

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace corvane {

namespace {

const char* const kTitle = "Corvane";
const char* const kWindowCaption = "Aviant Extended Bitmap Manipulator";
const char* const kEditHint = "Double Click on any Image to Edit it in the chosen Bitmap Program";

// What a command that alters the set did to it: a failure that left the
// views alone left the set alone too.
bool changedTheSet(const CommandOutcome& outcome) { return outcome.ok || outcome.refreshViews; }

}  // namespace

const SetIdentity& MainWindow::identity() const {
    static const SetIdentity none;
    const auto it = identities_.constFind(history_.current().instance);
    return it == identities_.constEnd() ? none : *it;
}

bool MainWindow::hasSet() const {
    return layout::isLevel(workspace_.state().largest) && QFileInfo(workspace_.slotPath(HeaderSlot)).isFile();
}

SetStep MainWindow::captureStep(const QString& name, uint64_t instance, const QString& mergeKey) const {
    SetStep step;
    step.workspace = captureWorkspace(workspace_, &history_.current().workspace);
    step.palette = palette_;
    step.instance = instance;
    step.name = name;
    step.mergeKey = mergeKey;
    step.editorRun = editorRun_;
    if (editorRun_ != 0 && palette_.paletteChanged) {
        // Levels the editor holds count only where they differ from the palette's.
        PaletteLevels saved;
        getpalette(workspace_, saved);
        step.pendingLevels = saved.levels != palette_.levels;
    }
    step.digest = stepDigest(step);
    return step;
}

void MainWindow::markChanged(const CommandOutcome& outcome, const QString& name) {
    // The step holds the palette as the set now has it.
    if (outcome.readPalette) getpalette(workspace_, palette_);
    if (changedTheSet(outcome)) recordChange(name);
    else refreshSetMark();
}

void MainWindow::markLoaded(const CommandOutcome& outcome, const QString& name, const SetIdentity& identity) {
    if (outcome.readPalette) getpalette(workspace_, palette_);
    if (!changedTheSet(outcome)) {
        refreshSetMark();
        return;
    }
    // A load that stopped half way holds no file's set.
    recordNewSet(name, outcome.ok ? identity : SetIdentity{}, outcome.ok);
}

void MainWindow::recordChange(const QString& name, const QString& mergeKey) {
    if (groupDepth_ > 0) {
        groupChanged_ = true;
        return;
    }
    const SetStep& now = history_.current();
    SetStep step = captureStep(name, now.instance, mergeKey);
    const bool same = step.workspace == now.workspace && step.palette.levels == now.palette.levels &&
                      step.pendingLevels == now.pendingLevels;
    if (!same) history_.push(std::move(step));
    refreshSetMark();
}

void MainWindow::endStepGroup(const QString& name) {
    if (--groupDepth_ > 0 || !groupChanged_) return;
    groupChanged_ = false;
    recordChange(name);
}

void MainWindow::recordNewSet(const QString& name, SetIdentity identity, bool cleanNow) {
    const uint64_t instance = ++lastInstance_;
    SetStep step = captureStep(name, instance);
    if (!identity.file.isEmpty()) identity.file = QFileInfo(identity.file).absoluteFilePath();
    identity.clean = cleanNow ? step.digest : QByteArray();
    identities_.insert(instance, identity);
    history_.push(std::move(step));
    refreshSetMark();
}

void MainWindow::refreshSetMark() {
    workspace_.state().modified = history_.current().digest != identity().clean;
    showTitle();
    updateUndoItems();
}

void MainWindow::showTitle() {
    QString title = QString::fromLatin1(kWindowCaption);
    const SetIdentity& set = identity();
    if (!set.file.isEmpty() || hasSet()) {
        const QString name = set.file.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(set.file).fileName();
        title =
            name + (workspace_.state().modified ? QStringLiteral("*") : QString()) + QStringLiteral(" \u2014 ") + title;
    }
    setWindowTitle(title);
}

void MainWindow::updateUndoItems() {
    if (!undoItem_ || !redoItem_) return;
    // The batch panel runs sets through the workspace; the transparency editor
    // steps through its own changes only.
    const bool panelClosed = batchPanel_ && batchPanel_->isHidden();
    const SetStep* back = history_.previous();
    const SetStep* forward = history_.next();
    const bool undoable = panelClosed && back && (editorRun_ == 0 || history_.current().editorRun == editorRun_);
    const bool redoable = panelClosed && forward && (editorRun_ == 0 || forward->editorRun == editorRun_);
    undoItem_->setEnabled(undoable);
    redoItem_->setEnabled(redoable);
    // "&&" shows one ampersand.
    const auto named = [](const char* verb, const QString& command) {
        return command.isEmpty()
                   ? QString::fromLatin1(verb)
                   : QStringLiteral("%1 %2").arg(QLatin1String(verb), QString(command).replace('&', "&&"));
    };
    undoItem_->setText(named("&Undo", history_.undoName()));
    redoItem_->setText(named("&Redo", history_.redoName()));
}

bool MainWindow::restoreStep(const SetStep& step) {
    if (const CommandOutcome restored = restoreWorkspace(workspace_, step.workspace); !restored.ok) {
        prompts_.warning(kTitle, QStringLiteral("The set could not be put back as it was: %1").arg(restored.error));
        return false;
    }
    palette_ = step.palette;
    // A step before any set was loaded had the lines the window starts with;
    // the last picture's would name what is no longer there.
    if (step.workspace.status.bitmap.isEmpty()) shownStatus_ = initialStatusLines();
    return true;
}

void MainWindow::undo() {
    if (!undoItem_->isEnabled() || !history_.previous() || !restoreStep(*history_.previous())) return;
    const QString undone = history_.undoName();
    history_.stepBack();
    reloadViews();
    showStatus();
    if (transparencyEditor_->isOpen()) transparencyEditor_->refresh();
    refreshSetMark();
    showNote(QStringLiteral("Undone: %1").arg(undone));
}

void MainWindow::redo() {
    if (!redoItem_->isEnabled() || !history_.next() || !restoreStep(*history_.next())) return;
    history_.stepForward();
    reloadViews();
    showStatus();
    if (transparencyEditor_->isOpen()) transparencyEditor_->refresh();
    refreshSetMark();
    showNote(QStringLiteral("Redone: %1").arg(history_.undoName()));
}

void MainWindow::transparencyEditorClosed() {
    editorRun_ = 0;
    // Levels not saved into the palette were dropped with the editor.
    if (palette_.paletteChanged) {
        getpalette(workspace_, palette_);
        palette_.paletteChanged = false;
    }
    history_.dropPendingLevels();
    history_.current().palette = palette_;
    refreshSetMark();
}

void MainWindow::showNote(const QString& note, int milliseconds) {
    editHint_->setText(note);
    QTimer::singleShot(milliseconds, editHint_, [label = editHint_, note] {
        if (label->text() == note) label->setText(QString::fromLatin1(kEditHint));
    });
}

}  // namespace corvane
