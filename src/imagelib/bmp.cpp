// Our own BMP codec.  It reads what texture painters and the Extended
// Bitmap family actually produce (8/16/24/32 bits, bit-field masks, rows
// with or without padding, files cut short) and leaves the rarer variants to
// the general decoder.  Every read is checked against the buffer's end.
#include "bytes.h"
#include "image.h"
#include "maskfield.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quor {
namespace {

// The file header and the information header, as the platform defines them.
namespace at {
constexpr size_t signature = 0;
constexpr size_t fileSize = 2;
constexpr size_t pixelOffset = 10;
constexpr size_t infoSize = 14;
constexpr size_t width = 18;
constexpr size_t height = 22;
constexpr size_t planes = 26;
constexpr size_t bitCount = 28;
constexpr size_t compression = 30;
constexpr size_t imageSize = 34;
constexpr size_t xPixelsPerMetre = 38;
constexpr size_t yPixelsPerMetre = 42;
constexpr size_t coloursUsed = 46;
constexpr size_t masks = 54;        // red, green, blue, alpha masks follow a 40-byte header
constexpr size_t colourSpace = 70;  // from the 108-byte header on
}  // namespace at

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;  // 54
constexpr size_t kPaletteBytes = 256 * 4;
constexpr size_t kPixelOffset8 = kHeadersSize + kPaletteBytes;  // 1078
// The 108-byte information header, the first to carry an alpha mask and a
// colour space; readers that know alpha at all know this one.
constexpr size_t kV4InfoHeaderSize = 108;
constexpr size_t kPixelOffset32 = kFileHeaderSize + kV4InfoHeaderSize;  // 122
constexpr uint32_t kSrgbColourSpace = 0x73524742;                       // 'sRGB'
constexpr uint32_t kPixelsPerMetre = 2835;                              // 72 dpi

enum Compression : uint32_t {
    kRgb = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitFields = 3,
    kJpeg = 4,
    kPng = 5,
    kAlphaBitFields = 6,
};

// Past this much pixel data a file must hold at least a quarter of what its
// header promises; otherwise a tiny file could make us allocate the maximum.
constexpr size_t kShortFileGrace = size_t(1) << 20;

struct Layout {
    int32_t width = 0;
    int32_t height = 0;
    bool topDown = false;
    int bpp = 0;
    size_t pixelOffset = 0;
    size_t packedRow = 0;
    size_t stride = 0;
    MaskField red, green, blue, alpha;
    // The alpha channel is a guess (a fourth byte or spare bits that are
    // alpha in practice): it counts only when some pixel uses it.
    bool alphaGuessed = false;
    Palette palette{};
    int paletteCount = 0;
};

// Every way a BMP is not read is its format's doing.
BmpRead fail(BmpRead result, Failure* why, const char* text) {
    failWith(why, QUOR_ERROR_FORMAT, text);
    return result;
}

BmpRead parse(const uint8_t* d, size_t size, Layout& L, Failure* why) {
    if (size < 2 || d[at::signature] != 'B' || d[at::signature + 1] != 'M')
        return fail(BmpRead::NotBmp, why, "not a BMP file");
    if (size < at::infoSize + 4) return fail(BmpRead::Broken, why, "the file ends inside its header");

    const uint32_t infoSize = le::u32(d + at::infoSize);
    if (infoSize < kInfoHeaderSize) return fail(BmpRead::Unsupported, why, "OS/2 BMP header");
    if (infoSize > size - kFileHeaderSize) return fail(BmpRead::Broken, why, "the file ends inside its header");

    const int32_t width = le::i32(d + at::width);
    const int32_t rawHeight = le::i32(d + at::height);
    const int bpp = le::u16(d + at::bitCount);
    const uint32_t compression = le::u32(d + at::compression);

    if (compression == kRle8 || compression == kRle4 || compression == kJpeg || compression == kPng)
        return fail(BmpRead::Unsupported, why, "compressed BMP");
    if (bpp == 1 || bpp == 2 || bpp == 4)
        return fail(BmpRead::Unsupported, why, "BMP with fewer than 8 bits per pixel");
    if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return fail(BmpRead::Broken, why, "impossible bits per pixel");
    const bool bitFields = compression == kBitFields || compression == kAlphaBitFields;
    if (compression != kRgb && !bitFields) return fail(BmpRead::Broken, why, "unknown compression");
    if (bitFields && bpp != 16 && bpp != 32)
        return fail(BmpRead::Broken, why, "bit fields need 16 or 32 bits per pixel");

    if (width <= 0 || width > kMaxEdge) return fail(BmpRead::Broken, why, "width out of range");
    if (rawHeight == 0 || rawHeight == INT32_MIN || rawHeight > kMaxEdge || rawHeight < -kMaxEdge)
        return fail(BmpRead::Broken, why, "height out of range");
    L.width = width;
    L.topDown = rawHeight < 0;
    L.height = L.topDown ? -rawHeight : rawHeight;
    L.bpp = bpp;

    // Where the headers end and the palette, if any, begins.
    size_t headerEnd = kFileHeaderSize + infoSize;
    if (bitFields) {
        // Headers from 52 bytes on carry the masks themselves (alpha from 56);
        // shorter ones are followed by them.
        uint32_t masks[4] = {0, 0, 0, 0};
        size_t first = at::masks;
        int count = infoSize >= 56 ? 4 : 3;
        if (infoSize < 52) {
            first = headerEnd;
            count = compression == kAlphaBitFields ? 4 : 3;
            headerEnd += 4 * size_t(count);
            if (headerEnd > size) return fail(BmpRead::Broken, why, "the file ends inside its colour masks");
        }
        for (int i = 0; i < count; ++i) masks[i] = le::u32(d + first + 4 * size_t(i));
        if (bpp == 16)
            for (uint32_t& m : masks) m &= 0xFFFFu;
        if (masks[0] == 0 && masks[1] == 0 && masks[2] == 0) {
            // No masks at all: read it as the plain layout of its depth.
            if (bpp == 16) {
                masks[0] = 0x7C00;
                masks[1] = 0x03E0;
                masks[2] = 0x001F;
            } else {
                masks[0] = 0xFF0000;
                masks[1] = 0xFF00;
                masks[2] = 0xFF;
            }
        }
        L.red = MaskField(masks[0]);
        L.green = MaskField(masks[1]);
        L.blue = MaskField(masks[2]);
        L.alpha = MaskField(masks[3]);
        if (masks[3] == 0 && bpp == 16 && masks[0] == 0x0F00 && masks[1] == 0x00F0 && masks[2] == 0x000F) {
            // 4-4-4-4 textures keep their alpha in the top four bits.
            L.alpha = MaskField(0xF000);
            L.alphaGuessed = true;
        } else if (masks[3] == 0 && bpp == 32 && masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF) {
            L.alpha = MaskField(0xFF000000u);
            L.alphaGuessed = true;
        }
    } else if (bpp == 16) {
        L.red = MaskField(0x7C00);
        L.green = MaskField(0x03E0);
        L.blue = MaskField(0x001F);
    } else if (bpp == 32) {
        L.red = MaskField(0xFF0000);
        L.green = MaskField(0xFF00);
        L.blue = MaskField(0xFF);
        L.alpha = MaskField(0xFF000000u);
        L.alphaGuessed = true;
    }

    const uint32_t offset = le::u32(d + at::pixelOffset);
    if (offset < headerEnd) return fail(BmpRead::Broken, why, "pixel data overlaps the headers");
    if (bpp == 8) {
        const uint32_t used = le::u32(d + at::coloursUsed);
        size_t count = (used == 0 || used > 256) ? 256 : used;
        count = std::min(count, (offset - headerEnd) / 4);
        if (count == 0) return fail(BmpRead::Broken, why, "8-bit BMP without a palette");
        if (headerEnd + 4 * count > size) return fail(BmpRead::Broken, why, "the file ends inside its palette");
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = d + headerEnd + 4 * i;
            L.palette[i] = {p[0], p[1], p[2], p[3]};
        }
        L.paletteCount = int(count);
    }
    if (offset >= size) return fail(BmpRead::Broken, why, "no pixel data");
    L.pixelOffset = offset;

