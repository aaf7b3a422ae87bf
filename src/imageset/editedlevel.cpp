#include "editedlevel.h"

#include "depthpacking.h"
#include "fileaccess.h"
#include "files.h"
#include "layout.h"
#include "library.h"
#include "splitjoin.h"
#include "staging.h"
#include "workspace.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

namespace corvane {

using namespace layout;

namespace {

using Bytes = std::vector<uint8_t>;
using Rgb = uint32_t;  // 0xRRGGBB

Rgb rgbAt(const uint8_t* rgba) { return Rgb(rgba[0]) << 16 | Rgb(rgba[1]) << 8 | rgba[2]; }

// The palette of a file that starts with an 8-bit BMP's headers, as 0xRRGGBB.
std::array<Rgb, 256> paletteOf(const Bytes& file, int64_t at, int64_t entries) {
    std::array<Rgb, 256> palette{};
    for (int64_t i = 0; i < std::min<int64_t>(entries, 256); ++i) {
        const size_t e = size_t(at + 4 * i);
        palette[size_t(i)] = Rgb(byteAt(file, e + 2)) << 16 | Rgb(byteAt(file, e + 1)) << 8 | byteAt(file, e);
    }
    return palette;
}

// Rows turned bottom first, as the set stores them.
Bytes bottomFirst(const Bytes& topFirst, int edge, int bytesPerPixel) {
    const size_t row = size_t(edge) * size_t(bytesPerPixel);
    Bytes out(topFirst.size());
    for (size_t y = 0; y < size_t(edge); ++y)
        std::copy_n(topFirst.begin() + std::ptrdiff_t(y * row), row,
                    out.begin() + std::ptrdiff_t((size_t(edge) - 1 - y) * row));
    return out;
}

// Puts an RGBA level (bottom row first) on the set's palette.  A texel the
// picture made transparent (alpha below half) takes an entry the set hides:
// the one it had, or the one of its colour, when that is hidden, else the
// first hidden entry the set uses (or any hidden entry); a set that hides
// none matches it by colour.
// Any other texel keeps the index it had where that index still has its
// colour; else it takes the first entry of its colour the set uses (or any
// entry of that colour); else the nearest colour among the entries the set
// uses and shows.
struct PaletteMatch {
    Bytes indices;
    size_t nearest = 0;  // texels whose colour the palette lacks
};
PaletteMatch matchToPalette(const Bytes& rgba, const Bytes& before, const std::array<Rgb, 256>& palette,
                            const std::array<bool, 256>& used, const std::array<bool, 256>& hidden) {
    QHash<Rgb, int> exact;
    for (int pass = 0; pass < 2; ++pass)  // entries the set uses come first
        for (int i = 0; i < 256; ++i)
            if (used[size_t(i)] == (pass == 0) && !exact.contains(palette[size_t(i)]))
                exact.insert(palette[size_t(i)], i);
    QHash<Rgb, int> closest;
    const auto nearestUsed = [&](Rgb c) {
        if (auto it = closest.constFind(c); it != closest.constEnd()) return *it;
        int best = 0;
        int64_t bestDistance = std::numeric_limits<int64_t>::max();
        // A colour the palette lacks was painted to be seen: it takes no
        // entry the set hides, unless the set shows none of those it uses.
        bool anyShown = false;
        for (size_t i = 0; i < 256; ++i) anyShown |= used[i] && !hidden[i];
        for (int i = 0; i < 256; ++i) {
            if (!used[size_t(i)] || (anyShown && hidden[size_t(i)])) continue;
            const Rgb p = palette[size_t(i)];
            const int64_t dr = int64_t(c >> 16) - int64_t(p >> 16),
                          dg = int64_t(c >> 8 & 0xFF) - int64_t(p >> 8 & 0xFF),
                          db = int64_t(c & 0xFF) - int64_t(p & 0xFF);
            // Weighted roughly as the eye weighs the channels.
            const int64_t distance = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
            if (distance < bestDistance) {
                bestDistance = distance;
                best = i;
            }
        }
        closest.insert(c, best);
        return best;
    };
    int transparentEntry = -1;
    for (int pass = 0; pass < 2 && transparentEntry < 0; ++pass)  // entries the set uses come first
        for (int i = 0; i < 256 && transparentEntry < 0; ++i)
            if (hidden[size_t(i)] && (pass == 1 || used[size_t(i)])) transparentEntry = i;
    PaletteMatch match;
    const size_t count = rgba.size() / 4;
    match.indices.resize(count);
    for (size_t t = 0; t < count; ++t) {
        const Rgb c = rgbAt(rgba.data() + 4 * t);
        if (transparentEntry >= 0 && rgba[4 * t + 3] < 128) {
            const auto same = exact.constFind(c);
            match.indices[t] = t < before.size() && hidden[before[t]]              ? before[t]
                               : same != exact.constEnd() && hidden[size_t(*same)] ? uint8_t(*same)
                                                                                   : uint8_t(transparentEntry);
        } else if (t < before.size() && palette[before[t]] == c) {
            match.indices[t] = before[t];
        } else if (auto it = exact.constFind(c); it != exact.constEnd()) {
            match.indices[t] = uint8_t(*it);
        } else {
            match.indices[t] = uint8_t(nearestUsed(c));
            ++match.nearest;
        }
    }
    return match;
}

QString levelName(int edge) { return QStringLiteral("%1x%1").arg(edge); }

}  // namespace

LevelIntake takeEditedLevel(Workspace& workspace, ImageLibrary& library, const SetOptions& options, int slot,
                            const QString& picture) {
    LevelIntake intake;
    const SetState& state = workspace.state();
    const int edge = levelOfSlot(slot);
    const QString name = QFileInfo(picture).fileName();
    if (slot < kFirstLevelSlot || slot > kLastLevelSlot || !isLevel(state.largest) || edge > state.largest) {
        intake.outcome.fail(QStringLiteral("The set has no %1 level to take %2 into.").arg(levelName(edge), name));
        return intake;
    }
    Bytes header;
    if (!readFileBytes(workspace.slotPath(HeaderSlot), header)) {
        intake.outcome.fail(QStringLiteral("There is no image set to take %1 into.").arg(name));
        return intake;
    }
    // A file that ends before its last row is a save still under way, or one
    // that failed: the library would fill the rows it lacks, and the level
    // would silently lose them.  The paint program's next save is taken.
    if (const std::optional<CutShortRows> rows = cutShortBmpRows(picture)) {
        intake.outcome.fail(QStringLiteral("%1 ends after %2 of its %3 rows; it was not taken.")
                                .arg(name)
                                .arg(rows->whole)
                                .arg(rows->height));
        return intake;
    }
    int width = edge, height = edge, bits = 0;
    Bytes rgba;
    if (!readPictureRgba(picture, width, height, bits, rgba, nullptr, edge)) {
        intake.outcome.fail(width > 0 && height > 0 && (width != edge || height != edge)
                                ? QStringLiteral("%1 is %2x%3 now; the level it came from is %4. It was not taken.")
                                      .arg(name)
                                      .arg(width)
                                      .arg(height)
                                      .arg(levelName(edge))
                                : QStringLiteral("%1 is not a picture Corvane can read; it was not taken.").arg(name));
        return intake;
    }
    rgba = bottomFirst(rgba, edge, 4);
    Bytes before;
    readFileBytes(workspace.slotPath(slot), before);

    SlotStaging staging(workspace);
    Bytes level;
    QString note;
    if (!state.depth.highColour()) {
        // Level files carry the set's headers and palette; their pixels start at 1078.
        Bytes levelHeader(header.begin(), header.begin() + std::min<std::ptrdiff_t>(kPaletteHeader, header.size()));
        levelHeader.resize(kPaletteHeader, 0);
        write32(levelHeader, kPixelOffsetAt, kPaletteHeader);
        const std::array<Rgb, 256> palette = paletteOf(header, kPaletteAt, kPaletteEntries);
        std::array<bool, 256> used{};
        for (int e = state.largest; e >= 1; e /= 2) {
            Bytes file;
            if (!readFileBytes(workspace.levelPath(e), file)) continue;
            for (uint8_t i : packedLevel(file, kPaletteHeader, e, 1)) used[i] = true;
        }
        const Bytes beforeIndices = before.empty() ? Bytes() : packedLevel(before, kPaletteHeader, edge, 1);
        // Entries made wholly transparent; a palette with no levels at all
        // has none (its colours are all opaque).
        std::array<bool, 256> hidden{};
        bool anyLevels = false;
        for (size_t i = 0; i < 256; ++i) anyLevels |= byteAt(header, kPaletteAt + 4 * i + 3) != 0;
        for (size_t i = 0; i < 256 && anyLevels; ++i) hidden[i] = byteAt(header, kPaletteAt + 4 * i + 3) == 0;
        const PaletteMatch match = matchToPalette(rgba, beforeIndices, palette, used, hidden);
        level = levelFile(levelHeader, edge, 1, match.indices);

        Bytes returned;
        readFileBytes(picture, returned, kPaletteHeader + 1024);
        const HeaderFacts facts = readHeaderFacts(returned.data(), returned.size());
        // One short line for the status: what most needs saying.
        if (match.nearest > 0) note = QStringLiteral("%1 texels took the palette's nearest colour").arg(match.nearest);
        else if (facts.bits != 8) note = QStringLiteral("full colour put on the set's palette");
        else if (paletteOf(returned, facts.paletteAt, facts.paletteEntries) != palette)
            note = QStringLiteral("colours matched to the set's palette");
    } else {
        const SetDepth depth = state.depth;
        const bool withAlpha = depth.keepsAlpha();
        const bool nibbles = depth == SetDepth::Argb4444;
        const int headerLength = state.headerLength();
        Bytes levelHeader(header.begin(), header.begin() + std::min<std::ptrdiff_t>(headerLength, header.size()));
        levelHeader.resize(size_t(headerLength), 0);
        write32(levelHeader, kPixelOffsetAt, uint32_t(headerLength));

        // A level that brings no transparency of its own (a 24-bit file, or
        // every texel opaque) keeps the set's, as the join would save it.
        const size_t texels = size_t(edge) * size_t(edge);
        bool ownAlpha = false;
        for (size_t t = 0; t < texels && !ownAlpha; ++t) ownAlpha = rgba[4 * t + 3] != 255;
        Bytes alpha;
        readFileBytes(workspace.slotPath(AlphaSlot), alpha);
        const size_t alphaAt = size_t(levelStart(state.largest, edge, 1, 0));
        if (withAlpha) {
            const uint8_t opaque = depth.opaqueAlpha();
            alpha.resize(size_t(chainPixels(state.largest)), opaque);
            uint8_t* kept = alpha.data() + alphaAt;
            bool keptTransparency = false, allZero = true;
            for (size_t t = 0; t < texels; ++t) {
                uint8_t& a = rgba[4 * t + 3];
                if (ownAlpha) {
                    kept[t] = nibbles ? uint8_t(((a * 15 + 127) / 255) << 4) : a;
                    continue;
                }
                keptTransparency = keptTransparency || kept[t] != opaque;
                allZero = allZero && kept[t] == 0;
                a = nibbles ? uint8_t((kept[t] >> 4) * 17) : kept[t];
            }
            // (A 32-bit set whose fourth bytes are all 0 never used them.)
            if (keptTransparency && !(depth == SetDepth::Argb32 && allZero))
                note = QStringLiteral("keeps the set's transparency");
        }
        const int bytesPerPixel = depth.bytesPerTexel();
        Bytes pixels(texels * size_t(bytesPerPixel));
        if (depth == SetDepth::Argb32) {
            for (size_t t = 0; t < texels; ++t) {
                const uint8_t* p = rgba.data() + 4 * t;
                std::copy_n(std::array<uint8_t, 4>{p[2], p[1], p[0], p[3]}.begin(), 4,
                            pixels.begin() + std::ptrdiff_t(4 * t));
            }
        } else {
            quor::packLevel(packedFormOf(depth), rgba.data(), texels, pixels.data());
        }
        level = levelFile(levelHeader, edge, bytesPerPixel, pixels);
        if (withAlpha && ownAlpha) {
            Bytes alphaBefore;
            readFileBytes(workspace.slotPath(AlphaSlot), alphaBefore);
            if (const QString cause =
                    alphaBefore == alpha ? QString() : replaceWorkFile(staging.path(AlphaSlot), alpha);
                !cause.isEmpty()) {
                intake.outcome.fail(stepFailure(QStringLiteral("The alpha of the set could not be kept"), cause));
                return intake;
            }
            intake.changed = alphaBefore != alpha;
        }
    }

    if (CommandOutcome written = replaceFileAtomically(staging.path(slot), level); !written.ok) {
        intake.outcome.fail(written.error);
        return intake;
    }
    // Shown as the rest of the set is shown.
    if (state.depth.highColour() && (options.convertTo24 || state.headerSize != 0)) {
        if (const CommandOutcome converted = convertSlotsTo24(staging, library); !converted.ok) {
            intake.outcome.fail(converted.error);
            return intake;
        }
    }
    Bytes staged;
    readFileBytes(staging.current(slot), staged);
    intake.changed = intake.changed || staged != before;
    if (!intake.changed) return intake;  // the staging removes what it made
    if (CommandOutcome committed = staging.commit(false); !committed.ok) {
        intake.outcome.fail(committed.error);
        intake.changed = false;
        return intake;
    }
    intake.outcome.refreshViews = true;
    if (!note.isEmpty()) intake.note = QStringLiteral("%1 level: %2").arg(levelName(edge), note);
    return intake;
}

}  // namespace corvane
