#include "splitjoin.h"

#include "committer.h"
#include "temporaries.h"
#include "workspace.h"

#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QTemporaryFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace corvane {

using namespace layout;

namespace {

struct Bgra {
    uint8_t blue = 0, green = 0, red = 0, alpha = 0;
};

bool writeWhole(const QString& path, const std::vector<uint8_t>& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}

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

// Levels the file ends before are listed, not invented; a level cut short is
// written with the rest zero so it can still be seen and edited.
void writeLevelFiles(const std::vector<uint8_t>& file, size_t pixelsAt, int largest, int bytesPerPixel,
               std::vector<uint8_t> levelHeader, const Workspace& workspace, SplitReport& report) {
    size_t at = pixelsAt;
    for (int edge = largest; edge >= 1; edge /= 2) {
        const size_t need = size_t(edge) * size_t(edge) * size_t(bytesPerPixel);
        const size_t available = at < file.size() ? file.size() - at : 0;
        if (available < need) report.missingLevels.push_back(edge);
        if (available == 0) continue;
        std::vector<uint8_t> pixels = slice(file, at, need);
        at += need;
        // The 8-bit 2x2 level file keeps four-byte rows, as BMP readers expect.
        if (bytesPerPixel == 1 && edge == 2)
            pixels = {pixels[0], pixels[1], 0, 0, pixels[2], pixels[3], 0, 0};
        setEdge(levelHeader, edge);
        std::vector<uint8_t> level = levelHeader;
        level.insert(level.end(), pixels.begin(), pixels.end());
        ++report.levelsWritten;
        if (!writeWhole(workspace.levelPath(edge), level)) {
            report.failure = QStringLiteral("The level file %1 could not be written; loading stopped.")
                                 .arg(workspace.levelPath(edge));
            return;
        }
    }
    report.done = true;
}

namespace {

// Reads and checks the file before anything in the workspace is touched.
std::optional<std::vector<uint8_t>> readForSplit(const QString& path, int64_t headerLength, int bytesPerPixel,
                                                 HeaderFacts& facts, SplitReport& report) {
    facts = readHeaderFacts(path);
    if (auto refusal = refusalToSplit(facts)) {
        report.refusal = *refusal;
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, bytes, headerLength + chainPixels(facts.width) * bytesPerPixel)) {
        report.refusal = QStringLiteral("The file %1 cannot be read.").arg(path);
        return std::nullopt;
    }
    if (int64_t(bytes.size()) < headerLength) {
        report.refusal = QStringLiteral("The file ends inside its header; it holds no image.");
        return std::nullopt;
    }
    return bytes;
}

int bytesPerPixelOf(int bits) { return bits == 24 ? 3 : bits == 32 ? 4 : bits == 16 ? 2 : 1; }

// The pixels of one level file, rows bottom first, whatever form it has: the
// set's own packed form, or a BMP written by the image library (8, 24 or 32
// bits, rows padded to four bytes, either row order).
std::vector<Bgra> decodeLevelFile(const std::vector<uint8_t>& file, int edge) {
    std::vector<Bgra> pixels(size_t(edge) * size_t(edge));
    const int bits = byteAt(file, kBitsAt);
    const int bpp = bytesPerPixelOf(bits);
    const size_t start = read32(file, kPixelOffsetAt);
    const bool topDown = int32_t(read32(file, kHeightAt)) < 0;
    const size_t packed = size_t(edge) * size_t(bpp);
    const size_t padded = (packed + 3) & ~size_t(3);
    const size_t available = start < file.size() ? file.size() - start : 0;
    const size_t stride = available >= padded * size_t(edge) ? padded : packed;
    if (bits == 24 && available >= stride * size_t(edge - 1) + packed) {
        // What the image library writes: every row there, read straight.
        for (int row = 0; row < edge; ++row) {
            const size_t fileRow = topDown ? size_t(edge - 1 - row) : size_t(row);
            const uint8_t* p = file.data() + start + fileRow * stride;
            Bgra* out = pixels.data() + size_t(row) * size_t(edge);
            for (int x = 0; x < edge; ++x, p += 3) out[x] = {p[0], p[1], p[2], 0};
        }
        return pixels;
    }
    for (int row = 0; row < edge; ++row) {
        const size_t fileRow = topDown ? size_t(edge - 1 - row) : size_t(row);
        for (int x = 0; x < edge; ++x) {
            const size_t p = start + fileRow * stride + size_t(x) * size_t(bpp);
            Bgra& out = pixels[size_t(row) * size_t(edge) + size_t(x)];
            if (bits == 8) {
                const size_t entry = kPaletteAt + 4 * size_t(byteAt(file, p));
                out = {byteAt(file, entry), byteAt(file, entry + 1), byteAt(file, entry + 2), 0};
            } else if (bits == 16) {
                const uint16_t v = read16(file, p);
                const auto widen5 = [](int c) { return uint8_t(c << 3 | c >> 2); };
                out = {widen5(v & 0x1F), uint8_t((v >> 5 & 0x3F) << 2 | (v >> 9 & 0x3)), widen5(v >> 11 & 0x1F), 0};
            } else {
                out = {byteAt(file, p), byteAt(file, p + 1), byteAt(file, p + 2), bpp == 4 ? byteAt(file, p + 3) : uint8_t(0)};
            }
        }
    }
    return pixels;
}

// The level's bytes as stored in the set: rows packed, padding of the level
// file dropped, zeros where the file is short.
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

JoinResult finish(std::vector<uint8_t>& out, const QString& output) {
    if (out.size() >= size_t(kFileSizeAt + 4)) write32(out, kFileSizeAt, uint32_t(out.size()));
    JoinResult result;
    if (SetHandOff* handOff = SetHandOff::current(); handOff && handOff->takes(output)) {
        // Written here; flushed and put in place on the committer's thread.
        std::unique_ptr<QTemporaryFile> temp = writeReplacement(output, out, &result.error);
        result.ok = temp != nullptr;
        if (temp) handOff->hand(std::move(temp), output);
        return result;
    }
    result.ok = replaceFileAtomically(output, out, &result.error);
    return result;
}

std::optional<std::vector<uint8_t>> headerSlot(const Workspace& workspace, JoinResult& result) {
    std::vector<uint8_t> slot0;
    if (!readFileBytes(workspace.slotPath(HeaderSlot), slot0)) {
        result.error = QStringLiteral("There is no image set to save.");
        return std::nullopt;
    }
    return slot0;
}

}  // namespace

