// Cutting an Extended Bitmap into the slot files and joining them back.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

#include "layout.h"
#include "outcome.h"
#include "workspace.h"

namespace corvane {

class SetHandOff;
class SlotStaging;
class Workspace;

struct SplitReport {
    // Done: the staging holds the file's levels.  Refused, saying why, when
    // the file is no set (nothing was staged) or a slot could not be written
    // (the split stopped part way; the staging drops what it made).
    CommandOutcome outcome;
    std::vector<int> missingLevels;     // levels the file ended before or inside of (largest first)
    std::vector<int> incompleteLevels;  // those it ended inside of: written, the rest zero
    int levelsWritten = 0;              // level files made, complete or not
    int largest = 0;                    // the set's largest level, when known

    // A user-facing note about missing levels, empty when there is nothing to say.
    QString missingNote() const;
};

// Both check the header first and stage nothing when the file is not a set
// they can cut; otherwise they stage slots 0..10, which the caller puts in
// place in place of the old set.  The split to use follows the state's
// header fields (see probeHeader).
SplitReport split8(const QString& path, Workspace& workspace, SlotStaging& staging);
SplitReport splitHighColour(const QString& path, Workspace& workspace, SlotStaging& staging);

// A level file: `header` (whose length is where the pixels start) sized to
// the level, then `packed` (the level's rows as a set stores them, bottom row
// first) with each row padded to four bytes.
std::vector<uint8_t> levelFile(std::vector<uint8_t> header, int edge, int bytesPerPixel,
                               const std::vector<uint8_t>& packed);
// The level's bytes as a set stores them (rows packed, bottom row first)
// from a level file whose pixels start at `start`; zeros where it is short.
std::vector<uint8_t> packedLevel(const std::vector<uint8_t>& file, size_t start, int edge, int bytesPerPixel);
// Stages level files from `file`, levels `largest` down to 1, starting at
// `pixelsAt`, each made by levelFile with `levelHeader`.
void writeLevelFiles(const std::vector<uint8_t>& file, size_t pixelsAt, int largest, int bytesPerPixel,
                     std::vector<uint8_t> levelHeader, SlotStaging& staging, SplitReport& report);

// Stages the alpha slot from a 4-4-4-4 file (high nibble of each pixel word)
// or a 32-bit file (fourth byte of each pixel), one byte per pixel of every
// level.  `cause` gets why a file could not be read or written.
bool extractAlpha(const QString& path, SlotStaging& staging, QString* cause = nullptr);

// Writes the file's length at offset 2.
bool patchFileSize(const QString& path);

// The levels of the set, largest first, whose slot files are missing.
std::vector<int> missingLevels(const Workspace& workspace);
// Those and the levels the loaded file ended inside of: what Create Image Set
// has to make before the set is saved.
std::vector<int> levelsNotWhole(const Workspace& workspace);
// "128x128, 64x64" and so on.
QString levelNames(const std::vector<int>& levels);
// Why a set with those levels missing is not saved.
QString missingLevelsMessage(const std::vector<int>& missing);

// Which levels a join needs.  Every saved set is whole; the file handed to
// the texture tool may end after the levels there are (the tool makes the
// rest from the largest).
enum class LevelsNeeded { All, FromTheLargest };

// Where a join puts the set's bytes: a file, written complete beside it and
// renamed into place (or, when the hand-off takes the file, handed on to be
// flushed and put in place on the committer's thread), or a buffer the
// caller keeps, when nothing is written.
struct JoinOutput {
    JoinOutput(const QString& path, SetHandOff* handOff = nullptr) : path(path), handOff(handOff) {}
    explicit JoinOutput(std::vector<uint8_t>& bytes) : bytes(&bytes) {}

    QString path;
    SetHandOff* handOff = nullptr;
    std::vector<uint8_t>* bytes = nullptr;
};

// A failure never leaves a half-written file where a good one was.
CommandOutcome join8(const Workspace& workspace, const JoinOutput& output, LevelsNeeded needed = LevelsNeeded::All);
CommandOutcome join16(const Workspace& workspace, const JoinOutput& output, LevelsNeeded needed = LevelsNeeded::All);
CommandOutcome join32(const Workspace& workspace, const JoinOutput& output, LevelsNeeded needed = LevelsNeeded::All);
// Which colours a join writes.  Saved: the set's own depth, as saving
// writes it.  Full: for the texture tool and the DDS writer, which start
// from the picture rather than from its rounding: a 16-bit set whose level
// slots hold colours its form cannot (a picture just imported, a level
// painted in full colour) is written as a 24-bit set, or 32-bit for
// 4-4-4-4, with the same header fields and record; any other set as saved.
enum class SetColours { Saved, Full };

// The join the set's depth calls for.
CommandOutcome writeSet(const Workspace& workspace, const JoinOutput& output, LevelsNeeded needed = LevelsNeeded::All,
                        SetColours colours = SetColours::Saved);
// A high-colour set held in memory rather than in slot files, as a load and
// Create Image Set would leave it in the workspace: its state, slot 0's
// bytes, and every level as RGBA, top row first, largest first, one after
// another.  The batch makes its sets so when nobody needs to see them.
struct HeldSet {
    SetState state;
    std::vector<uint8_t> header;
    std::vector<uint8_t> rgba;
};
// What writeSet would write for the same set in the workspace's slots.
CommandOutcome writeSet(const HeldSet& set, const JoinOutput& output, SetColours colours = SetColours::Saved);

// The bytes writeSet would write for the whole set, kept in memory.
inline CommandOutcome setBytes(const Workspace& workspace, std::vector<uint8_t>& bytes,
                               SetColours colours = SetColours::Saved) {
    return writeSet(workspace, JoinOutput(bytes), LevelsNeeded::All, colours);
}

}  // namespace corvane
