// New slot files are written under names of their own and put in place
// together only once every one of them was made, so a command that fails
// half way (a full disk, a picture the library refuses) leaves the set
// exactly as it was.
#pragma once

#include <QString>

#include <array>

#include "outcome.h"
#include "workspace.h"

namespace corvane {

class SlotStaging {
public:
    explicit SlotStaging(const Workspace& workspace);
    ~SlotStaging();  // staged files that were not put in place go
    SlotStaging(const SlotStaging&) = delete;
    SlotStaging& operator=(const SlotStaging&) = delete;

    // Where the new content of `slot` is written: a file of its own while the
    // slot holds something, the slot itself when it is empty (nothing can be
    // lost there, and a batch's fresh sets then need no renames).
    QString path(int slot);
    bool staged(int slot) const { return staged_.at(size_t(slot)); }
    // The staged file when there is one, else the slot itself: what the slot
    // will hold once the staging is put in place.
    QString current(int slot) const;

    // Moves every staged file over its slot.  With `replaceSet` the slots
    // that were not staged are removed: a new set replaces the old one.
    // Refused, with the reason, when a file cannot be put in place.
    CommandOutcome commit(bool replaceSet);
    // Forgets every staged file (they are removed).
    void discard();

private:
    QString stagedPath(int slot) const;

    const Workspace& workspace_;
    std::array<bool, kSlotCount> staged_{};
    std::array<bool, kSlotCount> direct_{};  // staged in the empty slot itself
};

}  // namespace corvane
