#include "setcommands.h"

#include "fileaccess.h"
#include "files.h"
#include "depthpacking.h"
#include "library.h"
#include "splitjoin.h"
#include "staging.h"
#include "workspace.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

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

QString libraryFailure(const QString& step, ImageLibrary& library) {
    return stepFailure(step, library.lastError().reason());
}

CommandOutcome convertSlotsTo24(SlotStaging& staging, ImageLibrary& library) {
    for (int slot = kFirstLevelSlot; slot <= kLastLevelSlot; ++slot) {
        if (!staging.staged(slot)) continue;
        const QString path = staging.path(slot);
        if (!library.anyToBmp(path, path))
            return CommandOutcome::refused(libraryFailure(
                QStringLiteral("The %1x%1 level could not be converted for display").arg(levelOfSlot(slot)), library));
    }
    return {};
}

CommandOutcome stageLoad(const QString& path, Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                         SlotStaging& staging) {
    CommandOutcome outcome;
    SetState& state = workspace.state();
    const SplitReport report =
        state.depth.highColour() ? splitHighColour(path, workspace, staging) : split8(path, workspace, staging);
    if (!report.outcome.ok) return report.outcome;
    // A plain picture holds its largest level only; that is no fault, the
    // user builds the rest with Create Image Set.
    const bool plainPicture =
        report.levelsWritten == 1 && !report.missingLevels.empty() && report.missingLevels.front() != state.largest;
    if (!report.missingLevels.empty() && !plainPicture) outcome.information << report.missingNote();
    state.incompleteLevels = report.incompleteLevels;

    if (state.depth.highColour() && (options.convertTo24 || state.headerSize != 0)) {
        if (const CommandOutcome converted = convertSlotsTo24(staging, library); !converted.ok) {
            outcome.fail(converted.error);
            return outcome;
        }
    }
    if (QString cause; state.depth.keepsAlpha() && !extractAlpha(path, staging, &cause)) {
        outcome.fail(stepFailure(QStringLiteral("The alpha of the set could not be kept"), cause));
        return outcome;
    }
    if (!state.depth.highColour()) outcome.readPalette = true;
    return outcome;
}

namespace {

void showDepth(Workspace& workspace) {
    const SetDepth depth = workspace.state().depth;
    StatusLines& status = workspace.status();
    if (depth == SetDepth::Argb32) status.depth = QLatin1String(depth.statusText());
    else status.depth += QLatin1String(depth.statusText());
}

}  // namespace

CommandOutcome loadStep(const QString& path, Workspace& workspace, ImageLibrary& library, const SetOptions& options) {
    SlotStaging staging(workspace);
    CommandOutcome outcome = stageLoad(path, workspace, library, options, staging);
    if (!outcome.ok) return outcome;
    if (const CommandOutcome committed = staging.commit(true); !committed.ok) {
        outcome.fail(committed.error);
        outcome.readPalette = false;
        return outcome;
    }
    outcome.refreshViews = true;
    showDepth(workspace);
    return outcome;
}

bool rawTextureConversion(const QString& texture, Workspace& workspace, ImageLibrary& library) {
    std::vector<uint8_t> bytes;
    if (!readFileBytes(texture, bytes, kRawTextureSize) || bytes.size() != size_t(kRawTextureSize)) return false;
    std::vector<uint8_t> flipped(bytes.size());
    for (size_t row = 0; row < 256; ++row)
        std::copy_n(bytes.begin() + std::ptrdiff_t(row * 256), 256,
                    flipped.begin() + std::ptrdiff_t((255 - row) * 256));
    const QString raw = workspace.flippedRawPath();
    bool ok = replaceFileAtomically(raw, flipped).ok && library.anyToBmp(raw, workspace.loadedCopyPath());
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
        const int64_t length = regularFileLength(chosen);
        if (length < 0) return refuse(QStringLiteral("The file %1 cannot be opened.").arg(chosen));
        if (length == kRawTextureSize) {
            outcome.information << QString::fromLatin1(kRawTextureMessage);
            if (!rawTextureConversion(chosen, workspace, library))
                return refuse(QStringLiteral("The texture %1 could not be converted.").arg(info.fileName()));
        } else {
            Workspace::removeFile(loadedCopy);
            if (std::vector<uint8_t> bytes;
                !readFileBytes(chosen, bytes) || !replaceFileAtomically(loadedCopy, bytes).ok)
                return refuse(QStringLiteral("The file %1 cannot be read.").arg(info.fileName()));
            outcome.information << QString::fromLatin1(kBitmapTextureMessage);
        }
        path = loadedCopy;
    }

    // Everything is checked before the workspace is touched.
    const HeaderFacts facts = readHeaderFacts(path);
    if (const CommandOutcome splittable = checkSplittable(facts); !splittable.ok) return refuse(splittable.error);
    state.takeHeader(probeHeader(facts));
    int width = 0, height = 0, bits = 0;
    state.largest = library.check(path, width, height, bits) && isLevel(width) ? width : facts.width;

    StatusLines& status = workspace.status();
    status.showFile(shownName.isEmpty() ? QFileInfo(chosen).fileName() : shownName);
    status.maximum = QStringLiteral("Maximum Size - %1").arg(state.largest);
    status.loadedAs = QStringLiteral("Loaded as - Extended Bitmap");
    status.depth = state.recordCount == 1 || state.standardHeader() ? QStringLiteral("AVTX") : QStringLiteral(" ");

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

