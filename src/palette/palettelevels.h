// The 256 colours and transparency levels of an 8-bit set, moved between
// memory and the header slot.
#pragma once

#include <array>
#include <cstdint>

namespace corvane {

class Workspace;

struct PaletteLevels {
    // Colour i as the platform's colour value: red in the low byte, then green, blue.
    std::array<uint32_t, 256> colours{};
    // Transparency of colour i: 0 fully transparent .. 255 opaque.
    std::array<int32_t, 256> levels{};
    bool paletteChanged = false;

    PaletteLevels() { levels.fill(255); }
};

// Fills colours and levels from slot 0.  A palette whose level bytes are all
// 0 carries no transparency and reads as 256 opaque colours; so does a
// missing header slot (the colours then stay as they were).
void getpalette(const Workspace& workspace, PaletteLevels& palette);

// Writes the levels into slot 0, keeping every other byte; clears
// paletteChanged.  False (and nothing written) when slot 0 is missing or
// cannot be rewritten.
bool savepalette(const Workspace& workspace, PaletteLevels& palette);

}  // namespace corvane
