#include "layout.h"

#include "bytes.h"
#include "fileaccess.h"

#include <QFile>

namespace corvane {
namespace layout {

TemplateHeader standardHeader(int64_t largest, SetDepth depth) {
    std::vector<uint8_t> h(kStandardHeader, 0);
    writeSetHeaders(h, largest, 16, kStandardHeader, kBitFields);
    const std::array<uint32_t, 3>& masks = depth.masks();
    for (size_t i = 0; i < masks.size(); ++i) write32(h, kMasksAt + 4 * i, masks[i]);
    h[kStandardRecordAt + 0] = 'A';
    h[kStandardRecordAt + 1] = 'V';
    h[kStandardRecordAt + 2] = 'T';
    h[kStandardRecordAt + 3] = 'X';
    write32(h, kStandardRecordAt + 4, kRecordLength);
    TemplateHeader out{};
    std::copy(h.begin(), h.end(), out.begin());
    return out;
}

void writeSetHeaders(std::vector<uint8_t>& h, int64_t largest, int bits, int64_t headerLength, uint32_t compression) {
    const int64_t pixelBytes = chainPixels(largest) * (bits / 8);
    if (h.size() < size_t(kPlainHeader)) h.resize(kPlainHeader, 0);
    h[0] = 'B';
    h[1] = 'M';
    write32(h, kFileSizeAt, uint32_t(headerLength + pixelBytes));
    write32(h, kPixelOffsetAt, uint32_t(headerLength));
    write32(h, kInfoLengthAt, kInfoHeader);
    write32(h, kWidthAt, uint32_t(largest));
    write32(h, kHeightAt, uint32_t(largest));
    write16(h, kPlanesAt, 1);
    write16(h, kBitsAt, uint16_t(bits));
    write32(h, kCompressionAt, compression);
    write32(h, kImageSizeAt, uint32_t(pixelBytes));
}

int64_t chainPixels(int64_t largest) {
    int64_t sum = 0;
    for (int64_t edge = largest; edge >= 1; edge /= 2) sum += edge * edge;
    return sum;
}

int64_t levelStart(int64_t largest, int64_t level, int bytesPerPixel, int64_t headerLength) {
    int64_t at = headerLength;
    for (int64_t edge = largest; edge > level && edge >= 1; edge /= 2) at += edge * edge * bytesPerPixel;
    return at;
}

uint32_t read32(const std::vector<uint8_t>& b, size_t at) { return quor::le::within(b.data(), b.size(), at, 4); }

uint16_t read16(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(quor::le::within(b.data(), b.size(), at, 2));
}

void write32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4, 0);
    quor::le::put32(b.data() + at, v);
}

void write16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2, 0);
    quor::le::put16(b.data() + at, v);
}

}  // namespace layout

using namespace layout;

HeaderFacts readHeaderFacts(const uint8_t* data, size_t size) {
    const auto le32 = [&](size_t at) { return quor::le::within(data, size, at, 4); };
    HeaderFacts facts;
    facts.readable = true;
    facts.fileSize = int64_t(size);
    facts.bmMark = size >= 2 && data[0] == 'B' && data[1] == 'M';
    facts.bitsField = uint16_t(quor::le::within(data, size, kBitsAt, 2));
    facts.bits = facts.bitsField & 0xFF;
    facts.width = int32_t(le32(kWidthAt));
    facts.height = int32_t(le32(kHeightAt));
    facts.pixelOffset = le32(kPixelOffsetAt);
    facts.compression = le32(kCompressionAt);
    for (size_t i = 0; i < facts.masks.size(); ++i) facts.masks[i] = le32(kMasksAt + 4 * i);
    facts.infoLength = le32(kInfoLengthAt);
    if (facts.infoLength >= uint32_t(kInfoWithAlphaMask)) facts.alphaMask = le32(kAlphaMaskAt);
    facts.coloursUsed = le32(kColoursUsedAt);
    facts.paletteAt = kFileHeader + int64_t(facts.infoLength);
    if (facts.bitsField == 8) facts.paletteEntries = facts.coloursUsed ? int64_t(facts.coloursUsed) : kPaletteEntries;

    const bool setInfo = facts.infoLength == uint32_t(kInfoHeader);
    if (facts.bitsField == 8) {
        if (setInfo && facts.paletteEntries == kPaletteEntries &&
            facts.pixelOffset == uint32_t(kPaletteHeader + kRecordLength))
            facts.recordAt = kPaletteHeader;
    } else if (facts.bitsField == 16 || facts.bitsField == 24 || facts.bitsField == 32) {
        // The standard high-colour header keeps its record after the masks.
        if (setInfo && facts.pixelOffset == uint32_t(kStandardHeader)) facts.recordAt = kStandardRecordAt;
    }
    return facts;
}