    // Extended Bitmaps store their largest level without row padding and
    // further levels after it; a plain BMP pads rows to four bytes.  What
    // the file holds tells the two apart.
    const size_t available = size - offset;
    L.packedRow = size_t(width) * size_t(bpp / 8);
    const size_t paddedRow = (L.packedRow + 3) & ~size_t(3);
    const size_t rows = size_t(L.height);
    const bool packed = available < paddedRow * rows && available >= L.packedRow * rows;
    L.stride = packed ? L.packedRow : paddedRow;

    const size_t expected = L.stride * rows;
    if (available < expected && expected > kShortFileGrace && available < expected / 4)
        return fail(BmpRead::Broken, why, "the header promises far more pixel data than the file holds");
    return BmpRead::Ok;
}

uint8_t* rgbaAt(Image& image, size_t row) { return image.rgba.data() + row * size_t(image.width) * 4; }

void decodeRow(const Layout& L, const uint8_t* src, Image& out, size_t row, bool levelsAreAlpha) {
    uint8_t* dst = rgbaAt(out, row);
    const int32_t w = L.width;
    switch (L.bpp) {
        case 8: {
            uint8_t* idx = out.indices.data() + row * size_t(w);
            for (int32_t x = 0; x < w; ++x) {
                const PaletteEntry& e = L.palette[src[x]];
                idx[x] = src[x];
                dst[4 * x + 0] = e.red;
                dst[4 * x + 1] = e.green;
                dst[4 * x + 2] = e.blue;
                dst[4 * x + 3] = levelsAreAlpha ? e.extra : 255;
            }
            break;
        }
        case 24:
            for (int32_t x = 0; x < w; ++x) {
                dst[4 * x + 0] = src[3 * x + 2];
                dst[4 * x + 1] = src[3 * x + 1];
                dst[4 * x + 2] = src[3 * x + 0];
                dst[4 * x + 3] = 255;
            }
            break;
        case 16:
        case 32: {
            const bool hasAlpha = L.alpha.mask() != 0;
            for (int32_t x = 0; x < w; ++x) {
                const uint32_t px = L.bpp == 16 ? le::u16(src + 2 * x) : le::u32(src + 4 * x);
                dst[4 * x + 0] = L.red.widen(px);
                dst[4 * x + 1] = L.green.widen(px);
                dst[4 * x + 2] = L.blue.widen(px);
                dst[4 * x + 3] = hasAlpha ? L.alpha.widen(px) : 255;
            }
            break;
        }
    }
}