CommandOutcome saveSet(const Workspace& workspace, const QString& output) { return writeSet(workspace, output); }

ToolMode textureToolMode(const Workspace& workspace) { return workspace.state().depth.toolMode(ToolPass::Levels); }

namespace {

// The alpha slot keeps one byte a texel for every level of a 32-bit or
// 4-4-4-4 set; the levels just made get the alpha they were made with, so
// the slot and the level files never disagree.
CommandOutcome stageAlphaOfLevels(Workspace& workspace, ImageLibrary& library, SlotStaging& staging, int fromSlot) {
    const SetState& state = workspace.state();
    std::vector<uint8_t> alpha;
    readFileBytes(staging.current(AlphaSlot), alpha);
    alpha.resize(size_t(chainPixels(state.largest)), state.depth.opaqueAlpha());
    // A 32-bit set whose fourth bytes are all 0 never used them for alpha
    // (it shows opaque); its new levels leave them 0 too.
    const size_t top = size_t(state.largest) * size_t(state.largest);
    const bool unusedFourthBytes =
        state.depth == SetDepth::Argb32 &&
        std::all_of(alpha.begin(), alpha.begin() + std::ptrdiff_t(top), [](uint8_t a) { return a == 0; });
    std::vector<uint8_t> rgba;
    for (int slot = fromSlot; slot <= kLastLevelSlot; ++slot) {
        const int edge = levelOfSlot(slot);
        int width = edge, height = edge, bits = 0;
        if (!library.readRgba(staging.current(slot), width, height, bits, rgba) || width != edge || height != edge)
            return CommandOutcome::refused(
                libraryFailure(QStringLiteral("The %1x%1 level cannot be read back").arg(edge), library));
        uint8_t* to = alpha.data() + levelStart(state.largest, edge, 1, 0);
        for (size_t i = 0; i < size_t(edge) * size_t(edge); ++i) {
            // Levels are kept bottom row first, as in the set.
            const size_t row = size_t(edge) - 1 - i / size_t(edge), column = i % size_t(edge);
            const uint8_t a = rgba[(row * size_t(edge) + column) * 4 + 3];
            to[i] = state.depth == SetDepth::Argb4444 ? uint8_t(((a * 15 + 127) / 255) << 4)
                    : unusedFourthBytes               ? uint8_t(0)
                                                      : a;
        }
    }
    if (const QString cause = replaceWorkFile(staging.path(AlphaSlot), alpha); !cause.isEmpty())
        return CommandOutcome::refused(stepFailure(QStringLiteral("The alpha of the set could not be kept"), cause));
    return {};
}

// The largest level of an 8-bit set as the set shows it: with the
// transparency levels of the header slot, where Save Palette keeps them, in
// place of those its own file was split with.  A copy in the work folder
// when they differ (removed by the caller), else the level itself; empty,
// with the cause, when the copy cannot be written.
QString largestWithSetLevels(const Workspace& workspace, const QString& largestLevel, QString& cause) {
    std::vector<uint8_t> header, level;
    if (!readFileBytes(workspace.slotPath(HeaderSlot), header, kPaletteHeader) ||
        header.size() < size_t(kPaletteHeader) || !readFileBytes(largestLevel, level))
        return largestLevel;
    const HeaderFacts facts = readHeaderFacts(level.data(), level.size());
    if (facts.bits != 8 || facts.paletteEntries != kPaletteEntries ||
        level.size() < size_t(facts.paletteAt) + 4 * size_t(kPaletteEntries))
        return largestLevel;
    bool differ = false;
    for (size_t i = 0; i < size_t(kPaletteEntries); ++i) {
        uint8_t& to = level[size_t(facts.paletteAt) + 4 * i + 3];
        const uint8_t from = header[size_t(kPaletteAt) + 4 * i + 3];
        differ |= to != from;
        to = from;
    }
    if (!differ) return largestLevel;
    const QString copy = workspace.workDir() + QStringLiteral("chain.bmp");
    cause = replaceWorkFile(copy, level);
    return cause.isEmpty() ? copy : QString();
}

}  // namespace

