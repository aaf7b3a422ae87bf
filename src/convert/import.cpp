#include "import.h"

#include "dds.h"
#include "fileaccess.h"
#include "files.h"
#include "layout.h"
#include "library.h"
#include "splitjoin.h"
#include "staging.h"
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

// Why `file` cannot be read, as the library said when it failed on it.
QString cannotRead(const QString& file, const LibraryError& error) {
    // A file that is missing or closed to us is no fault of its format.
    if (const QString cause = causeNotReadable(file); !cause.isEmpty()) return cannotReadText(file, cause);
    const bool ofItsFormat = error.code == QUOR_ERROR_FORMAT || !error.failed();
    return QStringLiteral("Cannot read %1: %2.")
        .arg(QFileInfo(file).fileName(),
             ofItsFormat ? QStringLiteral("it is not a picture Corvane can open") : error.reason());
}

QString notBroughtIn(const QString& file, ImageLibrary& library) {
    return libraryFailure(QStringLiteral("%1 could not be brought in").arg(QFileInfo(file).fileName()), library);
}

// Brings `file` in as a bitmap at `scratch`, as the library brings in any
// picture.  A DDS file is read by our own reader, which knows the extended
// header the library's decoders do not, and its largest level is handed to
// the library as a bitmap.  One the reader refuses goes to the library as
// it stands (it reads some legacy files of other kinds); when the library
// cannot read it either, the reader's reason is the one given.
CommandOutcome bringIn(const QString& file, const QString& scratch, Workspace& workspace, ImageLibrary& library) {
    QString source = file;
    QString ddsRefusal;
    const QString picture = workspace.workDir() + QStringLiteral("ddspicture.bmp");
    if (isDdsFile(file)) {
        const CommandOutcome read = ddsPictureAsBitmap(file, picture);
        if (read.ok) source = picture;
        else if (!read.error.isEmpty()) ddsRefusal = read.error.front().toLower() + read.error.mid(1);
    }
    CommandOutcome outcome;
    if (!library.valid(source)) {
        const LibraryError error = library.lastError();
        const bool ofItsFormat = error.code == QUOR_ERROR_FORMAT || !error.failed();
        outcome = CommandOutcome::refused(
            !ddsRefusal.isEmpty() && ofItsFormat
                ? QStringLiteral("Cannot read %1: %2").arg(QFileInfo(file).fileName(), ddsRefusal)
                : cannotRead(file, error));
    } else if (!library.anyToBmp(source, scratch)) {
        outcome = CommandOutcome::refused(notBroughtIn(file, library));
    }
    if (source != file) Workspace::removeFile(picture);
    return outcome;
}

// Stages the header slot with the 256 palette entries (fourth bytes
// included) of `source`; headers and record stay.  Returns why not, or an
// empty text.
QString mergePalette(const std::vector<uint8_t>& source, Workspace& workspace, SlotStaging& staging) {
    std::vector<uint8_t> header;
    if (source.size() < size_t(kPaletteHeader)) return QStringLiteral("it has no palette of 256 colours");
    if (const QString cause = readRegularFile(staging.current(HeaderSlot), header, 64 << 20); !cause.isEmpty())
        return cause;
    header.resize(size_t(kPaletteHeader + kRecordLength * workspace.state().recordCount), 0);
    std::copy(source.begin() + kPaletteAt, source.begin() + kPaletteHeader, header.begin() + kPaletteAt);
    return replaceWorkFile(staging.path(HeaderSlot), header);
}

