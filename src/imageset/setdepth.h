// The depth and form of a set: one value, and everything that follows from
// it (bytes a texel, alpha, colour masks, the texture tool's modes, the names
// the window and the command line give it).  Nothing else in the program
// describes a depth; what a file's header says is read into one of these.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace corvane {

// The texture tool's modes, by the numbers its runner knows them by.
enum class ToolMode : int { Palette8Levels = 8, Palette8 = 9, Rgb565 = 2, Argb4444 = 5, Argb32 = 7 };

// What the tool is asked for: a set converted to a depth, or the levels of a
// set made again at the depth it has (Create Image Set's pass).
enum class ToolPass { Convert, Levels };

class SetDepth {
public:
    enum Form : uint8_t { Palette8, Rgb565, Argb4444, Rgb24, Argb32 };

    constexpr SetDepth(Form form = Palette8) : form_(form) {}
    constexpr Form form() const { return form_; }
    constexpr bool operator==(const SetDepth&) const = default;

    // What a header says: its bits per pixel and, for 16 bits, its red
    // mask.  Nothing for bits no set has.
    static constexpr std::optional<SetDepth> ofHeader(int bits, uint32_t redMask);
    // The red mask's second byte alone marks the 4-4-4-4 form.
    static constexpr bool marks4444(uint32_t redMask) { return ((redMask >> 8) & 0xFF) == 0x0F; }

    constexpr int bits() const { return row().bits; }
    constexpr int bytesPerTexel() const { return row().bits / 8; }
    constexpr bool highColour() const { return form_ != Palette8; }
    constexpr bool sixteenBit() const { return row().bits == 16; }
    // Sets of this depth keep an alpha slot: one byte a texel of every level.
    constexpr bool keepsAlpha() const { return form_ == Argb4444 || form_ == Argb32; }
    // The alpha slot's byte for an opaque texel (4-4-4-4 keeps a nibble, high).
    constexpr uint8_t opaqueAlpha() const { return form_ == Argb4444 ? 0xF0 : 0xFF; }
    // Red, green and blue masks of the 16-bit forms; 4-4-4-4 keeps its alpha
    // in the top nibble, which no mask names.  Zeros for the other depths.
    constexpr const std::array<uint32_t, 3>& masks() const { return row().masks; }

    // The tool's mode for a pass.  It writes no 24-bit sets: a 24-bit file
    // becomes a 5-6-5 set when it is loaded.
    constexpr ToolMode toolMode(ToolPass pass) const {
        return pass == ToolPass::Levels ? row().levelsMode : row().convertMode;
    }

    // "16-bit 5-6-5": the depth as --info prints it.
    constexpr const char* text() const { return row().text; }
    // " 16 bit 565": what the status line's depth adds after the header's mark.
    constexpr const char* statusText() const { return row().statusText; }
    // "565": the word --convert-to takes; empty for depths nothing converts to.
    constexpr const char* commandWord() const { return row().commandWord; }
    // "-565": the texture tool's option that asks for a set of this depth.
    constexpr const char* toolFlag() const { return row().toolFlag; }
    // "16bit &565": the conversion's menu item, its mnemonic marked; without
    // the mark it names the step Undo takes back.
    constexpr const char* menuText() const { return row().menuText; }

private:
    struct Row {
        int bits;
        std::array<uint32_t, 3> masks;
        ToolMode convertMode, levelsMode;
        const char *text, *statusText, *commandWord, *toolFlag, *menuText;
    };
    // clang-format off
    static constexpr std::array<Row, 5> kRows{{
        {8, {}, ToolMode::Palette8, ToolMode::Palette8Levels, "8-bit", "", "256", "-8", "&256 Colours"},
        {16, {0xF800, 0x07E0, 0x001F}, ToolMode::Rgb565, ToolMode::Rgb565, "16-bit 5-6-5", " 16 bit 565", "565", "-565",
         "16bit &565"},
        {16, {0x0F00, 0x00F0, 0x000F}, ToolMode::Argb4444, ToolMode::Argb4444, "16-bit 4-4-4-4", " 16 bit 444", "4444",
         "-4444", "16bit &444"},
        {24, {}, ToolMode::Rgb565, ToolMode::Rgb565, "24-bit", " 24 bit", "", "", ""},
        {32, {}, ToolMode::Argb32, ToolMode::Argb32, "32-bit", " 32 bit ", "32", "-32", "&32 bit"},
    }};
    // clang-format on
    constexpr const Row& row() const { return kRows[form_]; }

    Form form_;
};

// The depths the texture tool converts a set to, in menu order.
inline constexpr std::array<SetDepth, 4> kToolConversions{SetDepth::Palette8, SetDepth::Rgb565, SetDepth::Argb4444,
                                                          SetDepth::Argb32};

constexpr std::optional<SetDepth> SetDepth::ofHeader(int bits, uint32_t redMask) {
    switch (bits) {
        case 8:
            return Palette8;
        case 16:
            return marks4444(redMask) ? Argb4444 : Rgb565;
        case 24:
            return Rgb24;
        case 32:
            return Argb32;
        default:
            return std::nullopt;
    }
}

}  // namespace corvane