// Writes the 14-byte file header and the 40-byte information header.
void putHeaders(uint8_t* d, int32_t width, int32_t height, int bpp, size_t pixelOffset, size_t imageBytes) {
    std::memset(d, 0, kHeadersSize);
    d[at::signature] = 'B';
    d[at::signature + 1] = 'M';
    le::put32(d + at::fileSize, uint32_t(pixelOffset + imageBytes));
    le::put32(d + at::pixelOffset, uint32_t(pixelOffset));
    le::put32(d + at::infoSize, uint32_t(kInfoHeaderSize));
    le::put32(d + at::width, uint32_t(width));
    le::put32(d + at::height, uint32_t(height));  // positive: rows bottom-up
    le::put16(d + at::planes, 1);
    le::put16(d + at::bitCount, uint16_t(bpp));
    le::put32(d + at::compression, kRgb);
    le::put32(d + at::imageSize, uint32_t(imageBytes));
    le::put32(d + at::xPixelsPerMetre, kPixelsPerMetre);
    le::put32(d + at::yPixelsPerMetre, kPixelsPerMetre);
    // Colours used 0 means all 256 for an 8-bit file.
}

void checkEncodable(const Image& image) {
    if (image.width <= 0 || image.height <= 0 || image.width > kMaxEdge || image.height > kMaxEdge)
        throw std::invalid_argument("picture size out of range");
    if (image.rgba.size() != image.pixelCount() * 4) throw std::invalid_argument("picture without pixels");
}

