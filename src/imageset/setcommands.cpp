#include "setcommands.h"

#include "library.h"
#include "splitjoin.h"
#include "workspace.h"

#include <QFile>
#include <QFileInfo>

namespace corvane {

using namespace layout;

const char* const kRawTextureMessage =
    "This image is a true RAW AF99 Texture\n\nIt has been Flipped Top to Bottom so that\n"
    "the Textures will display correctly on the\nAircraft when saved back as Extended Bitmap\n\n"
    "Use Create Image Set to create the\nExtended sub-images before saving\n";
const char* const kBitmapTextureMessage =
    "This image is a BMP Format image\n\nIf sub-images also appear then it is\n"
    "already in Extended Bitmap Format\notherwise it is a standard BMP file\n\n"
    "After editing use Create Image Set\nto update or create the Extended\nsub-images before saving\n";

void convertSlotsTo24(const Workspace& workspace, ImageLibrary& library) {
    for (int slot = kFirstLevelSlot; slot <= kLastLevelSlot; ++slot) {
        const QString& path = workspace.slotPath(slot);
        if (QFileInfo::exists(path)) library.anyToBmp(path, path);
    }
}

CommandOutcome loadStep(const QString& path, Workspace& workspace, ImageLibrary& library, const SetOptions& options) {
    CommandOutcome outcome;
    SetState& state = workspace.state();
    const SplitReport report = state.highColour ? splitHighColour(path, workspace) : split8(path, workspace);
    if (!report.refusal.isEmpty()) {
        outcome.fail(report.refusal);
        return outcome;
    }
    outcome.refreshViews = true;
    if (!report.failure.isEmpty()) {
        outcome.fail(report.failure);
        return outcome;
    }
    // A plain picture holds its largest level only; that is no fault, the
    // user builds the rest with Create Image Set.
    const bool plainPicture = report.levelsWritten == 1 && !report.missingLevels.empty() &&
                              report.missingLevels.front() != state.largest;
    if (!report.missingLevels.empty() && !plainPicture) outcome.information << report.missingNote();

    if (state.highColour && (options.convertTo24 || state.headerSize != 0)) convertSlotsTo24(workspace, library);
    if (state.highColour)
        workspace.status().depth += QStringLiteral(" 16 bit ") + (state.is4444 ? "444" : "565");
    else
        outcome.readPalette = true;
    if (state.is4444 || state.is32) extractAlpha(path, workspace);
    if (state.is32) workspace.status().depth = QStringLiteral(" 32 bit ");
    return outcome;
}

bool rawTextureConversion(const QString& texture, Workspace& workspace, ImageLibrary& library) {
    std::vector<uint8_t> bytes;
    if (!readFileBytes(texture, bytes, kRawTextureSize) || bytes.size() != size_t(kRawTextureSize)) return false;
    std::vector<uint8_t> flipped(bytes.size());
    for (size_t row = 0; row < 256; ++row)
        std::copy_n(bytes.begin() + std::ptrdiff_t(row * 256), 256, flipped.begin() + std::ptrdiff_t((255 - row) * 256));
    const QString raw = workspace.flippedRawPath();
    bool ok = replaceFileAtomically(raw, flipped) && library.anyToBmp(raw, workspace.loadedCopyPath());
    Workspace::removeFile(raw);
    return ok;
}

CommandOutcome loadExtended(const QString& chosen, int filter, Workspace& workspace, ImageLibrary& library,
                            const SetOptions& options, const QString& shownName) {
    CommandOutcome outcome;
    const SetState before = workspace.state();
    const StatusLines statusBefore = workspace.status();
    SetState& state = workspace.state();
    const QString loadedCopy = workspace.loadedCopyPath();
    const auto refuse = [&](const QString& why) {
        state = before;
        workspace.status() = statusBefore;
        Workspace::removeFile(loadedCopy);
        outcome.fail(why);
        return outcome;
    };

    state.textureOrigin = filter - 1 != 0;
    state.loadedPath = chosen;
    QString path = chosen;
    if (state.textureOrigin) {
        const QFileInfo info(chosen);
        if (!info.exists()) return refuse(QStringLiteral("The file %1 cannot be opened.").arg(chosen));
        if (info.size() == kRawTextureSize) {
            outcome.information << QString::fromLatin1(kRawTextureMessage);
            if (!rawTextureConversion(chosen, workspace, library))
                return refuse(QStringLiteral("The texture %1 could not be converted.").arg(info.fileName()));
        } else {
            Workspace::removeFile(loadedCopy);
            if (std::vector<uint8_t> bytes; !readFileBytes(chosen, bytes) || !replaceFileAtomically(loadedCopy, bytes))
                return refuse(QStringLiteral("The file %1 cannot be read.").arg(info.fileName()));
            outcome.information << QString::fromLatin1(kBitmapTextureMessage);
        }
        path = loadedCopy;
    }

    // Everything is checked before the workspace is touched.
    const HeaderFacts facts = readHeaderFacts(path);
    if (auto refusal = refusalToSplit(facts)) return refuse(*refusal);
    headerProbe(path, state);
    int width = 0, height = 0, bits = 0;
    state.largest = library.check(path, width, height, bits) && isLevel(width) ? width : facts.width;

    StatusLines& status = workspace.status();
    status.bitmap = QStringLiteral("Bitmap - ") + (shownName.isEmpty() ? QFileInfo(chosen).fileName() : shownName);
    status.maximum = QStringLiteral("Maximum Size - %1").arg(state.largest);
    status.loadedAs = QStringLiteral("Loaded as - Extended Bitmap");
    status.depth = state.recordCount == 1 || state.standardHeader ? QStringLiteral("AVTX") : QStringLiteral(" ");

    CommandOutcome step = loadStep(path, workspace, library, options);
    if (!step.ok && !step.refreshViews) return refuse(step.error);
    step.information = outcome.information + step.information;
    outcome = step;

    QString hint = QStringLiteral("= ");
    if (state.recordCount == 1)
        for (uint8_t b : state.recordData) hint += QString::number(int(int8_t(b))) + ' ';
    status.depthHint = hint;
    Workspace::removeFile(loadedCopy);
    return outcome;
}

CommandOutcome saveSet(const Workspace& workspace, const QString& output) {
    CommandOutcome outcome;
    const JoinResult result = writeSet(workspace, output);
    if (!result.ok) outcome.fail(result.error);
    return outcome;
}

int textureToolMode(const Workspace& workspace) {
    const SetState& state = workspace.state();
    if (!state.highColour) return 8;
    int mode = 2;
    if (state.is32) mode = 7;
    if (state.is4444) mode = 5;
    return mode;
}

void buildChain(Workspace& workspace, ImageLibrary& library, const SetOptions& options) {
    const int largest = workspace.state().largest;
    if (largest == 1) return;
    // Anything that is not a level is taken as 512, as before any load.
    const int k = isLevel(largest) ? slotOfLevel(largest) : 1;
    const QString& largestSlot = workspace.slotPath(k);

    // Every level straight from the largest, never from its neighbour.
    for (int i = k + 1; i <= kLastLevelSlot; ++i) {
        const int s = levelOfSlot(i);
        library.resize(largestSlot, workspace.slotPath(i), s, s);
    }
    if (workspace.state().highColour || !options.smooth8) return;

    // Smoothing: each level from the one just made above it, softened,
    // lightened (64 and below), sharpened and put back on the largest's palette.
    for (int j = k + 2; j <= kLastLevelSlot; ++j) {
        const int d = levelOfSlot(j);
        const QString& slot = workspace.slotPath(j);
        if (j >= 4) library.resize(workspace.slotPath(j - 1), slot, d, d);
        library.filter(slot, slot, 101);
        if (j >= 4) library.adjust(slot, slot, 0, 0, 0, options.lightening, 0);
        library.filter(slot, slot, 5);
        library.remap(slot, slot, largestSlot);
    }
}

CommandOutcome createImageSet(Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                              const TextureToolRun& runTool) {
    CommandOutcome outcome;
    if (options.useImageTool) {
        const QString exchange = workspace.exchangePath();
        const JoinResult written = writeSet(workspace, exchange);
        if (written.ok && runTool) {
            // The set is read back either way; a failed pass only leaves it as it was.
            if (const QString why = runTool(exchange, textureToolMode(workspace)); !why.isEmpty())
                outcome.information << QStringLiteral("ImageTool did not process the set:\n%1").arg(why);
        }
        workspace.status().depth.clear();
        if (written.ok) {
            CommandOutcome step = loadStep(exchange, workspace, library, options);
            outcome.information << step.information;
            outcome.readPalette = step.readPalette;
            if (!step.ok) outcome.fail(step.error);
        }
        Workspace::removeFile(exchange);
    }
    buildChain(workspace, library, options);
    outcome.refreshViews = true;
    return outcome;
}

bool paletteCommandsAvailable(const Workspace& workspace) {
    return workspace.state().largest > 0 && !workspace.state().highColour;
}

bool replaceCommandsAvailable(const Workspace& workspace) {
    return paletteCommandsAvailable(workspace) && workspace.state().largest == 256;
}

}  // namespace corvane
