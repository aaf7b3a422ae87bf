// Putting pictures on a palette: what the general remap (quantize.cpp) and
// the remap of a chain's smaller levels (chainremap.cpp) share.  Internal to
// libquorimg.
#pragma once

#include "image.h"

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
