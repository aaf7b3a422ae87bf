#include "snapshot.h"

#include "files.h"
#include "staging.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <vector>

namespace corvane {

namespace {

std::optional<QByteArray> readSlot(const QString& path) {
    if (!QFileInfo(path).isFile()) return std::nullopt;
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, bytes)) return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

bool writeWhole(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush();
}

}  // namespace

bool WorkspaceSnapshot::operator==(const WorkspaceSnapshot& other) const {
    return files == other.files && state == other.state && status == other.status;
}

WorkspaceSnapshot captureWorkspace(const Workspace& workspace, const WorkspaceSnapshot* previous) {
    WorkspaceSnapshot snapshot;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        std::optional<QByteArray> bytes = readSlot(workspace.slotPath(slot));
        const std::optional<QByteArray>* before = previous ? &previous->files[size_t(slot)] : nullptr;
        if (bytes && before && *before && **before == *bytes) bytes = *before;  // shares the bytes
        snapshot.files[size_t(slot)] = std::move(bytes);
    }
    snapshot.state = workspace.state();
    snapshot.status = workspace.status();
    return snapshot;
}

CommandOutcome restoreWorkspace(Workspace& workspace, const WorkspaceSnapshot& snapshot) {
    SlotStaging staging(workspace);
    for (int slot = 0; slot < kSlotCount; ++slot) {
        const std::optional<QByteArray>& wanted = snapshot.files[size_t(slot)];
        if (!wanted || readSlot(workspace.slotPath(slot)) == wanted) continue;
        if (!writeWhole(staging.path(slot), *wanted))
            return CommandOutcome::refused(
                QStringLiteral("The work file %1 could not be written.").arg(workspace.slotPath(slot)));
    }
    if (CommandOutcome committed = staging.commit(false); !committed.ok) return committed;
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (!snapshot.files[size_t(slot)]) Workspace::removeFile(workspace.slotPath(slot));

    SetState& state = workspace.state();
    const SetState kept = state;
    state = snapshot.state;
    // Where the large window stands and which slot the paint program had
    // are the window's, not the set's.
    state.largeViewPlaced = kept.largeViewPlaced;
    state.editedSlot = kept.editedSlot;
    state.modified = kept.modified;
    workspace.status() = snapshot.status;
    return {};
}

QByteArray setDigest(const WorkspaceSnapshot& snapshot) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (slot == ScratchSlot) continue;
        const std::optional<QByteArray>& bytes = snapshot.files[size_t(slot)];
        // The length first, so that no two different rows of files hash alike.
        const qint64 length = bytes ? bytes->size() : -1;
        hash.addData(QByteArrayView(reinterpret_cast<const char*>(&length), sizeof length));
        if (bytes) hash.addData(*bytes);
    }
    // What the slots are read as.
    const SetState& s = snapshot.state;
    const int32_t form[] = {s.largest, int32_t(s.depth.form()), s.headerSize, s.recordCount};
    hash.addData(QByteArrayView(reinterpret_cast<const char*>(form), sizeof form));
    return hash.result();
}

}  // namespace corvane
