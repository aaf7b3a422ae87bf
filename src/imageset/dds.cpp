#include "dds.h"

#include "bytes.h"
#include "committer.h"
#include "depthpacking.h"
#include "fileaccess.h"
#include "files.h"
#include "layout.h"
#include "maskfield.h"
#include "pixelpack.h"
#include "quorimg.h"
#include "splitjoin.h"
#include "workspace.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <array>
#include <bit>

namespace corvane {

namespace {

// The legacy header: "DDS " and a 124-byte structure.
namespace at {
constexpr size_t kMagic = 0;
constexpr size_t kSize = 4;
constexpr size_t kFlags = 8;
constexpr size_t kHeight = 12;
constexpr size_t kWidth = 16;
constexpr size_t kPitchOrLinearSize = 20;
constexpr size_t kDepth = 24;
constexpr size_t kMipCount = 28;
constexpr size_t kFormatSize = 76;
constexpr size_t kFormatFlags = 80;
constexpr size_t kFourCc = 84;
constexpr size_t kBitCount = 88;
constexpr size_t kRedMask = 92;  // then green, blue, alpha
constexpr size_t kCaps = 108;
constexpr size_t kCaps2 = 112;
constexpr size_t kData = 128;
// The DX10 header follows the legacy one when its code is "DX10".
constexpr size_t kDxgiFormat = 128;
constexpr size_t kResourceDimension = 132;
constexpr size_t kMiscFlag = 136;
constexpr size_t kArraySize = 140;
constexpr size_t kDx10Data = 148;
}  // namespace at

constexpr uint32_t kHeaderSize = 124;
constexpr uint32_t kFormatStructSize = 32;

constexpr uint32_t kCapsFlag = 0x1, kHeightFlag = 0x2, kWidthFlag = 0x4, kPitchFlag = 0x8, kPixelFormatFlag = 0x1000,
                   kMipCountFlag = 0x20000, kLinearSizeFlag = 0x80000, kDepthFlag = 0x800000;
constexpr uint32_t kAlphaPixels = 0x1, kFourCcFlag = 0x4, kRgbFlag = 0x40;
constexpr uint32_t kCapsComplex = 0x8, kCapsTexture = 0x1000, kCapsMipmap = 0x400000;
constexpr uint32_t kCaps2Cubemap = 0x200, kCaps2Volume = 0x200000;

constexpr uint32_t kTexture2d = 3;      // the DX10 header's resource dimension
constexpr uint32_t kMiscCubemap = 0x4;  // and its flag for a cube map

using quor::blocks::FormatRow;
using quor::blocks::fourCcCode;
using quor::blocks::kFormats;

// The blocks DDS files offer are written when the library encodes them, and read.
bool written(const FormatRow& row) { return row.inDdsFiles && row.encodes; }

// The block format a legacy header's code names, among those read.
const FormatRow* rowOfFourCc(uint32_t code) {
    for (const FormatRow& row : kFormats)
        if (row.inDdsFiles && !row.needsDx10Header() && fourCcCode(row.fourCc) == code) return &row;
    return nullptr;
}

// The block format a DX10 header's code names, among those read: the
// format's own code, its typeless form (one below) or its sRGB form (one
// above).  sRGB texels are read as they stand, as a set holds them.
const FormatRow* rowOfDxgi(uint32_t code) {
    for (const FormatRow& row : kFormats)
        if (row.inDdsFiles && code + 1 >= row.dxgi && code <= row.dxgi + 1) return &row;
    return nullptr;
}

// Uncompressed texels a DX10 header may name: their bits and the masks of
// red, green, blue and alpha, as the legacy header would give them.
struct PlainTexels {
    uint32_t dxgi;
    uint32_t bits;
    std::array<uint32_t, 4> masks;
};
constexpr std::array<uint32_t, 4> kRgba8{0x000000ff, 0x0000ff00, 0x00ff0000, 0xff000000};
constexpr std::array<uint32_t, 4> kBgra8{0x00ff0000, 0x0000ff00, 0x000000ff, 0xff000000};
constexpr std::array<uint32_t, 4> kBgrx8{0x00ff0000, 0x0000ff00, 0x000000ff, 0};
constexpr PlainTexels kPlainDxgi[] = {
    {27, 32, kRgba8},
    {28, 32, kRgba8},
    {29, 32, kRgba8},  // R8G8B8A8: typeless, UNORM, sRGB
    {87, 32, kBgra8},
    {90, 32, kBgra8},
    {91, 32, kBgra8},  // B8G8R8A8: UNORM, typeless, sRGB
    {88, 32, kBgrx8},
    {92, 32, kBgrx8},
    {93, 32, kBgrx8},                             // B8G8R8X8: UNORM, typeless, sRGB
    {85, 16, {0xf800, 0x07e0, 0x001f, 0}},        // B5G6R5
    {86, 16, {0x7c00, 0x03e0, 0x001f, 0x8000}},   // B5G5R5A1
    {115, 16, {0x0f00, 0x00f0, 0x000f, 0xf000}},  // B4G4R4A4
};
// How the refusal names them.
constexpr const char* kPlainDxgiNames = "RGBA8, BGRA8, BGRX8, 5-6-5, 5-5-5-1, 4-4-4-4";

const PlainTexels* plainOfDxgi(uint32_t code) {
    for (const PlainTexels& plain : kPlainDxgi)
        if (plain.dxgi == code) return &plain;
    return nullptr;
}

// How a reader names the blocks: the legacy header's code, or the format's
// name where only the DX10 header names it.
QString codeName(const FormatRow& row) { return QString::fromLatin1(row.needsDx10Header() ? row.name : row.fourCc); }

// "a, b or c"
QString listed(const QStringList& names, const QString& separator, const QString& last) {
    if (names.size() < 2) return names.join(separator);
    return names.mid(0, names.size() - 1).join(separator) + last + names.back();
}

// Why a file's blocks are not read: the codes of those that are.
QString unreadCompression(bool dx10, uint32_t code) {
    QStringList legacy, extended;
    for (const FormatRow& row : kFormats) {
        if (!row.inDdsFiles) continue;
        if (!row.needsDx10Header()) legacy << codeName(row);
        extended << QString::fromLatin1(row.name);
    }
    if (!dx10) return QStringLiteral("This DDS file's compression is not %1.").arg(listed(legacy, ", ", " or "));
    extended << QString::fromLatin1(kPlainDxgiNames).split(QStringLiteral(", "));
    return QStringLiteral("This DDS file's extended (DX10) header names format %1, where %2 are read.")
        .arg(code)
        .arg(listed(extended, ", ", " and "));
}

// Where to go with a picture that is no set's shape.
const QString kLoadAnyImageInstead = QStringLiteral("\n\nUse Load Any Image to bring it in as a new image set.");

// Larger files are not looked at: a 16384 square with every mip, 32-bit.
constexpr int64_t kLargestFile = int64_t(1) << 31;
constexpr int kLargestEdge = 16384;

bool allOpaque(const DdsChain& chain) {
    for (const auto& level : chain.levels)
        for (size_t i = 3; i < level.size(); i += 4)
            if (level[i] != 255) return false;
    return true;
}

}  // namespace

std::optional<DdsFormat> ddsFormatNamed(const QString& name) {
    const QString wanted = name.toLower();
    if (wanted == QLatin1String("auto")) return DdsFormat::Auto;
    if (wanted == QLatin1String("rgba")) return DdsFormat::Rgba;
    for (const FormatRow& row : kFormats) {
        if (!written(row)) continue;
        if (wanted == QString::fromLatin1(row.name).toLower() ||
            (row.fourCc && wanted == QString::fromLatin1(row.fourCc).toLower()))
            return DdsFormat::blocks(row.format);
    }
    return std::nullopt;
}

QString ddsFormatNames(const QString& separator, const QString& last) {
    QStringList names;
    for (const FormatRow& row : kFormats)
        if (written(row)) names << QString::fromLatin1(row.name).toLower();
    names << QStringLiteral("rgba");
    return listed(names, separator, last);
}

QString ddsAutoChoice() {
    return QStringLiteral("%1 when every texel is opaque, else %2")
        .arg(codeName(quor::blocks::formatRow(kAutoOpaque)), codeName(quor::blocks::formatRow(kAutoTransparent)));
}

DdsFormat resolveDdsFormat(const DdsChain& chain, DdsFormat requested) {
    if (!requested.isAuto()) return requested;
    return DdsFormat::blocks(allOpaque(chain) ? kAutoOpaque : kAutoTransparent);
}

bool keepsOneBitAlpha(const DdsChain& chain, DdsFormat format) {
    return format.blockFormat() && !format.blockFormat()->hasAlpha && !allOpaque(chain);
}

QString oneBitAlphaNote(int alphaCut) {
    return QStringLiteral(
               "The set has transparent texels and BC1 keeps one bit of alpha: texels of alpha below %1 are "
               "written fully transparent, the others opaque.")
        .arg(alphaCut);
}

int ddsAlphaCut(const SetOptions& options) {
    // Keeping coverage makes the levels hold as many texels at or above the
    // coverage cut as the largest does; the blocks keep that same cut.
    return options.keepCoverage ? QUOR_COVERAGE_CUT : kPlainAlphaCut;
}

namespace {

// encodeDds, told whether every texel of the chain is opaque.
std::vector<uint8_t> encodeChain(const DdsChain& chain, DdsFormat format, int alphaCut, bool opaque) {
    const int largest = chain.largest;
    const FormatRow* blocks = format.blockFormat();
    if (format.isAuto() || !layout::isLevel(largest) || (blocks && !blocks->encodes)) return {};
    size_t count = 0;
    for (int edge = largest; edge >= 1; edge /= 2, ++count)
        if (count >= chain.levels.size() || chain.levels[count].size() != size_t(edge) * size_t(edge) * 4) return {};

    const bool dx10 = blocks && blocks->needsDx10Header();
    const bool oneBitAlpha = blocks && !blocks->hasAlpha && !opaque;
    const QuorBlockOptions options{alphaCut, oneBitAlpha ? QUOR_BC1_ALPHA : 0};
    const int32_t number = blocks ? int32_t(blocks->format) : 0;  // the C interface's
    const size_t headerBytes = dx10 ? at::kDx10Data : at::kData;
    size_t total = headerBytes;
    for (size_t i = 0; i < count; ++i) {
        const int edge = largest >> i;
        total += blocks ? size_t(std::max(_bcsize(edge, edge, number), 0)) : chain.levels[i].size();
    }
    std::vector<uint8_t> out(headerBytes, 0);
    out.reserve(total);
    const auto put = [&out](size_t offset, uint32_t v) { quor::le::put32(out.data() + offset, v); };
    std::copy_n("DDS ", 4, out.begin());
    put(at::kSize, kHeaderSize);
    put(at::kFlags, kCapsFlag | kHeightFlag | kWidthFlag | kPixelFormatFlag | kMipCountFlag |
                        (blocks ? kLinearSizeFlag : kPitchFlag));
    put(at::kHeight, uint32_t(largest));
    put(at::kWidth, uint32_t(largest));
    put(at::kPitchOrLinearSize, blocks ? uint32_t(_bcsize(largest, largest, number)) : uint32_t(largest) * 4);
    put(at::kMipCount, uint32_t(count));
    put(at::kFormatSize, kFormatStructSize);
    if (!blocks) {
        put(at::kFormatFlags, kRgbFlag | kAlphaPixels);
        put(at::kBitCount, 32);
        put(at::kRedMask, 0x00ff0000);
        put(at::kRedMask + 4, 0x0000ff00);
        put(at::kRedMask + 8, 0x000000ff);
        put(at::kRedMask + 12, 0xff000000);
    } else {
        put(at::kFormatFlags, kFourCcFlag);
        put(at::kFourCc, fourCcCode(dx10 ? "DX10" : blocks->fourCc));
        if (dx10) {
            put(at::kDxgiFormat, blocks->dxgi);
            put(at::kResourceDimension, kTexture2d);
            put(at::kArraySize, 1);
        }
    }
    put(at::kCaps, kCapsTexture | (count > 1 ? kCapsMipmap | kCapsComplex : 0));

    for (size_t i = 0; i < count; ++i) {
        const int edge = largest >> i;
        const std::vector<uint8_t>& level = chain.levels[i];
        const size_t start = out.size();
        if (!blocks) {
            out.resize(start + level.size());
            for (size_t t = 0; t < level.size(); t += 4) {
                out[start + t] = level[t + 2];
                out[start + t + 1] = level[t + 1];
                out[start + t + 2] = level[t];
                out[start + t + 3] = level[t + 3];
            }
            continue;
        }
        const int32_t bytes = _bcsize(edge, edge, number);
        out.resize(start + size_t(bytes));
        if (bytes <= 0 || !_bcencodewith(level.data(), edge, edge, number, &options, out.data() + start, bytes))
            return {};
    }
    return out;
}

}  // namespace

std::vector<uint8_t> encodeDds(const DdsChain& chain, DdsFormat format, int alphaCut) {
    return encodeChain(chain, format, alphaCut, allOpaque(chain));
}

namespace {

// What a DDS file's header says of its texels, read before their shape is
// looked at: the refusal of anything other than one texture of blocks of a
// format read or of plain texels.
struct TexelForm {
    QString refusal;
    const FormatRow* blocks = nullptr;  // or plain texels:
    int bytesPerTexel = 0;
    std::array<quor::MaskField, 4> channels{};  // red, green, blue, alpha
    uint32_t width = 0, height = 0;
    uint32_t mipField = 0;
    size_t start = 0;  // where the first level starts

