// Reading any Extended Bitmap (or plain square BMP) into one RGBA picture per
// level, and writing the depths the texture tool produces.
#pragma once

#include "image.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace xbm {

using Bytes = std::vector<uint8_t>;
using Record = std::array<uint8_t, 20>;  // tag, length, twelve data bytes

enum class Depth { Pal8, Rgb565, Argb4444, Rgb555, Masked16, Rgb24, Bgra32, Masked32 };
const char* depthName(Depth depth);
int bytesPerPixel(Depth depth);

struct LevelInfo {
    int32_t edge = 0;
    int64_t offset = 0;     // where its pixels start in the file
    bool complete = false;  // every pixel byte is in the file
};

struct XbmSet {
    Depth depth = Depth::Rgb565;
    int32_t edge = 0;
    int64_t headerLength = 0;  // the pixel-data offset
    int64_t fileLength = 0;
    std::optional<Record> record;
    // A plain BMP holding only the largest level with padded rows (only
    // possible for the smallest edges, where padding changes anything).
    bool paddedRows = false;
    // True when some pixel is less than opaque.
    bool hasAlpha = false;
    std::vector<LevelInfo> levels;  // largest first, down to 1
    // One picture per level, largest first; an incomplete level is left
    // empty (width 0).  8-bit sets also fill palette and indices.
    std::vector<quor::Image> images;
    quor::Palette palette{};  // 8-bit sets only, level bytes as stored
};

struct ReadResult {
    std::optional<XbmSet> set;
    std::string error;  // one line, when set is empty
};
ReadResult readXbm(const Bytes& bytes);

// The depths the tool writes.
enum class Target { Pal8, Rgb565, Argb4444, Bgra32 };
Depth depthOf(Target target);

// One complete chain of pictures, largest first.  For Pal8 every picture
// carries indices into `palette`.
struct OutputSet {
    Target target = Target::Rgb565;
    std::vector<quor::Image> images;
    quor::Palette palette{};
    std::optional<Record> record;
};
Bytes writeXbm(const OutputSet& set);

// The pixel words of the 16-bit forms; unpacking widens each field by
// repeating its top bits, so that packing what was unpacked gives the word back.
inline uint16_t pack565(uint8_t r, uint8_t g, uint8_t b) {
    return uint16_t((b >> 3) | ((g << 3) & 0x07E0) | ((r << 8) & 0xF800));
}
inline uint16_t pack4444(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    return uint16_t(((b >> 4) | (g & 0xF0)) | (((a & 0xF0) | (r >> 4)) << 8));
}
// A field of `mask` taken out of `word` and widened to eight bits.
uint8_t widenField(uint32_t word, uint32_t mask);

}  // namespace xbm