QString SplitReport::missingNote() const {
    if (missingLevels.empty()) return {};
    QStringList names;
    for (int edge : missingLevels) names << QStringLiteral("%1x%1").arg(edge);
    return QStringLiteral("The file ends early: these levels are missing or incomplete: %1.\n\n"
                          "Use Create Image Set to rebuild them.").arg(names.join(", "));
}

bool readFileBytes(const QString& path, std::vector<uint8_t>& bytes, int64_t limit) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const int64_t wanted = std::max<int64_t>(0, limit);
    if (file.isSequential()) {
        // Qt reserves the whole amount asked for before reading.
        const QByteArray data = file.read(wanted);
        bytes.assign(data.begin(), data.end());
        return true;
    }
    // A plain file is read straight into place, no more than it holds.
    bytes.resize(size_t(std::min<int64_t>(wanted, file.size())));
    const int64_t got = bytes.empty() ? 0 : file.read(reinterpret_cast<char*>(bytes.data()), int64_t(bytes.size()));
    if (got < 0) return false;
    bytes.resize(size_t(got));
    return true;
}

namespace {
std::function<bool(WriteStage)>& writeFault() {
    static std::function<bool(WriteStage)> fault;
    return fault;
}
bool failsAt(WriteStage stage) { return writeFault() && writeFault()(stage); }
}  // namespace

void setWriteFaultForTesting(std::function<bool(WriteStage)> fault) { writeFault() = std::move(fault); }