CommandOutcome buildChain(Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                          SlotStaging& staging) {
    CommandOutcome outcome;
    const SetState& state = workspace.state();
    const int largest = state.largest;
    if (!isLevel(largest) || !QFileInfo::exists(staging.current(slotOfLevel(largest)))) {
        outcome.fail(QStringLiteral("There is no image to make the set from; load one first."));
        return outcome;
    }
    if (largest == 1) return outcome;
    const int k = slotOfLevel(largest);
    const auto failed = [&](const QString& step, int edge) {
        outcome.fail(libraryFailure(step.arg(edge), library));
        return outcome;
    };
    // An 8-bit set's levels are made knowing which of its colours are
    // transparent, so that a cut-out's background stays transparent.
    QString cause;
    const QString largestLevel =
        state.depth.highColour() ? staging.current(k) : largestWithSetLevels(workspace, staging.current(k), cause);
    if (largestLevel.isEmpty()) {
        outcome.fail(stepFailure(QStringLiteral("The %1x%1 level could not be read").arg(largest), cause));
        return outcome;
    }
    struct RemoveCopy {
        QString path, original;
        ~RemoveCopy() {
            if (path != original) Workspace::removeFile(path);
        }
    } removeCopy{largestLevel, staging.current(k)};

    // A 16-bit set's levels are made on its grid of colours, from the
    // largest level as it will be saved, so each level keeps the light of
    // the saved largest level, not of colours the file cannot hold.
    const int grid = gridOf(state.depth);
    // An 8-bit level is cut: each texel is transparent or not.  A cut that
    // keeps the largest level's coverage keeps a fence a fence in the
    // distance, where a plain cut at half the average fades it away; a
    // full-colour set keeps its soft alpha unless asked.
    const bool keepCoverage = options.keepCoverage || !state.depth.highColour();

    // Every level straight from the largest in full colour, never from a
    // smaller level that has already lost colours to the palette.
    for (int i = k + 1; i <= kLastLevelSlot; ++i) {
        const int edge = levelOfSlot(i);
        const QString level = staging.path(i);
        if (!library.resizeFull(largestLevel, level, edge, edge, keepCoverage, grid))
            return failed(QStringLiteral("The %1x%1 level could not be made"), edge);
        if (state.depth.highColour()) continue;
        // 8-bit: smoothed in full colour (softened, lightened from 64 down,
        // sharpened), then put on the palette once, using only the colours the
        // largest level uses, transparent ones where the level is less than
        // half opaque.
        if (options.smooth8 && i >= k + 2) {
            const bool smoothed = library.filter(level, level, Filter::Soften) &&
                                  (i < 4 || library.adjust(level, level, {.brightness = options.lightening})) &&
                                  library.filter(level, level, Filter::Sharpen);
            if (!smoothed) return failed(QStringLiteral("The %1x%1 level could not be smoothed"), edge);
        }
        if (!library.remapUsed(level, level, largestLevel))
            return failed(QStringLiteral("The %1x%1 level could not be put on the palette"), edge);
    }
    if (state.depth.keepsAlpha()) {
        if (CommandOutcome staged = stageAlphaOfLevels(workspace, library, staging, k + 1); !staged.ok) {
            outcome.fail(staged.error);
            return outcome;
        }
    }
    return outcome;
}

