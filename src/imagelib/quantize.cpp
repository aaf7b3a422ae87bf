// Reduction to 256 colours (libimagequant) and mapping onto a given palette.
//
// Mapping onto a fixed palette is our own: the palette's entries must come
// out exactly as given (fourth bytes included) and, without dithering, each
// pixel must take the entry nearest to its colour.
#include "image.h"

#include <libimagequant.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <stdexcept>

namespace quor {
namespace {

// libimagequant's speed: 1 is slowest and best, 10 fastest.  Its own default,
// 4, gives palettes as good as the slower settings on photographs at about
// half their time; from 8 on it stops refining the palette.
constexpr int kQuantizeSpeed = 4;

int onLiqProgress(float percent, void* user) {
    static_cast<const Progress*>(user)->report(int64_t(percent * 10.0f), 1000);
    return 1;  // go on
}

void checkPicture(const Image& source) {
    if (source.width <= 0 || source.height <= 0 || source.width > kMaxEdge || source.height > kMaxEdge ||
        source.rgba.size() != source.pixelCount() * 4)
        throw std::invalid_argument("picture size out of range");
}

// The colour a palette entry stands for.  The fourth byte is a transparency
// level, except that a palette whose levels are all 0 is an opaque one.
std::array<std::array<uint8_t, 4>, 256> entryColours(const Palette& palette) {
    const bool levels = std::any_of(palette.begin(), palette.end(), [](const PaletteEntry& e) { return e.extra != 0; });
    std::array<std::array<uint8_t, 4>, 256> colours{};
    for (size_t i = 0; i < 256; ++i) {
        const PaletteEntry& e = palette[i];
        colours[i] = {e.red, e.green, e.blue, levels ? e.extra : uint8_t(255)};
    }
    return colours;
}

// Finds the palette entry nearest to a colour: squared distance in RGB, and
// in alpha when the picture has any, so that an opaque and a transparent
// entry of one colour keep their places.  Ties go to the lowest index.
class NearestColour {
public:
    // The cache grows with the picture, up to 64K remembered colours.
    NearestColour(const std::array<std::array<uint8_t, 4>, 256>& colours, bool useAlpha, size_t pixels)
        : useAlpha_(useAlpha) {
        while (cacheBits_ < 16 && (size_t(1) << cacheBits_) < pixels) ++cacheBits_;
        cache_.assign(size_t(1) << cacheBits_, 0);
        for (int i = 0; i < 256; ++i) {
            const auto& c = colours[size_t(i)];
            byGreen_.push_back({c[0], c[1], c[2], c[3], uint8_t(i)});
        }
        std::stable_sort(byGreen_.begin(), byGreen_.end(), [](const Entry& a, const Entry& b) { return a.g < b.g; });
    }

    uint8_t find(int r, int g, int b, int a) {
        if (!useAlpha_) a = 255;
        const uint32_t key = uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16) | (uint32_t(a) << 24);
        uint64_t& slot = cache_[(key * 0x9E3779B1u) >> (32 - cacheBits_)];
        if ((slot & kValid) && uint32_t(slot >> 9) == key) return uint8_t(slot);
        const uint8_t index = search(r, g, b, a);
        slot = (uint64_t(key) << 9) | kValid | index;
        return index;
    }

private:
    struct Entry {
        int r, g, b, a;
        uint8_t index;
    };
    static constexpr uint64_t kValid = 0x100;

    uint8_t search(int r, int g, int b, int a) const {
        int64_t bestDistance = INT64_MAX;
        int bestIndex = 256;
        auto consider = [&](const Entry& e) {
            const int dr = e.r - r, dg = e.g - g, db = e.b - b, da = e.a - a;
            const int64_t distance = int64_t(dr) * dr + int64_t(dg) * dg + int64_t(db) * db +
                                     (useAlpha_ ? int64_t(da) * da : 0);
            if (distance < bestDistance || (distance == bestDistance && e.index < bestIndex)) {
                bestDistance = distance;
                bestIndex = e.index;
            }
        };
        // Walk outward from the nearest green; once green alone is farther
        // than the best match, nothing further that way can win.
        const auto middle = std::lower_bound(byGreen_.begin(), byGreen_.end(), g,
                                             [](const Entry& e, int value) { return e.g < value; });
        for (auto it = middle; it != byGreen_.end(); ++it) {
            const int64_t dg = it->g - g;
            if (dg * dg > bestDistance) break;
            consider(*it);
        }
        for (auto it = middle; it != byGreen_.begin();) {
            --it;
            const int64_t dg = g - it->g;
            if (dg * dg > bestDistance) break;
            consider(*it);
        }
        return uint8_t(bestIndex);
    }

    bool useAlpha_;
    int cacheBits_ = 4;
    std::vector<Entry> byGreen_;
    std::vector<uint64_t> cache_;  // key << 9 | valid | index
};

// Fills rgba from the indices and the palette's colours.
void lookUpColours(Image& image, const std::array<std::array<uint8_t, 4>, 256>& colours) {
    image.rgba.resize(image.pixelCount() * 4);
    bool translucent = false;
    for (size_t i = 0; i < image.pixelCount(); ++i) {
        const auto& c = colours[image.indices[i]];
        std::copy(c.begin(), c.end(), image.rgba.begin() + std::ptrdiff_t(4 * i));
        translucent |= c[3] != 255;
    }
    image.hasAlpha = translucent;
}

}  // namespace

