#include "transparency.h"

#include "fileaccess.h"
#include "files.h"
#include "layout.h"
#include "workspace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace corvane {

using namespace layout;

const char* const kPaletteUpdateWarning =
    "Updating the Palette will destroy\nany Transparencies you have already\ncreated. Only use this option if you\n"
    "have altered the Palette during Editing\n\nYou should only use this when Editing\nthe largest Image and use "
    "Create Image\nSet immediately afterwards to update\nthe other images";

CommandOutcome writeUserFile(const QString& path, const std::vector<uint8_t>& bytes) {
    const auto fail = [&](const QString& cause) {
        return CommandOutcome::refused(
            QStringLiteral("Cannot write %1: %2.").arg(QDir::toNativeSeparators(path), cause));
    };
    if (const QString cause = causeNotWritable(path); !cause.isEmpty()) return fail(cause);
    CommandOutcome written = replaceFileAtomically(path, bytes);
    if (written.ok) return written;
    // The writer tells what it was doing; the user wants to know what stood in the way.
    if (const QString cause = causeNotWritable(path); !cause.isEmpty()) return fail(cause);
    if (written.error.contains(QString::fromLocal8Bit(std::strerror(ENOSPC)))) return fail(causeOfError(ENOSPC));
    return written;
}

CommandOutcome saveMap(const QString& path, const LevelTable& levels) {
    std::vector<uint8_t> bytes(256);
    for (size_t i = 0; i < 256; ++i) bytes[i] = uint8_t(levels[i] & 0xFF);
    return writeUserFile(path, bytes);
}

MapResult loadMap(const QString& path, LevelTable& levels) {
    MapResult result;
    QFile file;
    if (const QString cause = openForReading(file, path); !cause.isEmpty()) {
        result.outcome.fail(cannotReadText(path, cause));
        return result;
    }
    std::vector<uint8_t> bytes(256);
    const qint64 got = file.read(reinterpret_cast<char*>(bytes.data()), qint64(bytes.size()));
    if (got < 0) {
        result.outcome.fail(cannotReadText(path, file.errorString()));
        return result;
    }
    bytes.resize(size_t(got));
    for (size_t i = 0; i < bytes.size(); ++i) levels[i] = bytes[i];
    result.bytesRead = int(bytes.size());
    if (bytes.size() < 256)
        result.shortNote = QStringLiteral(
                               "The map %1 is short: it holds %2 levels of 256. "
                               "Colours %2 to 255 kept their levels.")
                               .arg(QFileInfo(path).fileName())
                               .arg(bytes.size());
    return result;
}

int transparencyViewSourceSlot(int largest) {
    if (largest == 1) return -1;
    return isLevel(largest) ? slotOfLevel(largest) : 1;
}

CommandOutcome buildTransparencyView(const Workspace& workspace, const LevelTable& levels, int currentColour) {
    const auto fail = [&](const QString& why) {
        return CommandOutcome::refused(QStringLiteral("The transparency view could not be made: %1").arg(why));
    };
    const int slot = transparencyViewSourceSlot(workspace.state().largest);
    if (slot < 0) return fail(QStringLiteral("a set of 1x1 has none."));
    std::vector<uint8_t> bytes;
    if (const QString why = readRegularFile(workspace.slotPath(slot), bytes, int64_t(64) << 20); !why.isEmpty())
        return fail(QStringLiteral("the largest level cannot be read (%1).").arg(why));
    if (bytes.size() < size_t(kPaletteHeader)) return fail(QStringLiteral("the largest level is not a picture."));
    for (size_t i = 0; i < 256; ++i) {
        const uint8_t grey = uint8_t(levels[i] & 0xFF);
        bytes[kPaletteAt + 4 * i] = bytes[kPaletteAt + 4 * i + 1] = bytes[kPaletteAt + 4 * i + 2] = grey;
    }
    if (currentColour >= 0 && currentColour <= 255) {
        const size_t at = kPaletteAt + 4 * size_t(currentColour);
        bytes[at] = 0;
        bytes[at + 1] = 0;
        bytes[at + 2] = 255;
    }
    const CommandOutcome written = replaceFileAtomically(workspace.slotPath(ScratchSlot), bytes);
    if (written.ok) return written;
    // Said as the writer says it, the cause included ("no space left on the device").
    const QString& why = written.error;
    const qsizetype cause = why.indexOf(QLatin1Char('\n'));
    return fail(cause < 0 ? why : why.mid(cause + 1));
}

CommandOutcome saveTransparencyView(const Workspace& workspace, const QString& path) {
    std::vector<uint8_t> view;
    if (!readFileBytes(workspace.slotPath(ScratchSlot), view))
        return CommandOutcome::refused(QStringLiteral("There is no transparency view to write."));
    return writeUserFile(path, view);
}

CommandOutcome updatePaletteFromEditedSlot(const Workspace& workspace) {
    const int edited = workspace.state().editedSlot;
    return updatePaletteFromFile(workspace, edited == HeaderSlot ? QString() : workspace.slotPath(edited));
}

CommandOutcome updatePaletteFromFile(const Workspace& workspace, const QString& picture) {
    const QString headerSlot = workspace.slotPath(HeaderSlot);
    std::vector<uint8_t> header;
    if (!readFileBytes(headerSlot, header))
        return CommandOutcome::refused(QStringLiteral("There is no image set to take a palette into."));
    header.resize(size_t(kPaletteHeader + kRecordLength * workspace.state().recordCount), 0);
    if (!picture.isEmpty()) {
        std::vector<uint8_t> slot;
        readFileBytes(picture, slot, kPaletteHeader);
        // Only a palette where the set keeps its own: 8-bit, 40-byte
        // information header, all 256 entries.
        const uint32_t used = read32(slot, 46);
        if (slot.size() < size_t(kPaletteHeader) || byteAt(slot, kBitsAt) != 8 || read32(slot, kInfoLengthAt) != 40 ||
            read32(slot, kPixelOffsetAt) < uint32_t(kPaletteHeader) || (used != 0 && used != 256)) {
            return CommandOutcome::refused(QStringLiteral("The edited image %1 is not a 256 colour BMP with a full "
                                                          "palette, so its palette was not taken over.")
                                               .arg(QFileInfo(picture).fileName()));
        }
        std::copy(slot.begin() + kPaletteAt, slot.begin() + kPaletteHeader, header.begin() + kPaletteAt);
    }
    return replaceFileAtomically(headerSlot, header);
}

}  // namespace corvane
