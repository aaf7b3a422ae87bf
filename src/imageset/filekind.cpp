#include "filekind.h"

#include "fileaccess.h"
#include "layout.h"
#include "setcommands.h"

#include "quorimg.h"

#include <QFile>

namespace corvane {

FileKind classify(const QString& path) {
    QFile file;
    if (!openForReading(file, path).isEmpty()) return FileKind::Unreadable;
    const QByteArray head = file.read(4);
    if (head == QByteArrayLiteral("DDS ")) return FileKind::Dds;
    // A set is told by its header first: a raw texture has none, but its
    // first bytes may spell "BM" by chance, and it is never a set's shape.
    if (head.startsWith("BM") && checkSplittable(readHeaderFacts(path)).ok) return FileKind::ExtendedBitmap;
    // Load Extended knows raw textures by their length alone.
    if (file.size() == kRawTextureSize) return FileKind::RawTexture;
    file.close();
    if (_Pic_Valid(nativeName(path).constData()) != 0) return FileKind::Picture;
    return FileKind::Unreadable;
}

}  // namespace corvane
