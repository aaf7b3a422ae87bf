// The library's in-memory picture and the entry points its parts share.
// Internal to libquorimg; nothing here crosses the C boundary.
#pragma once

#include "failure.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quor {

class Halvings;

// Largest edge the library accepts, in pixels.
inline constexpr int32_t kMaxEdge = 8192;
// The memory the general decoder may take for one picture, in MiB.
inline constexpr int kDecoderMemoryMiB = 256;

// A picture one of the library's limits refuses (its size, the decoder's
// memory, the time a decode may take) fails with QUOR_ERROR_LIMIT and a
// clause for the user, such as this one:
// "it is 9000 x 100 pixels; pictures of at most 8192 pixels a side can be brought in"
inline std::string tooLargeReason(int64_t width, int64_t height) {
    return "it is " + std::to_string(width) + " x " + std::to_string(height) + " pixels; pictures of at most " +
           std::to_string(kMaxEdge) + " pixels a side can be brought in";
}
// Largest file the library reads into memory: an 8192x8192 32-bit picture
// with every smaller level after it, and room to spare.
inline constexpr size_t kMaxFileBytes = size_t(400) << 20;

// One BMP palette entry as stored in the file: blue, green, red, fourth byte
// (Corvane keeps a colour's transparency level in the fourth byte).
struct PaletteEntry {
    uint8_t blue = 0, green = 0, red = 0, extra = 0;
    bool operator==(const PaletteEntry&) const = default;
};
using Palette = std::array<PaletteEntry, 256>;

struct Image {
    int32_t width = 0;
    int32_t height = 0;
    // RGBA, 4 bytes a pixel, top row first.  Always filled, also for palette
    // pictures (then it is the palette lookup of `indices`).
    std::vector<uint8_t> rgba;
    // True when any pixel is not fully opaque in the source.
    bool hasAlpha = false;

    // Palette pictures (8-bit BMP, GIF, 8-bit PNG/PCX/TGA, R8) keep their
    // palette and indices so that they can stay 8-bit.
    bool indexed = false;
    Palette palette{};             // all 256 entries; unused ones zero
    std::vector<uint8_t> indices;  // width * height, top row first

    // Bits per pixel of the source as it was stored (for _checkbmp).
    int32_t sourceBpp = 24;

    size_t pixelCount() const { return size_t(width) * size_t(height); }
};

// Reports done/total to the caller's progress routine, if any.  A routine's
// stages each report their own done/total through parts of one Progress; the
// parts share a high-water mark, so the caller sees one rise from 0 to the end.
class Progress {
public:
    using Routine = void (*)(int32_t, int32_t);
    // The total the caller's routine is given.
    static constexpr int32_t kSteps = 1000;

    explicit Progress(Routine routine = nullptr)
        : routine_(routine), last_(routine ? std::make_shared<int32_t>(-1) : nullptr) {}
    void report(int64_t done, int64_t total) const;
    bool active() const { return routine_ != nullptr; }
    // The stretch [from, to] of `of` of this progress, for one stage of the work.
    Progress part(int64_t from, int64_t to, int64_t of) const;

private:
    Routine routine_;
    int32_t low_ = 0;
    int32_t high_ = kSteps;
    std::shared_ptr<int32_t> last_;
};

// ---- BMP codec (bmp.cpp) -------------------------------------------------

// Result of reading a BMP with our own codec.
enum class BmpRead { Ok, NotBmp, Unsupported, Broken };

// Reads a BMP the codec understands (any info-header length from 40 up,
// 8/16/24/32 bits, BI_RGB or BI_BITFIELDS, top-down or bottom-up, padded or
// packed rows, short files).  Unsupported means "a BMP, but hand it to the
// general decoder" (RLE, 1/2/4-bit, OS/2 core headers, embedded PNG/JPEG).
BmpRead readBmp(const uint8_t* data, size_t size, Image& out, Failure* why = nullptr);

