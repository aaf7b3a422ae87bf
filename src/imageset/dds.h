// DirectDraw Surface files of a set's chain: every level as one mip, largest
// first, block-compressed (DXT1, DXT5) or as 32-bit RGBA.  The one place that
// knows where a DDS header keeps its fields.
#pragma once

#include "setcommands.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

class SetHandOff;

class ImageLibrary;
class Workspace;

// Auto: DXT1 when every texel of every level is opaque, else DXT5.
enum class DdsFormat { Auto, Bc1, Bc3, Rgba };

// A chain of square levels, largest first, each RGBA (4 bytes a texel) with
// its top row first.
struct DdsChain {
    int largest = 0;
    std::vector<std::vector<uint8_t>> levels;
};

// The format Auto stands for with these levels, or `requested` itself.
DdsFormat resolveDdsFormat(const DdsChain& chain, DdsFormat requested);
// The whole file; empty when the chain is not a power-of-two square of at
// most 512 with its levels in order, or the format is Auto.
std::vector<uint8_t> encodeDds(const DdsChain& chain, DdsFormat format);

struct DdsReading {
    DdsChain chain;               // the complete levels, largest first
    QString refusal;              // why nothing could be read; empty when something was
    std::vector<int> missing;     // smaller levels the file lacks or holds only in part
    bool truncated = false;       // the file ends inside a level it says it has
    int skippedLarger = 0;        // mips larger than 512 passed over
    bool anyTransparent = false;  // some texel is not fully opaque
};
// Reads DXT1, DXT3, DXT5 and uncompressed 24- or 32-bit files with the
// legacy header; a square power of two.  A file larger than 512 gives its
// first mip of 512 or less when it holds one.
DdsReading decodeDds(const uint8_t* data, size_t size);

// Whether the file starts with "DDS ".
bool isDdsFile(const QString& path);

// The current set's levels as RGBA, read from the set as saving it would
// write it (a palette's transparency levels and a 16- or 32-bit set's alpha
// included), except that a 16-bit set's levels are taken in the full colour
// its slots hold (see SetColours); false with the reason when the set is not
// whole.
bool readSetChain(const Workspace& workspace, DdsChain& chain, QString* error);

// Saves the current set as a DDS file at `path`: written beside it and
// renamed over it, so a failure leaves the old file, then read back; `error`
// gets a one-line cause.  A `handOff` that takes `path` finishes the save on
// its committer, which tells the outcome.
bool saveDds(const Workspace& workspace, const QString& path, DdsFormat format, QString* error,
             SetHandOff* handOff = nullptr);

// Load Extended for a DDS file: its levels become an Extended Bitmap in the
// work folder (24-bit, or 32-bit when any texel is not opaque), loaded by
// the usual path; missing smaller levels are reported as for any short set.
CommandOutcome loadDds(const QString& path, Workspace& workspace, ImageLibrary& library, const SetOptions& options);

}  // namespace corvane
