// The transparency presets of the palette editor, on a level table.
#pragma once

#include <array>
#include <cstdint>

namespace corvane {

using LevelTable = std::array<int32_t, 256>;

// Every colour opaque.
void allOpaque(LevelTable& levels);
// Colour 0 fully transparent, every other colour opaque.
void colour0Transparent(LevelTable& levels);
// Every colour at one level (clamped to 0..255).
void allTo(LevelTable& levels, int level);
// Colours 0..colour rising evenly from 0 toward opaque, the rest opaque.
void gradientTo(LevelTable& levels, int colour);

}  // namespace corvane