namespace {
QString saveProblem(const QString& path, const QString& why) {
    return QStringLiteral("Cannot save %1:\n%2").arg(QFileInfo(path).fileName(), why);
}

// What the system's error number means, said for the user.
QString causeOf(int error) {
    switch (error) {
    case 0: return QStringLiteral("the system gave no reason");
    case ENOSPC: return QStringLiteral("no space left on the device");
#ifdef EDQUOT
    case EDQUOT: return QStringLiteral("the disk quota is used up");
#endif
    case EACCES:
    case EPERM: return QStringLiteral("permission denied");
    case ENOENT: return QStringLiteral("the folder does not exist");
    case ENOTDIR: return QStringLiteral("part of the path is not a folder");
    case EROFS: return QStringLiteral("the disk is read-only");
    case EIO: return QStringLiteral("the device reported an input/output error");
    case ENAMETOOLONG: return QStringLiteral("the name is too long");
    default: break;
    }
    QString text = QString::fromLocal8Bit(std::generic_category().message(error));
    if (!text.isEmpty()) text[0] = text[0].toLower();
    return text;
}

QString causeOf(const std::error_code& code) {
    const std::error_condition condition = code.default_error_condition();
    if (condition.category() == std::generic_category()) return causeOf(condition.value());
    return QString::fromLocal8Bit(code.message());
}

// Removes what writers that were killed left in `folder`, at most every few
// seconds a folder: a batch saves thousands of files into one folder, and
// each sweep reads all of its names.
void sweepNowAndThen(const QString& folder) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kInterval = std::chrono::seconds(5);
    static std::mutex mutex;
    static std::map<QString, Clock::time_point> lastSweep;
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard lock(mutex);
        const auto it = lastSweep.find(folder);
        if (it != lastSweep.end() && now - it->second < kInterval) return;
        if (lastSweep.size() >= 64) lastSweep.clear();
        lastSweep[folder] = now;
    }
    quor::temporaries::removeLeftovers(QFile::encodeName(folder).toStdString());
}

// A stage a test makes fail fails as a device error would.
constexpr int kMadeToFail = EIO;

#ifndef _WIN32
// The error number of a failed write, or 0.
int writeAll(int fd, const std::vector<uint8_t>& bytes) {
    const uint8_t* at = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        at += n;
        left -= size_t(n);
    }
    return 0;
}
#endif
}  // namespace

std::unique_ptr<QTemporaryFile> writeReplacement(const QString& path, const std::vector<uint8_t>& bytes,
                                                 QString* error) {
    const QFileInfo target(path);
    const auto fail = [&](const QString& why) {
        if (error) *error = saveProblem(path, why);
        return nullptr;
    };
    // A link is replaced by the new file, never written through, so what it
    // points at has no say.  A file is judged by its permission bits, so a
    // read-only one is kept even for an account that could write it anyway.
    if (!target.isSymLink()) {
        if (target.exists() && !(target.permissions() & QFileDevice::WriteOwner))
            return fail(QStringLiteral("the file is read-only."));
        if (target.isDir()) return fail(QStringLiteral("a folder of that name exists."));
    }

    const QString folder = target.absolutePath();
    sweepNowAndThen(folder);
    const std::string lead = quor::temporaries::leadFor(QFile::encodeName(target.fileName()).toStdString());
    auto temp = std::make_unique<QTemporaryFile>(folder + '/' + QFile::decodeName(lead.c_str()) + "XXXXXX");
    errno = 0;
    const bool madeToFail = failsAt(WriteStage::Create);
    if (madeToFail || !temp->open()) {
        const int cause = madeToFail ? kMadeToFail : errno;
        return fail(QStringLiteral("no file can be made in %1: %2.")
                        .arg(QDir::toNativeSeparators(folder), cause != 0 ? causeOf(cause) : temp->errorString()));
    }
#ifndef _WIN32
    const int writeError = failsAt(WriteStage::Write) ? kMadeToFail : writeAll(temp->handle(), bytes);
    if (writeError != 0) return fail(QStringLiteral("writing failed: %1.").arg(causeOf(writeError)));
#else
    if (failsAt(WriteStage::Write) ||
        temp->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size()) ||
        !temp->flush())
        return fail(QStringLiteral("writing failed: %1.").arg(temp->errorString()));
#endif
    return temp;
}