    size_t levelBytes(int w, int h) const {
        return blocks ? size_t(std::max(_bcsize(w, h, int32_t(blocks->format)), 0))
                      : size_t(w) * size_t(h) * size_t(bytesPerTexel);
    }
    // The level of w x h at `data` (levelBytes of it) as RGBA, top row first.
    bool decode(const uint8_t* data, int w, int h, std::vector<uint8_t>& rgba) const {
        rgba.assign(size_t(w) * size_t(h) * 4, 0);
        if (blocks)
            return _bcdecode(data, int32_t(levelBytes(w, h)), w, h, int32_t(blocks->format), rgba.data(),
                             int32_t(rgba.size()));
        const uint8_t* t = data;
        for (size_t k = 0; k < size_t(w) * size_t(h); ++k, t += bytesPerTexel) {
            const uint32_t texel = quor::le::read(t, bytesPerTexel);
            for (size_t c = 0; c < 4; ++c) rgba[4 * k + c] = channels[c].widen(texel, c == 3 ? 255 : 0);
        }
        return true;
    }
};

TexelForm texelForm(const uint8_t* data, size_t size) {
    TexelForm form;
    const auto refuse = [&form](const QString& why) {
        form.refusal = why;
        return form;
    };
    const auto field = [&](size_t offset) { return quor::le::within(data, size, offset, 4); };
    if (!data || size < at::kData || field(at::kMagic) != fourCcCode("DDS "))
        return refuse(QStringLiteral("This file is not a DDS file."));
    if (field(at::kSize) != kHeaderSize || field(at::kFormatSize) != kFormatStructSize)
        return refuse(QStringLiteral("This DDS file's header is damaged."));

    const uint32_t formatFlags = field(at::kFormatFlags);
    const uint32_t code = field(at::kFourCc);
    const bool dx10 = (formatFlags & kFourCcFlag) && code == fourCcCode("DX10");
    const uint32_t caps2 = field(at::kCaps2);
    if ((caps2 & (kCaps2Cubemap | kCaps2Volume)) || ((field(at::kFlags) & kDepthFlag) && field(at::kDepth) > 1))
        return refuse(QStringLiteral("This DDS file holds a cube map or a volume, not a single texture."));

    uint32_t bits = 0;
    std::array<uint32_t, 4> masks{};
    if (dx10) {
        if (size < at::kDx10Data) return refuse(QStringLiteral("This DDS file ends inside its header."));
        const uint32_t dxgi = field(at::kDxgiFormat);
        if (field(at::kResourceDimension) != kTexture2d || (field(at::kMiscFlag) & kMiscCubemap))
            return refuse(QStringLiteral("This DDS file holds a cube map, a volume or a strip, not a single texture."));
        if (const uint32_t count = field(at::kArraySize); count != 1)
            return refuse(QStringLiteral("This DDS file holds an array of %1 textures, where one is read.").arg(count));
        form.blocks = rowOfDxgi(dxgi);
        if (const PlainTexels* plain = form.blocks ? nullptr : plainOfDxgi(dxgi)) {
            bits = plain->bits;
            masks = plain->masks;
        } else if (!form.blocks) {
            return refuse(unreadCompression(true, dxgi));
        }
    } else if (formatFlags & kFourCcFlag) {
        form.blocks = rowOfFourCc(code);
        if (!form.blocks) return refuse(unreadCompression(false, code));
    } else if (formatFlags & kRgbFlag) {
        bits = field(at::kBitCount);
        if (bits != 16 && bits != 24 && bits != 32)
            return refuse(QStringLiteral("This DDS file has %1 bits a texel, where 16, 24 or 32 are read.").arg(bits));
        for (size_t c = 0; c < 4; ++c) masks[c] = field(at::kRedMask + 4 * c);
        if (!(formatFlags & kAlphaPixels)) masks[3] = 0;
        for (uint32_t& m : masks) m &= uint32_t((uint64_t(1) << bits) - 1);
    } else {
        return refuse(QStringLiteral("This DDS file's texels are neither compressed colour nor RGB."));
    }
    form.bytesPerTexel = int(bits / 8);
    for (size_t c = 0; c < 4; ++c) form.channels[c] = quor::MaskField(masks[c]);
    form.width = field(at::kWidth);
    form.height = field(at::kHeight);
    form.mipField = field(at::kMipCount);
    form.start = dx10 ? at::kDx10Data : at::kData;
    return form;
}

}  // namespace

DdsReading decodeDds(const uint8_t* data, size_t size) {
    DdsReading r;
    const auto refuse = [&r](const QString& why) {
        r.refusal = why;
        r.chain = {};
        return r;
    };
    const TexelForm form = texelForm(data, size);
    if (!form.refusal.isEmpty()) return refuse(form.refusal);

    const uint32_t width = form.width, height = form.height;
    if (width != height || width == 0 || width > uint32_t(kLargestEdge) || (width & (width - 1)) != 0)
        return refuse(QStringLiteral("This DDS texture is %1 x %2, where Extended Bitmaps hold a square of 1, 2, 4 "
                                     "... 512 texels.")
                          .arg(width)
                          .arg(height) +
                      kLoadAnyImageInstead);
    const int edge = int(width);
    const int allLevels = std::bit_width(unsigned(edge));
    const int mips = form.mipField == 0 ? 1 : int(std::min<uint32_t>(form.mipField, uint32_t(allLevels)));

    size_t offset = form.start;
    for (int i = 0; i < mips; ++i) {
        const int e = edge >> i;
        const size_t need = form.levelBytes(e, e);
        if (e > layout::kMaxLevel) {
            ++r.skippedLarger;
            if (size - offset < need) break;
            offset += need;
            continue;
        }
        if (r.chain.largest == 0) r.chain.largest = e;
        if (size - offset < need) {
            r.truncated = true;
            break;
        }
        std::vector<uint8_t> level;
        if (!form.decode(data + offset, e, e, level))
            return refuse(QStringLiteral("This DDS file's blocks cannot be read."));
        offset += need;
        r.chain.levels.push_back(std::move(level));
    }
    if (r.chain.largest == 0)
        return refuse(r.skippedLarger > 0
                          ? QStringLiteral("This DDS texture is %1 x %1 and holds no level of 512 x 512 or "
                                           "smaller; Corvane's sets are at most 512 x 512.")
                                .arg(edge)
                          : QStringLiteral("This DDS file ends before its first level."));
    if (r.chain.levels.empty())
        return refuse(QStringLiteral("This DDS file ends before its %1 x %1 level is complete.").arg(r.chain.largest));
    for (int e = r.chain.largest >> r.chain.levels.size(); e >= 1; e /= 2) r.missing.push_back(e);
    r.anyTransparent = !allOpaque(r.chain);
    return r;
}

DdsPicture decodeDdsPicture(const uint8_t* data, size_t size) {
    DdsPicture picture;
    const TexelForm form = texelForm(data, size);
    if (!form.refusal.isEmpty()) {
        picture.refusal = form.refusal;
        return picture;
    }
    if (form.width == 0 || form.height == 0) {
        picture.refusal = QStringLiteral("This DDS texture is %1 x %2 texels.").arg(form.width).arg(form.height);
        return picture;
    }
    if (form.width > uint32_t(QUOR_MAX_EDGE) || form.height > uint32_t(QUOR_MAX_EDGE)) {
        picture.refusal = QStringLiteral(
                              "This DDS texture is %1 x %2 texels; pictures of at most %3 a side can be "
                              "brought in.")
                              .arg(form.width)
                              .arg(form.height)
                              .arg(QUOR_MAX_EDGE);
        return picture;
    }
    const int w = int(form.width), h = int(form.height);
    if (size - form.start < form.levelBytes(w, h)) {
        picture.refusal = QStringLiteral("This DDS file ends before its %1 x %2 level is complete.").arg(w).arg(h);
        return picture;
    }
    if (!form.decode(data + form.start, w, h, picture.rgba)) {
        picture.rgba.clear();
        picture.refusal = QStringLiteral("This DDS file's blocks cannot be read.");
        return picture;
    }
    picture.width = w;
    picture.height = h;
    return picture;
}

bool isDdsFile(const QString& path) {
    QFile file;
    if (!openForReading(file, path).isEmpty()) return false;
    return file.read(4) == QByteArrayLiteral("DDS ");
}

namespace {

// The levels of an Extended Bitmap's bytes as RGBA, top row first.
bool chainFromSet(const std::vector<uint8_t>& file, DdsChain& chain) {
    using namespace layout;
    const int bits = byteAt(file, kBitsAt), edge = int(read32(file, kWidthAt));
    const int bpp = bits / 8;
    if (!isLevel(edge) || (bpp < 1 || bpp > 4) || bits % 8 != 0) return false;
    const int64_t pixels = chainPixels(edge) * bpp;
    if (int64_t(file.size()) < pixels + kPlainHeader) return false;
    const size_t start = file.size() - size_t(pixels);

    // An 8-bit set's transparency levels, unless all are 0 (none kept);
    // a 32-bit set whose largest level's fourth bytes are all 0 shows opaque.
    std::array<uint8_t, 256> paletteAlpha{};
    paletteAlpha.fill(255);
    if (bpp == 1) {
        bool anyLevel = false;
        for (size_t i = 0; i < 256; ++i) anyLevel |= byteAt(file, kPaletteAt + 4 * i + 3) != 0;
        for (size_t i = 0; i < 256 && anyLevel; ++i) paletteAlpha[i] = byteAt(file, kPaletteAt + 4 * i + 3);
    }
    bool fourthBytesUsed = false;
    if (bpp == 4)
        for (size_t i = 0; i < size_t(edge) * size_t(edge) && !fourthBytesUsed; ++i)
            fourthBytesUsed = file[start + 4 * i + 3] != 0;
    const quor::PackedForm form = packedFormOf(SetDepth::ofHeader(bits, read32(file, kMasksAt)).value_or(SetDepth()));

    chain.largest = edge;
    chain.levels.clear();
    std::vector<uint8_t> bottomUp;
    for (int e = edge; e >= 1; e /= 2) {
        const size_t count = size_t(e) * size_t(e);
        const uint8_t* p = file.data() + start + size_t(levelStart(edge, e, bpp, 0));
        bottomUp.resize(count * 4);
        if (bpp == 2) quor::unpackLevel(form, p, count, bottomUp.data());
        for (size_t i = 0; i < count && bpp != 2; ++i, p += bpp) {
            uint8_t* q = bottomUp.data() + 4 * i;
            if (bpp == 1) {
                const size_t entry = kPaletteAt + 4 * size_t(*p);
                q[0] = byteAt(file, entry + 2), q[1] = byteAt(file, entry + 1), q[2] = byteAt(file, entry);
                q[3] = paletteAlpha[*p];
            } else {
                q[0] = p[2], q[1] = p[1], q[2] = p[0];
                q[3] = bpp == 4 && fourthBytesUsed ? p[3] : 255;
            }
        }
        std::vector<uint8_t> level(count * 4);
        const size_t row = size_t(e) * 4;
        for (size_t y = 0; y < size_t(e); ++y)
            std::copy_n(bottomUp.begin() + std::ptrdiff_t((size_t(e) - 1 - y) * row), row,
                        level.begin() + std::ptrdiff_t(y * row));
        chain.levels.push_back(std::move(level));
    }
    return true;
}

// A 32-bit bitmap's headers for pictures of width x height, `pixels` bytes of
// them to follow.
std::vector<uint8_t> bitmapHeaders(int width, int height, size_t pixels) {
    using namespace layout;
    std::vector<uint8_t> out(size_t(kPlainHeader), 0);
    out.reserve(out.size() + pixels);
    out[0] = 'B';
    out[1] = 'M';
    write32(out, kPixelOffsetAt, uint32_t(kPlainHeader));
    write32(out, kInfoLengthAt, 40);
    write32(out, kWidthAt, uint32_t(width));
    write32(out, kHeightAt, uint32_t(height));
    write16(out, 26, 1);
    write16(out, kBitsAt, 32);
    write32(out, kFileSizeAt, uint32_t(out.size() + pixels));
    write32(out, kImageSizeAt, uint32_t(pixels));
    return out;
}

// Appends RGBA texels of width x height, top row first, as a bitmap keeps
// them: bottom row first, blue, green, red, alpha.
void appendBottomUp(std::vector<uint8_t>& out, const std::vector<uint8_t>& rgba, size_t width, size_t height) {
    for (size_t y = height; y-- > 0;)
        for (size_t x = 0; x < width; ++x) {
            const uint8_t* p = rgba.data() + (y * width + x) * 4;
            out.insert(out.end(), {p[2], p[1], p[0], p[3]});
        }
}

// A 32-bit Extended Bitmap of the chain's levels, bottom row first.
std::vector<uint8_t> setOfChain(const DdsChain& chain) {
    size_t pixels = 0;
    for (const std::vector<uint8_t>& level : chain.levels) pixels += level.size();
    std::vector<uint8_t> out = bitmapHeaders(chain.largest, chain.largest, pixels);
    for (size_t i = 0; i < chain.levels.size(); ++i) {
        const size_t e = size_t(chain.largest) >> i;
        appendBottomUp(out, chain.levels[i], e, e);
    }
    return out;
}

}  // namespace

CommandOutcome readSetChain(const Workspace& workspace, DdsChain& chain) {
    std::vector<uint8_t> bytes;
    const CommandOutcome joined = setBytes(workspace, bytes, SetColours::Full);
    if (!joined.ok) return joined;
    if (!chainFromSet(bytes, chain)) return CommandOutcome::refused(QStringLiteral("The set's levels cannot be read."));
    return {};
}

namespace {

// Why the file at `path` is not `written`, byte for byte; empty when it is.
QString readBackProblem(const QString& path, const std::vector<uint8_t>& written) {
    std::vector<uint8_t> back;
    if (readFileBytes(path, back, int64_t(written.size()) + 1) && back == written) return {};
    return QStringLiteral("Cannot save %1:\nthe saved file does not read back as it was written.")
        .arg(QFileInfo(path).fileName());
}

}  // namespace

namespace {

// `opaque`: every texel of the chain is.
CommandOutcome writeDds(const DdsChain& chain, bool opaque, const QString& path, const DdsRequest& request,
                        SetHandOff* handOff) {
    const DdsFormat format =
        request.format.isAuto() ? DdsFormat::blocks(opaque ? kAutoOpaque : kAutoTransparent) : request.format;
    std::vector<uint8_t> bytes = encodeChain(chain, format, request.alphaCut, opaque);
    if (bytes.empty()) return CommandOutcome::refused(QStringLiteral("The set could not be compressed."));
    CommandOutcome outcome;
    if (format.blockFormat() && !format.blockFormat()->hasAlpha && !opaque)
        outcome.information << oneBitAlphaNote(request.alphaCut);
    if (handOff && handOff->takes(path)) {
        WrittenReplacement temp = writeReplacement(path, bytes);
        if (!temp.file) return temp.outcome;
        handOff->hand(std::move(temp.file), path,
                      [written = std::move(bytes)](const QString& target) { return readBackProblem(target, written); });
        return outcome;
    }
    if (const CommandOutcome saved = replaceFileAtomically(path, bytes); !saved.ok) return saved;
    if (const QString problem = readBackProblem(path, bytes); !problem.isEmpty()) outcome.fail(problem);
    return outcome;
}

}  // namespace

CommandOutcome saveDds(const Workspace& workspace, const QString& path, const DdsRequest& request,
                       SetHandOff* handOff) {
    DdsChain chain;
    const CommandOutcome read = readSetChain(workspace, chain);
    return read.ok ? writeDds(chain, allOpaque(chain), path, request, handOff) : read;
}

namespace {

// A 5-6-5 set held in memory, as writeSet and chainFromSet would give its
// chain, without the bytes between: every level is full colour there (on
// the grid or off it, it reads back as it stands) and opaque.  False for any
// other set, or levels that are not all held.
bool chainOfHeld(const HeldSet& set, DdsChain& chain) {
    const int edge = set.state.largest;
    if (set.state.depth != SetDepth::Rgb565 || !layout::isLevel(edge) ||
        set.rgba.size() < size_t(layout::chainPixels(edge)) * 4)
        return false;
    chain.largest = edge;
    chain.levels.clear();
    for (int e = edge; e >= 1; e /= 2) {
        const size_t count = size_t(e) * size_t(e);
        const uint8_t* from = set.rgba.data() + size_t(layout::levelStart(edge, e, 4, 0));
        std::vector<uint8_t> level(from, from + count * 4);
        for (size_t i = 3; i < level.size(); i += 4) level[i] = 255;
        chain.levels.push_back(std::move(level));
    }
    return true;
}

}  // namespace

CommandOutcome saveDds(const HeldSet& set, const QString& path, const DdsRequest& request, SetHandOff* handOff) {
    if (DdsChain chain; chainOfHeld(set, chain)) return writeDds(chain, true, path, request, handOff);
    std::vector<uint8_t> bytes;
    const CommandOutcome joined = writeSet(set, JoinOutput(bytes), SetColours::Full);
    if (!joined.ok) return joined;
    DdsChain chain;
    if (!chainFromSet(bytes, chain)) return CommandOutcome::refused(QStringLiteral("The set's levels cannot be read."));
    return writeDds(chain, allOpaque(chain), path, request, handOff);
}

CommandOutcome ddsPictureAsBitmap(const QString& path, const QString& bitmap) {
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, bytes, kLargestFile))
        return CommandOutcome::refused(QStringLiteral("The file %1 cannot be read.").arg(QFileInfo(path).fileName()));
    const DdsPicture picture = decodeDdsPicture(bytes.data(), bytes.size());
    if (!picture.refusal.isEmpty()) return CommandOutcome::refused(picture.refusal);
    bytes = bitmapHeaders(picture.width, picture.height, picture.rgba.size());
    appendBottomUp(bytes, picture.rgba, size_t(picture.width), size_t(picture.height));
    return replaceFileAtomically(bitmap, bytes);
}

