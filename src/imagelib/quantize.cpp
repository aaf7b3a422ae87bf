// Reduction to 256 colours (libimagequant) and mapping onto a given palette.
//
// Mapping onto a fixed palette is our own: the palette's entries must come
// out exactly as given (fourth bytes included) and, without dithering, each
// pixel must take the entry nearest to its colour.
#include "image.h"
#include "palettefit.h"
#include "srgb.h"

#include <libimagequant.h>

#include <algorithm>
#include <array>
#include <cmath>
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

// Finds the palette entry nearest to a colour: squared distance in RGB, and
// in alpha when the picture has any, so that an opaque and a transparent
// entry of one colour keep their places.  Ties go to the lowest index.
class NearestColour {
public:
    // The cache grows with the picture, up to 64K remembered colours.
    NearestColour(const EntryColours& colours, bool useAlpha, size_t pixels, const EntrySet& allowed)
        : useAlpha_(useAlpha) {
        while (cacheBits_ < 16 && (size_t(1) << cacheBits_) < pixels) ++cacheBits_;
        cache_.assign(size_t(1) << cacheBits_, 0);
        for (int i = 0; i < 256; ++i) {
            if (!allowed.test(size_t(i))) continue;
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
            const int64_t distance =
                int64_t(dr) * dr + int64_t(dg) * dg + int64_t(db) * db + (useAlpha_ ? int64_t(da) * da : 0);
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

}  // namespace

EntryColours entryColours(const Palette& palette) {
    const bool levels = std::any_of(palette.begin(), palette.end(), [](const PaletteEntry& e) { return e.extra != 0; });
    EntryColours colours{};
    for (size_t i = 0; i < 256; ++i) {
        const PaletteEntry& e = palette[i];
        colours[i] = {e.red, e.green, e.blue, levels ? e.extra : uint8_t(255)};
    }
    return colours;
}

EntryLights entryLights(const EntryColours& colours) {
    EntryLights light{};
    for (size_t e = 0; e < 256; ++e) {
        for (size_t c = 0; c < 3; ++c) light[e][c] = srgb::toLinear(colours[e][c]);
        light[e][3] = colours[e][3] / 255.0f;
    }
    return light;
}

void lookUpColours(Image& image, const EntryColours& colours) {
    image.rgba.resize(image.pixelCount() * 4);
    bool translucent = false;
    for (size_t i = 0; i < image.pixelCount(); ++i) {
        const auto& c = colours[image.indices[i]];
        std::copy(c.begin(), c.end(), image.rgba.begin() + std::ptrdiff_t(4 * i));
        translucent |= c[3] != 255;
    }
    image.hasAlpha = translucent;
}

// The mean is weighed in light relative to each channel's own mean.  Up to
// four pixels every mix of each pixel's nearest entries is tried first; then
// each pixel in turn takes its best entry given the others, until none
// changes.
void settleMean(const std::vector<std::array<double, 4>>& want, std::vector<uint8_t>& indices, const EntryLights& light,
                int channels, const std::vector<EntrySet>& choosable) {
    const size_t n = want.size();
    if (n == 0) return;
    std::array<double, 4> mean{};
    for (size_t i = 0; i < n; ++i)
        for (size_t c = 0; c < 4; ++c) mean[c] += want[i][c];
    std::array<double, 4> weight{};
    for (size_t c = 0; c < 4; ++c) {
        const double m = mean[c] / double(n) + 0.01;
        weight[c] = int(c) < channels ? 1.0 / (m * m) : 0.0;
    }
    // Cost: the squared error of the sum, plus a fiftieth of the pixels' own.
    constexpr double kOwn = 0.02;
    auto error = [&](size_t i, size_t entry, size_t c) { return light[entry][c] - want[i][c]; };
    auto ownCost = [&](size_t i, size_t entry) {
        double cost = 0;
        for (size_t c = 0; c < 4; ++c) cost += weight[c] * kOwn * error(i, entry, c) * error(i, entry, c);
        return cost;
    };
    auto sumCost = [&](const std::array<double, 4>& total) {
        double cost = 0;
        for (size_t c = 0; c < 4; ++c) cost += weight[c] * total[c] * total[c];
        return cost;
    };

    if (n <= 4) {
        constexpr size_t kMostCandidates = 24;
        struct Candidate {
            uint8_t entry;
            double own;
            std::array<double, 4> error;
        };
        std::vector<std::array<Candidate, kMostCandidates>> candidates(n);
        std::array<size_t, 4> counts{};
        size_t mixes = 1;
        for (size_t i = 0; i < n; ++i) {
            std::vector<uint8_t> order;
            for (size_t e = 0; e < 256; ++e)
                if (choosable[i].test(e)) order.push_back(uint8_t(e));
            counts[i] = std::min(kMostCandidates, order.size());
            mixes *= counts[i];
            std::partial_sort(order.begin(), order.begin() + std::ptrdiff_t(counts[i]), order.end(),
                              [&](uint8_t x, uint8_t y) {
                                  // Entries of one colour: the first, as everywhere.
                                  const double cx = ownCost(i, x), cy = ownCost(i, y);
                                  return cx < cy || (cx == cy && x < y);
                              });
            for (size_t k = 0; k < counts[i]; ++k) {
                Candidate& cand = candidates[i][k];
                cand.entry = order[k];
                cand.own = ownCost(i, order[k]);
                for (size_t c = 0; c < 4; ++c) cand.error[c] = error(i, order[k], c);
            }
        }
        // Every mix: the candidates of the pixels counted like the digits
        // of a number.
        std::array<size_t, 4> pick{}, bestPick{};
        for (size_t i = 0; i < n; ++i) bestPick[i] = indices[i];
        double best = INFINITY;
        for (size_t number = 0; number < mixes; ++number) {
            std::array<double, 4> total{};
            double cost = 0;
            size_t rest = number;
            for (size_t i = 0; i < n; rest /= counts[i], ++i) {
                const Candidate& cand = candidates[i][rest % counts[i]];
                pick[i] = cand.entry;
                cost += cand.own;
                for (size_t c = 0; c < 4; ++c) total[c] += cand.error[c];
            }
            cost += sumCost(total);
            if (cost < best) {
                best = cost;
                bestPick = pick;
            }
        }
        for (size_t i = 0; i < n; ++i) indices[i] = uint8_t(bestPick[i]);
        // Then, as for larger pictures, any entry at all for one pixel at a time.
    }

    std::array<double, 4> sum{};
    for (size_t i = 0; i < n; ++i)
        for (size_t c = 0; c < 4; ++c) sum[c] += error(i, indices[i], c);
    for (int pass = 0; pass < 8; ++pass) {
        bool changed = false;
        for (size_t i = 0; i < n; ++i) {
            const size_t current = indices[i];
            std::array<double, 4> others{};
            for (size_t c = 0; c < 4; ++c) others[c] = sum[c] - error(i, current, c);
            auto totalWith = [&](size_t entry) {
                std::array<double, 4> t{};
                for (size_t c = 0; c < 4; ++c) t[c] = others[c] + error(i, entry, c);
                return t;
            };
            size_t best = current;
            double bestCost = sumCost(totalWith(current)) + ownCost(i, current);
            for (size_t entry = 0; entry < 256; ++entry) {
                if (!choosable[i].test(entry)) continue;
                const double cost = sumCost(totalWith(entry)) + ownCost(i, entry);
                if (cost < bestCost - 1e-12) {
                    bestCost = cost;
                    best = entry;
                }
            }
            if (best != current) {
                indices[i] = uint8_t(best);
                sum = totalWith(best);
                changed = true;
            }
        }
        if (!changed) break;
    }
}

namespace {

// The mean colours of the picture seen from afar: the whole of it and its
// quarters, averaged in linear light (colours weighted by alpha).  They are
// what the 1x1 and 2x2 levels of a chain made from it show, and those can
// only be palette entries; dithering carries the larger levels.
std::vector<liq_color> distantColours(const Image& source) {
    std::vector<liq_color> out;
    for (int32_t blocks = 1; blocks <= 2; blocks *= 2) {
        if (blocks > source.width || blocks > source.height) break;
        for (int32_t by = 0; by < blocks; ++by)
            for (int32_t bx = 0; bx < blocks; ++bx) {
                const int32_t x0 = int32_t(int64_t(source.width) * bx / blocks);
                const int32_t x1 = int32_t(int64_t(source.width) * (bx + 1) / blocks);
                const int32_t y0 = int32_t(int64_t(source.height) * by / blocks);
                const int32_t y1 = int32_t(int64_t(source.height) * (by + 1) / blocks);
                double light[3] = {0, 0, 0}, alpha = 0;
                for (int32_t y = y0; y < y1; ++y)
                    for (int32_t x = x0; x < x1; ++x) {
                        const uint8_t* p = source.rgba.data() + (size_t(y) * size_t(source.width) + size_t(x)) * 4;
                        const double weight = p[3] / 255.0;
                        for (size_t c = 0; c < 3; ++c) light[c] += weight * srgb::toLinear(p[c]);
                        alpha += weight;
                    }
                const double pixels = double(x1 - x0) * double(y1 - y0);
                liq_color colour{0, 0, 0, uint8_t(std::lround(255.0 * alpha / pixels))};
                if (alpha > 0) {
                    colour.r = srgb::fromLinear(float(light[0] / alpha));
                    colour.g = srgb::fromLinear(float(light[1] / alpha));
                    colour.b = srgb::fromLinear(float(light[2] / alpha));
                }
                if (std::none_of(out.begin(), out.end(), [&](const liq_color& c) {
                        return c.r == colour.r && c.g == colour.g && c.b == colour.b && c.a == colour.a;
                    }))
                    out.push_back(colour);
            }
    }
    return out;
}

}  // namespace

Image quantize256(const Image& source, bool dither, const Progress& progress, const std::vector<Colour>& keep) {
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
    // The colours asked for first, then the distant ones while there is room.
    std::vector<liq_color> fixed;
    for (const Colour& c : keep) fixed.push_back({c[0], c[1], c[2], c[3]});
    for (const liq_color& colour : distantColours(source)) {
        const bool known = std::any_of(fixed.begin(), fixed.end(), [&](const liq_color& c) {
            return c.r == colour.r && c.g == colour.g && c.b == colour.b && c.a == colour.a;
        });
        if (!known) fixed.push_back(colour);
    }
    if (fixed.size() > 256) fixed.resize(256);
    for (const liq_color& colour : fixed) liq_image_add_fixed_color(image.get(), colour);
    liq_result* rawResult = nullptr;
    if (liq_image_quantize(image.get(), attr.get(), &rawResult) != LIQ_OK || !rawResult)
        throw std::runtime_error("quantize failed");
    std::unique_ptr<liq_result, void (*)(liq_result*)> result(rawResult, liq_result_destroy);
    liq_set_dithering_level(result.get(), dither ? 1.0f : 0.0f);
    if (progress.active())
        liq_result_set_progress_callback(result.get(), onLiqProgress, const_cast<Progress*>(&mapping));

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
    const EntrySet choosable = EntrySet().set();
    const auto colours = entryColours(palette);
    NearestColour nearest(colours, source.hasAlpha, source.pixelCount(), choosable);

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
        // Floyd-Steinberg, serpentine, with the error carried in linear
        // light, so that an area keeps its mean light on the palette.  Alpha
        // is dithered only when the picture has any.
        const int channels = source.hasAlpha ? 4 : 3;
        const EntryLights entryLight = entryLights(colours);
        ErrorWalk walk(w, 4);
        walk.walk(h, progress, [&](int32_t x, int32_t y, int step) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            const uint8_t* p = src + 4 * i;
            float want[4] = {srgb::toLinear(p[0]), srgb::toLinear(p[1]), srgb::toLinear(p[2]), p[3] / 255.0f};
            // The carried error may take a colour past black or white;
            // clamping it there would lose light, so only a runaway error
            // (a colour the palette cannot reach at all) is held back.
            for (int c = 0; c < channels; ++c) want[c] = std::clamp(want[c] + walk.carried(x)[c], -0.5f, 1.5f);
            const uint8_t index =
                nearest.find(srgb::fromLinear(want[0]), srgb::fromLinear(want[1]), srgb::fromLinear(want[2]),
                             int(std::lround(std::clamp(want[3], 0.0f, 1.0f) * 255.0f)));
            out.indices[i] = index;
            // A share that would fall outside the picture goes to the
            // neighbours inside it: a small level keeps its mean light too.
            float error[4] = {};
            for (int c = 0; c < channels; ++c) error[c] = want[c] - entryLight[index][size_t(c)];
            const bool ahead = x + step >= 0 && x + step < w, behind = x - step >= 0 && x - step < w, lower = y + 1 < h;
            walk.handOn(x, step, error, {ahead, lower && behind, lower, lower && ahead});
        });
        if (source.pixelCount() <= kSettledPixels) {
            std::vector<std::array<double, 4>> want(source.pixelCount());
            for (size_t i = 0; i < want.size(); ++i) {
                const uint8_t* p = src + 4 * i;
                want[i] = {srgb::toLinear(p[0]), srgb::toLinear(p[1]), srgb::toLinear(p[2]), p[3] / 255.0};
            }
            settleMean(want, out.indices, entryLight, channels, std::vector<EntrySet>(want.size(), choosable));
        }
    }
    lookUpColours(out, colours);
    return out;
}

}  // namespace quor