Image quantize256(const Image& source, bool dither, const Progress& progress) {
    checkPicture(source);
    std::unique_ptr<liq_attr, void (*)(liq_attr*)> attr(liq_attr_create(), liq_attr_destroy);
    if (!attr) throw std::bad_alloc();
    liq_set_max_colors(attr.get(), 256);
    liq_set_speed(attr.get(), kQuantizeSpeed);
    const Progress choosing = progress.part(0, 70, 100);
    const Progress mapping = progress.part(70, 100, 100);
    if (progress.active()) liq_attr_set_progress_callback(attr.get(), onLiqProgress, const_cast<Progress*>(&choosing));

    std::unique_ptr<liq_image, void (*)(liq_image*)> image(
        liq_image_create_rgba(attr.get(), source.rgba.data(), source.width, source.height, 0), liq_image_destroy);
    if (!image) throw std::runtime_error("quantize: cannot take the picture");
    liq_result* rawResult = nullptr;
    if (liq_image_quantize(image.get(), attr.get(), &rawResult) != LIQ_OK || !rawResult)
        throw std::runtime_error("quantize failed");
    std::unique_ptr<liq_result, void (*)(liq_result*)> result(rawResult, liq_result_destroy);
    liq_set_dithering_level(result.get(), dither ? 1.0f : 0.0f);
    if (progress.active()) liq_result_set_progress_callback(result.get(), onLiqProgress, const_cast<Progress*>(&mapping));

    Image out;
    out.width = source.width;
    out.height = source.height;
    out.sourceBpp = 8;
    out.indexed = true;
    out.indices.assign(source.pixelCount(), 0);
    if (liq_write_remapped_image(result.get(), image.get(), out.indices.data(), out.indices.size()) != LIQ_OK)
        throw std::runtime_error("quantize: remapping failed");

    // A picture without alpha gets fourth bytes of 0, as BMP writers leave them.
    const liq_palette* palette = liq_get_palette(result.get());
    const unsigned count = std::min(palette->count, 256u);
    for (unsigned i = 0; i < count; ++i) {
        const liq_color& c = palette->entries[i];
        out.palette[i] = {c.b, c.g, c.r, source.hasAlpha ? c.a : uint8_t(0)};
    }
    lookUpColours(out, entryColours(out.palette));
    progress.report(1, 1);
    return out;
}

Image remapToPalette(const Image& source, const Palette& palette, bool dither, const Progress& progress) {
    checkPicture(source);
    const auto colours = entryColours(palette);
    NearestColour nearest(colours, source.hasAlpha, source.pixelCount());

    Image out;
    out.width = source.width;
    out.height = source.height;
    out.sourceBpp = 8;
    out.indexed = true;
    out.palette = palette;
    out.indices.assign(source.pixelCount(), 0);

    const int32_t w = source.width;
    const int32_t h = source.height;
    const uint8_t* src = source.rgba.data();
    if (!dither) {
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const size_t i = size_t(y) * size_t(w) + size_t(x);
                const uint8_t* p = src + 4 * i;
                out.indices[i] = nearest.find(p[0], p[1], p[2], p[3]);
            }
            progress.report(y + 1, h);
        }
    } else {
        // Floyd-Steinberg, serpentine, errors in sixteenths.  Alpha is
        // dithered only when the picture has any.
        const int channels = source.hasAlpha ? 4 : 3;
        std::vector<int> here(size_t(w + 2) * 4, 0), below(size_t(w + 2) * 4, 0);
        for (int32_t y = 0; y < h; ++y) {
            std::fill(below.begin(), below.end(), 0);
            const bool leftToRight = (y % 2) == 0;
            const int step = leftToRight ? 1 : -1;
            for (int32_t k = 0; k < w; ++k) {
                const int32_t x = leftToRight ? k : w - 1 - k;
                const size_t i = size_t(y) * size_t(w) + size_t(x);
                const uint8_t* p = src + 4 * i;
                int want[4] = {p[0], p[1], p[2], 255};
                for (int c = 0; c < channels; ++c)
                    want[c] = std::clamp(p[c] + ((here[size_t(x + 1) * 4 + size_t(c)] + 8) >> 4), 0, 255);
                const uint8_t index = nearest.find(want[0], want[1], want[2], want[3]);
                out.indices[i] = index;
                for (int c = 0; c < channels; ++c) {
                    const int error = want[c] - colours[index][size_t(c)];
                    here[size_t(x + 1 + step) * 4 + size_t(c)] += error * 7;
                    below[size_t(x + 1 - step) * 4 + size_t(c)] += error * 3;
                    below[size_t(x + 1) * 4 + size_t(c)] += error * 5;
                    below[size_t(x + 1 + step) * 4 + size_t(c)] += error * 1;
                }
            }
            std::swap(here, below);
            progress.report(y + 1, h);
        }
    }
    lookUpColours(out, colours);
    return out;
}

}  // namespace quor