CommandOutcome loadDds(const QString& path, Workspace& workspace, ImageLibrary& library, const SetOptions& options) {
    CommandOutcome outcome;
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, bytes, kLargestFile)) {
        outcome.fail(QStringLiteral("The file %1 cannot be read.").arg(QFileInfo(path).fileName()));
        return outcome;
    }
    const DdsReading reading = decodeDds(bytes.data(), bytes.size());
    if (!reading.refusal.isEmpty()) {
        outcome.fail(reading.refusal);
        return outcome;
    }
    const QString converted = workspace.workDir() + QStringLiteral("dtemp.bmp");
    outcome = replaceFileAtomically(converted, setOfChain(reading.chain));
    if (!outcome.ok) return outcome;
    outcome = loadExtended(converted, BitmapFilter, workspace, library, options, QFileInfo(path).fileName());
    Workspace::removeFile(converted);
    if (!outcome.ok) return outcome;
    workspace.state().loadedPath = path;
    // A set of the largest level alone reads as a plain picture, with no
    // word of the levels a cut-short file lost: say it, as for a short set.
    if (reading.truncated) {
        SplitReport report;
        report.missingLevels = reading.missing;
        if (!outcome.information.contains(report.missingNote())) outcome.information << report.missingNote();
    }
    if (reading.skippedLarger > 0)
        outcome.information.prepend(
            QStringLiteral("This DDS texture is larger than 512 x 512; its %1 x %1 level was loaded.")
                .arg(reading.chain.largest));
    return outcome;
}

}  // namespace corvane