// 8-bit: 54-byte header, 256 palette entries, pixels at 1078, rows padded to
// four bytes, bottom-up.  24-bit: 54-byte header, padded rows, bottom-up.
std::vector<uint8_t> encodeBmp8(const Image& image);
std::vector<uint8_t> encodeBmp24(const Image& image);
// 32-bit with alpha: a 108-byte information header naming the masks
// (red 0x00FF0000, green 0x0000FF00, blue 0x000000FF, alpha 0xFF000000) and
// the sRGB colour space, pixels at 122, rows bottom-up.
std::vector<uint8_t> encodeBmp32(const Image& image);
// True when `data` is byte for byte what encodeBmp24 makes of `image`, the
// full-colour picture readBmp made of it.
bool isOwnEncoding(const uint8_t* data, size_t size, const Image& image);

// The 256 palette entries of an 8-bit BMP, which may hold its headers and
// palette only (the header slot of a set).  False when there is no such palette.
bool readBmpPalette(const uint8_t* data, size_t size, Palette& palette);

// ---- Foreign formats (foreign.cpp) ----------------------------------------

// Decodes any other format through ImageMagick (and raw .r8 textures) with
// the stored orientation applied.  Never throws.
std::optional<Image> decodeForeign(const std::string& path, Failure* why = nullptr);
// Cheap check that the file decodes (reads the header / pings where possible).
bool canDecodeForeign(const std::string& path, Failure* why = nullptr);
// Width, height and bits per pixel without decoding every pixel where possible.
bool pingForeign(const std::string& path, int32_t& width, int32_t& height, int32_t& bpp, Failure* why = nullptr);
// How long one decode may run before it is abandoned (30 s unless changed).
void setForeignDecodeTimeLimit(int64_t milliseconds);

// ---- Format table (formats.cpp) -------------------------------------------

struct FormatEntry {
    const char* description;
    const char* extension;  // e.g. "PNG"
    const char* pattern;    // e.g. "*.png"
};
// Entry 0 is the combined entry; entries 1..count() follow.
int32_t formatCount();
const FormatEntry* formatEntry(int32_t n);

// ---- Loading and saving (io.cpp) ------------------------------------------

// The whole file, when it holds no more than `limit` bytes.
std::optional<std::vector<uint8_t>> readFile(const std::string& path, size_t limit, Failure* why = nullptr);
// A fresh name beside `destination` (see temporaries.h) that no other writer
// in this or another process picks at the same time.
std::string temporaryNameBeside(const std::string& destination);
// Writes beside the destination and renames over it; the destination is
// untouched on failure.
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, Failure* why = nullptr);
// Our codec first, then the general decoder.  The shared form may be the
// picture this thread read last from a file with the very same bytes.
std::shared_ptr<const Image> loadShared(const std::string& path, Failure* why = nullptr);
// The same, except that a file other than the kept picture's is read without
// letting the kept picture go: for files looked at in passing between the
// calls of a chain.
std::shared_ptr<const Image> loadPassing(const std::string& path, Failure* why = nullptr);
// Pictures up to this many pixels are kept on their thread between calls,
// with their halvings; larger ones are read and resampled afresh each time.
inline constexpr size_t kKeptPixels = size_t(1) << 20;
// The halvings of the picture loadShared() last gave on this thread, made
// when first asked for and let go with that picture; nullptr for any other.
Halvings* keptHalvings(const std::shared_ptr<const Image>& image);
// After the 24-bit encoding of `image`, `bytes`, was written to `path`: the
// thread keeps `image` for that file as if it had just read it, when reading
// it back would give the very same picture, so the file is not decoded again.
// Halvings already made of `image` stay with it.
void keepWritten(const std::string& path, std::vector<uint8_t> bytes, const std::shared_ptr<const Image>& image);
// True when loadShared() last gave `image` for the file at `path`, and
// writing `image` as a 24-bit BMP would give that file's very bytes.
bool holdsOwnEncoding(const std::string& path, const std::shared_ptr<const Image>& image);
std::optional<Image> loadImage(const std::string& path, Failure* why = nullptr);
// Width, height and bits per pixel as stored, decoding no more than needed.
bool probeImage(const std::string& path, int32_t& width, int32_t& height, int32_t& bpp, Failure* why = nullptr);
// True when loadImage would succeed.
bool canLoadImage(const std::string& path, Failure* why = nullptr);

