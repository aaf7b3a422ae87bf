// Cutting an Extended Bitmap into the slot files and joining them back.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "layout.h"

class QTemporaryFile;

namespace corvane {

class SlotStaging;
class Workspace;

struct SplitReport {
    bool done = false;               // the slots now hold the file's levels
    QString refusal;                 // nothing was touched, and why
    QString failure;                 // the split stopped part way (a slot could not be written)
    std::vector<int> missingLevels;  // levels the file ended before (largest first)
    int levelsWritten = 0;           // level files made, complete or not

    // A user-facing note about missing levels, empty when there is nothing to say.
    QString missingNote() const;
};

// Both check the header first and stage nothing when the file is not a set
// they can cut; otherwise they stage slots 0..10, which the caller puts in
// place in place of the old set.  The split to use follows the state's
// header fields (see headerProbe).
SplitReport split8(const QString& path, Workspace& workspace, SlotStaging& staging);
SplitReport splitHighColour(const QString& path, Workspace& workspace, SlotStaging& staging);

// Stages level files from `file`, levels `largest` down to 1, starting at
// `pixelsAt`, each with `levelHeader` sized to its level; 8-bit 2x2 levels
// get four-byte rows as the split makes them.
void writeLevelFiles(const std::vector<uint8_t>& file, size_t pixelsAt, int largest, int bytesPerPixel,
                     std::vector<uint8_t> levelHeader, SlotStaging& staging, SplitReport& report);

// Stages the alpha slot from a 4-4-4-4 file (high nibble of each pixel word)
// or a 32-bit file (fourth byte of each pixel), one byte per pixel of every level.
bool extractAlpha(const QString& path, SlotStaging& staging);

// Writes the file's length at offset 2.
bool patchFileSize(const QString& path);

// The levels of the set, largest first, whose slot files are missing.
std::vector<int> missingLevels(const Workspace& workspace);
// "128x128, 64x64" and so on.
QString levelNames(const std::vector<int>& levels);
// Why a set with those levels missing is not saved.
QString missingLevelsMessage(const std::vector<int>& missing);

struct JoinResult {
    bool ok = false;
    QString error;  // for the user, when not ok
};

// Which levels a join needs.  Every saved set is whole; the file handed to
// the texture tool may end after the levels there are (the tool makes the
// rest from the largest).
enum class LevelsNeeded { All, FromTheLargest };

// Each writes a complete file beside `output` and renames it into place, so
// a failure never leaves a half-written file where a good one was.
JoinResult join8(const Workspace& workspace, const QString& output, LevelsNeeded needed = LevelsNeeded::All);
JoinResult join16(const Workspace& workspace, const QString& output, LevelsNeeded needed = LevelsNeeded::All);
JoinResult join32(const Workspace& workspace, const QString& output, LevelsNeeded needed = LevelsNeeded::All);
// The join the set's depth calls for.
JoinResult writeSet(const Workspace& workspace, const QString& output, LevelsNeeded needed = LevelsNeeded::All);
// The bytes writeSet would write for the whole set, kept in memory.
JoinResult setBytes(const Workspace& workspace, std::vector<uint8_t>& bytes);

// Reads at most `limit` bytes of a file; false when it cannot be opened or is
// not a regular file (a FIFO or a device would never end).
bool readFileBytes(const QString& path, std::vector<uint8_t>& bytes, int64_t limit = 64 << 20);
// Writes `bytes` to a temporary file beside `path`, flushes it to the disk
// and renames it over `path`, so `path` holds either the old or the new bytes.
// A link at `path` is itself replaced; what it points at is left as it is.
// Temporary files that killed writers left in the folder are removed first
// (see temporaries.h; a folder is looked through at most every few seconds).  `error` says why a save failed, the system's reason
// included ("no space left on the device").
bool replaceFileAtomically(const QString& path, const std::vector<uint8_t>& bytes, QString* error = nullptr);
// The same in two halves: the temporary file written (null on failure, told
// in `error`), then flushed to the disk and put in place.
std::unique_ptr<QTemporaryFile> writeReplacement(const QString& path, const std::vector<uint8_t>& bytes,
                                                 QString* error);
bool putReplacementInPlace(QTemporaryFile& temp, const QString& path, QString* error);

// Tests make a stage of the write fail: the hook answers true to fail there.
enum class WriteStage { Create, Write, Flush, Rename };
void setWriteFaultForTesting(std::function<bool(WriteStage)> fault);

}  // namespace corvane
