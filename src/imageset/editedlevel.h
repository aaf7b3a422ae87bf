// Taking a level back from the paint program.  Whatever form the program
// saved it in, the level goes into its slot in the set's own form: an 8-bit
// level on the set's palette, matched by colour (paint programs often store
// a palette's colours in another order), a high-colour level packed as the
// set stores it, keeping the set's transparency when it brought none.  So
// the view shows exactly what Save writes.
#pragma once

#include "setcommands.h"

#include <QString>

namespace corvane {

class ImageLibrary;
class Workspace;

struct LevelIntake {
    CommandOutcome outcome;  // not ok: the slot is as it was, and why
    bool changed = false;    // the set's slots now hold something else
    // What was done to the picture on its way in, for the status; empty when
    // it came back in the set's own form.
    QString note;
};

// Takes `picture` (a file the paint program saved) into the level slot `slot`.
LevelIntake takeEditedLevel(Workspace& workspace, ImageLibrary& library, const SetOptions& options, int slot,
                            const QString& picture);

}  // namespace corvane
