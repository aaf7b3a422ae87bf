// Where everything sits in an Extended Bitmap: header fields, the extra
// record, the template header and the start of each level.  Every other
// piece of code asks here instead of spelling offsets again.
#pragma once

#include <QString>

#include "outcome.h"
#include "setdepth.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {
namespace layout {

// Header fields (little endian).
inline constexpr int kFileSizeAt = 2;
inline constexpr int kPixelOffsetAt = 10;
inline constexpr int kInfoLengthAt = 14;
inline constexpr int kWidthAt = 18;
inline constexpr int kHeightAt = 22;
inline constexpr int kPlanesAt = 26;
inline constexpr int kBitsAt = 28;
inline constexpr int kCompressionAt = 30;
inline constexpr int kImageSizeAt = 34;
inline constexpr int kColoursUsedAt = 46;
inline constexpr int kMasksAt = 54;        // red, green, blue masks of 16-bit files
inline constexpr int kRedMaskHighAt = 55;  // 0x0F in the 4-4-4-4 form
inline constexpr int kMasksEnd = kMasksAt + 12;
inline constexpr int kAlphaMaskAt = 66;  // inside information headers of 56 bytes and more

inline constexpr int kFileHeader = 14;
inline constexpr int kInfoHeader = 40;         // the length every set writes
inline constexpr int kInfoWithMasks = 52;      // the shortest that holds the colour masks itself
inline constexpr int kInfoWithAlphaMask = 56;  // ... and the alpha mask
inline constexpr uint32_t kNoCompression = 0;
inline constexpr uint32_t kBitFields = 3;

inline constexpr int kPlainHeader = 54;  // file header + information header
inline constexpr int kPaletteAt = 54;
inline constexpr int kPaletteEntries = 256;
inline constexpr int kPaletteHeader = 1078;  // headers + 256 four-byte entries
inline constexpr int kRecordLength = 20;
inline constexpr int kRecordDataOffset = 8;  // inside the record: tag, length, 12 data bytes
inline constexpr int kRecordDataLength = 12;
inline constexpr int kStandardHeader = 86;  // 16-bit: headers, masks, one record
inline constexpr int kStandardRecordAt = 66;
inline constexpr int kProbeLength = 80;
inline constexpr int kPixelOffsetWithRecord = 74;  // low byte of 1098
// The seventh data byte of the template's record carries the size exponent.
inline constexpr int kSizeExponentAt = kStandardRecordAt + kRecordDataOffset + 6;
inline constexpr int kMaxLevel = 512;

using TemplateHeader = std::array<uint8_t, kStandardHeader>;
// The standard header of a 16-bit set of edge `largest`: the masks of its
// depth (5-6-5 or 4-4-4-4) and a record whose data are all 0.
TemplateHeader standardHeader(int64_t largest, SetDepth depth);
// A 16-bit 5-6-5 set of edge 256 with the standard header and record.
inline TemplateHeader defaultTemplateHeader() { return standardHeader(256, SetDepth::Rgb565); }

inline bool isLevel(int64_t edge) { return edge >= 1 && edge <= kMaxLevel && (edge & (edge - 1)) == 0; }
// L² + (L/2)² + ... + 1.
int64_t chainPixels(int64_t largest);
// Byte offset at which `level` starts in a file of `largest` with the given header.
int64_t levelStart(int64_t largest, int64_t level, int bytesPerPixel, int64_t headerLength);
// Size of the whole file.
inline int64_t fileLength(int64_t largest, int bytesPerPixel, int64_t headerLength) {
    return headerLength + chainPixels(largest) * bytesPerPixel;
}
// Writes the file header and a 40-byte information header for a whole set
// of `largest` at `bits` per pixel whose pixels start at `headerLength`,
// growing `bytes` to hold them; fields it does not name are left as they are.
void writeSetHeaders(std::vector<uint8_t>& bytes, int64_t largest, int bits, int64_t headerLength,
                     uint32_t compression);

// Little-endian access to a byte buffer; reads past the end give 0.
uint32_t read32(const std::vector<uint8_t>& bytes, size_t at);
uint16_t read16(const std::vector<uint8_t>& bytes, size_t at);
void write32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
void write16(std::vector<uint8_t>& bytes, size_t at, uint16_t value);
inline uint8_t byteAt(const std::vector<uint8_t>& bytes, size_t at) { return at < bytes.size() ? bytes[at] : 0; }

}  // namespace layout

// What the header of a file says, read without changing anything.
struct HeaderFacts {
    bool readable = false;
    int32_t bits = 0;  // low byte of bits per pixel
    int32_t width = 0;
    int32_t height = 0;
    uint32_t pixelOffset = 0;
    int64_t fileSize = 0;
    uint32_t compression = 0;
    std::array<uint32_t, 3> masks{};  // red, green, blue, where 16-bit files keep them
    bool bmMark = false;              // the file starts with "BM"
    uint16_t bitsField = 0;           // bits per pixel, the whole field
    uint32_t infoLength = 0;          // of the information header
    uint32_t alphaMask = 0;           // 0 unless the information header is long enough to hold one
    uint32_t coloursUsed = 0;
    int64_t paletteAt = 0;       // right after the information header
    int64_t paletteEntries = 0;  // 8-bit: the colours used, 256 when the header says 0
    // Where the extra record sits when the header has exactly the form sets
    // are written with (40-byte information header; 8-bit: 256 colours and
    // pixels at 1098; 16-, 24- and 32-bit: pixels at 86), else 0.  Nothing
    // here checks that the file reaches that far.
    int64_t recordAt = 0;
};
// Reads only a short prefix of the file; fileSize is the whole file's.
HeaderFacts readHeaderFacts(const QString& path);
// The same from a whole file in memory (fileSize is `size`); fields past
// its end read as 0.
HeaderFacts readHeaderFacts(const uint8_t* data, size_t size);

// The header fields of a set as a file's header gives them; the workspace
// takes them into its state.
struct HeaderProbe {
    std::optional<SetDepth> depth;  // nothing for bits no set has
    int32_t headerSize = 0;         // low byte of the pixel offset, unless 8-bit or 16-bit's usual 86
    int32_t recordCount = 0;        // 8-bit: 1 when a record follows the palette
};
HeaderProbe probeHeader(const HeaderFacts& facts);
HeaderProbe probeHeader(const QString& path);

// Whether a file can be cut into levels; refused, saying why, when it cannot.
CommandOutcome checkSplittable(const HeaderFacts& facts);
// Whether a file is a whole set (a set it is, with every level there);
// refused, saying why, when it is not.
CommandOutcome checkWholeSet(const HeaderFacts& facts);

}  // namespace corvane