CommandOutcome buildChain(Workspace& workspace, ImageLibrary& library, const SetOptions& options) {
    SlotStaging staging(workspace);
    CommandOutcome outcome = buildChain(workspace, library, options, staging);
    if (outcome.ok) {
        if (const CommandOutcome committed = staging.commit(false); !committed.ok) outcome.fail(committed.error);
    }
    return outcome;
}

namespace {

// The texture tool's pass: the set written out, rewritten by the tool, and
// its output read back like any loaded file.  Stages the set it made.
CommandOutcome textureToolPass(Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                               const TextureToolRun& runTool, SlotStaging& staging) {
    CommandOutcome outcome;
    const QString exchange = workspace.exchangePath();
    struct RemoveAtEnd {
        QString path;
        ~RemoveAtEnd() { Workspace::removeFile(path); }
    } removeExchange{exchange};

    // The tool makes any smaller level the set does not have yet.
    const CommandOutcome written = writeSet(workspace, exchange, LevelsNeeded::FromTheLargest, SetColours::Full);
    if (!written.ok) {
        outcome.fail(written.error);
        return outcome;
    }
    if (!runTool) {
        outcome.fail(QStringLiteral("No texture tool is set. Choose it with Locate ImageTool."));
        return outcome;
    }
    if (const CommandOutcome ran = runTool(exchange, textureToolMode(workspace)); !ran.ok) {
        outcome.fail(
            QStringLiteral("The texture tool did not process the set; the set is unchanged.\n\n%1").arg(ran.error));
        return outcome;
    }
    // The tool may write another header than the set had: read what it wrote.
    const SetState before = workspace.state();
    const HeaderFacts facts = readHeaderFacts(exchange);
    const HeaderProbe probe = probeHeader(facts);
    SetState probed = before;
    probed.takeHeader(probe);
    const bool sameDepth = probe.depth == before.depth;
    if (!sameDepth || !checkWholeSet(facts).ok || facts.width != before.largest) {
        outcome.fail(
            QStringLiteral("The texture tool did not leave a complete set of the same depth and size; "
                           "the set is unchanged."));
        return outcome;
    }
    workspace.state() = probed;
    workspace.state().largest = before.largest;
    return stageLoad(exchange, workspace, library, options, staging);
}

}  // namespace

CommandOutcome createImageSet(Workspace& workspace, ImageLibrary& library, const SetOptions& options,
                              const TextureToolRun& runTool, SlotStaging* outerStaging) {
    const SetState stateBefore = workspace.state();
    const StatusLines statusBefore = workspace.status();
    SlotStaging ownStaging(workspace);
    SlotStaging& staging = outerStaging ? *outerStaging : ownStaging;
    CommandOutcome outcome;
    const auto undo = [&](CommandOutcome failed) {
        workspace.state() = stateBefore;
        workspace.status() = statusBefore;
        failed.readPalette = false;
        failed.refreshViews = false;
        return failed;
    };
    if (!isLevel(stateBefore.largest) || !QFileInfo::exists(staging.current(slotOfLevel(stateBefore.largest)))) {
        outcome.fail(QStringLiteral("There is no image to make the set from; load one first."));
        return outcome;
    }
    bool toolPassed = false;
    if (options.useImageTool) {
        outcome = textureToolPass(workspace, library, options, runTool, staging);
        if (!outcome.ok) return undo(outcome);
        toolPassed = true;
    }
    const CommandOutcome chain = buildChain(workspace, library, options, staging);
    if (!chain.ok) return undo(chain);
    if (CommandOutcome committed = staging.commit(toolPassed); !committed.ok) return undo(committed);
    if (toolPassed) {
        workspace.status().depth.clear();
        showDepth(workspace);
    }
    // Every level is the set's own now.
    workspace.state().incompleteLevels.clear();
    outcome.refreshViews = true;
    return outcome;
}

bool paletteCommandsAvailable(const Workspace& workspace) {
    return workspace.state().largest > 0 && !workspace.state().depth.highColour();
}

bool replaceCommandsAvailable(const Workspace& workspace) {
    return paletteCommandsAvailable(workspace) && workspace.state().largest == 256;
}

}  // namespace corvane
