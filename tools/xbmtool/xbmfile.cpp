#include "xbmfile.h"

#include "depthpacking.h"
#include "bytes.h"
#include "layout.h"

#include <algorithm>
#include <bit>

namespace xbm {

using namespace corvane::layout;
using corvane::SetDepth;

namespace {

constexpr uint32_t kRgb = kNoCompression;

struct Masks {
    uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

// The set's own 16-bit masks, with the alpha field that goes with them.
constexpr Masks withAlpha(const std::array<uint32_t, 3>& m, uint32_t alpha) { return {m[0], m[1], m[2], alpha}; }

constexpr Masks kFields565 = withAlpha(SetDepth(SetDepth::Rgb565).masks(), 0);
constexpr Masks kFields555{0x7C00, 0x03E0, 0x001F, 0};
constexpr Masks kFields4444 = withAlpha(SetDepth(SetDepth::Argb4444).masks(), 0xF000);
constexpr Masks kFields24{0xFF0000, 0x00FF00, 0x0000FF, 0};
constexpr Masks kFields32{0xFF0000, 0x00FF00, 0x0000FF, 0xFF000000};

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
        case Depth::Pal8:
            return "8-bit palette";
        case Depth::Rgb565:
            return "16-bit 5-6-5";
        case Depth::Argb4444:
            return "16-bit 4-4-4-4";
        case Depth::Rgb555:
            return "16-bit 5-5-5";
        case Depth::Masked16:
            return "16-bit with own colour masks";
        case Depth::Rgb24:
            return "24-bit";
        case Depth::Bgra32:
            return "32-bit";
        case Depth::Masked32:
            return "32-bit with own colour masks";
    }
    return "?";
}

int bytesPerPixel(Depth depth) {
    switch (depth) {
        case Depth::Pal8:
            return 1;
        case Depth::Rgb24:
            return 3;
        case Depth::Bgra32:
        case Depth::Masked32:
            return 4;
        default:
            return 2;
    }
}

Depth depthOf(SetDepth depth) {
    switch (depth.form()) {
        case SetDepth::Palette8:
            return Depth::Pal8;
        case SetDepth::Rgb565:
            return Depth::Rgb565;
        case SetDepth::Argb4444:
            return Depth::Argb4444;
        case SetDepth::Rgb24:
            return Depth::Rgb24;
        case SetDepth::Argb32:
            return Depth::Bgra32;
    }
    return Depth::Rgb565;
}

ReadResult readXbm(const Bytes& b) {
    if (b.size() < size_t(kPlainHeader))
        return fail("too short for a BMP header (" + str(int64_t(b.size())) + " bytes)");
    const corvane::HeaderFacts facts = corvane::readHeaderFacts(b.data(), b.size());
    if (!facts.bmMark) return fail("not a BMP file (no \"BM\" mark)");

    XbmSet set;
    set.fileLength = facts.fileSize;
    const uint32_t infoLength = facts.infoLength;
    if (infoLength < uint32_t(kInfoHeader) || infoLength > 1024)
        return fail("unsupported information header length " + str(infoLength));
    const int64_t headersEnd = facts.paletteAt;
    if (headersEnd > set.fileLength) return fail("truncated: the header needs " + str(headersEnd) + " bytes");

    if (facts.width != facts.height || !isLevel(facts.width))
        return fail("the image is " + str(facts.width) + " x " + str(facts.height) +
                    "; an Extended Bitmap is a square of 1, 2, 4 ... 512 pixels");
    set.edge = facts.width;

    const int bits = facts.bitsField;
    const uint32_t compression = facts.compression;
    set.headerLength = facts.pixelOffset;
    int64_t leastHeader = headersEnd;
    Masks masks;
    const Masks ownMasks{facts.masks[0], facts.masks[1], facts.masks[2], facts.alphaMask};
    auto unsupported = [&] {
        return fail(str(bits) + "-bit BMP with compression " + str(compression) + " is not supported");
    };

    switch (bits) {
        case 8: {
            if (compression != kRgb) return unsupported();
            if (facts.coloursUsed > 256) return fail("the palette claims " + str(facts.coloursUsed) + " colours");
            leastHeader = headersEnd + 4 * facts.paletteEntries;
            if (leastHeader > set.fileLength) return fail("truncated: the palette ends past the end of the file");
            for (int64_t i = 0; i < facts.paletteEntries; ++i) {
                const size_t at = size_t(headersEnd + 4 * i);
                set.palette[size_t(i)] = {b[at], b[at + 1], b[at + 2], b[at + 3]};
            }
            set.depth = Depth::Pal8;
            break;
        }
        case 16:
            if (compression == kRgb) {
                set.depth = Depth::Rgb555;
                masks = kFields555;
            } else if (compression == kBitFields) {
                // The masks sit at 54..66 whatever the header length says.
                leastHeader = std::max<int64_t>(leastHeader, kMasksEnd);
                if (set.headerLength < kMasksEnd || leastHeader > set.fileLength)
                    return fail("16-bit file without room for its colour masks");
                if (SetDepth::marks4444(facts.masks[0])) {
                    // Its alpha sits in the top nibble, which no mask names.
                    set.depth = Depth::Argb4444;
                    masks = kFields4444;
                } else {
                    masks = ownMasks;
                    set.depth = sameMasks(masks, kFields565) ? Depth::Rgb565 : Depth::Masked16;
                }
            } else {
                return unsupported();
            }
            break;
        case 24:
            if (compression != kRgb) return unsupported();
            set.depth = Depth::Rgb24;
            masks = kFields24;
            break;
        case 32:
            if (compression == kRgb) {
                set.depth = Depth::Bgra32;
                masks = kFields32;
            } else if (compression == kBitFields) {
                // The masks sit at 54..66 whatever the header length says.
                leastHeader = std::max<int64_t>(leastHeader, kMasksEnd);
                if (set.headerLength < kMasksEnd || leastHeader > set.fileLength)
                    return fail("32-bit file without room for its colour masks");
                masks = ownMasks;
                set.depth = sameMasks(masks, kFields32) ? Depth::Bgra32 : Depth::Masked32;
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
    if (facts.recordAt && facts.recordAt + kRecordLength <= set.fileLength) {
        set.record.emplace();
        std::copy_n(b.begin() + facts.recordAt, kRecordLength, set.record->begin());
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

    // Each complete level is decoded by the image library's reader, handed
    // this file's header (its pixels start right after it) sized to the
    // level, with the level's bytes after it.
    Bytes levelFile(b.begin(), b.begin() + set.headerLength);
    if (compression == kBitFields) {
        // The masks as this reader took them, where the library looks for them.
        write32(levelFile, kMasksAt, masks.red);
        write32(levelFile, kMasksAt + 4, masks.green);
        write32(levelFile, kMasksAt + 8, masks.blue);
        if (infoLength >= uint32_t(kInfoWithAlphaMask)) write32(levelFile, kAlphaMaskAt, masks.alpha);
        else if (infoLength < uint32_t(kInfoWithMasks)) write32(levelFile, kInfoLengthAt, kInfoHeader);
    }
    const bool paletteLevels =
        std::any_of(set.palette.begin(), set.palette.end(), [](const quor::PaletteEntry& e) { return e.extra != 0; });
    const bool alphaField = bits == 8 ? paletteLevels : masks.alpha != 0;
    // Whether some pixel's raw alpha field (for 8-bit its colour's level) is not 0.
    const auto anyAlphaIn = [&](const uint8_t* pixels, size_t e, size_t stride) {
        for (size_t row = 0; row < e; ++row)
            for (const uint8_t* p = pixels + row * stride; p < pixels + row * stride + e * size_t(bpp); p += bpp) {
                if (bits == 8 ? set.palette[*p].extra != 0 : (quor::le::read(p, bpp) & masks.alpha) != 0) return true;
            }
        return false;
    };
    bool anyAlpha = false;
    std::vector<bool> alphaAllZero;
    for (const LevelInfo& level : set.levels) {
        quor::Image image;
        alphaAllZero.push_back(false);
        if (level.complete) {
            const size_t e = size_t(level.edge);
            const size_t stride = set.paddedRows ? size_t(paddedRow) : e * size_t(bpp);
            const uint8_t* pixels = b.data() + level.offset;
            levelFile.resize(size_t(set.headerLength));
            levelFile.insert(levelFile.end(), pixels, pixels + stride * e);
            write32(levelFile, kWidthAt, uint32_t(e));
            write32(levelFile, kHeightAt, uint32_t(e));
            quor::Failure why;
            if (quor::readBmp(levelFile.data(), levelFile.size(), image, &why) != quor::BmpRead::Ok ||
                image.pixelCount() != e * e)
                return fail("the " + str(level.edge) + " level cannot be decoded: " + why.text);
            if (!alphaField) {
                for (size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = 255;
            } else if (anyAlphaIn(pixels, e, stride)) {
                anyAlpha = true;
            } else {
                alphaAllZero.back() = true;
            }
        }
        set.images.push_back(std::move(image));
    }
    // The library reads a level whose alpha is 0 throughout as opaque.  Of a
    // 32-bit file that holds for the whole file alone (writers leave the
    // fourth byte 0); a level of no alpha in a file with some is invisible.
    if (set.depth != Depth::Bgra32 || anyAlpha) {
        for (size_t k = 0; k < set.images.size(); ++k)
            if (alphaAllZero[k])
                for (size_t i = 3; i < set.images[k].rgba.size(); i += 4) set.images[k].rgba[i] = 0;
    }
    for (quor::Image& image : set.images) {
        image.hasAlpha = false;
        for (size_t i = 3; i < image.rgba.size() && !image.hasAlpha; i += 4) image.hasAlpha = image.rgba[i] != 255;
        set.hasAlpha |= image.hasAlpha;
    }
    return ReadResult{std::move(set), {}};
}

Bytes writeXbm(const OutputSet& set) {
    const int64_t edge = set.images.front().width;
    const int bpp = set.depth.bytesPerTexel();
    const bool sixteen = set.depth.sixteenBit();
    const bool palette = set.depth == SetDepth::Palette8;
    int64_t header = kPlainHeader;
    if (palette) header = kPaletteHeader + (set.record ? kRecordLength : 0);
    else if (sixteen) header = kStandardHeader;

    Bytes b(size_t(fileLength(edge, bpp, header)), 0);
    if (sixteen) {
        const TemplateHeader standard = standardHeader(edge, set.depth);
        std::copy(standard.begin(), standard.end(), b.begin());
        if (set.record)
            std::copy_n(set.record->begin() + kRecordDataOffset, kRecordDataLength,
                        b.begin() + kStandardRecordAt + kRecordDataOffset);
    } else {
        writeSetHeaders(b, edge, bpp * 8, header, kNoCompression);
    }
    if (palette) {
        for (size_t i = 0; i < 256; ++i) {
            const quor::PaletteEntry& e = set.palette[i];
            uint8_t* p = b.data() + kPaletteAt + 4 * i;
            p[0] = e.blue;
            p[1] = e.green;
            p[2] = e.red;
            p[3] = e.extra;
        }
        if (set.record) std::copy(set.record->begin(), set.record->end(), b.begin() + kPaletteHeader);
    }

    std::vector<uint8_t> stored;
    for (const quor::Image& image : set.images) {
        const size_t e = size_t(image.width);
        uint8_t* out = b.data() + levelStart(edge, int64_t(e), bpp, header);
        // Rows are stored bottom-up.
        if (sixteen) {
            stored.resize(e * e * 4);
            for (size_t row = 0; row < e; ++row)
                std::copy_n(image.rgba.data() + (e - 1 - row) * e * 4, e * 4, stored.data() + row * e * 4);
            quor::packLevel(corvane::packedFormOf(set.depth), stored.data(), e * e, out);
            continue;
        }
        for (size_t row = e; row-- > 0;) {
            for (size_t x = 0; x < e; ++x, out += bpp) {
                const size_t i = row * e + x;
                const uint8_t* p = image.rgba.data() + 4 * i;
                if (palette) {
                    out[0] = image.indices[i];
                } else {
                    out[0] = p[2];
                    out[1] = p[1];
                    out[2] = p[0];
                    out[3] = p[3];
                }
            }
        }
    }
    return b;
}

}  // namespace xbm
