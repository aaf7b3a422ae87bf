// The whole workspace at one moment: every slot file's bytes, the set's
// state and its status lines.  Undo keeps a row of these; putting one back
// makes the workspace exactly what it was.
#pragma once

#include "outcome.h"
#include "workspace.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

namespace corvane {

struct WorkspaceSnapshot {
    // Each slot file's bytes; nothing for a slot file that is not there.
    std::array<std::optional<QByteArray>, kSlotCount> files;
    SetState state;
    StatusLines status;

    // Slot files, state and status lines all the same.
    bool operator==(const WorkspaceSnapshot& other) const;
};

// Reads every slot.  A slot whose bytes equal those of the same slot in
// `previous` shares them, so a row of snapshots holds each unchanged file once.
WorkspaceSnapshot captureWorkspace(const Workspace& workspace, const WorkspaceSnapshot* previous = nullptr);

// Puts the snapshot back: the slot files that differ are rewritten (through
// staging, so a failure leaves them as they were), those it lacks removed,
// and the state and status lines taken, except what belongs to the window
// rather than the set (the large window's placement).  Refused, with the
// reason, when a slot could not be written.
CommandOutcome restoreWorkspace(Workspace& workspace, const WorkspaceSnapshot& snapshot);

// A digest of what the set is: the header, level and alpha slots (the
// scratch slot only passes through).  Equal digests, equal sets.
QByteArray setDigest(const WorkspaceSnapshot& snapshot);

}  // namespace corvane
