// Transparency maps, the greyscale transparency view and taking a palette
// over from the slot the paint program edited.
#pragma once

#include "outcome.h"
#include "presets.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace corvane {

class Workspace;

struct MapResult {
    CommandOutcome outcome;  // refused, naming the cause, when the map cannot be read
    int bytesRead = 0;       // fewer than 256: the colours past the end kept their level
    QString shortNote;       // a warning for the user when the map was short
};

// Writes a file the user named: through a temporary file beside it, flushed
// and renamed over it, so the old file stays whole until the new one is.
// Nothing that is not a regular file is replaced.  A refusal is one line
// naming the cause.
CommandOutcome writeUserFile(const QString& path, const std::vector<uint8_t>& bytes);

// A map is exactly 256 bytes, byte i the low 8 bits of the level of colour i.
CommandOutcome saveMap(const QString& path, const LevelTable& levels);
// Reads the first 256 bytes of a regular file.
MapResult loadMap(const QString& path, LevelTable& levels);

// The slot the view is built from for a largest level; -1 when there is no view.
int transparencyViewSourceSlot(int largest);
// Writes the view of the largest level into the scratch slot: palette entry i
// grey at the level of colour i (fourth byte kept), `currentColour` red when
// it is 0..255.  Refused, saying why, when the source slot or the scratch
// slot fails.
CommandOutcome buildTransparencyView(const Workspace& workspace, const LevelTable& levels, int currentColour = -1);
// Writes the view last built to `path` as writeUserFile does.
CommandOutcome saveTransparencyView(const Workspace& workspace, const QString& path);

extern const char* const kPaletteUpdateWarning;

// Copies the edited slot's 256 palette entries (fourth bytes included) over
// the header slot's, when the edited slot is an 8-bit BMP with a full palette;
// refused, saying why the palette was not taken over, when it is not.
CommandOutcome updatePaletteFromEditedSlot(const Workspace& workspace);
// The same from any picture file; with an empty name the header slot is
// rewritten as it is.
CommandOutcome updatePaletteFromFile(const Workspace& workspace, const QString& picture);

}  // namespace corvane
