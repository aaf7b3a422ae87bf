#include "splitjoin.h"

#include "committer.h"
#include "depthpacking.h"
#include "fileaccess.h"
#include "files.h"
#include "library.h"
#include "pixelpack.h"
#include "staging.h"
#include "workspace.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <optional>

namespace corvane {

using namespace layout;

namespace {


std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
    std::vector<uint8_t> out(length, 0);
    if (from < bytes.size()) {
        const size_t n = std::min(length, bytes.size() - from);
        std::copy_n(bytes.begin() + std::ptrdiff_t(from), n, out.begin());
    }
    return out;
}

void setEdge(std::vector<uint8_t>& header, int edge) {
    write32(header, kWidthAt, uint32_t(edge));
    write32(header, kHeightAt, uint32_t(edge));
}

}  // namespace

std::vector<uint8_t> levelFile(std::vector<uint8_t> header, int edge, int bytesPerPixel,
                               const std::vector<uint8_t>& packed) {
    // Every row is padded to four bytes and the size fields describe this
    // file, so any BMP reader (and any paint program) takes it; the join
    // reads padded rows as readily as packed ones.
    const size_t rowBytes = size_t(edge) * size_t(bytesPerPixel);
    const size_t stride = (rowBytes + 3) & ~size_t(3);
    setEdge(header, edge);
    const size_t pixelsAt = header.size();
    std::vector<uint8_t> file = std::move(header);
    file.resize(pixelsAt + stride * size_t(edge), 0);
    for (size_t row = 0; row < size_t(edge); ++row) {
        const size_t from = row * rowBytes;
        if (from >= packed.size()) break;
        std::copy_n(packed.begin() + std::ptrdiff_t(from), std::min(rowBytes, packed.size() - from),
                    file.begin() + std::ptrdiff_t(pixelsAt + row * stride));
    }
    if (file.size() >= size_t(kImageSizeAt + 4)) {
        write32(file, kFileSizeAt, uint32_t(file.size()));
        write32(file, kImageSizeAt, uint32_t(stride * size_t(edge)));
    }
    return file;
}

// Levels the file ends before are listed, not invented; a level cut short is
// written with the rest zero so it can still be seen and edited.
void writeLevelFiles(const std::vector<uint8_t>& file, size_t pixelsAt, int largest, int bytesPerPixel,
                     std::vector<uint8_t> levelHeader, SlotStaging& staging, SplitReport& report) {
    size_t at = pixelsAt;
    report.largest = largest;
    for (int edge = largest; edge >= 1; edge /= 2) {
        const size_t need = size_t(edge) * size_t(edge) * size_t(bytesPerPixel);
        const size_t available = at < file.size() ? file.size() - at : 0;
        if (available < need) report.missingLevels.push_back(edge);
        if (available == 0) continue;
        if (available < need) report.incompleteLevels.push_back(edge);
        const std::vector<uint8_t> level = levelFile(levelHeader, edge, bytesPerPixel, slice(file, at, need));
        at += need;
        ++report.levelsWritten;
        const QString levelPath = staging.path(slotOfLevel(edge));
        if (const QString cause = writeWorkFile(levelPath, level); !cause.isEmpty()) {
            report.outcome.fail(stepFailure(
                QStringLiteral("The %1x%1 level could not be written to the work folder").arg(edge), cause));
            return;
        }
    }
}

namespace {

// Reads and checks the file before anything in the workspace is touched.
std::optional<std::vector<uint8_t>> readForSplit(const QString& path, int64_t headerLength, int bytesPerPixel,
                                                 HeaderFacts& facts, SplitReport& report) {
    facts = readHeaderFacts(path);
    if (CommandOutcome splittable = checkSplittable(facts); !splittable.ok) {
        report.outcome = splittable;
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, bytes, headerLength + chainPixels(facts.width) * bytesPerPixel)) {
        report.outcome.fail(QStringLiteral("The file %1 cannot be read.").arg(path));
        return std::nullopt;
    }
    if (int64_t(bytes.size()) <= headerLength) {
        report.outcome.fail(QStringLiteral("The file ends with its header; it holds no image."));
        return std::nullopt;
    }
    return bytes;
}

int bytesPerPixelOf(int bits) { return bits == 24 ? 3 : bits == 32 ? 4 : bits == 16 ? 2 : 1; }

}  // namespace