bool putReplacementInPlace(QTemporaryFile& temp, const QString& path, QString* error) {
    const QFileInfo target(path);
    const auto fail = [&](const QString& why) {
        if (error) *error = saveProblem(path, why);
        return false;
    };
    int flushError = 0;
#ifndef _WIN32
    if (::fsync(temp.handle()) != 0) flushError = errno;
#endif
    if (failsAt(WriteStage::Flush)) flushError = kMadeToFail;
    if (flushError != 0)
        return fail(QStringLiteral("the data could not be flushed to the disk: %1.").arg(causeOf(flushError)));
    // A replaced file keeps its permissions; a new one gets the usual ones,
    // and so does one that replaces a link: the mode of whatever the link
    // points at is not the new file's business.
    const bool replacesFile = target.exists() && !target.isSymLink();
    temp.setPermissions(replacesFile ? target.permissions()
                                     : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                           QFileDevice::ReadOther);
    temp.close();
    // A link in the way is itself replaced; rename never follows it.
    std::error_code code = std::make_error_code(std::errc::io_error);
    if (!failsAt(WriteStage::Rename))
        std::filesystem::rename(std::filesystem::path(QFile::encodeName(temp.fileName()).toStdString()),
                                std::filesystem::path(QFile::encodeName(target.absoluteFilePath()).toStdString()),
                                code);
    if (code) return fail(QStringLiteral("the new file could not take the old one's place: %1.").arg(causeOf(code)));
    temp.setAutoRemove(false);
    return true;
}

bool replaceFileAtomically(const QString& path, const std::vector<uint8_t>& bytes, QString* error) {
    const std::unique_ptr<QTemporaryFile> temp = writeReplacement(path, bytes, error);
    return temp && putReplacementInPlace(*temp, path, error);
}

SplitReport split8(const QString& path, Workspace& workspace) {
    SplitReport report;
    SetState& state = workspace.state();
    const int64_t headerPart = kPaletteHeader + kRecordLength * int64_t(state.recordCount);
    HeaderFacts facts;
    const auto file = readForSplit(path, headerPart, 1, facts, report);
    if (!file) return report;

    workspace.clearSlots();
    if (state.recordCount == 1) {
        const size_t dataAt = kPaletteHeader + kRecordDataOffset;
        std::copy_n(file->begin() + std::ptrdiff_t(dataAt), kRecordDataLength, state.recordData.begin());
    }
    if (!writeWhole(workspace.slotPath(HeaderSlot), slice(*file, 0, size_t(headerPart)))) {
        report.failure = QStringLiteral("The header slot %1 could not be written.").arg(workspace.slotPath(HeaderSlot));
        return report;
    }
    // Level files carry the headers and palette only, so their pixels start at 1078.
    std::vector<uint8_t> levelHeader = slice(*file, 0, kPaletteHeader);
    write32(levelHeader, kPixelOffsetAt, kPaletteHeader);
    writeLevelFiles(*file, size_t(headerPart), facts.width, 1, std::move(levelHeader), workspace, report);
    return report;
}

SplitReport splitHighColour(const QString& path, Workspace& workspace) {
    SplitReport report;
    SetState& state = workspace.state();
    const int64_t headerLength = state.headerSize != 0 ? state.headerSize : kStandardHeader;
    const HeaderFacts peek = readHeaderFacts(path);
    const int bytesPerPixel = bytesPerPixelOf(peek.bits == 8 ? 16 : peek.bits);
    HeaderFacts facts;
    const auto file = readForSplit(path, headerLength, bytesPerPixel, facts, report);
    if (!file) return report;

    workspace.clearSlots();
    const std::vector<uint8_t> header = slice(*file, 0, size_t(headerLength));
    std::vector<uint8_t> slot0 = header;
    if (state.headerSize != 0) {
        for (int at : {kWidthAt, kWidthAt + 1, kHeightAt, kHeightAt + 1})
            state.templateHeader[size_t(at)] = header[size_t(at)];
        if (facts.bits == 24) {
            // A 24-bit file becomes a 5-6-5 set with the template header.
            state.headerSize = kStandardHeader;
            slot0.assign(state.templateHeader.begin(), state.templateHeader.end());
        }
    }
    if (!writeWhole(workspace.slotPath(HeaderSlot), slot0)) {
        report.failure = QStringLiteral("The header slot %1 could not be written.").arg(workspace.slotPath(HeaderSlot));
        return report;
    }
    writeLevelFiles(*file, size_t(headerLength), facts.width, bytesPerPixel, header, workspace, report);
    return report;
}

