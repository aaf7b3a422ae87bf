#include "palettelevels.h"

#include "files.h"
#include "layout.h"
#include "workspace.h"

namespace corvane {

using namespace layout;

void getpalette(const Workspace& workspace, PaletteLevels& palette) {
    std::vector<uint8_t> slot0;
    int sum = 0;
    if (readFileBytes(workspace.slotPath(HeaderSlot), slot0, kPaletteHeader)) {
        for (size_t i = 0; i < 256; ++i) {
            const size_t at = kPaletteAt + 4 * i;
            const uint8_t blue = byteAt(slot0, at), green = byteAt(slot0, at + 1), red = byteAt(slot0, at + 2);
            palette.colours[i] = uint32_t(red) | uint32_t(green) << 8 | uint32_t(blue) << 16;
            palette.levels[i] = byteAt(slot0, at + 3);
            sum += palette.levels[i];
        }
    }
    if (sum == 0) palette.levels.fill(255);
}

bool savepalette(const Workspace& workspace, PaletteLevels& palette) {
    const QString path = workspace.slotPath(HeaderSlot);
    std::vector<uint8_t> header;
    if (!readFileBytes(path, header)) return false;
    // A short header slot is completed with zeros so the palette lands in place.
    header.resize(size_t(kPaletteHeader + kRecordLength * workspace.state().recordCount), 0);
    for (size_t i = 0; i < 256; ++i) header[kPaletteAt + 4 * i + 3] = uint8_t(palette.levels[i] & 0xFF);
    if (!replaceFileAtomically(path, header).ok) return false;
    palette.paletteChanged = false;
    return true;
}

}  // namespace corvane
