#include "import.h"

#include "fileaccess.h"
#include "layout.h"
#include "library.h"
#include "splitjoin.h"
#include "workspace.h"

#include <QFileInfo>

#include <algorithm>
#include <bit>

namespace corvane {

using namespace layout;

const char* const kNotEightBitMessage = "This is not a 256 Colour Image\n\nOnly 8 bit Images can be Imported";
const char* const kNewSixteenQuestion = "This will replace the existing Image set - Continue?";
const char* const kNewSixteenTitle = "Create New 16 bit Image Set";

namespace {

QString cannotRead(const QString& file) {
    // A file that is missing or closed to us is no fault of its format.
    if (const QString cause = causeNotReadable(file); !cause.isEmpty()) return cannotReadText(file, cause);
    return QStringLiteral("Cannot read %1: it is not a picture Corvane can open.").arg(QFileInfo(file).fileName());
}

// Copies the 256 palette entries (fourth bytes included) of `source` over
// those of the header slot; headers and record stay.
bool mergePalette(const std::vector<uint8_t>& source, Workspace& workspace) {
    const QString headerSlot = workspace.slotPath(HeaderSlot);
    std::vector<uint8_t> header;
    if (source.size() < size_t(kPaletteHeader) || !readFileBytes(headerSlot, header)) return false;
    header.resize(size_t(kPaletteHeader + kRecordLength * workspace.state().recordCount), 0);
    std::copy(source.begin() + kPaletteAt, source.begin() + kPaletteHeader, header.begin() + kPaletteAt);
    return replaceFileAtomically(headerSlot, header);
}

}  // namespace

int importSize(int width, int height, int maxImport) {
    const int m = std::max(width, height);
    int size = 512;
    for (int level : {256, 128, 64, 32, 16})
        if (m <= level) size = level;
    return std::min(size, maxImport);
}

int sizeExponent(int size) { return std::countr_zero(unsigned(size)); }

CommandOutcome loadAnyImage(const QString& file, Workspace& workspace, ImageLibrary& library,
                            const SetOptions& options, int maxImport) {
    CommandOutcome outcome;
    const QString scratch = workspace.slotPath(ScratchSlot);
    // Nothing changes, not even the labels, for a file the library cannot read.
    if (!library.valid(file) || !library.anyToBmp(file, scratch)) {
        outcome.fail(cannotRead(file));
        return outcome;
    }
    SetState& state = workspace.state();
    const SetState before = state;
    const StatusLines statusBefore = workspace.status();
    state.textureOrigin = false;
    headerProbe(scratch, state);
    int width = 0, height = 0, bits = 0;
    library.check(scratch, width, height, bits);
    const int size = importSize(width, height, maxImport);
    state.largest = size;
    state.templateHeader[kSizeExponentAt] = uint8_t(sizeExponent(size));
    StatusLines& status = workspace.status();
    status.bitmap = QStringLiteral("Bitmap - ") + QFileInfo(file).fileName();
    status.maximum = QStringLiteral("Maximum Size - %1").arg(size);
    status.loadedAs = QStringLiteral("Loaded as - Normal Bitmap");
    status.depth = QStringLiteral(" ");
    status.depthHint.clear();
    library.resize(scratch, scratch, size, size);
    outcome = loadStep(scratch, workspace, library, options);
    if (!outcome.ok && !outcome.refreshViews) {
        state = before;
        workspace.status() = statusBefore;
    }
    return outcome;
}

CommandOutcome mergeImage(const QString& file, Workspace& workspace, ImageLibrary& library,
                          const SetOptions& options, const TextureToolRun& runTool) {
    CommandOutcome outcome;
    const QString scratch = workspace.slotPath(ScratchSlot);
    if (!library.valid(file) || !library.anyToBmp(file, scratch)) {
        outcome.fail(cannotRead(file));
        return outcome;
    }
    const QString level256 = workspace.levelPath(256);
    library.resize(scratch, level256, 256, 256);
    library.remap(level256, level256, workspace.slotPath(HeaderSlot));
    return createImageSet(workspace, library, options, runTool);
}

CommandOutcome importStd(const QString& file, Workspace& workspace, ImageLibrary& library) {
    CommandOutcome outcome;
    const QString scratch = workspace.slotPath(ScratchSlot);
    if (!library.valid(file) || !library.anyToBmp(file, scratch)) {
        outcome.fail(cannotRead(file));
        return outcome;
    }
    int width = 0, height = 0, bits = 0;
    if (!library.check(scratch, width, height, bits) || bits != 8) {
        outcome.fail(QString::fromLatin1(kNotEightBitMessage));
        return outcome;
    }
    const QString level256 = workspace.levelPath(256);
    library.resize(scratch, level256, 256, 256);
    std::vector<uint8_t> picture;
    readFileBytes(level256, picture, kPaletteHeader);
    mergePalette(picture, workspace);
    outcome.refreshViews = true;
    return outcome;
}

CommandOutcome importCfs(const QString& file, Workspace& workspace) {
    CommandOutcome outcome;
    // Read through the header probe: only an 8-bit set of 256 is taken, and
    // its pixels from where its own header says they start.
    const HeaderFacts facts = readHeaderFacts(file);
    if (!facts.readable) {
        outcome.fail(cannotRead(file));
        return outcome;
    }
    SetState probed;
    const bool eightBit = headerProbe(file, probed);
    if (!eightBit || refusalToSplit(facts) || facts.width != 256) {
        outcome.fail(facts.bits != 8 ? QString::fromLatin1(kNotEightBitMessage)
                                     : QStringLiteral("Import CFS takes an 8 bit Extended Bitmap of 256x256; "
                                                      "%1 is not one.").arg(QFileInfo(file).fileName()));
        return outcome;
    }
    std::vector<uint8_t> bytes;
    readFileBytes(file, bytes, int64_t(facts.pixelOffset) + chainPixels(256));
    std::vector<uint8_t> levelHeader(bytes.begin(), bytes.begin() + kPaletteHeader);
    write32(levelHeader, kPixelOffsetAt, kPaletteHeader);
    SplitReport report;
    writeLevelFiles(bytes, facts.pixelOffset, 256, 1, levelHeader, workspace, report);
    mergePalette(levelHeader, workspace);
    if (!report.failure.isEmpty()) outcome.fail(report.failure);
    else if (!report.missingLevels.empty()) outcome.information << report.missingNote();
    outcome.refreshViews = true;
    return outcome;
}

CommandOutcome newSixteenBitSet(Workspace& workspace, ImageLibrary& library, const SetOptions& options) {
    CommandOutcome outcome;
    SetState& state = workspace.state();
    // A new set of 256 records its own size and comes from no texture file.
    TemplateHeader& t = state.templateHeader;
    t[kWidthAt] = 0; t[kWidthAt + 1] = 1; t[kHeightAt] = 0; t[kHeightAt + 1] = 1;
    t[kSizeExponentAt] = uint8_t(sizeExponent(256));
    std::vector<uint8_t> file(t.begin(), t.end());
    file.resize(file.size() + 256 * 256 * 2, 0);
    const QString scratch = workspace.slotPath(ScratchSlot);
    if (!replaceFileAtomically(scratch, file, &outcome.error)) {
        outcome.ok = false;
        return outcome;
    }
    state.textureOrigin = false;
    headerProbe(scratch, state);
    state.largest = 256;
    const SplitReport report = splitHighColour(scratch, workspace);
    if (!report.done) {
        outcome.fail(report.refusal.isEmpty() ? report.failure : report.refusal);
        return outcome;
    }
    buildChain(workspace, library, options);
    if (options.convertTo24) convertSlotsTo24(workspace, library);
    StatusLines& status = workspace.status();
    status.maximum = QStringLiteral("Maximum Size - 256");
    status.loadedAs = QStringLiteral("Loaded as - Extended Bitmap");
    status.depth = QStringLiteral("--- 16 bit ---");
    status.bitmap = QStringLiteral("New Bitmap");
    outcome.refreshViews = true;
    return outcome;
}

CommandOutcome convertCurrentImage(int mode, Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                                   const TextureToolRun& runTool, const QString& shownName) {
    CommandOutcome outcome;
    const QString exchange = workspace.exchangePath();
    const JoinResult written = writeSet(workspace, exchange);
    if (!written.ok) {
        outcome.fail(written.error);
        return outcome;
    }
    const QString why = runTool ? runTool(exchange, mode) : QStringLiteral("No texture tool is set.");
    if (!why.isEmpty()) {
        outcome.fail(why);
    } else {
        outcome = loadExtended(exchange, BitmapFilter, workspace, library, options, shownName);
        if (!outcome.ok && !outcome.refreshViews)
            outcome.error = QStringLiteral("The texture tool did not leave an Extended Bitmap:\n") + outcome.error;
    }
    Workspace::removeFile(exchange);
    return outcome;
}

TextureToolRun textureTool(const Workspace& workspace, const ToolSettings& settings) {
    return [&workspace, settings](const QString& file, int mode) {
        return runTextureTool(workspace, settings, file, mode).problem;
    };
}

}  // namespace corvane
