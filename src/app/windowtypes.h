// Small types and helpers the windows share: the picture formats the library
// lists, placing one window over another, the large window's kept geometry,
// the status lines as shown and the folder of a path.
#pragma once

#include "quorimg.h"
#include "workspace.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>

namespace corvane {

// The picture formats the image library reads, as its four routines list them.
struct PictureFormatTable {
    int32_t (*count)();
    const char* (*description)(int32_t);
    const char* (*extension)(int32_t);
    const char* (*pattern)(int32_t);
};
PictureFormatTable libraryPictureFormats();

// The open filter for pictures: the library's combined entry, one entry per
// format with its extension in brackets, then "All Files|*.*".
QString pictureFilter(const PictureFormatTable& formats = libraryPictureFormats());

// Top-left of a window of the given size centred over another (halves
// rounded toward zero).
QPoint centredOver(const QRect& owner, const QSize& size);

// Where the large window goes the first time it is shown, and where it was
// when last hidden.
struct LargeWindowGeometry {
    int32_t left = 10, top = 10, width = 256, height = 256;
};

// The status lines before any set has given its own: the labels' captions.
StatusLines initialStatusLines();
// What the status lines show once a command has run: the set's lines when it
// has a name to show; otherwise the lines shown before stay.
StatusLines statusShown(const StatusLines& set, const StatusLines& shownBefore);

// The folder of a file the user has just chosen, absolute, with no
// separator at the end.
QString folderOfChosenFile(const QString& path);
// The folder part of a stored path as written, separator included (either
// kind: a stored path may come from another system); empty for a bare name.
QString folderPartOf(const QString& path);
// The last part of a path, whichever separator it uses.
QString fileNameOnly(const QString& path);

}  // namespace corvane
