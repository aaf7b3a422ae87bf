// DirectDraw Surface files of a set's chain: every level as one mip, largest
// first, block-compressed (in the formats of blockformats.h that DDS files
// offer) or as 32-bit RGBA.  The one place that knows where a DDS header
// keeps its fields.
#pragma once

#include "blockformats.h"
#include "quorimg.h"
#include "setcommands.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

class SetHandOff;

class ImageLibrary;
class Workspace;
struct HeldSet;

// What a DDS file's texels are: blocks of a format of the table, or
// uncompressed 32-bit RGBA; or Auto, which chooses blocks by the texels.
class DdsFormat {
public:
    static const DdsFormat Auto;
    static const DdsFormat Rgba;
    static constexpr DdsFormat blocks(quor::blocks::Format format) {
        return DdsFormat(Kind::Blocks, &quor::blocks::formatRow(format));
    }
    constexpr bool isAuto() const { return kind_ == Kind::Auto; }
    // The block format's row; null for RGBA and Auto.
    constexpr const quor::blocks::FormatRow* blockFormat() const { return row_; }
    constexpr bool operator==(const DdsFormat&) const = default;

private:
    enum class Kind { Auto, Blocks, Rgba };
    constexpr DdsFormat(Kind kind, const quor::blocks::FormatRow* row) : kind_(kind), row_(row) {}
    Kind kind_;
    const quor::blocks::FormatRow* row_;
};
inline constexpr DdsFormat DdsFormat::Auto{Kind::Auto, nullptr};
inline constexpr DdsFormat DdsFormat::Rgba{Kind::Rgba, nullptr};

// Auto's choices: these blocks when every texel of every level is opaque,
// else those.
inline constexpr quor::blocks::Format kAutoOpaque = quor::blocks::Format::Bc1;
inline constexpr quor::blocks::Format kAutoTransparent = quor::blocks::Format::Bc3;

// The format a name stands for: blocks that DDS files offer, by their name
// or their legacy header's code (bc1 or dxt1, bc3 or dxt5), rgba or auto, in
// any case.  Nothing for any other name.
std::optional<DdsFormat> ddsFormatNamed(const QString& name);
// The names ddsFormatNamed takes for what it writes, Auto aside, with
// `separator` between them and `last` before the last: "bc1, bc3 or rgba".
QString ddsFormatNames(const QString& separator, const QString& last);
// What Auto writes, as a DDS reader names it: "DXT1 when every texel is
// opaque, else DXT5".
QString ddsAutoChoice();

// What Save As DDS offers, in its dialog's order: the first is what the
// command line writes unless told otherwise.
struct DdsSaveChoice {
    const char* name;
    DdsFormat format;
};
inline constexpr DdsSaveChoice kDdsSaveChoices[] = {
    {"BC1/BC3 (automatic)", DdsFormat::Auto},
    {"BC7", DdsFormat::blocks(quor::blocks::Format::Bc7)},
    {"Uncompressed", DdsFormat::Rgba},
};

// A chain of square levels, largest first, each RGBA (4 bytes a texel) with
// its top row first.
struct DdsChain {
    int largest = 0;
    std::vector<std::vector<uint8_t>> levels;
};

// The format Auto stands for with these levels, or `requested` itself.
DdsFormat resolveDdsFormat(const DdsChain& chain, DdsFormat requested);

// The alpha below which a texel is on the transparent side of a cut-out,
// when no preference says otherwise.
inline constexpr int kPlainAlphaCut = 128;
// The cut the blocks keep with these preferences: the one "Keep cut-out
// coverage in mips" keeps the levels' coverage at, when it is on.
int ddsAlphaCut(const SetOptions& options);

// Whether `format` (not Auto) writes these levels' alpha as one bit: a
// format without alpha forced on levels with some.
bool keepsOneBitAlpha(const DdsChain& chain, DdsFormat format);
// The one line that says so.
QString oneBitAlphaNote(int alphaCut);

// The whole file; empty when the chain is not a power-of-two square of at
// most 512 with its levels in order, or the format is Auto.  Blocks keep
// every texel on its side of `alphaCut` where they can; BC1 on levels with
// alpha makes the texels below it transparent.
std::vector<uint8_t> encodeDds(const DdsChain& chain, DdsFormat format, int alphaCut = kPlainAlphaCut);

struct DdsReading {
    DdsChain chain;               // the complete levels, largest first
    QString refusal;              // why nothing could be read; empty when something was
    std::vector<int> missing;     // smaller levels the file lacks or holds only in part
    bool truncated = false;       // the file ends inside a level it says it has
    int skippedLarger = 0;        // mips larger than 512 passed over
    bool anyTransparent = false;  // some texel is not fully opaque
};
// Reads the block formats DDS files offer and uncompressed 16-, 24- or
// 32-bit files, behind the legacy header or the DX10 one; a square power of
// two.  A file larger than 512 gives its first mip of 512 or less when it
// holds one.
DdsReading decodeDds(const uint8_t* data, size_t size);

// The largest level of a DDS file of any shape, as a picture: what Load Any
// Image takes of it.  Read in the forms decodeDds reads, up to the image
// library's longest side (QUOR_MAX_EDGE).
struct DdsPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;  // top row first
    QString refusal;            // why nothing could be read; empty when it was
};
DdsPicture decodeDdsPicture(const uint8_t* data, size_t size);

// Writes the largest level of the DDS file at `path` as a 32-bit bitmap at
// `bitmap` (alpha 255 where the file has none), for the image library to
// bring in as any other picture; refused with the reader's reason.
CommandOutcome ddsPictureAsBitmap(const QString& path, const QString& bitmap);

// Whether the file starts with "DDS ".
bool isDdsFile(const QString& path);

// The current set's levels as RGBA, read from the set as saving it would
// write it (a palette's transparency levels and a 16- or 32-bit set's alpha
// included), except that a 16-bit set's levels are taken in the full colour
// its slots hold (see SetColours); false with the reason when the set is not
// whole.
CommandOutcome readSetChain(const Workspace& workspace, DdsChain& chain);

// How a set is written as DDS: the format and the alpha cut the blocks keep.
struct DdsRequest {
    DdsRequest(DdsFormat format = DdsFormat::Auto,
               int alphaCut = kPlainAlphaCut)  // NOLINT: a format alone is a request
        : format(format), alphaCut(alphaCut) {}
    DdsFormat format;
    int alphaCut;
};

// Saves the current set as a DDS file at `path`: written beside it and
// renamed over it, so a failure leaves the old file, then read back.  A
// refusal gives a one-line cause; a written file's information says what the
// user should know of it (oneBitAlphaNote).  A `handOff` that takes `path`
// finishes the save on its committer, which tells how it ended.
CommandOutcome saveDds(const Workspace& workspace, const QString& path, const DdsRequest& request,
                       SetHandOff* handOff = nullptr);
// The same for a set held in memory.
CommandOutcome saveDds(const HeldSet& set, const QString& path, const DdsRequest& request,
                       SetHandOff* handOff = nullptr);

// Load Extended for a DDS file: its levels become a 32-bit Extended Bitmap
// in the work folder, loaded by the usual path, so that no colour is lost
// (sets know no 24-bit form: a 24-bit file becomes a 5-6-5 set); missing
// smaller levels are reported as for any short set.
CommandOutcome loadDds(const QString& path, Workspace& workspace, ImageLibrary& library, const SetOptions& options);

}  // namespace corvane
