// The exported routines.  Each one turns every failure, thrown or returned,
// into a 0 result: nothing thrown may cross into a C caller.  Results are
// written beside their destination and renamed over it, so a failed call
// leaves the destination as it was.
#include "blocks.h"
#include "bytes.h"
#include "foreignmodule.h"
#include "halvings.h"
#include "image.h"
#include "palettefit.h"
#include "quorimg.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include <libimagequant.h>

#ifndef QUORIMG_VERSION
#define QUORIMG_VERSION "0.0.0.0"
#endif

static_assert(sizeof(QuorContext) == 1024, "the conversion context is 1024 bytes");
static_assert(offsetof(QuorContext, bytes) == 0);
static_assert(QUOR_CONTEXT_WIDTH == 0 && QUOR_CONTEXT_HEIGHT == 4 && QUOR_CONTEXT_BPP == 8);
static_assert(QUOR_CONTEXT_PROGRESS == 892 && QUOR_CONTEXT_PROGRESS + sizeof(QuorProgress) <= sizeof(QuorContext));

namespace quor {
namespace {

// Pictures of at least this many pixels report progress.
constexpr size_t kProgressPixels = 65536;

// What refused the last call on this thread, when one of our limits did.
thread_local std::string refusal;

template <typename Work>
int32_t guarded(Work&& work) noexcept {
    try {
        refusal.clear();
        return work() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// Keeps a reason for the caller when it is one of our limits.
void note(const std::string& why) {
    if (isLimitReason(why)) refusal = why.substr(kLimitMark.size());
}

// loadShared(), the reason kept.
std::shared_ptr<const Image> loadNoting(const char* path) {
    std::string why;
    std::shared_ptr<const Image> image = loadShared(path, &why);
    if (!image) note(why);
    return image;
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
    const bool written = writeFileAtomically(dst, bytes);
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

// Texts of the format table; "" for numbers outside it.
const char* formatText(int32_t n, const char* FormatEntry::*field) noexcept {
    try {
        const FormatEntry* entry = formatEntry(n);
        return entry ? textOr(entry->*field) : "";
    } catch (...) {
        return "";
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
    if (!src || !dst || !ctx) return false;
    const auto image = loadNoting(src);
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
// A known format and a picture of at most 16384 texels a side, or nothing.
std::optional<quor::blocks::Format> blockFormat(int32_t width, int32_t height, int32_t format) {
    if (format < QUOR_BC1 || format > QUOR_BC3 || width <= 0 || height <= 0 || width > 16384 || height > 16384)
        return std::nullopt;
    return quor::blocks::Format(format);
}
}  // namespace

extern "C" {

QUORIMG_API int32_t _Pic_Count(void) {
    try {
        return formatCount();
    } catch (...) {
        return 0;
    }
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
        std::string why;
        if (file && *file && canLoadImage(file, &why)) return true;
        note(why);
        return false;
    });
}

QUORIMG_API int32_t _checkbmp(const char* file, QuorContext* ctx) {
    return guarded([&] {
        if (!file || !ctx) return false;
        int32_t width = 0, height = 0, bpp = 0;
        std::string why;
        if (!probeImage(file, width, height, bpp, &why)) {
            note(why);
            return false;
        }
        describe(ctx, width, height, bpp);
        return true;
    });
}

QUORIMG_API int32_t _bmpresize(const char* src, const char* dst, QuorContext* ctx, int32_t width, int32_t height) {
    return guarded([&] {
        if (!src || !dst || !ctx) return false;
        if (width <= 0 || height <= 0 || width > kMaxEdge || height > kMaxEdge) return false;
        const std::shared_ptr<const Image> image = loadNoting(src);
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
        if (!src || !dst || !ctx) return false;
        if (width <= 0 || height <= 0 || width > kMaxEdge || height > kMaxEdge) return false;
        if ((flags & ~(QUOR_KEEP_COVERAGE | QUOR_GRID_565 | QUOR_GRID_4444)) != 0) return false;
        if ((flags & QUOR_GRID_565) && (flags & QUOR_GRID_4444)) return false;
        const Rounding rounding = flags & QUOR_GRID_565    ? Rounding::Grid565
                                  : flags & QUOR_GRID_4444 ? Rounding::Grid4444
                                                           : Rounding::KeepMeans;
        const std::shared_ptr<const Image> image = loadNoting(src);
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
        if (!src || !dst || !ctx || !paletteFile) return false;
        const auto paletteBytes = readFile(paletteFile, kMaxFileBytes);
        Palette palette{};
        if (!paletteBytes || !readBmpPalette(paletteBytes->data(), paletteBytes->size(), palette)) return false;
        const auto image = loadNoting(src);
        if (!image) return false;
        const Progress progress = progressFor(ctx, image->pixelCount());
        progress.report(0, 1);
        // Dithered, so that small shifts (the lightening of sub-images, a
        // photograph merged into a set) survive the palette on average.
        const Image result = remapToPalette(*image, palette, true, progress.part(0, 95, 100));
        return save(dst, result, ctx, progress);
    });
}

QUORIMG_API int32_t _bmpremapused(const char* src, const char* dst, QuorContext* ctx, const char* paletteFile) {
    return guarded([&] {
        if (!src || !dst || !ctx || !paletteFile) return false;
        // Neither file is kept: between the calls of a chain this thread
        // keeps its largest level and that level's halvings.
        const auto palettePicture = loadPassing(paletteFile);
        if (!palettePicture || !palettePicture->indexed ||
            palettePicture->indices.size() != palettePicture->pixelCount())
            return false;
        const auto image = loadPassing(src);
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
        if (!data || size <= 0 || !ctx) return false;
        Image image;
        if (readBmp(data, size_t(size), image) != BmpRead::Ok) return false;
        describe(ctx, image.width, image.height, image.sourceBpp);
        if (!rgba || capacity < 0 || size_t(capacity) < image.rgba.size()) return false;
        std::memcpy(rgba, image.rgba.data(), image.rgba.size());
        return true;
    });
}

QUORIMG_API int32_t _bmpreadrgba(const char* file, QuorContext* ctx, uint8_t* rgba, int32_t capacity) {
    return guarded([&] {
        if (!file || !ctx) return false;
        const auto image = loadNoting(file);
        if (!image) return false;
        describe(ctx, image->width, image->height, image->sourceBpp);
        if (!rgba || capacity < 0 || size_t(capacity) < image->rgba.size()) return false;
        std::memcpy(rgba, image->rgba.data(), image->rgba.size());
        return true;
    });
}

QUORIMG_API int32_t _bmprocess(const char* src, const char* dst, QuorContext* ctx, int32_t filter) {
    return guarded([&] {
        if (!src || !dst || !ctx) return false;
        if (filter != 101 && filter != 5) {
            // Unknown filters copy the picture unchanged and report failure.
            if (!sameFile(src, dst)) {
                if (const auto bytes = readFile(src, kMaxFileBytes)) writeFileAtomically(dst, *bytes);
            }
            return false;
        }
        const auto image = loadNoting(src);
        if (!image) return false;
        const Progress progress = progressFor(ctx, image->pixelCount());
        progress.report(0, 1);
        const Image result = filter == 101 ? soften(*image) : sharpen(*image);
        return save(dst, result, ctx, progress);
    });
}

QUORIMG_API int32_t _bmpprocess(const char* src, const char* dst, QuorContext* ctx, int32_t a, int32_t b, int32_t c,
                                int32_t d, int32_t e) {
    return guarded([&] {
        if (!src || !dst || !ctx) return false;
        const auto image = loadNoting(src);
        if (!image) return false;
        const Progress progress = progressFor(ctx, image->pixelCount());
        progress.report(0, 1);
        const Image result = adjust(*image, a, b, c, d, e);
        return save(dst, result, ctx, progress);
    });
}

QUORIMG_API int32_t _bcsize(int32_t width, int32_t height, int32_t format) {
    const auto f = blockFormat(width, height, format);
    return f ? int32_t(quor::blocks::encodedSize(width, height, *f)) : 0;
}

QUORIMG_API int32_t _bcencode(const uint8_t* rgba, int32_t width, int32_t height, int32_t format, uint8_t* blocks,
                              int32_t capacity) {
    return guarded([&] {
        const auto f = blockFormat(width, height, format);
        if (!f || !rgba || !blocks || capacity < 0 || size_t(capacity) < quor::blocks::encodedSize(width, height, *f))
            return false;
        return quor::blocks::encodePicture(*f, rgba, width, height, blocks);
    });
}

QUORIMG_API int32_t _bcdecode(const uint8_t* blocks, int32_t size, int32_t width, int32_t height, int32_t format,
                              uint8_t* rgba, int32_t capacity) {
    return guarded([&] {
        const auto f = blockFormat(width, height, format);
        if (!f || !rgba || !blocks || size < 0 || capacity < 0 ||
            size_t(size) < quor::blocks::encodedSize(width, height, *f) ||
            size_t(capacity) / 4 < size_t(width) * size_t(height))
            return false;
        quor::blocks::decodePicture(*f, blocks, width, height, rgba);
        return true;
    });
}

QUORIMG_API const char* quorimg_version(void) { return QUORIMG_VERSION; }

QUORIMG_API const char* quorimg_refusal(void) { return refusal.c_str(); }

QUORIMG_API const char* quorimg_part_version(int32_t part) {
    try {
        // Each is read once, when first asked for; the texts live as long as the library.
        const auto shown = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
        switch (part) {
            case QUOR_PART_DECODER: {
                static const std::string decoder = quor::foreignModuleVersion();
                return shown(decoder);
            }
            case QUOR_PART_MAGICK: {
                static const std::string magick = quor::foreignLibraryVersion();
                return shown(magick);
            }
            case QUOR_PART_QUANTIZER: {
                static const std::string quantizer = [] {
                    const int v = liq_version();
                    // The library we were built against names its release
                    // more exactly than its number does.
                    if (v == LIQ_VERSION) return std::string(LIQ_VERSION_STRING);
                    return std::to_string(v / 10000) + '.' + std::to_string(v / 100 % 100) + '.' +
                           std::to_string(v % 100);
                }();
                return shown(quantizer);
            }
            default:
                return nullptr;
        }
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