bool extractAlpha(const QString& path, const Workspace& workspace) {
    const HeaderFacts facts = readHeaderFacts(path);
    if (!facts.readable || !isLevel(facts.width) || (facts.bits != 16 && facts.bits != 32)) return false;
    const int bpp = bytesPerPixelOf(facts.bits);
    const int64_t pixels = chainPixels(facts.width);
    std::vector<uint8_t> file;
    if (!readFileBytes(path, file, int64_t(facts.pixelOffset) + pixels * bpp)) return false;
    std::vector<uint8_t> alpha;
    alpha.reserve(size_t(pixels));
    // Alpha is the high byte's top nibble of a 4-4-4-4 word, or the fourth byte.
    for (size_t at = facts.pixelOffset + size_t(bpp) - 1; at < file.size(); at += size_t(bpp))
        alpha.push_back(bpp == 2 ? uint8_t(file[at] & 0xF0) : file[at]);
    return writeWhole(workspace.slotPath(AlphaSlot), alpha);
}

bool patchFileSize(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    std::vector<uint8_t> field;
    write32(field, 0, uint32_t(file.size()));
    return file.seek(kFileSizeAt) && file.write(reinterpret_cast<const char*>(field.data()), 4) == 4;
}

JoinResult join8(const Workspace& workspace, const QString& output) {
    JoinResult result;
    const auto slot0 = headerSlot(workspace, result);
    if (!slot0) return result;
    const SetState& state = workspace.state();
    std::vector<uint8_t> out = slice(*slot0, 0, size_t(kPaletteHeader + kRecordLength * state.recordCount));
    for (int edge = state.largest; edge >= 1; edge /= 2) {
        std::vector<uint8_t> level;
        if (!readFileBytes(workspace.levelPath(edge), level)) continue;
        const std::vector<uint8_t> pixels = packedLevel(level, kPaletteHeader, edge, 1);
        out.insert(out.end(), pixels.begin(), pixels.end());
    }
    return finish(out, output);
}

namespace {

// The joins of the high-colour forms: slot 0's header, then each level either
// copied as it stands (still in the set's own form) or packed from the BMP
// the image library made of it, with the alpha slot's bytes for the level's
// place in the chain (as many as the slot holds).
using PackLevel = std::function<void(const std::vector<Bgra>& pixels, const uint8_t* alpha, size_t alphaCount,
                                     std::vector<uint8_t>& out)>;
JoinResult joinHighColour(const Workspace& workspace, const QString& output, int headerLength, int bytesPerPixel,
                          const std::function<bool(const std::vector<uint8_t>& level)>& inOwnForm,
                          const PackLevel& pack) {
    JoinResult result;
    const auto slot0 = headerSlot(workspace, result);
    if (!slot0) return result;
    const SetState& state = workspace.state();
    std::vector<uint8_t> out = slice(*slot0, 0, size_t(headerLength));
    out.reserve(out.size() + size_t(chainPixels(state.largest)) * size_t(bytesPerPixel));
    std::vector<uint8_t> alpha;
    readFileBytes(workspace.slotPath(AlphaSlot), alpha);

    std::vector<uint8_t> level;
    for (int edge = state.largest; edge >= 1; edge /= 2) {
        if (!readFileBytes(workspace.levelPath(edge), level)) continue;
        if (inOwnForm(level)) {
            const std::vector<uint8_t> pixels = packedLevel(level, size_t(headerLength), edge, bytesPerPixel);
            out.insert(out.end(), pixels.begin(), pixels.end());
            continue;
        }
        const size_t alphaStart = std::min(size_t(levelStart(state.largest, edge, 1, 0)), alpha.size());
        pack(decodeLevelFile(level, edge), alpha.data() + alphaStart, alpha.size() - alphaStart, out);
    }
    return finish(out, output);
}

// Linear light of each byte, and the luminance of a colour in it.
const std::array<double, 256>& byteLight() {
    static const std::array<double, 256> light = [] {
        std::array<double, 256> t{};
        for (size_t i = 0; i < 256; ++i) {
            const double v = double(i) / 255.0;
            t[i] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        }
        return t;
    }();
    return light;
}

double luminance(int red, int green, int blue) {
    const auto& light = byteLight();
    return 0.2126 * light[size_t(red)] + 0.7152 * light[size_t(green)] + 0.0722 * light[size_t(blue)];
}

// Packs 24-bit colours into fewer bits a channel (5-6-5 or 4-4-4).
class ChannelPacker {
public:
    ChannelPacker(int redBits, int greenBits, int blueBits) : bits_{blueBits, greenBits, redBits} {
        for (int c = 0; c < 3; ++c) {
            const int steps = (1 << bits_[c]) - 1;
            for (int v = 0; v < 256; ++v) nearest_[size_t(c)][size_t(v)] = uint8_t((v * steps + 127) / 255);
        }
    }