size_t paddedRowBytes(int32_t width, int bytesPerPixel) {
    return (size_t(width) * size_t(bytesPerPixel) + 3) & ~size_t(3);
}

}  // namespace

BmpRead readBmp(const uint8_t* data, size_t size, Image& out, Failure* why) {
    if (!data) return fail(BmpRead::NotBmp, why, "no data");
    Layout L;
    const BmpRead parsed = parse(data, size, L, why);
    if (parsed != BmpRead::Ok) return parsed;

    Image image;
    image.width = L.width;
    image.height = L.height;
    image.sourceBpp = L.bpp;
    image.rgba.assign(image.pixelCount() * 4, 0);

    // An 8-bit palette's fourth bytes are the colours' transparency levels,
    // unless they are all 0, which means an ordinary opaque palette.
    bool levelsAreAlpha = false;
    if (L.bpp == 8) {
        image.indexed = true;
        image.palette = L.palette;
        image.indices.assign(image.pixelCount(), 0);
        for (int i = 0; i < L.paletteCount; ++i) levelsAreAlpha |= L.palette[size_t(i)].extra != 0;
    }

    // Rows the file cuts short are decoded from a zero-filled copy.
    std::vector<uint8_t> partial(L.packedRow);
    const size_t rows = size_t(L.height);
    for (size_t r = 0; r < rows; ++r) {
        const size_t row = L.topDown ? r : rows - 1 - r;
        const size_t start = L.pixelOffset + r * L.stride;
        const uint8_t* src;
        if (start <= size && size - start >= L.packedRow) {
            src = data + start;
        } else {
            std::fill(partial.begin(), partial.end(), 0);
            if (start < size) std::memcpy(partial.data(), data + start, size - start);
            src = partial.data();
        }
        decodeRow(L, src, image, row, levelsAreAlpha);
    }

    bool anyAlpha = false;
    bool anyTranslucent = false;
    // Without an alpha channel every texel was decoded opaque.
    const bool alphaPossible = L.alpha.mask() != 0 || L.alphaGuessed || levelsAreAlpha;
    for (size_t i = 3; alphaPossible && i < image.rgba.size(); i += 4) {
        anyAlpha |= image.rgba[i] != 0;
        anyTranslucent |= image.rgba[i] != 255;
    }
    // An alpha channel that is 0 everywhere would make the picture invisible;
    // it means the writer left the channel unused.
    if (!anyAlpha && (L.alpha.mask() != 0 || L.alphaGuessed || levelsAreAlpha)) {
        for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = 255;
        anyTranslucent = false;
    }
    image.hasAlpha = anyTranslucent;

    out = std::move(image);
    return BmpRead::Ok;
}

std::vector<uint8_t> encodeBmp8(const Image& image) {
    checkEncodable(image);
    if (!image.indexed || image.indices.size() != image.pixelCount())
        throw std::invalid_argument("an 8-bit BMP needs a palette picture");
    const size_t row = paddedRowBytes(image.width, 1);
    const size_t imageBytes = row * size_t(image.height);
    std::vector<uint8_t> out(kPixelOffset8 + imageBytes, 0);
    putHeaders(out.data(), image.width, image.height, 8, kPixelOffset8, imageBytes);
    for (size_t i = 0; i < 256; ++i) {
        const PaletteEntry& e = image.palette[i];
        uint8_t* p = out.data() + kHeadersSize + 4 * i;
        p[0] = e.blue;
        p[1] = e.green;
        p[2] = e.red;
        p[3] = e.extra;
    }
    const size_t w = size_t(image.width);
    for (size_t y = 0; y < size_t(image.height); ++y) {
        const uint8_t* src = image.indices.data() + y * w;
        uint8_t* dst = out.data() + kPixelOffset8 + (size_t(image.height) - 1 - y) * row;
        std::memcpy(dst, src, w);
    }
    return out;
}

