// The exported routines.  Each one turns every failure, thrown or returned,
// into a 0 result and keeps its reason for the calling thread: nothing
// thrown may cross into a C caller.  Results are written beside their
// destination and renamed over it, so a failed call leaves the destination
// as it was.
#include "blocks.h"
#include "bytes.h"
#include "foreignmodule.h"
#include "halvings.h"
#include "image.h"
#include "palettefit.h"
#include "quorimg.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <stdexcept>
#include <system_error>

#include <libimagequant.h>

#ifndef QUORIMG_VERSION
#define QUORIMG_VERSION "0.0.0.0"
#endif

static_assert(sizeof(QuorContext) == 1024, "the conversion context is 1024 bytes");
static_assert(offsetof(QuorContext, bytes) == 0);
static_assert(QUOR_CONTEXT_WIDTH == 0 && QUOR_CONTEXT_HEIGHT == 4 && QUOR_CONTEXT_BPP == 8);
static_assert(QUOR_MAX_EDGE == quor::kMaxEdge);
static_assert(QUOR_CONTEXT_PROGRESS == 892 && QUOR_CONTEXT_PROGRESS + sizeof(QuorProgress) <= sizeof(QuorContext));

namespace quor {
namespace {

// Pictures of at least this many pixels report progress.
constexpr size_t kProgressPixels = 65536;

// Why the last call on this thread failed.
thread_local Failure lastFailure;

Failure* why() { return &lastFailure; }

// Keeps a failure without throwing: a text that cannot be copied for want
// of memory is left out.
void keep(int32_t code, const char* text) noexcept {
    lastFailure.code = code;
    lastFailure.systemError = 0;
    try {
        lastFailure.text = text;
    } catch (...) {
        lastFailure.text.clear();
    }
}

bool refuse(int32_t code, std::string text) { return failWith(why(), code, std::move(text)); }
bool badArgument(std::string text) { return refuse(QUOR_ERROR_ARGUMENT, std::move(text)); }

// Runs one routine: a success leaves no reason behind, a failure its own.
template <typename Work>
int32_t guarded(Work&& work) noexcept {
    lastFailure.code = QUOR_OK;
    lastFailure.systemError = 0;
    lastFailure.text.clear();
    try {
        if (work()) {
            // Tried and given up on the way (a decoder that passed the file on).
            lastFailure.code = QUOR_OK;
            lastFailure.systemError = 0;
            lastFailure.text.clear();
            return 1;
        }
        if (lastFailure.code == QUOR_OK) keep(QUOR_ERROR_INTERNAL, "the routine failed without saying why");
    } catch (const std::bad_alloc&) {
        keep(QUOR_ERROR_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        keep(QUOR_ERROR_INTERNAL, e.what());
    } catch (...) {
        keep(QUOR_ERROR_INTERNAL, "an unknown fault");
    }
    return 0;
}

bool namesGiven(const void* a, const void* b, const QuorContext* ctx) {
    return (a && b && ctx) || badArgument("a file name or the context is missing");
}

bool sizeTaken(int32_t width, int32_t height) {
    return (width > 0 && height > 0 && width <= kMaxEdge && height <= kMaxEdge) ||
           badArgument("a size of " + std::to_string(width) + " x " + std::to_string(height) +
                       " pixels; each side is 1 to " + std::to_string(kMaxEdge));
}

bool fits(size_t needed, int32_t capacity) {
    return (capacity >= 0 && size_t(capacity) >= needed) ||
           refuse(QUOR_ERROR_CAPACITY, "the picture needs " + std::to_string(needed) + " bytes");
}

const char* textOr(const char* text) { return text ? text : ""; }

Progress progressFor(const QuorContext* ctx, size_t pixels) {
    QuorProgress routine = nullptr;
    std::memcpy(&routine, ctx->bytes + QUOR_CONTEXT_PROGRESS, sizeof routine);
    return Progress(pixels >= kProgressPixels ? routine : nullptr);
}

void describe(QuorContext* ctx, int32_t width, int32_t height, int32_t bpp) {
    le::put32(ctx->bytes + QUOR_CONTEXT_WIDTH, uint32_t(width));
    le::put32(ctx->bytes + QUOR_CONTEXT_HEIGHT, uint32_t(height));
    le::put32(ctx->bytes + QUOR_CONTEXT_BPP, uint32_t(bpp));
}

// Writes a result as an 8-bit BMP when it has a palette, else 32-bit when
// any texel is not opaque, else 24-bit, and describes the written file in
// the context.  A shared picture written as it is stays this thread's kept
// picture, now for the written file.
bool save(const char* dst, const Image& image, QuorContext* ctx, const Progress& progress,
          const std::shared_ptr<const Image>& shared = nullptr) {
    const int32_t bpp = image.indexed ? 8 : image.hasAlpha ? 32 : 24;
    std::vector<uint8_t> bytes = bpp == 8 ? encodeBmp8(image) : bpp == 32 ? encodeBmp32(image) : encodeBmp24(image);
    const bool written = writeFileAtomically(dst, bytes, why());
    if (written) {
        describe(ctx, image.width, image.height, bpp);
        if (bpp == 24 && shared.get() == &image) keepWritten(dst, std::move(bytes), shared);
    }
    progress.report(1, 1);
    return written;
}

// The chain builder resamples one largest picture to every smaller level in
// turn: while loadShared() gives back the same picture, its halvings are
// kept from one call to the next.  Larger pictures are resampled directly.

Image resampleShared(const std::shared_ptr<const Image>& image, int32_t width, int32_t height, const Progress& progress,
                     Rounding rounding) {
    const int steps = Halvings::stepsTo(*image, width, height);
    if (steps == 0 || image->pixelCount() > kKeptPixels) return resample(*image, width, height, progress, rounding);
    if (roundsOntoGrid(rounding)) {
        // The smaller levels of a 16-bit set are made from its largest level
        // as saving puts it on the grid.
        Halvings* kept = keptGridHalvings(image, rounding);
        if (!kept) return halvingsOnGrid(*image, rounding)->level(steps, rounding);
        Image out = kept->level(steps, rounding);
        progress.report(1, 1);
        return out;
    }
    Halvings* kept = keptHalvings(image);
    Image out = kept ? kept->level(steps, rounding) : Halvings(*image).level(steps, rounding);
    progress.report(1, 1);
    return out;
}

// The rounding the flags of a full-colour resample ask for; false, with the
// reason kept, for flags it does not take.
bool fullColourFlags(int32_t flags, Rounding& rounding) {
    if ((flags & ~(QUOR_KEEP_COVERAGE | QUOR_GRID_565 | QUOR_GRID_4444)) != 0)
        return badArgument("unknown flags " + std::to_string(flags));
    if ((flags & QUOR_GRID_565) && (flags & QUOR_GRID_4444))
        return badArgument("QUOR_GRID_565 and QUOR_GRID_4444 together");
    rounding = flags & QUOR_GRID_565    ? Rounding::Grid565
               : flags & QUOR_GRID_4444 ? Rounding::Grid4444
                                        : Rounding::KeepMeans;
    return true;
}

// Texts of the format table; "" for numbers outside it.
const char* formatText(int32_t n, const char* FormatEntry::*field) noexcept {
    const char* text = "";
    guarded([&] {
        const FormatEntry* entry = formatEntry(n);
        if (!entry) return badArgument("no picture format is numbered " + std::to_string(n));
        text = textOr(entry->*field);
        return true;
    });
    return text;
}

// The version of a part the library works through, or null with the reason.
const char* partVersion(int32_t part) {
    // Each is read once, when first asked for; the texts live as long as the library.
    const auto shown = [](const std::string& text) -> const char* {
        if (!text.empty()) return text.c_str();
        refuse(QUOR_ERROR_DECODER, foreignModuleProblem());
        return nullptr;
    };
    switch (part) {
        case QUOR_PART_DECODER: {
            static const std::string decoder = foreignModuleVersion();
            return shown(decoder);
        }
        case QUOR_PART_MAGICK: {
            static const std::string magick = foreignLibraryVersion();
            return shown(magick);
        }
        case QUOR_PART_QUANTIZER: {
            static const std::string quantizer = [] {
                const int v = liq_version();
                // The library we were built against names its release
                // more exactly than its number does.
                if (v == LIQ_VERSION) return std::string(LIQ_VERSION_STRING);
                return std::to_string(v / 10000) + '.' + std::to_string(v / 100 % 100) + '.' + std::to_string(v % 100);
            }();
            return quantizer.c_str();
        }
        default:
            badArgument("no part is numbered " + std::to_string(part));
            return nullptr;
    }
}

bool sameFile(const char* a, const char* b) {
    std::error_code ec;
    if (std::strcmp(a, b) == 0) return true;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// A picture to be written back over the very file it was read from, which
// already holds exactly those bytes: nothing to write.
bool alreadyWritten(const char* src, const char* dst, const std::shared_ptr<const Image>& image, QuorContext* ctx,
                    const Progress& progress) {
    if (!sameFile(src, dst) || !holdsOwnEncoding(src, image)) return false;
    describe(ctx, image->width, image->height, 24);
    progress.report(1, 1);
    return true;
}

bool convert(const char* src, const char* dst, QuorContext* ctx, bool always256) {
    if (!namesGiven(src, dst, ctx)) return false;
    const auto image = loadShared(src, why());
    if (!image) return false;
    const Progress progress = progressFor(ctx, image->pixelCount());
    progress.report(0, 1);
    if (always256 && !image->indexed)
        return save(dst, quantize256(*image, true, progress.part(0, 90, 100)), ctx, progress);
    if (alreadyWritten(src, dst, image, ctx, progress)) return true;
    return save(dst, *image, ctx, progress, image);
}

}  // namespace
}  // namespace quor

using namespace quor;

namespace {
// A format of the table and a picture of at most 16384 texels a side, or
// nothing (the reason kept).
const quor::blocks::FormatRow* blockFormat(int32_t width, int32_t height, int32_t format) {
    const quor::blocks::FormatRow* row = quor::blocks::formatRow(format);
    if (!row) {
        badArgument("no block format is numbered " + std::to_string(format));
        return nullptr;
    }
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
        badArgument("a size of " + std::to_string(width) + " x " + std::to_string(height) +
                    " texels; each side is 1 to 16384");
        return nullptr;
    }
    return row;
}
}  // namespace

extern "C" {

QUORIMG_API int32_t _Pic_Count(void) {
    int32_t count = 0;
    guarded([&] {
        count = formatCount();
        return true;
    });
    return count;
}

QUORIMG_API const char* _Pic_Description(int32_t n) { return formatText(n, &FormatEntry::description); }
QUORIMG_API const char* _Pic_Extension(int32_t n) { return formatText(n, &FormatEntry::extension); }
QUORIMG_API const char* _Pic_Pattern(int32_t n) { return formatText(n, &FormatEntry::pattern); }

// The photo-CD size and JPEG scale are taken for compatibility: pictures
// are always converted at full size.
QUORIMG_API int32_t _anytobmps(const char* src, const char* dst, QuorContext* ctx, int32_t, int32_t) {
    return guarded([&] { return convert(src, dst, ctx, false); });
}

QUORIMG_API int32_t _anyto256(const char* src, const char* dst, QuorContext* ctx, int32_t, int32_t) {
    return guarded([&] { return convert(src, dst, ctx, true); });
}

QUORIMG_API int32_t _Pic_Valid(const char* file) {
    return guarded([&] {
        if (!file || !*file) return badArgument("no file named");
        return canLoadImage(file, why());
    });
}

QUORIMG_API int32_t _checkbmp(const char* file, QuorContext* ctx) {
    return guarded([&] {
        if (!namesGiven(file, file, ctx)) return false;
        int32_t width = 0, height = 0, bpp = 0;
        if (!probeImage(file, width, height, bpp, why())) return false;
        describe(ctx, width, height, bpp);
        return true;
    });
}

QUORIMG_API int32_t _bmpresize(const char* src, const char* dst, QuorContext* ctx, int32_t width, int32_t height) {
    return guarded([&] {
        if (!namesGiven(src, dst, ctx) || !sizeTaken(width, height)) return false;
        const std::shared_ptr<const Image> image = loadShared(src, why());
        if (!image) return false;
        const Progress progress = progressFor(ctx, std::max(image->pixelCount(), size_t(width) * size_t(height)));
        progress.report(0, 1);
        if (width == image->width && height == image->height && alreadyWritten(src, dst, image, ctx, progress))
            return true;
        Image result = resampleShared(image, width, height, progress.part(0, 70, 100), roundingFor(*image));
        // A palette picture keeps its palette, dithered so that every area
        // keeps its light (snapping each pixel to its nearest entry would
        // shift a whole level toward the palette's colours).
        if (image->indexed) result = remapToPalette(result, image->palette, true, progress.part(70, 95, 100));
        return save(dst, result, ctx, progress);
    });
}

QUORIMG_API int32_t _bmpresizergb(const char* src, const char* dst, QuorContext* ctx, int32_t width, int32_t height,
                                  int32_t flags) {
    return guarded([&] {
        if (!namesGiven(src, dst, ctx) || !sizeTaken(width, height)) return false;
        Rounding rounding = Rounding::KeepMeans;
        if (!fullColourFlags(flags, rounding)) return false;
        const std::shared_ptr<const Image> image = loadShared(src, why());
        if (!image) return false;
        const Progress progress = progressFor(ctx, std::max(image->pixelCount(), size_t(width) * size_t(height)));
        progress.report(0, 1);
        if (width == image->width && height == image->height && !roundsOntoGrid(rounding) &&
            alreadyWritten(src, dst, image, ctx, progress))
            return true;
        // A palette picture's colours, its levels as alpha, resampled like
        // any other: the result is full colour.
        auto result =
            std::make_shared<Image>(resampleShared(image, width, height, progress.part(0, 90, 100), rounding));
        if (flags & QUOR_KEEP_COVERAGE) {
            keepCoverage(*result, *image);
            snapToGrid(*result, rounding);
        }
        // A picture put on a grid at its own size is the source of the
        // smaller levels next: kept, it need not be read back; one that was on
        // the grid already need not even be written.
        if (width == image->width && height == image->height) {
            if (result->rgba == image->rgba && alreadyWritten(src, dst, image, ctx, progress)) return true;
            if (!result->hasAlpha) result->sourceBpp = 24;  // as the file written now will say
            return save(dst, *result, ctx, progress, result);
        }
        return save(dst, *result, ctx, progress);
    });
}

QUORIMG_API int32_t _bmpremap(const char* src, const char* dst, QuorContext* ctx, const char* paletteFile) {
    return guarded([&] {
        if (!namesGiven(src, dst, ctx) || !namesGiven(paletteFile, paletteFile, ctx)) return false;
        const auto paletteBytes = readFile(paletteFile, kMaxFileBytes, why());
        Palette palette{};
        if (!paletteBytes) return false;
        if (!readBmpPalette(paletteBytes->data(), paletteBytes->size(), palette))
            return refuse(QUOR_ERROR_FORMAT, std::string(paletteFile) + " holds no 8-bit BMP palette");
        const auto image = loadShared(src, why());
        if (!image) return false;
        const Progress progress = progressFor(ctx, image->pixelCount());
        progress.report(0, 1);
        // Dithered, so that small shifts (the lightening of sub-images, a
        // photograph merged into a set) survive the palette on average.
        const Image result = remapToPalette(*image, palette, true, progress.part(0, 95, 100));
        return save(dst, result, ctx, progress);
    });
}

QUORIMG_API int32_t _picchainrgb(const char* src, QuorContext* ctx, int32_t edge, int32_t flags, uint8_t* rgba,
                                 int32_t capacity) {
    return guarded([&] {
        if (!namesGiven(src, rgba, ctx) || !sizeTaken(edge, edge)) return false;
        if ((edge & (edge - 1)) != 0)
            return badArgument("an edge of " + std::to_string(edge) + "; it is a power of two");
        Rounding rounding = Rounding::KeepMeans;
        if (!fullColourFlags(flags & ~QUOR_CHAIN_FIT, rounding)) return false;
        const auto image = loadShared(src, why());
        if (!image) return false;
        if (flags & QUOR_CHAIN_FIT) {
            const int32_t longer = std::max(image->width, image->height);
            le::put32(ctx->bytes + QUOR_CONTEXT_LONGER, uint32_t(longer));
            int32_t fit = 16;
            while (fit < edge && fit < longer) fit *= 2;
            edge = std::min(fit, edge);
        }
        const auto bitsOf = [](const Image& picture) { return picture.indexed ? 8 : picture.hasAlpha ? 32 : 24; };
        describe(ctx, image->width, image->height, bitsOf(*image));
        if (bitsOf(*image) != 24) return refuse(QUOR_ERROR_FORMAT, "the picture is not opaque full colour");
        size_t needed = 0;
        for (int32_t e = edge; e >= 1; e /= 2) needed += size_t(e) * size_t(e) * 4;
        if (!fits(needed, capacity)) return false;

        // Each step's picture as it would be read back from its 24-bit file.
        // The library keeps a picture for a file it wrote only when that
        // reading gives it unchanged; any other goes through the codec.
        const auto asRead = [](std::shared_ptr<const Image> picture) {
            if (!picture->indexed && !picture->hasAlpha && picture->sourceBpp == 24 && picture->indices.empty())
                return picture;
            const std::vector<uint8_t> bytes = encodeBmp24(*picture);
            auto back = std::make_shared<Image>();
            if (readBmp(bytes.data(), bytes.size(), *back) != BmpRead::Ok)
                throw std::runtime_error("a level did not read back from its own encoding");
            return std::shared_ptr<const Image>(std::move(back));
        };
        std::shared_ptr<const Image> scratch = asRead(image);
        if (edge != image->width || edge != image->height) {
            auto resized =
                std::make_shared<Image>(resampleShared(scratch, edge, edge, Progress(), roundingFor(*scratch)));
            describe(ctx, edge, edge, bitsOf(*resized));
            if (bitsOf(*resized) != 24) return refuse(QUOR_ERROR_FORMAT, "the resized picture is not opaque");
            scratch = asRead(std::move(resized));
        }
        const Image& top = *scratch;
        uint8_t* to = rgba;
        std::copy(top.rgba.begin(), top.rgba.end(), to);
        to += top.rgba.size();
        std::unique_ptr<Halvings> halvings;
        if (roundsOntoGrid(rounding)) halvings = halvingsOnGrid(top, rounding);
        else halvings = std::make_unique<Halvings>(top);
        for (int32_t e = edge / 2; e >= 1; e /= 2) {
            const int steps = Halvings::stepsTo(top, e, e);
            Image level = steps == 0 ? resample(top, e, e, Progress(), rounding) : halvings->level(steps, rounding);
            if (flags & QUOR_KEEP_COVERAGE) {
                keepCoverage(level, top);
                snapToGrid(level, rounding);
            }
            if (level.rgba.size() != size_t(e) * size_t(e) * 4)
                throw std::runtime_error("a level came out of the wrong size");
            std::copy(level.rgba.begin(), level.rgba.end(), to);
            to += level.rgba.size();
        }
        return true;
    });
}

QUORIMG_API int32_t _bmpremapused(const char* src, const char* dst, QuorContext* ctx, const char* paletteFile) {
    return guarded([&] {
        if (!namesGiven(src, dst, ctx) || !namesGiven(paletteFile, paletteFile, ctx)) return false;
        // Neither file is kept: between the calls of a chain this thread
        // keeps its largest level and that level's halvings.
        const auto palettePicture = loadPassing(paletteFile, why());
        if (!palettePicture) return false;
        if (!palettePicture->indexed || palettePicture->indices.size() != palettePicture->pixelCount())
            return refuse(QUOR_ERROR_FORMAT, std::string(paletteFile) + " is not a palette picture");
        const auto image = loadPassing(src, why());
        if (!image) return false;
        const Progress progress = progressFor(ctx, image->pixelCount());
        progress.report(0, 1);
        const Image result = remapLevel(*image, *palettePicture, progress.part(0, 95, 100));
        return save(dst, result, ctx, progress);
    });
}

QUORIMG_API int32_t _bmpdecodergba(const uint8_t* data, int32_t size, QuorContext* ctx, uint8_t* rgba,
                                   int32_t capacity) {
    return guarded([&] {
        if (!data || size <= 0 || !ctx) return badArgument("no bytes to read, or no context");
        Image image;
        if (readBmp(data, size_t(size), image, why()) != BmpRead::Ok) return false;
        describe(ctx, image.width, image.height, image.sourceBpp);
        if (!fits(image.rgba.size(), rgba ? capacity : 0)) return false;
        std::memcpy(rgba, image.rgba.data(), image.rgba.size());
        return true;
    });
}

QUORIMG_API int32_t _bmpreadrgba(const char* file, QuorContext* ctx, uint8_t* rgba, int32_t capacity) {
    return guarded([&] {
        if (!namesGiven(file, file, ctx)) return false;
        const auto image = loadShared(file, why());
        if (!image) return false;
        describe(ctx, image->width, image->height, image->sourceBpp);
        if (!fits(image->rgba.size(), rgba ? capacity : 0)) return false;
        std::memcpy(rgba, image->rgba.data(), image->rgba.size());
        return true;
    });
}

QUORIMG_API int32_t _bmprocess(const char* src, const char* dst, QuorContext* ctx, int32_t filter) {
    return guarded([&] {
        if (!namesGiven(src, dst, ctx)) return false;
        if (filter != QUOR_FILTER_SOFTEN && filter != QUOR_FILTER_SHARPEN) {
            // Unknown filters copy the picture unchanged and report failure.
            if (!sameFile(src, dst)) {
                if (const auto bytes = readFile(src, kMaxFileBytes)) writeFileAtomically(dst, *bytes);
            }
            return badArgument("no filter is numbered " + std::to_string(filter));
        }
        const auto image = loadShared(src, why());
        if (!image) return false;
        const Progress progress = progressFor(ctx, image->pixelCount());
        progress.report(0, 1);
        const Image result = filter == QUOR_FILTER_SOFTEN ? soften(*image) : sharpen(*image);
        return save(dst, result, ctx, progress);
    });
}

QUORIMG_API int32_t _bmpprocess(const char* src, const char* dst, QuorContext* ctx, int32_t a, int32_t b, int32_t c,
                                int32_t d, int32_t e) {
    return guarded([&] {
        if (!namesGiven(src, dst, ctx)) return false;
        const auto image = loadShared(src, why());
        if (!image) return false;
        const Progress progress = progressFor(ctx, image->pixelCount());
        progress.report(0, 1);
        const Image result = adjust(*image, a, b, c, d, e);
        return save(dst, result, ctx, progress);
    });
}

QUORIMG_API int32_t _bcsize(int32_t width, int32_t height, int32_t format) {
    int32_t size = 0;
    guarded([&] {
        const auto* row = blockFormat(width, height, format);
        if (row) size = int32_t(quor::blocks::encodedSize(width, height, row->format));
        return row != nullptr;
    });
    return size;
}

QUORIMG_API int32_t _bcencode(const uint8_t* rgba, int32_t width, int32_t height, int32_t format, uint8_t* blocks,
                              int32_t capacity) {
    return _bcencodewith(rgba, width, height, format, nullptr, blocks, capacity);
}

QUORIMG_API int32_t _bcencodewith(const uint8_t* rgba, int32_t width, int32_t height, int32_t format,
                                  const QuorBlockOptions* options, uint8_t* blocks, int32_t capacity) {
    return guarded([&] {
        const auto* row = blockFormat(width, height, format);
        if (!row) return false;
        if (!row->encodes) return badArgument(std::string(row->name) + " is read, never written");
        if (!rgba || !blocks) return badArgument("no texels or no room for the blocks");
        quor::blocks::Options coding;
        coding.alphaCut = QUOR_COVERAGE_CUT;
        if (options) {
            if (options->alphaCut < 1 || options->alphaCut > 255)
                return badArgument("an alpha cut of " + std::to_string(options->alphaCut) + "; it is 1 to 255");
            if (options->flags & ~int32_t(QUOR_BC1_ALPHA))
                return badArgument("block flags " + std::to_string(options->flags));
            coding.alphaCut = options->alphaCut;
            coding.bc1Alpha = (options->flags & QUOR_BC1_ALPHA) != 0;
        }
        if (!fits(quor::blocks::encodedSize(width, height, row->format), capacity)) return false;
        return quor::blocks::encodePicture(row->format, rgba, width, height, blocks, coding);
    });
}

QUORIMG_API int32_t _bcdecode(const uint8_t* blocks, int32_t size, int32_t width, int32_t height, int32_t format,
                              uint8_t* rgba, int32_t capacity) {
    return guarded([&] {
        const auto* row = blockFormat(width, height, format);
        if (!row) return false;
        if (!rgba || !blocks) return badArgument("no blocks or no room for the texels");
        const size_t needed = quor::blocks::encodedSize(width, height, row->format);
        if (size < 0 || size_t(size) < needed)
            return badArgument(std::to_string(size) + " bytes of blocks where the picture takes " +
                               std::to_string(needed));
        if (!fits(size_t(width) * size_t(height) * 4, capacity)) return false;
        quor::blocks::decodePicture(row->format, blocks, width, height, rgba);
        return true;
    });
}

QUORIMG_API const char* quorimg_version(void) { return QUORIMG_VERSION; }

QUORIMG_API int32_t quorimg_last_error(void) { return lastFailure.code; }

QUORIMG_API const char* quorimg_last_error_text(void) { return lastFailure.text.c_str(); }

QUORIMG_API int32_t quorimg_last_errno(void) { return lastFailure.systemError; }

QUORIMG_API const char* quorimg_part_version(int32_t part) {
    const char* version = nullptr;
    guarded([&] {
        version = partVersion(part);
        return version != nullptr;
    });
    return version;
}

}  // extern "C"