// ---- Pixel work ------------------------------------------------------------

// How resampled light becomes bytes.
//   KeepMeans: a result of kDiffusedPixels texels or fewer cannot average the
//     rounding of its bytes away (a 1x1 level rounded to the nearest bytes
//     can be a percent off), so each channel, alpha too, hands its rounding
//     error on from texel to texel and keeps its mean in linear light.
//     Larger results take the nearest bytes.
//   Nearest: the nearest bytes at every size, for results that go back onto
//     a palette, whose dithering keeps the means.
//   Grid565, Grid4444: as KeepMeans, but onto the values a 16-bit set can
//     hold (see pixelpack.h), rounded once from the light itself, so that
//     a level saved in that form is what was made and keeps its means.
enum class Rounding { KeepMeans, Nearest, Grid565, Grid4444 };
inline constexpr size_t kDiffusedPixels = 256;
inline bool roundsOntoGrid(Rounding r) { return r == Rounding::Grid565 || r == Rounding::Grid4444; }
// Puts every texel of `image` on the grid of a 16-bit form, as saving it in
// that form would (pixelpack.h); other roundings leave it alone.
void snapToGrid(Image& image, Rounding rounding);
// The halvings of `image` put on a 16-bit grid as saving would put it.
std::unique_ptr<Halvings> halvingsOnGrid(const Image& image, Rounding grid);
// The halvings of the kept picture (see keptHalvings) put on a 16-bit grid,
// made when first asked for; nullptr for any picture but the kept one.
Halvings* keptGridHalvings(const std::shared_ptr<const Image>& image, Rounding grid);
// Palette pictures' results go back onto their palette.
inline Rounding roundingFor(const Image& source) { return source.indexed ? Rounding::Nearest : Rounding::KeepMeans; }

// resample.cpp: linear-light, alpha-weighted resampling.  Texels of the
// result that are fully transparent take the colour of the visible ones
// around them (see fillUnderTransparency).
Image resample(const Image& source, int32_t width, int32_t height, const Progress& progress, Rounding rounding);
inline Image resample(const Image& source, int32_t width, int32_t height, const Progress& progress) {
    return resample(source, width, height, progress, roundingFor(source));
}

// alpha.cpp
// Texels whose alpha is 0 take the colour of the visible texels nearest
// them, so that filtering them in later (a smaller level, a renderer's
// bilinear lookup) brings in no black fringe.  The visible texels' colours
// are averaged, weighted by alpha, in linear light into coarser and coarser
// grids; each transparent texel takes the finest cell around it that holds
// any.  Visible texels and all alpha stay as they are; a picture with no
// visible texel is left alone.
void fillUnderTransparency(Image& image);
// Scales the alpha of `image` (alpha' = min(255, round(alpha * s))) so that
// the share of its texels at least half opaque comes as near as it can to
// that of `source`: a cut-out (a fence, a railing) keeps its coverage in
// small levels instead of fading away.  Of the scales that come nearest,
// the one nearest 1.
void keepCoverage(Image& image, const Image& source);

// quantize.cpp: libimagequant.  The colours of `keep` (red, green, blue,
// alpha; at most 256) are in the palette exactly.
using Colour = std::array<uint8_t, 4>;
Image quantize256(const Image& source, bool dither, const Progress& progress, const std::vector<Colour>& keep = {});
// Which palette entries a remap may choose.
using EntrySet = std::bitset<256>;
// Each pixel of `source` onto the nearest colour of `palette`; the palette
// entries (fourth bytes included) are kept as they are.  A smaller level of
// a set goes back on its palette by remapLevel (palettefit.h) instead.
Image remapToPalette(const Image& source, const Palette& palette, bool dither, const Progress& progress);

// filters.cpp
Image soften(const Image& source);   // QUOR_FILTER_SOFTEN
Image sharpen(const Image& source);  // QUOR_FILTER_SHARPEN
Image adjust(const Image& source, int32_t contrast, int32_t saturation, int32_t gamma, int32_t brightness,
             int32_t warmth);

}  // namespace quor
