// Showing the slots in the views and handing them to the paint program.
#include "editing.h"

#include "anyimage.h"
#include "forms.h"
#include "mainwindow.h"
#include "files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>

namespace corvane {

bool startDetached(const QString& program, const QStringList& arguments) {
    // An argument list, never a shell line, so blanks in paths hold together.
    return QProcess::startDetached(program, arguments);
}

QString locateProgram(const QString& path) {
    if (path.trimmed().isEmpty()) return {};
    const QString native = QDir::fromNativeSeparators(path);
    const qsizetype cut = native.lastIndexOf(u'/');
    if (cut < 0) return QStandardPaths::findExecutable(native);
    // Searching just its own folder also tries the usual program extensions
    // where a system has them.
    const QFileInfo info(native);
    return QStandardPaths::findExecutable(info.fileName(), {info.absolutePath()});
}

int editLevelIndex(int32_t largest) {
    const int slot = slotOfLevel(largest);
    return slot < 0 ? slotOfLevel(4) - 1 : slot - 1;
}

}  // namespace corvane

namespace {

const char* const kTitle = "Corvane";

QString folderOf(const QString& path) {
    const qsizetype cut = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
    return cut < 0 ? QString() : path.left(cut + 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// The paint program

void TForm1::editslot(int levelIndex) {
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
    const QString program = corvane::locateProgram(editor);
    if (program.isEmpty() || !startProgram_(program, {slotFile})) {
        prompts_.warning(kTitle, "The editing program " + QDir::toNativeSeparators(editor) +
                                     " cannot be started: it is missing or is not a program. Choose another "
                                     "with Prefs > Select Editor.");
    }
}

void TForm1::doeditClick() { editslot(corvane::editLevelIndex(workspace_.state().largest)); }

void TForm1::seleditClick() {
    editselect.initialFolder = folderOf(editselect.fileName);
    runDialog(editselect);
    // Set again after a cancel too: the button and hint then stay as they were.
    showLauncherFiles();
}

// The views' double-clicks, by the level each shows (the large window's view
// of the 512 level is level index 0).
void TForm1::AnyImage1DblClick() { editslot(1); }
void TForm1::AnyImage2Click() { editslot(2); }
void TForm1::AnyImage3Click() { editslot(3); }
void TForm1::AnyImage4DblClick() { editslot(4); }
void TForm1::AnyImage5DblClick() { editslot(5); }
void TForm1::AnyImage6DblClick() { editslot(6); }
void TForm1::AnyImage7DblClick() { editslot(7); }
void TForm1::AnyImage8DblClick() { editslot(8); }
void TForm1::AnyImage9DblClick() { editslot(9); }

// ---------------------------------------------------------------------------
// The views

QByteArray TForm1::editedSlotDigest() const {
    const int slot = workspace_.state().editedSlot;
    if (slot < 0 || slot >= corvane::kSlotCount) return {};
    std::vector<uint8_t> bytes;
    // A slot that is not there is something a paint program can change too.
    if (!corvane::readFileBytes(workspace_.slotPath(slot), bytes)) return QByteArrayLiteral("none");
    return QCryptographicHash::hash(
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())),
        QCryptographicHash::Sha256);
}

void TForm1::Button1Click() {
    // A slot the paint program has written since it was handed over is a change to the set.
    corvane::SetState& state = workspace_.state();
    if (!state.editedDigest.isEmpty()) {
        const QByteArray now = editedSlotDigest();
        if (now != state.editedDigest) {
            state.modified = true;
            state.editedDigest = now;
        }
    }
    refresh();
}

void TForm1::refresh() {
    clearViews();
    flushClick();
    showViews();
}

void TForm1::flushClick() {
    const corvane::LevelVisibility shown = corvane::levelVisibility(workspace_.state().largest);
    // The large window is shown by showViews, once it has its place.
    if (form3_ && !shown.large) form3_->hide();
    const auto all = views();
    for (size_t i = 0; i < all.size(); ++i) all[i]->setVisible(shown.views[i]);
}

void TForm1::showViews() {
    // A view keeps its last picture when its file cannot be read; a level
    // the set does not have must show nothing, not a level of the set before.
    const auto show = [this](corvane::TAnyImage* view, int slot) {
        view->setFileName(workspace_.slotPath(slot));
        if (!QFileInfo::exists(workspace_.slotPath(slot))) view->clearPicture();
    };
    if (form3_) {
        show(form3_->AnyImage1, 1);
        if (!workspace_.state().largeViewPlaced) {
            form3_->applyGeometry(largeWindow);
            workspace_.state().largeViewPlaced = true;
        }
        form3_->setVisible(workspace_.state().largest == 512);
    }
    const auto all = views();
    for (size_t i = 0; i < all.size(); ++i) show(all[i], int(i) + 2);
}
