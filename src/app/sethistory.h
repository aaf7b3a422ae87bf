// What Undo and Redo step through: the set as it stood after each command
// that changed it, oldest first, kept in memory.  Each step holds the whole
// workspace (unchanged slot files shared with the step before), so stepping
// back puts back slots, palette, state, status lines and title exactly.
#pragma once

#include "palettelevels.h"
#include "snapshot.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <deque>

namespace corvane {

struct SetStep {
    WorkspaceSnapshot workspace;
    PaletteLevels palette;  // the levels in memory, the transparency editor's
    // Which set this is: a load, a new set or a batch run makes another; the
    // steps that change a set keep it.
    uint64_t instance = 0;
    QString name;  // the command that made this step ("Create Image Set")
    // A step made right after one with the same key takes its place (the
    // keystrokes of one number are one change).
    QString mergeKey;
    // Levels changed in the transparency editor that its palette does not
    // hold yet; they count as part of the set.
    bool pendingLevels = false;
    int editorRun = 0;  // the run of the transparency editor that made it, 0 outside it
    QByteArray digest;  // what the set is, pending levels included (see stepDigest)
};

// The set's content: the slots' digest, and the pending levels.
QByteArray stepDigest(const SetStep& step);

class SetHistory {
public:
    // Steps back that Undo can take at most.
    static constexpr int kDepth = 32;

    // Forgets every step; `base` is the set as it stands.
    void reset(SetStep base);
    const SetStep& current() const { return steps_.at(at_); }
    SetStep& current() { return steps_.at(at_); }

    // Adds the step after the current one: what Redo would have brought back
    // goes, and beyond kDepth the oldest.
    void push(SetStep step);

    // The step Undo goes back to and the one Redo brings back, or null.
    const SetStep* previous() const { return at_ > 0 ? &steps_[at_ - 1] : nullptr; }
    const SetStep* next() const { return at_ + 1 < steps_.size() ? &steps_[at_ + 1] : nullptr; }
    // The names Undo and Redo show: the command undone, or redone.
    QString undoName() const { return at_ > 0 ? steps_[at_].name : QString(); }
    QString redoName() const { return next() ? next()->name : QString(); }
    void stepBack() {
        if (at_ > 0) --at_;
    }
    void stepForward() {
        if (next()) ++at_;
    }

    // The transparency editor has closed: its steps that only changed levels
    // in memory go, for those levels were saved or dropped.  The step that
    // stays current holds the same slots.
    void dropPendingLevels();

    size_t size() const { return steps_.size(); }
    size_t position() const { return at_; }

private:
    std::deque<SetStep> steps_{SetStep{}};
    size_t at_ = 0;
};

}  // namespace corvane