std::vector<uint8_t> encodeBmp24(const Image& image) {
    checkEncodable(image);
    const size_t row = paddedRowBytes(image.width, 3);
    const size_t imageBytes = row * size_t(image.height);
    std::vector<uint8_t> out(kHeadersSize + imageBytes, 0);
    putHeaders(out.data(), image.width, image.height, 24, kHeadersSize, imageBytes);
    const size_t w = size_t(image.width);
    for (size_t y = 0; y < size_t(image.height); ++y) {
        const uint8_t* src = image.rgba.data() + y * w * 4;
        uint8_t* dst = out.data() + kHeadersSize + (size_t(image.height) - 1 - y) * row;
        for (size_t x = 0; x < w; ++x) {
            dst[3 * x + 0] = src[4 * x + 2];
            dst[3 * x + 1] = src[4 * x + 1];
            dst[3 * x + 2] = src[4 * x + 0];
        }
    }
    return out;
}

std::vector<uint8_t> encodeBmp32(const Image& image) {
    checkEncodable(image);
    const size_t imageBytes = image.pixelCount() * 4;  // rows of 4-byte pixels need no padding
    std::vector<uint8_t> out(kPixelOffset32 + imageBytes, 0);
    uint8_t* d = out.data();
    putHeaders(d, image.width, image.height, 32, kPixelOffset32, imageBytes);
    le::put32(d + at::infoSize, uint32_t(kV4InfoHeaderSize));
    le::put32(d + at::compression, kBitFields);
    le::put32(d + at::masks + 0, 0x00FF0000u);
    le::put32(d + at::masks + 4, 0x0000FF00u);
    le::put32(d + at::masks + 8, 0x000000FFu);
    le::put32(d + at::masks + 12, 0xFF000000u);
    le::put32(d + at::colourSpace, kSrgbColourSpace);
    const size_t w = size_t(image.width), row = w * 4;
    for (size_t y = 0; y < size_t(image.height); ++y) {
        const uint8_t* src = image.rgba.data() + y * row;
        uint8_t* dst = d + kPixelOffset32 + (size_t(image.height) - 1 - y) * row;
        for (size_t x = 0; x < w; ++x) {
            dst[4 * x + 0] = src[4 * x + 2];
            dst[4 * x + 1] = src[4 * x + 1];
            dst[4 * x + 2] = src[4 * x + 0];
            dst[4 * x + 3] = src[4 * x + 3];
        }
    }
    return out;
}

bool isOwnEncoding(const uint8_t* data, size_t size, const Image& image) {
    if (!data || image.width <= 0 || image.height <= 0) return false;
    // Only full-colour pictures: a palette picture may hold one colour twice,
    // and a fresh mapping would not keep which entry each pixel used.
    if (image.indexed || image.sourceBpp != 24) return false;
    const size_t row = paddedRowBytes(image.width, 3);
    const size_t imageBytes = row * size_t(image.height);
    if (size != kHeadersSize + imageBytes) return false;
    uint8_t header[kHeadersSize];
    putHeaders(header, image.width, image.height, 24, kHeadersSize, imageBytes);
    if (std::memcmp(header, data, kHeadersSize) != 0) return false;
    // The pixels are what was read from these bytes; only the padding of
    // each row is not part of the picture.
    const size_t used = size_t(image.width) * 3;
    for (size_t y = 0; y < size_t(image.height); ++y)
        for (size_t x = used; x < row; ++x)
            if (data[kHeadersSize + y * row + x] != 0) return false;
    return true;
}

bool readBmpPalette(const uint8_t* data, size_t size, Palette& palette) {
    if (!data || size < kHeadersSize) return false;
    const uint32_t infoSize = le::u32(data + at::infoSize);
    if (infoSize < kInfoHeaderSize || le::u16(data + at::bitCount) != 8) return false;
    const size_t start = kFileHeaderSize + size_t(infoSize);
    if (start > size || size - start < kPaletteBytes) return false;
    for (size_t i = 0; i < 256; ++i) {
        const uint8_t* p = data + start + 4 * i;
        palette[i] = {p[0], p[1], p[2], p[3]};
    }
    return true;
}

}  // namespace quor
