// The one packer of the 16-bit forms, shared by the set writer and the
// texture tool so that a colour gets the same code whichever of them saves it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quor {

enum class PackedForm { Rgb565, Argb4444 };

// Levels of more pixels than this round each channel to its nearest step;
// smaller ones cannot average their rounding away and spread it instead.
inline constexpr size_t kSmallLevelPixels = 256;

// Packs one level: `rgba` is 4 bytes a pixel (R,G,B,A), `pixels` of them, in
// the order they are stored; writes 2 little-endian bytes a pixel to `out`.
// For Argb4444 the alpha nibble comes from `alphaNibbles` when given (one byte
// a pixel, the nibble in the high four bits, as the workspace's alpha slot
// keeps it; pixels past `alphaCount` are opaque), else from the rgba alpha.
//
// Large levels: each channel to its nearest step.  Small levels: each
// channel takes one of the two steps around its value, the one nearer, in
// linear light, to its value plus what the pixels before it missed, so the
// level keeps each channel's mean and no pixel strays more than a step; a
// grey pixel keeps its channels within the widest step and half the finest
// of each other (no tint).  A channel that holds one value over the whole
// level takes its nearest step as in large levels, and a pixel already on
// the grid of some reader's widening keeps exactly its codes.
void packLevel(PackedForm form, const uint8_t* rgba, size_t pixels, uint8_t* out, const uint8_t* alphaNibbles = nullptr,
               size_t alphaCount = 0);

// The same from linear light (red, green and blue weighted by alpha, then
// alpha; 0..1), as the resampler holds a level: the codes are rounded
// once, from what the level really holds, rather than from bytes already
// rounded.  Levels of every size spread their rounding as small ones do
// above, so that a level keeps each channel's mean even where one colour
// fills most of it; light that is a code's own keeps that code.  Texels with
// alpha 0 hand on no colour error.
void packLevelLight(PackedForm form, const float* light, size_t pixels, uint8_t* out);

// For each channel (R, G, B, A) the byte of each byte's nearest code: what a
// level of more than kSmallLevelPixels is put on the grid by.  5-6-5 leaves
// alpha as it is.
using ByteMaps = std::array<std::array<uint8_t, 256>, 4>;
const ByteMaps& nearestOnGrid(PackedForm form);

// Puts a level's bytes on the grid in place, as packLevel and unpackLevel in
// turn would (5-6-5 leaves alpha alone).
void snapLevel(PackedForm form, uint8_t* rgba, size_t pixels);

// Each pixel word back to bytes as the image library reads them (R,G,B,A;
// alpha 255 for 5-6-5).
void unpackLevel(PackedForm form, const uint8_t* words, size_t pixels, uint8_t* rgba);

}  // namespace quor