HeaderFacts readHeaderFacts(const QString& path) {
    QFile file;
    if (!openForReading(file, path).isEmpty()) return HeaderFacts{};
    const QByteArray head = file.read(kProbeLength);
    HeaderFacts facts = readHeaderFacts(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
    facts.fileSize = file.size();
    return facts;
}

HeaderProbe probeHeader(const HeaderFacts& facts) {
    HeaderProbe probe;
    if (!facts.readable) return probe;
    probe.depth = SetDepth::ofHeader(facts.bits, facts.masks[0]);
    if (!probe.depth) return probe;
    const uint8_t offsetLow = uint8_t(facts.pixelOffset & 0xFF);
    if (probe.depth == SetDepth::Palette8) probe.recordCount = offsetLow == kPixelOffsetWithRecord ? 1 : 0;
    else if (!(probe.depth->sixteenBit() && offsetLow == kStandardHeader)) probe.headerSize = int8_t(offsetLow);
    return probe;
}

HeaderProbe probeHeader(const QString& path) { return probeHeader(readHeaderFacts(path)); }

CommandOutcome checkSplittable(const HeaderFacts& facts) {
    const QString wayIn = QStringLiteral("\n\nUse Load Any Image to bring it in as a new image set.");
    if (!facts.readable) return CommandOutcome::refused(QStringLiteral("The file cannot be opened."));
    if (facts.bits != 8 && facts.bits != 16 && facts.bits != 24 && facts.bits != 32)
        return CommandOutcome::refused(QStringLiteral("This file is not an Extended Bitmap: it has %1 bits per pixel, "
                                                      "where 8, 16, 24 or 32 are expected.")
                                           .arg(facts.bits) +
                                       wayIn);
    if (facts.width != facts.height || !isLevel(facts.width))
        return CommandOutcome::refused(
            QStringLiteral("This file is not an Extended Bitmap: its image is %1 x %2, where a square "
                           "of 1, 2, 4 ... 512 pixels is expected.")
                .arg(facts.width)
                .arg(facts.height) +
            wayIn);
    // 8-bit sets carry 256 palette entries and maybe one record; the other
    // depths keep their header length in one signed byte.
    const bool offsetFits =
        facts.bits == 8 ? (facts.pixelOffset == kPaletteHeader || facts.pixelOffset == kPaletteHeader + kRecordLength)
                        : (facts.pixelOffset >= kPlainHeader && facts.pixelOffset <= 127);
    if (!offsetFits)
        return CommandOutcome::refused(
            QStringLiteral("This file is not an Extended Bitmap: its pixels start at byte %1, "
                           "which no Extended Bitmap header has.")
                .arg(facts.pixelOffset) +
            wayIn);
    // 16-bit sets are 5-6-5 or 4-4-4-4 with their colour masks in the header.
    // Any other 16-bit form (5-5-5 above all) would be shown and saved as
    // 5-6-5, turning every pixel into another colour.
    if (facts.bits == 16) {
        const bool masksInHeader = facts.compression == kBitFields && (facts.pixelOffset & 0xFF) >= uint32_t(kMasksEnd);
        const bool is565 = facts.masks == SetDepth(SetDepth::Rgb565).masks();
        const bool is4444 = SetDepth::marks4444(facts.masks[0]);
        if (!masksInHeader || !(is565 || is4444))
            return CommandOutcome::refused(
                QStringLiteral("This 16-bit file does not keep its pixels as 5-6-5 or 4-4-4-4 (it is %1), "
                               "so Corvane cannot save it back unchanged.")
                    .arg(facts.compression == 0 ? QStringLiteral("5-5-5") : QStringLiteral("of other colour masks")) +
                wayIn);
    }
    return {};
}

}  // namespace corvane

namespace corvane {

CommandOutcome checkWholeSet(const HeaderFacts& facts) {
    if (CommandOutcome splittable = checkSplittable(facts); !splittable.ok) return splittable;
    const int64_t needed = int64_t(facts.pixelOffset) + chainPixels(facts.width) * (facts.bits / 8);
    if (facts.fileSize < needed)
        return CommandOutcome::refused(QStringLiteral("The file ends early: it holds %1 of the %2 bytes of its set.")
                                           .arg(facts.fileSize)
                                           .arg(needed));
    return {};
}

}  // namespace corvane
