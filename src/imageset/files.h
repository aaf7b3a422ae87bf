// Reading whole files and replacing them so that a failure at any point
// leaves the old file where it was.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QTemporaryFile;

namespace corvane {

// Reads at most `limit` bytes of a file; false when it cannot be opened or is
// not a regular file (a FIFO or a device would never end).
bool readFileBytes(const QString& path, std::vector<uint8_t>& bytes, int64_t limit = 64 << 20);
// Writes `bytes` to a temporary file beside `path`, flushes it to the disk
// and renames it over `path`, so `path` holds either the old or the new bytes.
// A link at `path` is itself replaced; what it points at is left as it is.
// Temporary files that killed writers left in the folder are removed first
// (see temporaries.h; a folder is looked through at most every few seconds).
// `error` says why a save failed, the system's reason included ("no space
// left on the device").
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
