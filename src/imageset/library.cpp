#include "library.h"

#include <QFile>

#include <cstring>

namespace corvane {

namespace {
QByteArray native(const QString& path) { return QFile::encodeName(path); }
}  // namespace

int32_t contextField(const QuorContext& context, int offset) {
    int32_t value = 0;
    std::memcpy(&value, context.bytes + offset, sizeof value);
    return value;
}

bool QuorLibrary::anyToBmp(const QString& source, const QString& destination) {
    return _anytobmps(native(source).constData(), native(destination).constData(), &context_, 0, 0) != 0;
}

bool QuorLibrary::anyTo256(const QString& source, const QString& destination) {
    return _anyto256(native(source).constData(), native(destination).constData(), &context_, 0, 0) != 0;
}

bool QuorLibrary::check(const QString& file, int& width, int& height, int& bits) {
    if (_checkbmp(native(file).constData(), &context_) == 0) return false;
    width = contextField(context_, QUOR_CONTEXT_WIDTH);
    height = contextField(context_, QUOR_CONTEXT_HEIGHT);
    bits = contextField(context_, QUOR_CONTEXT_BPP);
    return true;
}

bool QuorLibrary::resize(const QString& source, const QString& destination, int width, int height) {
    return _bmpresize(native(source).constData(), native(destination).constData(), &context_, width, height) != 0;
}

bool QuorLibrary::filter(const QString& source, const QString& destination, int filterNumber) {
    return _bmprocess(native(source).constData(), native(destination).constData(), &context_, filterNumber) != 0;
}

bool QuorLibrary::adjust(const QString& source, const QString& destination, int a, int b, int c, int d, int e) {
    return _bmpprocess(native(source).constData(), native(destination).constData(), &context_, a, b, c, d, e) != 0;
}

bool QuorLibrary::remap(const QString& source, const QString& destination, const QString& paletteFile) {
    return _bmpremap(native(source).constData(), native(destination).constData(), &context_,
                     native(paletteFile).constData()) != 0;
}

bool QuorLibrary::valid(const QString& file) { return _Pic_Valid(native(file).constData()) != 0; }

}  // namespace corvane