    // Levels of this many pixels or fewer cannot average their rounding away.
    static constexpr size_t kSmallLevel = 256;

    // The codes of each pixel's blue, green and red, in that order.  A value
    // the reader widened from the set's own bits comes back to exactly those
    // bits.  Otherwise each channel goes to its nearest step; in small levels
    // each pixel takes instead, of the steps around its channels, the mix
    // whose light comes nearest its own plus what the pixels before it
    // missed, so that a 1x1 or 2x2 level keeps the brightness of the picture.
    template <typename Emit>
    void pack(const std::vector<Bgra>& pixels, Emit&& put) const {
        if (pixels.size() > kSmallLevel) {
            for (const Bgra& p : pixels) put(nearest(p.blue, 0), nearest(p.green, 1), nearest(p.red, 2));
            return;
        }
        double missed = 0;
        for (const Bgra& p : pixels) {
            const uint8_t value[3] = {p.blue, p.green, p.red};
            const double want = luminance(p.red, p.green, p.blue) + missed;
            if (onGrid(value[0], 0) && onGrid(value[1], 1) && onGrid(value[2], 2)) {
                // A pixel of the set as it was read: its own codes.
                put(nearest(value[0], 0), nearest(value[1], 1), nearest(value[2], 2));
                continue;
            }
            // Up to a step and a half either side of each channel's value.
            std::array<std::array<int, 4>, 3> choices{};
            std::array<int, 3> counts{};
            for (int c = 0; c < 3; ++c) {
                const int steps = (1 << bits_[c]) - 1;
                const int low = value[c] * steps / 255;
                for (int code = std::max(low - 1, 0); code <= std::min(low + 2, steps); ++code)
                    choices[size_t(c)][size_t(counts[size_t(c)]++)] = code;
            }
            struct Mix {
                int code[3];
                double off, colour;
            };
            std::vector<Mix> mixes;
            double nearestOff = INFINITY;
            for (int b = 0; b < counts[0]; ++b)
                for (int g = 0; g < counts[1]; ++g)
                    for (int r = 0; r < counts[2]; ++r) {
                        Mix m{{choices[0][size_t(b)], choices[1][size_t(g)], choices[2][size_t(r)]}, 0, 0};
                        for (int c = 0; c < 3; ++c) {
                            const double d = widen(m.code[c], c) - value[c];
                            m.colour += d * d;
                        }
                        m.off = std::abs(luminance(widen(m.code[2], 2), widen(m.code[1], 1), widen(m.code[0], 0)) - want);
                        nearestOff = std::min(nearestOff, m.off);
                        mixes.push_back(m);
                    }
            // Of the mixes within a five-thousandth of the light of the
            // nearest, the one truest to the colour.
            const Mix* chosen = nullptr;
            for (const Mix& m : mixes)
                if (m.off <= nearestOff + 0.0002 * std::abs(want) + 1e-12 && (!chosen || m.colour < chosen->colour)) chosen = &m;
            const int best[3] = {chosen->code[0], chosen->code[1], chosen->code[2]};
            missed = want - luminance(widen(best[2], 2), widen(best[1], 1), widen(best[0], 0));
            put(best[0], best[1], best[2]);
        }
    }

private:
    // A code back to 8 bits, scaled and rounded as the image library reads it.
    uint8_t widen(int code, int channel) const {
        const int steps = (1 << bits_[channel]) - 1;
        return uint8_t((code * 255 + steps / 2) / steps);
    }
    // Whether a value is one a reader makes of a code: scaled, or (as the
    // set reader does) the code's bits repeated.
    bool onGrid(uint8_t value, int channel) const {
        const int n = bits_[channel];
        const int code = nearest(value, channel);
        int repeated = code << (8 - n);
        for (int shift = 8 - 2 * n; shift > -n; shift -= n) repeated |= shift >= 0 ? code << shift : code >> -shift;
        return value == widen(code, channel) || value == repeated;
    }
    int nearest(uint8_t value, int channel) const { return nearest_[size_t(channel)][value]; }