CommandOutcome committed(SlotStaging& staging, bool replaceSet) {
    CommandOutcome outcome = staging.commit(replaceSet);
    outcome.refreshViews = outcome.ok;
    return outcome;
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

CommandOutcome loadAnyImage(const QString& file, Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                            int maxImport, int* longer) {
    const QString scratch = workspace.slotPath(ScratchSlot);
    // Nothing changes, not even the labels, for a file that cannot be read.
    if (CommandOutcome in = bringIn(file, scratch, workspace, library); !in.ok) return in;
    int width = 0, height = 0, bits = 0;
    if (!library.check(scratch, width, height, bits))
        return CommandOutcome::refused(cannotRead(file, library.lastError()));
    if (longer) *longer = std::max(width, height);
    const int size = importSize(width, height, maxImport);
    if (!library.resize(scratch, scratch, size, size))
        return CommandOutcome::refused(libraryFailure(
            QStringLiteral("%1 could not be resized to %2x%2").arg(QFileInfo(file).fileName()).arg(size), library));
    SetState& state = workspace.state();
    const SetState before = state;
    const StatusLines statusBefore = workspace.status();
    state.textureOrigin = false;
    state.takeHeader(probeHeader(scratch));
    state.largest = size;
    state.templateHeader[kSizeExponentAt] = uint8_t(sizeExponent(size));
    StatusLines& status = workspace.status();
    status.showFile(QFileInfo(file).fileName());
    status.maximum = QStringLiteral("Maximum Size - %1").arg(size);
    status.loadedAs = QStringLiteral("Loaded as - Normal Bitmap");
    status.depth = QStringLiteral(" ");
    status.depthHint.clear();
    CommandOutcome outcome = loadStep(scratch, workspace, library, options);
    if (!outcome.ok) {
        state = before;
        workspace.status() = statusBefore;
    }
    return outcome;
}

std::optional<HeldSet> heldImageSet(const QString& file, const SetState& current, ImageLibrary& library,
                                    const SetOptions& options, int maxImport, int* longer) {
    // A DDS file is read by our own reader, which the library's chain in
    // memory does not know: the workspace takes it.
    if (options.useImageTool || isDdsFile(file)) return std::nullopt;
    // The library sizes the chain as importSize would, from the one reading
    // of the file that makes it; a most that is no power of two is left to
    // the files.
    int size = std::min(maxImport, 512);
    if (size <= 0 || !std::has_single_bit(unsigned(size))) return std::nullopt;
    HeldSet set;
    if (!library.chainRgba(file, size, options.keepCoverage, QUOR_GRID_565, set.rgba, longer)) return std::nullopt;
    // A 24-bit picture loads as a 5-6-5 set under the template header, which
    // takes the picture's edge and size exponent.
    set.state = current;
    set.state.textureOrigin = false;
    set.state.depth = SetDepth::Rgb565;
    set.state.headerSize = layout::kStandardHeader;
    set.state.recordCount = 0;
    set.state.largest = size;
    set.state.incompleteLevels.clear();
    layout::TemplateHeader& header = set.state.templateHeader;
    header[layout::kSizeExponentAt] = uint8_t(sizeExponent(size));
    for (int at : {layout::kWidthAt, layout::kHeightAt}) {
        header[size_t(at)] = uint8_t(size & 0xFF);
        header[size_t(at) + 1] = uint8_t(size >> 8);
    }
    set.header.assign(header.begin(), header.end());
    return set;
}

CommandOutcome mergeImage(const QString& file, Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                          const TextureToolRun& runTool) {
    const QString scratch = workspace.slotPath(ScratchSlot);
    if (CommandOutcome in = bringIn(file, scratch, workspace, library); !in.ok) return in;
    SlotStaging staging(workspace);
    const QString level256 = staging.path(slotOfLevel(256));
    if (!library.resize(scratch, level256, 256, 256) ||
        !library.remap(level256, level256, workspace.slotPath(HeaderSlot)))
        return CommandOutcome::refused(libraryFailure(
            QStringLiteral("%1 could not be put on the set's palette").arg(QFileInfo(file).fileName()), library));
    return createImageSet(workspace, library, options, runTool, &staging);
}

CommandOutcome importStd(const QString& file, Workspace& workspace, ImageLibrary& library) {
    const QString scratch = workspace.slotPath(ScratchSlot);
    if (CommandOutcome in = bringIn(file, scratch, workspace, library); !in.ok) return in;
    int width = 0, height = 0, bits = 0;
    if (!library.check(scratch, width, height, bits) || bits != 8)
        return CommandOutcome::refused(QString::fromLatin1(kNotEightBitMessage));
    SlotStaging staging(workspace);
    const QString level256 = staging.path(slotOfLevel(256));
    if (!library.resize(scratch, level256, 256, 256)) return CommandOutcome::refused(notBroughtIn(file, library));
    std::vector<uint8_t> picture;
    QString cause = readRegularFile(level256, picture, kPaletteHeader);
    if (cause.isEmpty()) cause = mergePalette(picture, workspace, staging);
    if (!cause.isEmpty())
        return CommandOutcome::refused(
            stepFailure(QStringLiteral("%1 could not be brought in").arg(QFileInfo(file).fileName()), cause));
    CommandOutcome outcome = committed(staging, false);
    // The 256 level is whole now, whatever the file before held of it.
    std::vector<int>& incomplete = workspace.state().incompleteLevels;
    if (outcome.ok) incomplete.erase(std::remove(incomplete.begin(), incomplete.end(), 256), incomplete.end());
    return outcome;
}

CommandOutcome importCfs(const QString& file, Workspace& workspace) {
    // Read through the header probe: only an 8-bit set of 256 is taken, and
    // its pixels from where its own header says they start.
    const HeaderFacts facts = readHeaderFacts(file);
    if (!facts.readable) return CommandOutcome::refused(cannotRead(file, {}));
    const bool eightBit = probeHeader(facts).depth == SetDepth::Palette8;
    if (!eightBit || !checkSplittable(facts).ok || facts.width != 256)
        return CommandOutcome::refused(facts.bits != 8
                                           ? QString::fromLatin1(kNotEightBitMessage)
                                           : QStringLiteral("Import CFS takes an 8 bit Extended Bitmap of 256x256; "
                                                            "%1 is not one.")
                                                 .arg(QFileInfo(file).fileName()));
    std::vector<uint8_t> bytes;
    if (!readFileBytes(file, bytes, int64_t(facts.pixelOffset) + chainPixels(256)) ||
        bytes.size() <= size_t(facts.pixelOffset))
        return CommandOutcome::refused(QStringLiteral("%1 holds no image.").arg(QFileInfo(file).fileName()));
    std::vector<uint8_t> levelHeader(bytes.begin(), bytes.begin() + kPaletteHeader);
    write32(levelHeader, kPixelOffsetAt, kPaletteHeader);
    SlotStaging staging(workspace);
    SplitReport report;
    writeLevelFiles(bytes, facts.pixelOffset, 256, 1, levelHeader, staging, report);
    if (!report.outcome.ok) return report.outcome;
    if (const QString cause = mergePalette(levelHeader, workspace, staging); !cause.isEmpty())
        return CommandOutcome::refused(
            stepFailure(QStringLiteral("%1 could not be brought in").arg(QFileInfo(file).fileName()), cause));
    CommandOutcome outcome = committed(staging, false);
    if (outcome.ok) workspace.state().incompleteLevels = report.incompleteLevels;
    if (outcome.ok && !report.missingLevels.empty()) outcome.information << report.missingNote();
    return outcome;
}

CommandOutcome newSixteenBitSet(Workspace& workspace, ImageLibrary& library, const SetOptions& options) {
    CommandOutcome outcome;
    SetState& state = workspace.state();
    const SetState before = state;
    // A new set of 256 records its own size and comes from no texture file.
    TemplateHeader& t = state.templateHeader;
    t[kWidthAt] = 0;
    t[kWidthAt + 1] = 1;
    t[kHeightAt] = 0;
    t[kHeightAt + 1] = 1;
    t[kSizeExponentAt] = uint8_t(sizeExponent(256));
    std::vector<uint8_t> file(t.begin(), t.end());
    file.resize(file.size() + 256 * 256 * 2, 0);
    const QString scratch = workspace.slotPath(ScratchSlot);
    const auto undo = [&](const QString& why) {
        state = before;
        return CommandOutcome::refused(why);
    };
    if (const CommandOutcome written = replaceFileAtomically(scratch, file); !written.ok) return undo(written.error);
    state.textureOrigin = false;
    state.takeHeader(probeHeader(scratch));
    state.largest = 256;
    SlotStaging staging(workspace);
    const SplitReport report = splitHighColour(scratch, workspace, staging);
    if (!report.outcome.ok) return undo(report.outcome.error);
    CommandOutcome chain = buildChain(workspace, library, options, staging);
    if (!chain.ok) return undo(chain.error);
    if (options.convertTo24) {
        if (const CommandOutcome converted = convertSlotsTo24(staging, library); !converted.ok)
            return undo(converted.error);
    }
    outcome = committed(staging, true);
    if (!outcome.ok) return undo(outcome.error);
    state.incompleteLevels.clear();
    StatusLines& status = workspace.status();
    status.maximum = QStringLiteral("Maximum Size - 256");
    status.loadedAs = QStringLiteral("Loaded as - Extended Bitmap");
    status.depth = QStringLiteral("--- 16 bit ---");
    status.showLine(QStringLiteral("New Bitmap"));
    return outcome;
}

namespace {

// Whether every level below the largest is still what Create Image Set,
// with these options, makes of the largest level now.
bool chainIsAsMade(Workspace& workspace, ImageLibrary& library, const SetOptions& options) {
    const int largest = workspace.state().largest;
    if (!isLevel(largest) || largest == 1) return false;
    for (int slot = slotOfLevel(largest) + 1; slot <= kLastLevelSlot; ++slot)
        if (!QFileInfo::exists(workspace.slotPath(slot))) return false;
    SlotStaging remade(workspace);
    if (!buildChain(workspace, library, options, remade).ok) return false;
    std::vector<uint8_t> made, held;
    for (int slot = slotOfLevel(largest) + 1; slot <= kLastLevelSlot; ++slot)
        if (!readFileBytes(remade.current(slot), made) || !readFileBytes(workspace.slotPath(slot), held) ||
            made != held)
            return false;
    return true;
}

}  // namespace

CommandOutcome convertCurrentImage(SetDepth target, Workspace& workspace, ImageLibrary& library,
                                   const SetOptions& options, const TextureToolRun& runTool, const QString& shownName) {
    // A chain made and left as it was is made again at the new depth from
    // the converted largest level, as Create Image Set after the conversion
    // would make it.  Its levels were made on the old depth's colours (a
    // picture brought in is a 16-bit set until a depth is chosen), and
    // converting them as they stand gives one flat colour of the largest
    // level another shade, and another palette entry, in every smaller one.
    const bool remakeChain = chainIsAsMade(workspace, library, options);
    CommandOutcome outcome;
    const QString exchange = workspace.exchangePath();
    // The tool starts from the picture the slots hold, not from its rounding
    // to the set's depth.
    const CommandOutcome written = writeSet(workspace, exchange, LevelsNeeded::FromTheLargest, SetColours::Full);
    if (!written.ok) {
        outcome.fail(written.error);
        return outcome;
    }
    const CommandOutcome ran = runTool ? runTool(exchange, target.toolMode(ToolPass::Convert))
                                       : CommandOutcome::refused(QStringLiteral("No texture tool is set."));
    if (!ran.ok) {
        outcome.fail(ran.error);
    } else if (const CommandOutcome whole = checkWholeSet(readHeaderFacts(exchange)); !whole.ok) {
        outcome.fail(
            QStringLiteral("The texture tool did not leave a whole Extended Bitmap; the set is unchanged.\n\n") +
            whole.error);
    } else {
        outcome = loadExtended(exchange, BitmapFilter, workspace, library, options, shownName);
        if (!outcome.ok && !outcome.refreshViews)
            outcome.error = QStringLiteral("The texture tool did not leave an Extended Bitmap:\n") + outcome.error;
        if (outcome.ok && remakeChain) {
            if (const CommandOutcome chain = buildChain(workspace, library, options); !chain.ok)
                outcome.fail(chain.error);
        }
    }
    Workspace::removeFile(exchange);
    return outcome;
}

TextureToolRun textureTool(const Workspace& workspace, const ToolSettings& settings) {
    return [&workspace, settings](const QString& file, ToolMode mode) {
        return runTextureTool(workspace, settings, file, mode).outcome;
    };
}

}  // namespace corvane