// Rows padded or packed, whichever the file's length allows.
std::vector<uint8_t> packedLevel(const std::vector<uint8_t>& file, size_t start, int edge, int bytesPerPixel) {
    const size_t rowBytes = size_t(edge) * size_t(bytesPerPixel);
    const size_t padded = (rowBytes + 3) & ~size_t(3);
    const size_t available = start < file.size() ? file.size() - start : 0;
    const size_t stride = available >= padded * size_t(edge) ? padded : rowBytes;
    std::vector<uint8_t> out;
    out.reserve(rowBytes * size_t(edge));
    for (int row = 0; row < edge; ++row) {
        const std::vector<uint8_t> r = slice(file, start + size_t(row) * stride, rowBytes);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

namespace {

CommandOutcome finish(std::vector<uint8_t>& out, const JoinOutput& output) {
    if (out.size() >= size_t(kFileSizeAt + 4)) write32(out, kFileSizeAt, uint32_t(out.size()));
    if (output.bytes) {
        *output.bytes = std::move(out);
        return {};
    }
    if (output.handOff && output.handOff->takes(output.path)) {
        // Written here; flushed and put in place on the committer's thread.
        WrittenReplacement temp = writeReplacement(output.path, out);
        if (temp.file) output.handOff->hand(std::move(temp.file), output.path, savedSetProblem);
        return temp.outcome;
    }
    return replaceFileAtomically(output.path, out);
}

// The header slot, when the set is whole: a set missing a level is never
// written, since the file would end early and lose its smaller levels.
std::optional<std::vector<uint8_t>> headerSlot(const Workspace& workspace, LevelsNeeded needed,
                                               CommandOutcome& result) {
    std::vector<uint8_t> slot0;
    if (!isLevel(workspace.state().largest) || !readFileBytes(workspace.slotPath(HeaderSlot), slot0)) {
        result.fail(QStringLiteral("There is no image set to save."));
        return std::nullopt;
    }
    const std::vector<int> missing = missingLevels(workspace);
    if (!missing.empty() && (needed == LevelsNeeded::All || missing.front() == workspace.state().largest)) {
        result.fail(missingLevelsMessage(missing));
        return std::nullopt;
    }
    // Nor is one whose file ended inside a level: the zeros standing in for
    // the rest would be saved as if they were the picture.
    if (needed == LevelsNeeded::All && !workspace.state().incompleteLevels.empty()) {
        const std::vector<int> incomplete = levelsNotWhole(workspace);
        result.fail(QStringLiteral("The set cannot be saved: the file it came from ended inside its %1 %2.\n\n"
                                   "Use Create Image Set to make the smaller levels again.")
                        .arg(levelNames(incomplete),
                             incomplete.size() == 1 ? QStringLiteral("level") : QStringLiteral("levels")));
        return std::nullopt;
    }
    return slot0;
}

}  // namespace

QString SplitReport::missingNote() const {
    if (missingLevels.empty()) return {};
    if (largest > 0 && missingLevels.front() == largest) {
        // Create Image Set makes the smaller levels from the largest, which
        // it cannot make again: say so, not that it mends everything.
        const std::vector<int> smaller(missingLevels.begin() + 1, missingLevels.end());
        return QStringLiteral(
                   "The file ends inside its %1x%1 level: the rest of that level is black%2.\n\n"
                   "Create Image Set makes the smaller levels again from the %1x%1 level as it now is.")
            .arg(largest)
            .arg(smaller.empty() ? QString()
                                 : QStringLiteral(", and these levels are missing: %1").arg(levelNames(smaller)));
    }
    return QStringLiteral(
               "The file ends early: these levels are missing or incomplete: %1.\n\n"
               "Use Create Image Set to rebuild them.")
        .arg(levelNames(missingLevels));
}

std::vector<int> missingLevels(const Workspace& workspace) {
    std::vector<int> missing;
    const int largest = workspace.state().largest;
    if (!isLevel(largest)) return missing;
    for (int edge = largest; edge >= 1; edge /= 2)
        if (!QFileInfo(workspace.levelPath(edge)).isFile()) missing.push_back(edge);
    return missing;
}

std::vector<int> levelsNotWhole(const Workspace& workspace) {
    std::vector<int> levels = missingLevels(workspace);
    for (int edge : workspace.state().incompleteLevels)
        if (edge <= workspace.state().largest && std::find(levels.begin(), levels.end(), edge) == levels.end())
            levels.push_back(edge);
    std::sort(levels.begin(), levels.end(), std::greater<>());
    return levels;
}

QString levelNames(const std::vector<int>& levels) {
    QStringList names;
    for (int edge : levels) names << QStringLiteral("%1x%1").arg(edge);
    return names.join(", ");
}

QString missingLevelsMessage(const std::vector<int>& missing) {
    return QStringLiteral(
               "The set cannot be saved: it lacks the %1 %2.\n\n"
               "Use Create Image Set to make the smaller levels first.")
        .arg(levelNames(missing), missing.size() == 1 ? QStringLiteral("level") : QStringLiteral("levels"));
}

SplitReport split8(const QString& path, Workspace& workspace, SlotStaging& staging) {
    SplitReport report;
    SetState& state = workspace.state();
    const int64_t headerPart = kPaletteHeader + kRecordLength * int64_t(state.recordCount);
    HeaderFacts facts;
    const auto file = readForSplit(path, headerPart, 1, facts, report);
    if (!file) return report;

    if (state.recordCount == 1) {
        const size_t dataAt = kPaletteHeader + kRecordDataOffset;
        std::copy_n(file->begin() + std::ptrdiff_t(dataAt), kRecordDataLength, state.recordData.begin());
    }
    if (const QString cause = writeWorkFile(staging.path(HeaderSlot), slice(*file, 0, size_t(headerPart)));
        !cause.isEmpty()) {
        report.outcome.fail(
            stepFailure(QStringLiteral("The set's header could not be written to the work folder"), cause));
        return report;
    }
    // Level files carry the headers and palette only, so their pixels start at 1078.
    std::vector<uint8_t> levelHeader = slice(*file, 0, kPaletteHeader);
    write32(levelHeader, kPixelOffsetAt, kPaletteHeader);
    writeLevelFiles(*file, size_t(headerPart), facts.width, 1, std::move(levelHeader), staging, report);
    return report;
}

SplitReport splitHighColour(const QString& path, Workspace& workspace, SlotStaging& staging) {
    SplitReport report;
    SetState& state = workspace.state();
    const int64_t headerLength = state.headerSize != 0 ? state.headerSize : kStandardHeader;
    const HeaderFacts peek = readHeaderFacts(path);
    const int bytesPerPixel = bytesPerPixelOf(peek.bits == 8 ? 16 : peek.bits);
    HeaderFacts facts;
    const auto file = readForSplit(path, headerLength, bytesPerPixel, facts, report);
    if (!file) return report;

    const std::vector<uint8_t> header = slice(*file, 0, size_t(headerLength));
    std::vector<uint8_t> slot0 = header;
    if (state.headerSize != 0) {
        for (int at : {kWidthAt, kWidthAt + 1, kHeightAt, kHeightAt + 1})
            state.templateHeader[size_t(at)] = header[size_t(at)];
        if (facts.bits == 24) {
            // A 24-bit file becomes a 5-6-5 set with the template header
            // (its state took the 5-6-5 depth with the header).
            state.headerSize = kStandardHeader;
            slot0.assign(state.templateHeader.begin(), state.templateHeader.end());
        }
    }
    if (const QString cause = writeWorkFile(staging.path(HeaderSlot), slot0); !cause.isEmpty()) {
        report.outcome.fail(
            stepFailure(QStringLiteral("The set's header could not be written to the work folder"), cause));
        return report;
    }
    writeLevelFiles(*file, size_t(headerLength), facts.width, bytesPerPixel, header, staging, report);
    return report;
}

bool extractAlpha(const QString& path, SlotStaging& staging, QString* cause) {
    const HeaderFacts facts = readHeaderFacts(path);
    if (!facts.readable || !isLevel(facts.width) || (facts.bits != 16 && facts.bits != 32)) return false;
    const int bpp = bytesPerPixelOf(facts.bits);
    const int64_t pixels = chainPixels(facts.width);
    std::vector<uint8_t> file;
    if (const QString why = readRegularFile(path, file, int64_t(facts.pixelOffset) + pixels * bpp); !why.isEmpty()) {
        if (cause) *cause = why;
        return false;
    }
    std::vector<uint8_t> alpha;
    alpha.reserve(size_t(pixels));
    // Alpha is the high byte's top nibble of a 4-4-4-4 word, or the fourth byte.
    for (size_t at = facts.pixelOffset + size_t(bpp) - 1; at < file.size(); at += size_t(bpp))
        alpha.push_back(bpp == 2 ? uint8_t(file[at] & 0xF0) : file[at]);
    const QString why = writeWorkFile(staging.path(AlphaSlot), alpha);
    if (cause) *cause = why;
    return why.isEmpty();
}

bool patchFileSize(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    std::vector<uint8_t> field;
    write32(field, 0, uint32_t(file.size()));
    return file.seek(kFileSizeAt) && file.write(reinterpret_cast<const char*>(field.data()), 4) == 4;
}

CommandOutcome join8(const Workspace& workspace, const JoinOutput& output, LevelsNeeded needed) {
    CommandOutcome result;
    const auto slot0 = headerSlot(workspace, needed, result);
    if (!slot0) return result;
    const SetState& state = workspace.state();
    std::vector<uint8_t> out = slice(*slot0, 0, size_t(kPaletteHeader + kRecordLength * state.recordCount));
    for (int edge = state.largest; edge >= 1; edge /= 2) {
        std::vector<uint8_t> level;
        if (needed == LevelsNeeded::FromTheLargest && !QFileInfo(workspace.levelPath(edge)).isFile()) break;
        if (!readFileBytes(workspace.levelPath(edge), level)) {
            result.fail(QStringLiteral("The %1x%1 level cannot be read.").arg(edge));
            return result;
        }
        const std::vector<uint8_t> pixels = packedLevel(level, kPaletteHeader, edge, 1);
        out.insert(out.end(), pixels.begin(), pixels.end());
    }
    return finish(out, output);
}

namespace {

// The joins of the high-colour forms: slot 0's header, then each level either
// copied as it stands (still in the set's own form) or packed from the
// picture the image library reads in its file.  A level that carries
// transparency of its own (made by Create Image Set, or saved with alpha by
// the paint program) keeps it; any other takes the alpha slot's bytes for
// its place in the chain (as many as the slot holds).
struct LevelPixels {
    std::vector<uint8_t> rgba;  // 4 bytes a texel, bottom row first as stored
    bool ownAlpha = false;
    const uint8_t* slotAlpha = nullptr;
    size_t slotAlphaCount = 0;
    size_t count() const { return rgba.size() / 4; }
};
using PackLevel = std::function<void(const LevelPixels& level, std::vector<uint8_t>& out)>;

// Where a join finds the set: the workspace's slot files, or a set held in
// memory.  `level` gives a level's file (File) or its picture with its rows
// bottom first, as the set stores them (Picture); `decode` makes the picture,
// top row first, of a file not in the set's own form.
enum class LevelRead { Missing, File, Picture, Failed };
struct JoinSource {
    const SetState& state;
    std::vector<uint8_t> slot0;
    std::vector<uint8_t> alpha;
    std::function<LevelRead(int edge, std::vector<uint8_t>& bytes)> level;
    std::function<bool(int edge, const std::vector<uint8_t>& file, std::vector<uint8_t>& topFirst)> decode;
};

// The workspace's slots as a join reads them; nothing when the set is not
// whole (see headerSlot).
std::optional<JoinSource> slotsOf(const Workspace& workspace, LevelsNeeded needed, CommandOutcome& result) {
    auto slot0 = headerSlot(workspace, needed, result);
    if (!slot0) return std::nullopt;
    JoinSource source{workspace.state(), std::move(*slot0), {}, {}, {}};
    readFileBytes(workspace.slotPath(AlphaSlot), source.alpha);
    source.level = [&workspace, needed](int edge, std::vector<uint8_t>& bytes) {
        const QString file = workspace.levelPath(edge);
        if (needed == LevelsNeeded::FromTheLargest && !QFileInfo(file).isFile()) return LevelRead::Missing;
        return readFileBytes(file, bytes) ? LevelRead::File : LevelRead::Failed;
    };
    source.decode = [&workspace](int edge, const std::vector<uint8_t>& file, std::vector<uint8_t>& topFirst) {
        // A BMP, as the library and most paint programs write it, is read from
        // the bytes in hand; anything else the paint program may have left there
        // through the library's whole reader.
        int width = 0, height = 0, bits = 0;
        return decodePictureRgba(file, edge, bits, topFirst) ||
               readPictureRgba(workspace.levelPath(edge), width, height, bits, topFirst, nullptr, edge);
    };
    return source;
}

// A set held in memory as a join reads it: every level a picture.
JoinSource heldSource(const HeldSet& set) {
    JoinSource source{set.state, set.header, {}, {}, {}};
    source.level = [&set](int edge, std::vector<uint8_t>& bottomFirst) {
        const size_t at = size_t(levelStart(set.state.largest, edge, 4, 0));
        const size_t row = size_t(edge) * 4, count = row * size_t(edge);
        if (at + count > set.rgba.size()) return LevelRead::Failed;
        bottomFirst.resize(count);
        const uint8_t* from = set.rgba.data() + at;
        for (size_t y = 0; y < size_t(edge); ++y)
            std::copy_n(from + (size_t(edge) - 1 - y) * row, row, bottomFirst.data() + y * row);
        return LevelRead::Picture;
    };
    source.decode = [](int, const std::vector<uint8_t>&, std::vector<uint8_t>&) { return false; };
    return source;
}

CommandOutcome joinHighColour(const JoinSource& source, const JoinOutput& output, int headerLength, int bytesPerPixel,
                              const std::function<bool(const std::vector<uint8_t>& level)>& inOwnForm,
                              const PackLevel& pack) {
    CommandOutcome result;
    const SetState& state = source.state;
    std::vector<uint8_t> out = slice(source.slot0, 0, size_t(headerLength));
    out.reserve(out.size() + size_t(chainPixels(state.largest)) * size_t(bytesPerPixel));
    const std::vector<uint8_t>& alpha = source.alpha;

    std::vector<uint8_t> level, picture;
    for (int edge = state.largest; edge >= 1; edge /= 2) {
        const LevelRead read = source.level(edge, level);
        if (read == LevelRead::Missing) break;
        if (read == LevelRead::Failed) {
            result.fail(QStringLiteral("The %1x%1 level cannot be read.").arg(edge));
            return result;
        }
        if (read == LevelRead::File && inOwnForm(level)) {
            const std::vector<uint8_t> pixels = packedLevel(level, size_t(headerLength), edge, bytesPerPixel);
            out.insert(out.end(), pixels.begin(), pixels.end());
            continue;
        }
        if (read == LevelRead::Picture) {
            std::swap(picture, level);
        } else if (!source.decode(edge, level, picture)) {
            result.fail(QStringLiteral("The %1x%1 level is not a picture of that size; "
                                       "use Create Image Set to make it again.")
                            .arg(edge));
            return result;
        } else {
            // Rows turned bottom first, as the set stores them, in place.
            const size_t row = size_t(edge) * 4;
            for (size_t y = 0; y < size_t(edge) / 2; ++y)
                std::swap_ranges(picture.begin() + std::ptrdiff_t(y * row),
                                 picture.begin() + std::ptrdiff_t((y + 1) * row),
                                 picture.begin() + std::ptrdiff_t((size_t(edge) - 1 - y) * row));
        }
        LevelPixels pixels;
        pixels.rgba = std::move(picture);
        for (size_t i = 3; i < pixels.rgba.size() && !pixels.ownAlpha; i += 4) pixels.ownAlpha = pixels.rgba[i] != 255;
        const size_t alphaStart = std::min(size_t(levelStart(state.largest, edge, 1, 0)), alpha.size());
        pixels.slotAlpha = alpha.data() + alphaStart;
        pixels.slotAlphaCount = alpha.size() - alphaStart;
        pack(pixels, out);
        picture = std::move(pixels.rgba);  // the next, smaller level reuses it
    }
    return finish(out, output);
}

// The joins of each form, from either kind of source.
CommandOutcome join16Of(const JoinSource& source, const JoinOutput& output) {
    const int headerLength = source.state.headerSize != 0 ? source.state.headerSize : kStandardHeader;
    return joinHighColour(
        source, output, headerLength, 2,
        [headerLength](const std::vector<uint8_t>& level) {
            return int8_t(byteAt(level, kPixelOffsetAt)) == int8_t(headerLength);
        },
        [form = packedFormOf(source.state.depth)](const LevelPixels& level, std::vector<uint8_t>& out) {
            const size_t start = out.size();
            out.resize(start + 2 * level.count());
            quor::packLevel(form, level.rgba.data(), level.count(), out.data() + start,
                            level.ownAlpha ? nullptr : level.slotAlpha, level.ownAlpha ? 0 : level.slotAlphaCount);
        });
}

CommandOutcome join32Of(const JoinSource& source, const JoinOutput& output) {
    const int headerLength = source.state.headerSize != 0 ? source.state.headerSize : kPlainHeader;
    return joinHighColour(
        source, output, headerLength, 4,
        [headerLength](const std::vector<uint8_t>& level) {
            return byteAt(level, kBitsAt) == 32 && int8_t(byteAt(level, kPixelOffsetAt)) == int8_t(headerLength);
        },
        [](const LevelPixels& level, std::vector<uint8_t>& out) {
            for (size_t i = 0; i < level.count(); ++i) {
                const uint8_t* p = level.rgba.data() + 4 * i;
                const uint8_t a = level.ownAlpha ? p[3] : i < level.slotAlphaCount ? level.slotAlpha[i] : uint8_t(0);
                out.insert(out.end(), {p[2], p[1], p[0], a});
            }
        });
}

// A 16-bit set's levels as they stand in its slots, 24-bit (32-bit with the
// alpha of a 4-4-4-4 set), under slot 0's header made to say so (its record
// stays where readers find it).  `offGrid` tells whether any texel holds a
// value the set's own form cannot.
CommandOutcome joinFullColour(const JoinSource& source, std::vector<uint8_t>& bytes, bool& offGrid) {
    const SetState& state = source.state;
    const int headerLength = state.headerSize != 0 ? state.headerSize : kStandardHeader;
    // The full colour of a 16-bit form, and its alpha where it has one.
    const int bytesPerPixel = state.depth.keepsAlpha() ? 4 : 3;
    const quor::ByteMaps& grid = quor::nearestOnGrid(packedFormOf(state.depth));
    offGrid = false;
    const CommandOutcome result = joinHighColour(
        source, JoinOutput(bytes), headerLength, bytesPerPixel, [](const std::vector<uint8_t>&) { return false; },
        [&](const LevelPixels& level, std::vector<uint8_t>& out) {
            const size_t start = out.size();
            out.resize(start + level.count() * size_t(bytesPerPixel));
            uint8_t* to = out.data() + start;
            for (size_t i = 0; i < level.count(); ++i, to += bytesPerPixel) {
                const uint8_t* p = level.rgba.data() + 4 * i;
                offGrid |= (grid[0][p[0]] != p[0]) | (grid[1][p[1]] != p[1]) | (grid[2][p[2]] != p[2]);
                to[0] = p[2], to[1] = p[1], to[2] = p[0];
                if (bytesPerPixel == 3) continue;
                if (level.ownAlpha) {
                    offGrid |= grid[3][p[3]] != p[3];
                    to[3] = p[3];
                } else {
                    // The alpha slot keeps 4-4-4-4 alpha as a nibble in the high bits.
                    const int nibble = i < level.slotAlphaCount ? level.slotAlpha[i] >> 4 : 15;
                    to[3] = uint8_t(nibble * 17);
                }
            }
        });
    if (!result.ok) return result;
    write16(bytes, kBitsAt, uint16_t(bytesPerPixel * 8));
    write32(bytes, kCompressionAt, kNoCompression);
    write32(bytes, kImageSizeAt, uint32_t(bytes.size() - size_t(headerLength)));
    return result;
}

// The join a high-colour set's depth calls for.
CommandOutcome writeHighColour(const JoinSource& source, const JoinOutput& output, SetColours colours) {
    if (source.state.depth == SetDepth::Argb32) return join32Of(source, output);
    if (colours == SetColours::Full) {
        std::vector<uint8_t> full;
        bool offGrid = false;
        const CommandOutcome joined = joinFullColour(source, full, offGrid);
        if (!joined.ok || offGrid) return joined.ok ? finish(full, output) : joined;
    }
    return join16Of(source, output);
}

}  // namespace

CommandOutcome join16(const Workspace& workspace, const JoinOutput& output, LevelsNeeded needed) {
    CommandOutcome result;
    const auto source = slotsOf(workspace, needed, result);
    return source ? join16Of(*source, output) : result;
}

CommandOutcome join32(const Workspace& workspace, const JoinOutput& output, LevelsNeeded needed) {
    CommandOutcome result;
    const auto source = slotsOf(workspace, needed, result);
    return source ? join32Of(*source, output) : result;
}

CommandOutcome writeSet(const Workspace& workspace, const JoinOutput& output, LevelsNeeded needed, SetColours colours) {
    if (!workspace.state().depth.highColour()) return join8(workspace, output, needed);
    CommandOutcome result;
    const auto source = slotsOf(workspace, needed, result);
    return source ? writeHighColour(*source, output, colours) : result;
}

CommandOutcome writeSet(const HeldSet& set, const JoinOutput& output, SetColours colours) {
    if (!set.state.depth.highColour() || !isLevel(set.state.largest))
        return CommandOutcome::refused(QStringLiteral("There is no image set to save."));
    return writeHighColour(heldSource(set), output, colours);
}

}  // namespace corvane