    int bits_[3];  // blue, green, red
    std::array<std::array<uint8_t, 256>, 3> nearest_{};
};

}  // namespace

JoinResult join16(const Workspace& workspace, const QString& output) {
    const int headerLength = workspace.state().headerSize != 0 ? workspace.state().headerSize : kStandardHeader;
    std::vector<uint8_t> slot0;
    readFileBytes(workspace.slotPath(HeaderSlot), slot0, kRedMaskHighAt + 1);
    const bool is4444 = headerLength > kRedMaskHighAt && byteAt(slot0, kRedMaskHighAt) == 0x0F;
    return joinHighColour(
        workspace, output, headerLength, 2,
        [headerLength](const std::vector<uint8_t>& level) {
            return int8_t(byteAt(level, kPixelOffsetAt)) == int8_t(headerLength);
        },
        [packer = is4444 ? ChannelPacker(4, 4, 4) : ChannelPacker(5, 6, 5), is4444](
            const std::vector<Bgra>& pixels, const uint8_t* alpha, size_t alphaCount, std::vector<uint8_t>& out) {
            size_t i = 0;
            const size_t start = out.size();
            out.resize(start + 2 * pixels.size());
            uint8_t* to = out.data() + start;
            if (is4444) {
                packer.pack(pixels, [&](int blue, int green, int red) {
                    // A missing or short alpha slot means opaque.
                    const uint8_t a = i < alphaCount ? alpha[i] : 0xF0;
                    ++i;
                    *to++ = uint8_t(blue | green << 4);
                    *to++ = uint8_t((a & 0xF0) | red);
                });
            } else {
                packer.pack(pixels, [&](int blue, int green, int red) {
                    const unsigned v = unsigned(blue | green << 5 | red << 11);
                    *to++ = uint8_t(v);
                    *to++ = uint8_t(v >> 8);
                });
            }
        });
}

JoinResult join32(const Workspace& workspace, const QString& output) {
    const int headerLength = workspace.state().headerSize != 0 ? workspace.state().headerSize : kPlainHeader;
    return joinHighColour(
        workspace, output, headerLength, 4,
        [headerLength](const std::vector<uint8_t>& level) {
            return byteAt(level, kBitsAt) == 32 && int8_t(byteAt(level, kPixelOffsetAt)) == int8_t(headerLength);
        },
        // The fourth byte was kept in the alpha slot when the set was loaded.
        [](const std::vector<Bgra>& pixels, const uint8_t* alpha, size_t alphaCount, std::vector<uint8_t>& out) {
            for (size_t i = 0; i < pixels.size(); ++i) {
                const Bgra& p = pixels[i];
                out.insert(out.end(), {p.blue, p.green, p.red, i < alphaCount ? alpha[i] : uint8_t(0)});
            }
        });
}

JoinResult writeSet(const Workspace& workspace, const QString& output) {
    const SetState& state = workspace.state();
    if (!state.highColour) return join8(workspace, output);
    return state.is32 ? join32(workspace, output) : join16(workspace, output);
}

}  // namespace corvane
