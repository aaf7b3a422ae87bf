// What a file is, judged from its bytes and never from its name.
#pragma once

#include <QString>

namespace corvane {

enum class FileKind {
    ExtendedBitmap,  // a BMP Load Extended takes as a set
    RawTexture,      // 65536 bytes of 256x256 palette indices, no header
    Dds,             // a DirectDraw Surface ("DDS " first)
    Picture,         // anything else the image library decodes
    Unreadable,      // missing, not a file, unreadable, or nothing we decode
};

// Reads the file's head (and, for a picture, lets the image library try it).
FileKind classify(const QString& path);

}  // namespace corvane
