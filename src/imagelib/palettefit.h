// Putting pictures on a palette: what the general remap (quantize.cpp) and
// the remap of a chain's smaller levels (chainremap.cpp) share.  Internal to
// libquorimg.
#pragma once

#include "image.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quor {

// The colour each palette entry stands for, red, green, blue and alpha.  The
// fourth byte is a transparency level, except that a palette whose levels
// are all 0 is an opaque one.
using EntryColours = std::array<std::array<uint8_t, 4>, 256>;
EntryColours entryColours(const Palette& palette);

// Each entry's colour in linear light, and its alpha, 0..1.
using EntryLights = std::array<std::array<float, 4>, 256>;
EntryLights entryLights(const EntryColours& colours);

// Fills rgba (and hasAlpha) from the indices and the entries' colours.
void lookUpColours(Image& image, const EntryColours& colours);

// Floyd-Steinberg's walk over a picture of width x height: rows in turn,
// every other one from right to left, each texel's error handed to the
// texels after it in its row and to three below it, in 7, 3, 5 and 1
// sixteenths of what those that take a share take together.
class ErrorWalk {
public:
    ErrorWalk(int32_t width, size_t channels)
        : width_(width), channels_(channels), here_(size_t(width + 2) * channels, 0.0f), below_(here_.size(), 0.0f) {}

    // Calls visit(x, y, step) for every texel in the walk's order, step
    // being +1 on rows walked to the right and -1 on the others.
    template <typename Visit>
    void walk(int32_t height, const Progress& progress, Visit&& visit) {
        for (int32_t y = 0; y < height; ++y) {
            std::fill(below_.begin(), below_.end(), 0.0f);
            const int step = y % 2 == 0 ? 1 : -1;
            for (int32_t k = 0; k < width_; ++k) visit(step > 0 ? k : width_ - 1 - k, y, step);
            std::swap(here_, below_);
            progress.report(y + 1, height);
        }
    }
    // What the texels before it handed to texel x of the row walked now.
    const float* carried(int32_t x) const { return here_.data() + size_t(x + 1) * channels_; }
    // Hands texel x's error on; `takes` says which of the texel ahead, below
    // behind, below and below ahead take a share.
    void handOn(int32_t x, int step, const float* error, const std::array<bool, 4>& takes) {
        static constexpr float kShare[4] = {7.0f, 3.0f, 5.0f, 1.0f};
        float shares = 0;
        for (size_t k = 0; k < 4; ++k) shares += takes[k] ? kShare[k] : 0.0f;
        if (shares == 0.0f) return;
        float* to[4] = {here_.data() + size_t(x + 1 + step) * channels_,
                        below_.data() + size_t(x + 1 - step) * channels_, below_.data() + size_t(x + 1) * channels_,
                        below_.data() + size_t(x + 1 + step) * channels_};
        for (size_t k = 0; k < 4; ++k)
            if (takes[k])
                for (size_t c = 0; c < channels_; ++c) to[k][c] += error[c] / shares * kShare[k];
    }

private:
    int32_t width_;
    size_t channels_;
    std::vector<float> here_, below_;
};

// Pictures this small cannot spread a palette's error far enough for their
// mean to come out right (the error of the last pixel has nowhere to go).
inline constexpr size_t kSettledPixels = 64;

// Chooses again the entries (`indices`, in and out) of a few dithered
// pixels so that their mean colour comes nearest to the mean of what they
// want (linear light, then alpha) without straying far from each pixel's
// own colour.  Pixel i takes only entries of choosable[i]; the first
// `channels` channels count.
void settleMean(const std::vector<std::array<double, 4>>& want, std::vector<uint8_t>& indices, const EntryLights& light,
                int channels, const std::vector<EntrySet>& choosable);

// A smaller level of an 8-bit set put back on the palette of `picture`, the
// set's largest level (indexed), using only the entries the picture uses.
// Where the part of the picture under a texel is one entry (a flat part),
// the texel takes the entry the whole part takes, with no error handed in
// or out; beside a flat part (on an edge) the entry nearest in linear light
// among those near it; elsewhere a texel is dithered in linear light among
// the entries under and near it, so that detail keeps its light.  When the
// used entries carry transparency levels, a texel whose alpha is below half
// takes a transparent entry (level below 128, the one nearest how the texel
// looks) and any other an opaque one.  A 1x1 level takes the entry of its
// side nearest its colour in linear light.
Image remapLevel(const Image& level, const Image& picture, const Progress& progress);

}  // namespace quor
