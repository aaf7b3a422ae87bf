// Reading whole files and replacing them so that a failure at any point
// leaves the old file where it was.
#pragma once

#include <QByteArray>
#include <QString>

#include "outcome.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace corvane {

// Reads at most `limit` bytes of a file; false when it cannot be opened or is
// not a regular file (a FIFO or a device would never end).
bool readFileBytes(const QString& path, std::vector<uint8_t>& bytes, int64_t limit = 64 << 20);

// An uncompressed 8-, 16-, 24- or 32-bit BMP whose pixels end before its
// last row: the whole rows it holds and the rows its header names.  Nothing
// for a whole file or any other kind.  Rows are counted without padding, so
// a file of packed rows is never taken for a short one.
struct CutShortRows {
    int64_t whole = 0, height = 0;
};
std::optional<CutShortRows> cutShortBmpRows(const QString& path);
// Writes `bytes` to a temporary file beside `path`, flushes it to the disk
// and renames it over `path`, so `path` holds either the old or the new bytes.
// Only a regular file is replaced: a folder, a FIFO, a device or a socket at
// `path` (or a link to one) is refused.  A link to a file, or to nothing, is
// itself replaced; what it points at is left as it is.  So is a file's other
// name: a hard-linked file keeps its bytes and mode under that name.  A
// read-only file is refused, unless a ReadOnlyFilesReplaced says otherwise.
// Temporary files that killed writers left in the folder are removed first
// (see temporaries.h; a folder is looked through at most every few seconds).
// A failed save is refused with why, the system's reason included ("no space
// left on the device").
CommandOutcome replaceFileAtomically(const QString& path, const std::vector<uint8_t>& bytes);
// The same for the program's own files in the work folder; returns why the
// file was not written, as its cause alone for a message that names the step
// ("no space left on the device"), or an empty text.
QString replaceWorkFile(const QString& path, const std::vector<uint8_t>& bytes);
// Writes `bytes` over the work folder's file at `path` in place, with no
// temporary file and no flush to the disk: for files that nothing reads
// while they are written.  Returns the cause of a failure, or an empty text.
QString writeWorkFile(const QString& path, const std::vector<uint8_t>& bytes);

// A new file written beside the one it is to replace, and not yet in its
// place; removed unless it takes it.
class Replacement {
public:
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    ~Replacement();

private:
    Replacement() = default;
    friend struct ReplacementWriter;
    int handle_ = -1;
    QByteArray name_;  // as the system holds it
    // In a held folder (see HeldFolder): a handle on it, and the name there.
    int folder_ = -1;
    QByteArray leaf_;
    bool placed_ = false;
};

// The same in two halves: the temporary file written, then flushed to the
// disk and put in place.
struct WrittenReplacement {
    std::unique_ptr<Replacement> file;  // null when it could not be written
    CommandOutcome outcome;             // refused with why, when it could not
};
WrittenReplacement writeReplacement(const QString& path, const std::vector<uint8_t>& bytes);
CommandOutcome putReplacementInPlace(Replacement& temp, const QString& path);

// While one lives on its thread, saves there replace a read-only file as
// they would a writable one (keeping its mode): a batch overwrites what its
// destination holds, as it was told to.
class ReadOnlyFilesReplaced {
public:
    ReadOnlyFilesReplaced();
    ~ReadOnlyFilesReplaced();
    ReadOnlyFilesReplaced(const ReadOnlyFilesReplaced&) = delete;
    ReadOnlyFilesReplaced& operator=(const ReadOnlyFilesReplaced&) = delete;
};

// While one lives, saves into `folder` (by that name) are made and put in
// place inside the folder opened when it began, whatever takes the name
// meanwhile: a folder swapped for a link part way through a batch does not
// lead its files elsewhere.  Elsewhere than Linux and its kin it holds nothing.
class HeldFolder {
public:
    explicit HeldFolder(const QString& folder);
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

private:
    QString name_;
    int handle_ = -1;
};

// Tests make a stage of the write fail: the hook answers true to fail there.
enum class WriteStage { Create, Write, Flush, Rename };
void setWriteFaultForTesting(std::function<bool(WriteStage)> fault);

}  // namespace corvane
