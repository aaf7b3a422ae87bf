// The image library as the set commands use it.  Commands talk to this
// interface so tests can record or replace the pixel work.
#pragma once

#include <QString>

#include "quorimg.h"

#include <cstdint>
#include <vector>

namespace corvane {

// The library's two fixed filters.
enum class Filter { Soften = QUOR_FILTER_SOFTEN, Sharpen = QUOR_FILTER_SHARPEN };

// The colour adjustments, each -100..100 and 0 for no change (see quorimg.h).
struct ColourAdjustment {
    int contrast = 0;
    int saturation = 0;
    int gamma = 0;
    int brightness = 0;
    int warmth = 0;
};

// Why the library's last call on this thread failed, as it tells it.
struct LibraryError {
    int code = QUOR_OK;   // QUOR_ERROR_...
    int systemError = 0;  // errno, where a file could not be read or written
    QString text;         // the library's own words

    bool failed() const { return code != QUOR_OK; }
    // One of the library's limits refused the picture; `text` says which.
    bool isLimit() const { return code == QUOR_ERROR_LIMIT; }
    // What the user is told: the system's words for its error number where
    // there is one, else the library's text; empty when nothing failed.
    QString reason() const;
};

class ImageLibrary {
public:
    virtual ~ImageLibrary() = default;
    virtual bool anyToBmp(const QString& source, const QString& destination) = 0;
    virtual bool anyTo256(const QString& source, const QString& destination) = 0;
    // Width, height and bits per pixel of any readable picture.
    virtual bool check(const QString& file, int& width, int& height, int& bits) = 0;
    virtual bool resize(const QString& source, const QString& destination, int width, int height) = 0;
    virtual bool filter(const QString& source, const QString& destination, Filter filter) = 0;
    virtual bool adjust(const QString& source, const QString& destination, const ColourAdjustment& adjustment) = 0;
    virtual bool remap(const QString& source, const QString& destination, const QString& paletteFile) = 0;
    virtual bool valid(const QString& file) = 0;
    // Resamples to full colour (a palette picture by its colours, not put
    // back on its palette); 32-bit when any texel is not opaque.  With
    // `keepCoverage` the alpha is scaled so that as many texels are at least
    // half opaque as in the source.
    // `grid` puts every value on the grid of a 16-bit form (see quorimg.h):
    // 0 for none, else QUOR_GRID_565 or QUOR_GRID_4444.
    virtual bool resizeFull(const QString& source, const QString& destination, int width, int height, bool keepCoverage,
                            int grid = 0) = 0;
    // Remaps onto the palette of an 8-bit picture, choosing only among the
    // entries its pixels use.
    virtual bool remapUsed(const QString& source, const QString& destination, const QString& palettePicture) = 0;
    // Any readable picture as RGBA, top row first; `bits` as stored.  Equal
    // `width` and `height` going in are the size expected (read in one pass).
    virtual bool readRgba(const QString& file, int& width, int& height, int& bits, std::vector<uint8_t>& rgba) = 0;
    // The chain of an opaque full-colour picture in memory: the picture
    // brought in as anyToBmp would, resampled to `edge` as resize would, and
    // every smaller level as resizeFull from it would make it; RGBA, top row
    // first, largest level first.  `edge` goes in as the most the largest
    // level may be (a power of two) and comes out as what it is: the least
    // power of two from 16 up that holds the picture's longer side, or the
    // most when that is less; `longer`, when given, the picture's own longer
    // side.  False for any other picture, and from a library that keeps no
    // chain in memory: the caller then goes through the files.
    virtual bool chainRgba(const QString& source, int& edge, bool keepCoverage, int grid, std::vector<uint8_t>& rgba,
                           int* longer = nullptr) {
        (void)source, (void)edge, (void)keepCoverage, (void)grid, (void)rgba, (void)longer;
        return false;
    }
    // Why the last call on this thread failed; nothing failed when it did not.
    virtual LibraryError lastError() { return {}; }
};

// The real library, working with a conversion context the caller owns (the
// main window's carries its progress routine).
class QuorLibrary final : public ImageLibrary {
public:
    explicit QuorLibrary(QuorContext& context) : context_(context) {}
    bool anyToBmp(const QString& source, const QString& destination) override;
    bool anyTo256(const QString& source, const QString& destination) override;
    bool check(const QString& file, int& width, int& height, int& bits) override;
    bool resize(const QString& source, const QString& destination, int width, int height) override;
    bool filter(const QString& source, const QString& destination, Filter filter) override;
    bool adjust(const QString& source, const QString& destination, const ColourAdjustment& adjustment) override;
    bool remap(const QString& source, const QString& destination, const QString& paletteFile) override;
    bool valid(const QString& file) override;
    bool resizeFull(const QString& source, const QString& destination, int width, int height, bool keepCoverage,
                    int grid = 0) override;
    bool remapUsed(const QString& source, const QString& destination, const QString& palettePicture) override;
    bool readRgba(const QString& file, int& width, int& height, int& bits, std::vector<uint8_t>& rgba) override;
    bool chainRgba(const QString& source, int& edge, bool keepCoverage, int grid, std::vector<uint8_t>& rgba,
                   int* longer = nullptr) override;
    LibraryError lastError() override;

    QuorContext& context() { return context_; }

private:
    QuorContext& context_;
};

// Any readable picture as RGBA, top row first, through the image library:
// the program's one reader of pictures.  `context` may be null.  With
// `expectedEdge`, a square picture of that edge is read in one pass and any
// other size is refused.
bool readPictureRgba(const QString& file, int& width, int& height, int& bits, std::vector<uint8_t>& rgba,
                     QuorContext* context = nullptr, int expectedEdge = 0);

// The same for a BMP file's bytes already read; false for anything the
// library's BMP codec does not read.
bool decodePictureRgba(const std::vector<uint8_t>& bytes, int expectedEdge, int& bits, std::vector<uint8_t>& rgba);

// Reads the int32 fields of a context.
int32_t contextField(const QuorContext& context, int offset);

}  // namespace corvane
