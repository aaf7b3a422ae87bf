#include "windowtypes.h"

#include <QFileInfo>

#include <algorithm>

namespace corvane {

PictureFormatTable libraryPictureFormats() { return {&_Pic_Count, &_Pic_Description, &_Pic_Extension, &_Pic_Pattern}; }

QString pictureFilter(const PictureFormatTable& formats) {
    const auto text = [](const char* s) { return s ? QString::fromUtf8(s) : QString(); };
    // Entry 0 is the library's "all pictures" entry: no extension in brackets.
    QString filter = text(formats.description(0)) + "|" + text(formats.pattern(0)) + "|";
    const int32_t count = formats.count();
    for (int32_t n = 1; n <= count; ++n) {
        filter +=
            text(formats.description(n)) + " (" + text(formats.extension(n)) + ")|" + text(formats.pattern(n)) + "|";
    }
    return filter + "All Files|*.*";
}

QPoint centredOver(const QRect& owner, const QSize& size) {
    return {owner.left() + (owner.width() - size.width()) / 2, owner.top() + (owner.height() - size.height()) / 2};
}

StatusLines initialStatusLines() {
    StatusLines lines;
    lines.showLine(QStringLiteral("Bitmap"));
    lines.maximum = QStringLiteral("Maximum");
    lines.loadedAs = QStringLiteral("Loaded as");
    return lines;
}

StatusLines statusShown(const StatusLines& set, const StatusLines& shownBefore) {
    return set.bitmap.isEmpty() ? shownBefore : set;
}

QString folderOfChosenFile(const QString& path) { return QFileInfo(path).absolutePath(); }

namespace {

qsizetype lastSeparator(const QString& path) { return std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\')); }

}  // namespace

QString folderPartOf(const QString& path) {
    const qsizetype cut = lastSeparator(path);
    return cut < 0 ? QString() : path.left(cut + 1);
}

QString fileNameOnly(const QString& path) { return path.mid(lastSeparator(path) + 1); }

}  // namespace corvane
