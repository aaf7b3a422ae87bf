// Reading any Extended Bitmap (or plain square BMP) into one RGBA picture per
// level, and writing the depths the texture tool produces.
#pragma once

#include "image.h"
#include "setdepth.h"

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
// Checks the layout and decodes each complete level with the image
// library's BMP reader.
ReadResult readXbm(const Bytes& bytes);

// How a set of the depth the tool writes (8-bit, 5-6-5, 4-4-4-4 or 32-bit)
// reads back.
Depth depthOf(corvane::SetDepth depth);

// One complete chain of pictures, largest first.  For an 8-bit set every
// picture carries indices into `palette`.
struct OutputSet {
    corvane::SetDepth depth = corvane::SetDepth::Rgb565;
    std::vector<quor::Image> images;
    quor::Palette palette{};
    std::optional<Record> record;
};
Bytes writeXbm(const OutputSet& set);

}  // namespace xbm
