#include "xbmfile.h"

#include "layout.h"

#include <algorithm>
#include <bit>

namespace xbm {

using namespace corvane::layout;

namespace {

constexpr int kFileHeader = 14;
constexpr int kInfoHeader = 40;
constexpr int kColoursUsedAt = 46;
constexpr int kAlphaMaskAt = 66;       // inside version 4 and 5 information headers
constexpr int kInfoWithAlphaMask = 56;
constexpr int kMasksEnd = kMasksAt + 12;
constexpr uint32_t kRgb = 0, kBitFields = 3;

struct Masks {
    uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

constexpr Masks kMasks565{0xF800, 0x07E0, 0x001F, 0};
constexpr Masks kMasks555{0x7C00, 0x03E0, 0x001F, 0};
constexpr Masks kMasks4444{0x0F00, 0x00F0, 0x000F, 0xF000};
constexpr Masks kMasks24{0xFF0000, 0x00FF00, 0x0000FF, 0};
constexpr Masks kMasks32{0xFF0000, 0x00FF00, 0x0000FF, 0xFF000000};

bool sameMasks(const Masks& a, const Masks& b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

// A usable field is one run of at most eight bits; fields may not overlap.
bool usableMasks(const Masks& m, int bits) {
    const uint32_t limit = bits == 32 ? 0xFFFFFFFFu : ((1u << bits) - 1);
    uint32_t seen = 0;
    for (uint32_t mask : {m.red, m.green, m.blue, m.alpha}) {
        if (mask == 0) continue;
        if ((mask & ~limit) || (mask & seen)) return false;
        const uint32_t run = mask >> std::countr_zero(mask);
        if ((run & (run + 1)) != 0 || std::popcount(mask) > 8) return false;
        seen |= mask;
    }
    return m.red && m.green && m.blue;
}

ReadResult fail(std::string why) { return ReadResult{std::nullopt, std::move(why)}; }

std::string str(int64_t n) { return std::to_string(n); }

}  // namespace

const char* depthName(Depth depth) {
    switch (depth) {
    case Depth::Pal8: return "8-bit palette";
    case Depth::Rgb565: return "16-bit 5-6-5";
    case Depth::Argb4444: return "16-bit 4-4-4-4";
    case Depth::Rgb555: return "16-bit 5-5-5";
    case Depth::Masked16: return "16-bit with own colour masks";
    case Depth::Rgb24: return "24-bit";
    case Depth::Bgra32: return "32-bit";
    case Depth::Masked32: return "32-bit with own colour masks";
    }
    return "?";
}

int bytesPerPixel(Depth depth) {
    switch (depth) {
    case Depth::Pal8: return 1;
    case Depth::Rgb24: return 3;
    case Depth::Bgra32:
    case Depth::Masked32: return 4;
    default: return 2;
    }
}

Depth depthOf(Target target) {
    switch (target) {
    case Target::Pal8: return Depth::Pal8;
    case Target::Rgb565: return Depth::Rgb565;
    case Target::Argb4444: return Depth::Argb4444;
    case Target::Bgra32: return Depth::Bgra32;
    }
    return Depth::Rgb565;
}

uint8_t widenField(uint32_t word, uint32_t mask) {
    if (mask == 0) return 255;
    const int bits = std::popcount(mask);
    uint32_t value = (word & mask) >> std::countr_zero(mask);
    uint32_t wide = 0;
    for (int filled = 0; filled < 8; filled += bits) wide = (wide << bits) | value;
    // The loop may overshoot eight bits; keep the top eight.
    const int total = ((8 + bits - 1) / bits) * bits;
    return uint8_t(wide >> (total - 8));
}

ReadResult readXbm(const Bytes& b) {
    if (b.size() < size_t(kPlainHeader))
        return fail("too short for a BMP header (" + str(int64_t(b.size())) + " bytes)");
    if (b[0] != 'B' || b[1] != 'M') return fail("not a BMP file (no \"BM\" mark)");

    XbmSet set;
    set.fileLength = int64_t(b.size());
    const uint32_t infoLength = read32(b, kInfoLengthAt);
    if (infoLength < uint32_t(kInfoHeader) || infoLength > 1024)
        return fail("unsupported information header length " + str(infoLength));
    const int64_t headersEnd = kFileHeader + int64_t(infoLength);
    if (headersEnd > set.fileLength) return fail("truncated: the header needs " + str(headersEnd) + " bytes");

    const int32_t width = int32_t(read32(b, kWidthAt));
    const int32_t height = int32_t(read32(b, kHeightAt));
    if (width != height || !isLevel(width))
        return fail("the image is " + str(width) + " x " + str(height) +
                    "; an Extended Bitmap is a square of 1, 2, 4 ... 512 pixels");
    set.edge = width;

    const int bits = read16(b, kBitsAt);
    const uint32_t compression = read32(b, kCompressionAt);
    set.headerLength = read32(b, kPixelOffsetAt);
    int64_t leastHeader = headersEnd;
    Masks masks;
    int64_t recordAt = 0;
    auto unsupported = [&] {
        return fail(str(bits) + "-bit BMP with compression " + str(compression) + " is not supported");
    };

    switch (bits) {
    case 8: {
        if (compression != kRgb) return unsupported();
        const uint32_t used = read32(b, kColoursUsedAt);
        if (used > 256) return fail("the palette claims " + str(used) + " colours");
        const int64_t count = used ? used : 256;
        leastHeader = headersEnd + 4 * count;
        if (leastHeader > set.fileLength) return fail("truncated: the palette ends past the end of the file");
        for (int64_t i = 0; i < count; ++i) {
            const size_t at = size_t(headersEnd + 4 * i);
            set.palette[size_t(i)] = {b[at], b[at + 1], b[at + 2], b[at + 3]};
        }
        set.depth = Depth::Pal8;
        if (infoLength == uint32_t(kInfoHeader) && count == 256 &&
            set.headerLength == kPaletteHeader + kRecordLength)
            recordAt = kPaletteHeader;
        break;
    }
    case 16:
        if (compression == kRgb) {
            set.depth = Depth::Rgb555;
            masks = kMasks555;
        } else if (compression == kBitFields) {
            // The masks sit at 54..66 whatever the header length says.
            leastHeader = std::max<int64_t>(leastHeader, kMasksEnd);
            if (set.headerLength < kMasksEnd || leastHeader > set.fileLength)
                return fail("16-bit file without room for its colour masks");
            if (b[kRedMaskHighAt] == 0x0F) {
                // The red mask's second byte alone marks the 4-4-4-4 form;
                // its alpha sits in the top nibble, which no mask names.
                set.depth = Depth::Argb4444;
                masks = kMasks4444;
            } else {
                masks = {read32(b, kMasksAt), read32(b, kMasksAt + 4), read32(b, kMasksAt + 8),
                         infoLength >= uint32_t(kInfoWithAlphaMask) ? read32(b, kAlphaMaskAt) : 0};
                set.depth = sameMasks(masks, kMasks565) ? Depth::Rgb565 : Depth::Masked16;
            }
        } else {
            return unsupported();
        }
        break;
    case 24:
        if (compression != kRgb) return unsupported();
        set.depth = Depth::Rgb24;
        masks = kMasks24;
        break;
    case 32:
        if (compression == kRgb) {
            set.depth = Depth::Bgra32;
            masks = kMasks32;
        } else if (compression == kBitFields) {
            // The masks sit at 54..66 whatever the header length says.
            leastHeader = std::max<int64_t>(leastHeader, kMasksEnd);
            if (set.headerLength < kMasksEnd || leastHeader > set.fileLength)
                return fail("32-bit file without room for its colour masks");
            masks = {read32(b, kMasksAt), read32(b, kMasksAt + 4), read32(b, kMasksAt + 8),
                     infoLength >= uint32_t(kInfoWithAlphaMask) ? read32(b, kAlphaMaskAt) : 0};
            set.depth = sameMasks(masks, kMasks32) ? Depth::Bgra32 : Depth::Masked32;
        } else {
            return unsupported();
        }
        break;
    default:
        return fail(str(bits) + " bits per pixel; an Extended Bitmap has 8, 16, 24 or 32");
    }
    if (bits != 8 && !usableMasks(masks, bits)) return fail("unusable colour masks");
    if (set.headerLength < leastHeader)
        return fail("pixels start at byte " + str(set.headerLength) + ", inside the header");
    if (set.headerLength > set.fileLength)
        return fail("truncated: pixels start at byte " + str(set.headerLength) + " but the file has " +
                    str(set.fileLength) + " bytes");
    // The standard high-colour header keeps its record after the masks.
    if (bits != 8 && set.headerLength == kStandardHeader && infoLength == uint32_t(kInfoHeader))
        recordAt = kStandardRecordAt;
    if (recordAt) {
        set.record.emplace();
        std::copy_n(b.begin() + recordAt, kRecordLength, set.record->begin());
    }

    const int bpp = bits / 8;
    const int64_t edge = set.edge;
    const int64_t pixelBytes = set.fileLength - set.headerLength;
    const int64_t paddedRow = (edge * bpp + 3) / 4 * 4;
    // Only a plain BMP is exactly one padded level long; an Extended Bitmap
    // of these small edges never is.
    set.paddedRows = paddedRow != edge * bpp && pixelBytes == paddedRow * edge;
    for (int64_t e = edge; e >= 1; e /= 2) {
        LevelInfo level;
        level.edge = int32_t(e);
        level.offset = levelStart(edge, e, bpp, set.headerLength);
        const int64_t length = set.paddedRows ? paddedRow * e : e * e * bpp;
        level.complete = level.offset + length <= set.fileLength && !(set.paddedRows && e != edge);
        set.levels.push_back(level);
    }
    if (!set.levels.front().complete)
        return fail("truncated: the " + str(edge) + " level needs " + str(edge * edge * bpp) + " bytes from byte " +
                    str(set.headerLength) + " but the file has " + str(set.fileLength));

    bool anyAlpha = false;  // some fourth byte not zero (32-bit)
    const bool paletteLevels =
        std::any_of(set.palette.begin(), set.palette.end(), [](const quor::PaletteEntry& e) { return e.extra != 0; });
    for (const LevelInfo& level : set.levels) {
        quor::Image image;
        if (level.complete) {
            const size_t e = size_t(level.edge);
            const size_t stride = set.paddedRows ? size_t(paddedRow) : e * size_t(bpp);
            image.width = image.height = level.edge;
            image.rgba.resize(e * e * 4);
            image.sourceBpp = bits;
            if (bits == 8) {
                image.indexed = true;
                image.palette = set.palette;
                image.indices.resize(e * e);
            }
            for (size_t row = 0; row < e; ++row) {
                // Rows are stored bottom-up.
                const uint8_t* src = b.data() + level.offset + (e - 1 - row) * stride;
                for (size_t x = 0; x < e; ++x) {
                    uint8_t* dst = image.rgba.data() + 4 * (row * e + x);
                    if (bits == 8) {
                        const quor::PaletteEntry& entry = set.palette[src[x]];
                        image.indices[row * e + x] = src[x];
                        dst[0] = entry.red;
                        dst[1] = entry.green;
                        dst[2] = entry.blue;
                        // All-zero levels are the plain BMP's reserved bytes: opaque.
                        dst[3] = paletteLevels ? entry.extra : 255;
                        continue;
                    }
                    uint32_t word = 0;
                    for (int k = 0; k < bpp; ++k) word |= uint32_t(src[x * size_t(bpp) + size_t(k)]) << (8 * k);
                    dst[0] = widenField(word, masks.red);
                    dst[1] = widenField(word, masks.green);
                    dst[2] = widenField(word, masks.blue);
                    dst[3] = widenField(word, masks.alpha);
                    anyAlpha |= masks.alpha != 0 && (word & masks.alpha) != 0;
                }
            }
        }
        set.images.push_back(std::move(image));
    }
    // A 32-bit file whose fourth bytes are all 0 never had alpha (writers
    // leave the byte 0), so it is opaque rather than invisible.
    if (set.depth == Depth::Bgra32 && !anyAlpha) {
        for (quor::Image& image : set.images)
            for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = 255;
    }
    for (quor::Image& image : set.images) {
        for (size_t i = 3; i < image.rgba.size() && !image.hasAlpha; i += 4) image.hasAlpha = image.rgba[i] != 255;
        set.hasAlpha |= image.hasAlpha;
    }
    return ReadResult{std::move(set), {}};
}

Bytes writeXbm(const OutputSet& set) {
    const int64_t edge = set.images.front().width;
    const int bpp = bytesPerPixel(depthOf(set.target));
    int64_t header = kPlainHeader;
    if (set.target == Target::Pal8)
        header = kPaletteHeader + (set.record ? kRecordLength : 0);
    else if (set.target != Target::Bgra32)
        header = kStandardHeader;

    Bytes b(size_t(fileLength(edge, bpp, header)), 0);
    b[0] = 'B';
    b[1] = 'M';
    write32(b, kFileSizeAt, uint32_t(b.size()));
    write32(b, kPixelOffsetAt, uint32_t(header));
    write32(b, kInfoLengthAt, kInfoHeader);
    write32(b, kWidthAt, uint32_t(edge));
    write32(b, kHeightAt, uint32_t(edge));
    write16(b, 26, 1);
    write16(b, kBitsAt, uint16_t(bpp * 8));
    write32(b, kImageSizeAt, uint32_t(chainPixels(edge) * bpp));

    if (set.target == Target::Pal8) {
        for (size_t i = 0; i < 256; ++i) {
            const quor::PaletteEntry& e = set.palette[i];
            uint8_t* p = b.data() + kPaletteAt + 4 * i;
            p[0] = e.blue;
            p[1] = e.green;
            p[2] = e.red;
            p[3] = e.extra;
        }
        if (set.record) std::copy(set.record->begin(), set.record->end(), b.begin() + kPaletteHeader);
    } else if (set.target != Target::Bgra32) {
        write32(b, kCompressionAt, kBitFields);
        const Masks& m = set.target == Target::Argb4444 ? kMasks4444 : kMasks565;
        write32(b, kMasksAt, m.red);
        write32(b, kMasksAt + 4, m.green);
        write32(b, kMasksAt + 8, m.blue);
        const std::array<uint8_t, 4> tag{'A', 'V', 'T', 'X'};
        std::copy(tag.begin(), tag.end(), b.begin() + kStandardRecordAt);
        write32(b, kStandardRecordAt + 4, kRecordLength);
        if (set.record)
            std::copy_n(set.record->begin() + kRecordDataOffset, kRecordDataLength,
                        b.begin() + kStandardRecordAt + kRecordDataOffset);
    }

    for (const quor::Image& image : set.images) {
        const size_t e = size_t(image.width);
        uint8_t* out = b.data() + levelStart(edge, int64_t(e), bpp, header);
        for (size_t row = e; row-- > 0;) {
            for (size_t x = 0; x < e; ++x, out += bpp) {
                const size_t i = row * e + x;
                const uint8_t* p = image.rgba.data() + 4 * i;
                switch (set.target) {
                case Target::Pal8: out[0] = image.indices[i]; break;
                case Target::Rgb565: {
                    const uint16_t w = pack565(p[0], p[1], p[2]);
                    out[0] = uint8_t(w);
                    out[1] = uint8_t(w >> 8);
                    break;
                }
                case Target::Argb4444: {
                    const uint16_t w = pack4444(p[0], p[1], p[2], p[3]);
                    out[0] = uint8_t(w);
                    out[1] = uint8_t(w >> 8);
                    break;
                }
                case Target::Bgra32:
                    out[0] = p[2];
                    out[1] = p[1];
                    out[2] = p[0];
                    out[3] = p[3];
                    break;
                }
            }
        }
    }
    return b;
}

}  // namespace xbm
