#include "staging.h"

#include "fileaccess.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace corvane {

SlotStaging::SlotStaging(const Workspace& workspace) : workspace_(workspace) {}

SlotStaging::~SlotStaging() { discard(); }

QString SlotStaging::stagedPath(int slot) const {
    if (direct_.at(size_t(slot))) return workspace_.slotPath(slot);
    return workspace_.workDir() + QStringLiteral("new-") + QString::fromLatin1(slotFileName(slot));
}

QString SlotStaging::path(int slot) {
    if (!staged_.at(size_t(slot))) {
        direct_[size_t(slot)] = !QFileInfo::exists(workspace_.slotPath(slot));
        // A file left by an earlier command that stopped must not pass for this one's.
        if (!direct_[size_t(slot)]) Workspace::removeFile(stagedPath(slot));
        staged_[size_t(slot)] = true;
    }
    return stagedPath(slot);
}

QString SlotStaging::current(int slot) const {
    return staged_.at(size_t(slot)) ? stagedPath(slot) : workspace_.slotPath(slot);
}

CommandOutcome SlotStaging::commit(bool replaceSet) {
    // Every staged file was made by a step that would have failed otherwise.
    for (int slot = 0; slot < kSlotCount; ++slot) {
        const QString target = workspace_.slotPath(slot);
        if (!staged_[size_t(slot)]) {
            if (replaceSet) Workspace::removeFile(target);
            continue;
        }
        // A rename within one folder needs no room on the disk and replaces
        // the slot in one step.
        if (!direct_[size_t(slot)] &&
            std::rename(nativeName(stagedPath(slot)).constData(), nativeName(target).constData()) != 0) {
            return CommandOutcome::refused(QStringLiteral("The work file %1 could not be put in place.").arg(target));
        }
        staged_[size_t(slot)] = direct_[size_t(slot)] = false;
    }
    return {};
}

void SlotStaging::discard() {
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (!staged_[size_t(slot)]) continue;
        Workspace::removeFile(stagedPath(slot));
        staged_[size_t(slot)] = direct_[size_t(slot)] = false;
    }
}

}  // namespace corvane
