// Opening the files the user names.  A name may stand for anything: a FIFO,
// a device or a folder would make a plain open or read wait forever (or read
// forever), so only regular files are opened, and the open never waits.  Also
// the user's words for why a file could not be read or written.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

class QFile;

namespace corvane {

// File names as the system holds them are bytes.  Read as UTF-8 where they
// are UTF-8; any other byte is kept as a code unit of its own, U+DC80 to
// U+DCFF (lone surrogates, which no decoded text holds), so that every name
// the file system holds comes back to the same bytes.  Every system call
// and every library call on a name the user gave goes through these.
QString nameFromNative(const QByteArray& bytes);
QByteArray nativeName(const QString& name);
// The name for the user to read: each kept byte shows as \xE9 and so on,
// each control character as \x1B (C1 controls as \u009B).
QString readableName(QString name);

// `path` made absolute against the current folder and cleaned, by its text
// alone: Qt's own way goes through the system's encoding, which keeps no
// byte that is not UTF-8.  folderOfName() is its folder part.
QString absoluteName(const QString& path);
QString folderOfName(const QString& path);

// What the file system holds at `path`.  Links are followed unless told.
enum class EntryKind { Missing, File, Folder, Link, Fifo, Device, Socket, Other };
EntryKind entryKind(const QString& path, bool followLinks = true);
// The kind that a stat's st_mode tells (POSIX systems).
EntryKind entryKindOfMode(unsigned mode);
// "a folder", "a FIFO", "a device", "a socket": what stands at a path in
// place of a regular file.
QString entryKindText(EntryKind kind);
// The length of a regular file, or -1.
int64_t regularFileLength(const QString& path);
// The folder with every link and "." or ".." resolved; empty when it cannot be.
QString resolvedFolder(const QString& folder);
// True when names in `folder` that differ in case alone name one file: on
// Windows and macOS, and on Linux on a FAT, exFAT or NTFS disk or in a
// folder made case-insensitive (ext4's and f2fs's casefold).
bool folderFoldsCase(const QString& folder);

// The cause given for a FIFO, a device, a folder ... named as a file to read.
extern const char* const kNotRegularFile;  // "is not a regular file"

// The cause of a failed system call in the user's words: "no such file or
// folder", "permission denied", "no space left on the device", "is a folder" ...
QString causeOfError(int error);

// Opens `path` read-only without waiting, and only when it is a regular file.
// Returns why it was not opened, or an empty text when `file` is open.
QString openForReading(QFile& file, const QString& path);
// Reads up to `limit` bytes of a regular file the same way, with no more
// calls to the system than that takes.  Returns why not, or an empty text.
QString readRegularFile(const QString& path, std::vector<uint8_t>& bytes, int64_t limit);
// Why `path` cannot be opened for reading, or an empty text when it can.
QString causeNotReadable(const QString& path);

// One line for the user: "<path> is not a regular file." or
// "Cannot read <path>: <cause>."
QString cannotReadText(const QString& path, const QString& cause);

// One line for a step of a command that failed: "<step>: <cause>.", or
// "<step>." when there is no cause to give.
QString stepFailure(const QString& step, const QString& cause);

// What stands in the way of writing `path` now: a folder or something that is
// not a regular file of that name, a missing folder, no permission, a full
// disk.  Empty when nothing is seen.
QString causeNotWritable(const QString& path);

}  // namespace corvane
