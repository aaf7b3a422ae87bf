#include "library.h"

#include "fileaccess.h"

#include <cstring>

namespace corvane {

namespace {
QByteArray native(const QString& path) { return nativeName(path); }
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

bool QuorLibrary::filter(const QString& source, const QString& destination, Filter filter) {
    return _bmprocess(native(source).constData(), native(destination).constData(), &context_, int32_t(filter)) != 0;
}

bool QuorLibrary::adjust(const QString& source, const QString& destination, const ColourAdjustment& adjustment) {
    const ColourAdjustment& a = adjustment;
    return _bmpprocess(native(source).constData(), native(destination).constData(), &context_, a.contrast, a.saturation,
                       a.gamma, a.brightness, a.warmth) != 0;
}

bool QuorLibrary::remap(const QString& source, const QString& destination, const QString& paletteFile) {
    return _bmpremap(native(source).constData(), native(destination).constData(), &context_,
                     native(paletteFile).constData()) != 0;
}

bool QuorLibrary::valid(const QString& file) { return _Pic_Valid(native(file).constData()) != 0; }

bool QuorLibrary::resizeFull(const QString& source, const QString& destination, int width, int height,
                             bool keepCoverage, int grid) {
    return _bmpresizergb(native(source).constData(), native(destination).constData(), &context_, width, height,
                         (keepCoverage ? QUOR_KEEP_COVERAGE : 0) | grid) != 0;
}

bool QuorLibrary::remapUsed(const QString& source, const QString& destination, const QString& palettePicture) {
    return _bmpremapused(native(source).constData(), native(destination).constData(), &context_,
                         native(palettePicture).constData()) != 0;
}

namespace {
size_t chainBytes(int edge) {
    size_t bytes = 0;
    for (int e = edge; e >= 1; e /= 2) bytes += size_t(e) * size_t(e) * 4;
    return bytes;
}
}  // namespace

bool QuorLibrary::chainRgba(const QString& source, int& edge, bool keepCoverage, int grid, std::vector<uint8_t>& rgba,
                            int* longer) {
    if (edge <= 0 || edge > 512) return false;
    rgba.resize(chainBytes(edge));
    const int32_t flags = (keepCoverage ? QUOR_KEEP_COVERAGE : 0) | grid | QUOR_CHAIN_FIT;
    if (_picchainrgb(native(source).constData(), &context_, edge, flags, rgba.data(), int32_t(rgba.size())) == 0)
        return false;
    edge = contextField(context_, QUOR_CONTEXT_WIDTH);
    if (longer) *longer = contextField(context_, QUOR_CONTEXT_LONGER);
    rgba.resize(chainBytes(edge));
    return true;
}

bool QuorLibrary::readRgba(const QString& file, int& width, int& height, int& bits, std::vector<uint8_t>& rgba) {
    return readPictureRgba(file, width, height, bits, rgba, &context_, width == height ? width : 0);
}

LibraryError QuorLibrary::lastError() {
    // The text may name files, in the bytes the file system holds.
    return {quorimg_last_error(), quorimg_last_errno(), nameFromNative(QByteArray(quorimg_last_error_text()))};
}

QString LibraryError::reason() const {
    if (!failed()) return {};
    if (systemError != 0) return causeOfError(systemError);
    return text;
}

bool decodePictureRgba(const std::vector<uint8_t>& bytes, int expectedEdge, int& bits, std::vector<uint8_t>& rgba) {
    if (bytes.empty() || bytes.size() > size_t(INT32_MAX) || expectedEdge <= 0) return false;
    QuorContext ctx{};
    rgba.resize(size_t(expectedEdge) * size_t(expectedEdge) * 4);
    const bool read = _bmpdecodergba(bytes.data(), int32_t(bytes.size()), &ctx, rgba.data(), int32_t(rgba.size())) != 0;
    bits = contextField(ctx, QUOR_CONTEXT_BPP);
    return read && contextField(ctx, QUOR_CONTEXT_WIDTH) == expectedEdge &&
           contextField(ctx, QUOR_CONTEXT_HEIGHT) == expectedEdge;
}

bool readPictureRgba(const QString& file, int& width, int& height, int& bits, std::vector<uint8_t>& rgba,
                     QuorContext* context, int expectedEdge) {
    QuorContext own{};
    QuorContext* ctx = context ? context : &own;
    const QByteArray path = native(file);
    std::memset(ctx->bytes, 0, QUOR_CONTEXT_BPP + 4);
    if (expectedEdge > 0) {
        // The size the caller knows: one read, which fails on any other size.
        rgba.resize(size_t(expectedEdge) * size_t(expectedEdge) * 4);
        const bool read = _bmpreadrgba(path.constData(), ctx, rgba.data(), int32_t(rgba.size())) != 0;
        width = contextField(*ctx, QUOR_CONTEXT_WIDTH);
        height = contextField(*ctx, QUOR_CONTEXT_HEIGHT);
        bits = contextField(*ctx, QUOR_CONTEXT_BPP);
        return read && width == expectedEdge && height == expectedEdge;
    }
    // First the size, then the pixels; a file that changes in between is refused.
    _bmpreadrgba(path.constData(), ctx, nullptr, 0);
    const int32_t w = contextField(*ctx, QUOR_CONTEXT_WIDTH), h = contextField(*ctx, QUOR_CONTEXT_HEIGHT);
    if (w <= 0 || h <= 0 || int64_t(w) * h > (int64_t(1) << 26)) return false;
    rgba.resize(size_t(w) * size_t(h) * 4);
    if (_bmpreadrgba(path.constData(), ctx, rgba.data(), int32_t(rgba.size())) == 0) return false;
    width = contextField(*ctx, QUOR_CONTEXT_WIDTH);
    height = contextField(*ctx, QUOR_CONTEXT_HEIGHT);
    bits = contextField(*ctx, QUOR_CONTEXT_BPP);
    return width == w && height == h;
}

}  // namespace corvane
