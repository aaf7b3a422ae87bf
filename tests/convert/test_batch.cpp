// Batch runs over a folder the test makes.
#include "outsidereaders.h"
#include "testsets.h"

#include "batch.h"
#include "blockformats.h"
#include "dds.h"
#include "fileaccess.h"
#include "import.h"
#include "palettelevels.h"
#include "files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <Magick++.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <set>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane;
using namespace corvane::testing;

namespace {

struct Batch {
    Scratch scratch;
    QuorContext context{};
    QuorLibrary library{context};
    PaletteLevels palette;
    QString source, destination;
    ToolSettings tool;  // no texture pass unless a tool is named
    Batch() {
        QDir(scratch.dir.path()).mkpath("src");
        QDir(scratch.dir.path()).mkpath("dest");
        QDir(scratch.dir.path()).mkpath("workers");
        source = scratch.path("src");
        destination = scratch.path("dest");
    }
    void add(const QString& name, const Bytes& bytes) { writeBytes(QDir(source).filePath(name), bytes); }
    BatchRequest request(const QStringList& names, const QString& dest = {}) const {
        BatchRequest request;
        request.sourceFolder = source;
        request.destinationFolder = dest.isEmpty() ? destination : dest;
        request.names = names;
        request.options.smooth8 = false;
        request.options.useImageTool = !tool.toolPath.isEmpty();
        return request;
    }
    BatchSummary run(const QStringList& names, bool colour0 = false, std::vector<QString>* order = nullptr,
                     const QString& dest = {}) {
        BatchRequest r = request(names, dest);
        r.colour0Transparent = colour0;
        BatchObserver observer;
        observer.starting = [order](int, int, const QString& name) {
            if (order) order->push_back(name);
        };
        const TextureToolRun runTool =
            tool.toolPath.isEmpty() ? TextureToolRun{} : textureTool(scratch.workspace, tool);
        return runBatch(r, scratch.workspace, library, palette, runTool, observer);
    }
    BatchSummary runParallel(const QStringList& names, int jobs, const QString& dest = {}) {
        const ToolSettings settings = tool;
        const auto toolFor = [settings](const Workspace& workspace) {
            return settings.toolPath.isEmpty() ? TextureToolRun{} : textureTool(workspace, settings);
        };
        return runBatchInParallel(request(names, dest), jobs, scratch.path("workers"), toolFor);
    }
    Bytes output(const QString& name) const { return readBytes(QDir(destination).filePath(name)); }
};

std::set<QString> everythingIn(const QString& folder) {
    const QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    return {names.begin(), names.end()};
}

// The pixels of a whole chain from `edge` down to 1x1, counted here level by level.
int64_t chainPixelsOf(int64_t edge) {
    int64_t pixels = 0;
    for (; edge >= 1; edge /= 2) pixels += edge * edge;
    return pixels;
}

// A file whose header describes a set and that holds all of its levels.
void expectWholeSet(const Bytes& file, const std::string& name) {
    ASSERT_GE(file.size(), 54u) << name;
    const uint32_t pixelsAt = layout::read32(file, 10);
    const int32_t edge = int32_t(layout::read32(file, 18));
    const int bits = file[28];
    EXPECT_EQ(int64_t(file.size()), pixelsAt + chainPixelsOf(edge) * (bits / 8)) << name;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// A small file system of its own while the test runs, where mounting is allowed.
struct SmallDisk {
    QString path;
    bool mounted = false;
    explicit SmallDisk(const QString& at) : path(at) {
        QDir().mkpath(at);
        mounted = ::mount("tmpfs", QFile::encodeName(at).constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=300k") == 0;
    }
    ~SmallDisk() {
        if (mounted) ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
    }
    // Writes a file that takes all the room left; true once the disk is full.
    bool fill() const {
        const int fd = ::open(QFile::encodeName(QDir(path).filePath("filler")).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        const std::vector<char> block(4096, 'x');
        while (::write(fd, block.data(), block.size()) >= 0) {}
        const bool full = errno == ENOSPC;
        ::close(fd);
        return full;
    }
};

}  // namespace

TEST(Batch, ConvertsExactlyTheSelectedFilesInOrder) {
    Batch b;
    QStringList all;
    for (int i = 0; i < 10; ++i) {
        const QString name = QString("f%1.bmp").arg(i);
        b.add(name, plainBmp(16, 16, i % 2 ? 8 : 24, 7));
        all << name;
    }
    std::vector<QString> order;
    const BatchSummary summary = b.run({"f7.bmp", "f2.bmp", "f5.bmp"}, false, &order);
    EXPECT_EQ(summary.convertedCount(), 3);
    EXPECT_EQ(order, (std::vector<QString>{"f7.bmp", "f2.bmp", "f5.bmp"}));
    EXPECT_EQ(QDir(b.destination).entryList(QDir::Files).size(), 3);
    // An 8-bit source stays 8-bit; a 24-bit one becomes 5-6-5; both complete.
    EXPECT_EQ(b.output("f7.bmp").size(), size_t(layout::fileLength(16, 1, 1078)));
    const Bytes deep = b.output("f2.bmp");
    ASSERT_EQ(deep.size(), size_t(layout::fileLength(16, 2, 86)));
    EXPECT_EQ(layout::read32(deep, 54), 0xF800u);
}

TEST(Batch, ColourZeroTransparentOnlyTouchesEightBitSets) {
    Batch b;
    b.add("grey.bmp", plainBmp(32, 32, 8, 7));
    b.add("rgb.bmp", plainBmp(32, 32, 24, 7));
    ASSERT_EQ(b.run({"grey.bmp", "rgb.bmp"}, true).convertedCount(), 2);
    const Bytes grey = b.output("grey.bmp");
    const Bytes rgbTransparent = b.output("rgb.bmp");
    EXPECT_EQ(grey[57], 0);
    for (size_t i = 1; i < 256; ++i) ASSERT_EQ(grey[57 + 4 * i], 255) << i;
    EXPECT_FALSE(b.palette.paletteChanged);

    ASSERT_EQ(b.run({"rgb.bmp"}, false).convertedCount(), 1);
    EXPECT_EQ(b.output("rgb.bmp"), rgbTransparent);
}

TEST(Batch, SmallSourcesGrowToTheNextLevel) {
    Batch b;
    b.add("small.bmp", plainBmp(40, 40, 24, 7));
    ASSERT_EQ(b.run({"small.bmp"}).convertedCount(), 1);
    EXPECT_EQ(b.scratch.workspace.state().largest, 64);
    EXPECT_EQ(b.output("small.bmp").size(), size_t(layout::fileLength(64, 2, 86)));
}

TEST(Batch, UnreadableAndUnwritableFilesAreReportedAndTheRunGoesOn) {
    Batch b;
    b.add("a.bmp", plainBmp(16, 16, 24, 7));
    b.add("broken.bmp", Bytes(300, 0x33));
    b.add("c.bmp", plainBmp(16, 16, 8, 7));
    const BatchSummary summary = b.run({"a.bmp", "broken.bmp", "c.bmp"});
    EXPECT_EQ(summary.convertedCount(), 2);
    ASSERT_EQ(summary.failedCount(), 1);
    EXPECT_EQ(summary.files[1].name, "broken.bmp");
    EXPECT_TRUE(summary.text().contains("broken.bmp"));
    EXPECT_FALSE(QFileInfo::exists(QDir(b.destination).filePath("broken.bmp")));

    const BatchSummary nowhere = b.run({"a.bmp"}, false, nullptr, b.scratch.path("missing/folder"));
    EXPECT_EQ(nowhere.failedCount(), 1);
}

TEST(Batch, SameFolderReplacesTheSourcesAndIsRecognisedHoweverSpelt) {
    Batch b;
    b.add("x.bmp", plainBmp(16, 16, 8, 7));
    EXPECT_TRUE(sameFolder(b.source, b.source + "/"));
    EXPECT_TRUE(sameFolder(b.source, b.scratch.path("dest/../src")));
    QFile::link(b.source, b.scratch.path("link"));
    EXPECT_TRUE(sameFolder(b.source, b.scratch.path("link")));
    EXPECT_FALSE(sameFolder(b.source, b.destination));

    ASSERT_EQ(b.run({"x.bmp"}, false, nullptr, b.source).convertedCount(), 1);
    EXPECT_EQ(QFileInfo(QDir(b.source).filePath("x.bmp")).size(), layout::fileLength(16, 1, 1078));
}

TEST(Batch, AfterARunTheLastSetSavesAsAPlainExtendedBitmap) {
    Batch b;
    b.scratch.workspace.state().textureOrigin = true;
    b.add("last.bmp", plainBmp(16, 16, 8, 7));
    ASSERT_EQ(b.run({"last.bmp"}).convertedCount(), 1);
    EXPECT_FALSE(b.scratch.workspace.state().textureOrigin);
    const QString saved = b.scratch.path("saved.bmp");
    ASSERT_TRUE(saveSet(b.scratch.workspace, saved).ok);
    EXPECT_EQ(readBytes(saved), b.output("last.bmp"));
}

TEST(Batch, ParallelWorkersWriteWhatOneWorkerWrites) {
    Batch b;
    QStringList names;
    for (int i = 0; i < 8; ++i) {
        const QString name = QString("p%1.bmp").arg(i);
        b.add(name, plainBmp(16 << (i % 4), 16 << (i % 4), i % 2 ? 8 : 24, 7));
        names << name;
    }
    b.add("broken.bmp", Bytes(64, 1));
    names.insert(3, "broken.bmp");
    const BatchSummary one = b.run(names, true);
    std::map<QString, Bytes> expected;
    for (const QString& name : names) expected[name] = b.output(name);
    QDir(b.destination).removeRecursively();
    QDir().mkpath(b.destination);

    QDir(b.scratch.dir.path()).mkpath("workers");
    BatchRequest request;
    request.sourceFolder = b.source;
    request.destinationFolder = b.destination;
    request.names = names;
    request.colour0Transparent = true;
    request.options.smooth8 = false;
    std::vector<int> order;
    BatchObserver observer;
    observer.finished = [&](int index, int, const BatchFileResult&) { order.push_back(index); };
    const BatchSummary two = runBatchInParallel(request, 3, b.scratch.path("workers"), {}, observer);
    EXPECT_EQ(two.convertedCount(), one.convertedCount());
    EXPECT_EQ(two.failedCount(), 1);
    EXPECT_EQ(two.files[3].name, "broken.bmp");
    for (const QString& name : names) EXPECT_EQ(b.output(name), expected[name]) << name.toStdString();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(QDir(b.scratch.path("workers")).isEmpty());
}

// The workers hand each finished set to a committer that flushes it to the
// disk and puts it in place.  A flush or rename that fails there fails that
// file alone: the file it was to replace stays as it was, no temporary file
// is left, and the report keeps the list order.
TEST(Batch, ParallelSavesThatFailOnTheDiskKeepThePreviousFiles) {
    Batch b;
    QStringList names;
    for (int i = 0; i < 6; ++i) {
        const QString name = QString("p%1.bmp").arg(i);
        b.add(name, plainBmp(32, 32, i % 2 ? 8 : 24, i + 1));
        names << name;
    }
    const Bytes previous = plainBmp(4, 4, 24, 99);
    QDir(b.scratch.dir.path()).mkpath("workers");
    BatchRequest request;
    request.sourceFolder = b.source;
    request.destinationFolder = b.destination;
    request.names = names;
    request.options.smooth8 = false;
    // Sets, then DDS textures: both are finished on the committer.
    for (const bool dds : {false, true}) {
        request.writeDds = dds;
        const auto written = [&](const QString& name) { return destinationName(name, request); };
        for (const QString& name : names) writeBytes(QDir(b.destination).filePath(written(name)), previous);
        for (WriteStage failing : {WriteStage::Flush, WriteStage::Rename}) {
            std::atomic<int> seen{0};
            // The third save to reach the failing stage fails there.
            setWriteFaultForTesting([&](WriteStage stage) { return stage == failing && ++seen == 3; });
            std::vector<int> order;
            BatchObserver observer;
            observer.finished = [&](int index, int, const BatchFileResult&) { order.push_back(index); };
            const BatchSummary summary = runBatchInParallel(request, 2, b.scratch.path("workers"), {}, observer);
            setWriteFaultForTesting({});
            const std::string what = (dds ? "dds " : "set ") + std::to_string(int(failing));
            EXPECT_EQ(summary.convertedCount(), 5) << what;
            ASSERT_EQ(summary.failedCount(), 1) << what;
            EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
            for (const BatchFileResult& file : summary.files) {
                const Bytes now = b.output(written(file.name));
                if (file.converted()) {
                    EXPECT_NE(now, previous) << file.name.toStdString();
                } else {
                    EXPECT_TRUE(file.problem().startsWith("Cannot save " + written(file.name)))
                        << file.problem().toStdString();
                    EXPECT_EQ(now, previous) << file.name.toStdString();
                }
            }
            EXPECT_EQ(QDir(b.destination).entryList(QDir::Files | QDir::Hidden).size(), names.size() * (dds ? 2 : 1));
            for (const QString& name : names) writeBytes(QDir(b.destination).filePath(written(name)), previous);
        }
    }
}

// With the texture tool's pass each worker hands the set to the tool through
// a file of its own; that file is in place before the tool starts, and only
// the destination's save goes to the committer.  Every run of many workers
// writes every file, as one worker does, and says so.
TEST(Batch, ParallelRunsWithTheTexturePassWriteWhatOneWorkerWrites) {
#ifndef XBMTOOL
    GTEST_SKIP() << "the bundled texture tool is not built";
#else
    Batch b;
    b.tool = ToolSettings{XBMTOOL, false};
    QStringList names;
    for (int i = 0; i < 30; ++i) {
        names << QString("t%1.bmp").arg(i, 2, 10, QChar('0'));
        b.add(names.back(), plainBmp(64, 64, i % 3 ? 24 : 8, i + 1));
    }
    const BatchSummary one = b.run(names);
    ASSERT_EQ(one.convertedCount(), 30) << one.text().toStdString();
    std::map<QString, Bytes> expected;
    for (const QString& name : names) {
        expected[name] = b.output(name);
        expectWholeSet(expected[name], name.toStdString());
    }
    for (int run = 0; run < 5; ++run) {
        QDir(b.destination).removeRecursively();
        QDir().mkpath(b.destination);
        const BatchSummary many = b.runParallel(names, 8);
        EXPECT_EQ(many.text(), "30 converted, 0 failed") << run;
        for (const QString& name : names) EXPECT_EQ(b.output(name), expected[name]) << run << " " << name.toStdString();
        EXPECT_EQ(everythingIn(b.destination).size(), 30u) << run;
    }
#endif
}

// A save into a full disk fails for that file, says why, and leaves the file
// that was there and nothing else; a folder that is not there is named so.
TEST(Batch, AFullDiskFailsTheFileNamingTheCauseAndKeepsThePreviousOne) {
    Batch b;
    b.add("big.bmp", plainBmp(256, 256, 24, 5));
    const BatchSummary nowhere = b.run({"big.bmp"}, false, nullptr, b.scratch.path("gone"));
    ASSERT_EQ(nowhere.failedCount(), 1);
    EXPECT_TRUE(nowhere.files[0].problem().contains("the folder does not exist")) << nowhere.text().toStdString();

    const SmallDisk disk(b.scratch.path("disk"));
    if (!disk.mounted) GTEST_SKIP() << "no file system can be mounted here";
    const QString big = QDir(disk.path).filePath("big.bmp");
    const Bytes previous = makeSet(Form::Rgb565, 64);
    ASSERT_TRUE(writeBytes(big, previous));
    ASSERT_TRUE(disk.fill());
    for (int jobs : {0, 1, 3}) {  // 0: one file after another in the caller's workspace
        const BatchSummary summary =
            jobs == 0 ? b.run({"big.bmp"}, false, nullptr, disk.path) : b.runParallel({"big.bmp"}, jobs, disk.path);
        ASSERT_EQ(summary.failedCount(), 1) << jobs;
        EXPECT_TRUE(summary.files[0].problem().contains("no space")) << summary.text().toStdString();
    }
    const CommandOutcome saved = saveSet(b.scratch.workspace, QDir(disk.path).filePath("saved.bmp"));
    EXPECT_FALSE(saved.ok);
    EXPECT_TRUE(saved.error.contains("no space")) << saved.error.toStdString();
    EXPECT_EQ(readBytes(big), previous);
    EXPECT_EQ(everythingIn(disk.path), (std::set<QString>{"big.bmp", "filler"}));
}

// A link planted in the destination is replaced by the converted file; what
// it points at, read-only or not, keeps its bytes and its mode, and the new
// file takes the mode any new file gets rather than the link target's.
TEST(Batch, LinksInTheDestinationAreReplacedAndWhatTheyPointAtIsLeftAlone) {
    Batch b;
    const QStringList names = {"linked-ro.bmp", "linked-rw.bmp", "fresh.bmp"};
    for (int i = 0; i < 3; ++i) b.add(names[i], plainBmp(16, 16, 24, i + 2));
    QDir(b.scratch.dir.path()).mkpath("outside");
    const std::map<QString, mode_t> targets = {{b.scratch.path("outside/ro.bmp"), 0444},
                                               {b.scratch.path("outside/rw.bmp"), 0600}};
    const Bytes theirs = {1, 2, 3, 4};
    for (int jobs : {0, 2}) {
        for (const auto& [target, mode] : targets) {
            QFile::remove(target);
            ASSERT_TRUE(writeBytes(target, theirs));
            ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), mode), 0);
        }
        for (const QString& name : names) QFile::remove(QDir(b.destination).filePath(name));
        ASSERT_TRUE(QFile::link(b.scratch.path("outside/ro.bmp"), QDir(b.destination).filePath(names[0])));
        ASSERT_TRUE(QFile::link(b.scratch.path("outside/rw.bmp"), QDir(b.destination).filePath(names[1])));

        const BatchSummary summary = jobs == 0 ? b.run(names) : b.runParallel(names, jobs);
        EXPECT_EQ(summary.convertedCount(), 3) << summary.text().toStdString();
        for (const auto& [target, mode] : targets) {
            EXPECT_EQ(modeOf(target) & 07777, mode) << jobs << " " << target.toStdString();
            EXPECT_EQ(readBytes(target), theirs) << jobs;
        }
        const mode_t fresh = modeOf(QDir(b.destination).filePath("fresh.bmp"));
        for (const QString& name : names) {
            const QString path = QDir(b.destination).filePath(name);
            EXPECT_TRUE(S_ISREG(modeOf(path))) << jobs << " " << name.toStdString();
            EXPECT_EQ(modeOf(path), fresh) << jobs << " " << name.toStdString();
            expectWholeSet(readBytes(path), name.toStdString());
        }
    }
}

// A DDS run writes name.dds in place of each set, DXT1 for opaque sources and
// DXT5 for ones with alpha, every mip there; workers write the same bytes.
TEST(Batch, DdsRunsWriteTexturesInPlaceOfSets) {
    static const bool magickReady = (Magick::InitializeMagick(nullptr), true);
    (void)magickReady;
    Batch b;
    b.add("opaque.bmp", plainBmp(64, 64, 24, 5));
    Magick::Image clear(Magick::Geometry(32, 32), Magick::Color("rgba(200,50,20,0.5)"));
    clear.write(QDir(b.source).filePath("clear.png").toStdString());
    const QStringList names{"opaque.bmp", "clear.png"};

    BatchRequest request = b.request(names);
    request.writeDds = true;
    const BatchSummary one = runBatch(request, b.scratch.workspace, b.library, b.palette, {});
    EXPECT_EQ(one.convertedCount(), 2) << one.text().toStdString();
    EXPECT_EQ(everythingIn(b.destination), (std::set<QString>{"opaque.dds", "clear.dds"}));
    const Bytes opaque = b.output("opaque.dds"), clearDds = b.output("clear.dds");
    // "DDS ", then the pixel format's four-character code at 84 and the mip count at 28.
    ASSERT_GE(opaque.size(), 128u);
    ASSERT_GE(clearDds.size(), 128u);
    EXPECT_EQ(std::string(opaque.begin(), opaque.begin() + 4), "DDS ");
    EXPECT_EQ(std::string(opaque.begin() + 84, opaque.begin() + 88), "DXT1");
    EXPECT_EQ(std::string(clearDds.begin() + 84, clearDds.begin() + 88), "DXT5");
    // A 64x64 source: seven mips.
    EXPECT_EQ(layout::read32(opaque, 28), 7u);
    int64_t blocks = 0;
    for (int e = 64; e >= 1; e /= 2) blocks += int64_t(std::max(1, e / 4)) * std::max(1, e / 4);
    EXPECT_EQ(int64_t(opaque.size()), 128 + blocks * 8);

    QDir(b.destination).removeRecursively();
    QDir().mkpath(b.destination);
    request.ddsFormat = DdsFormat::Rgba;
    const BatchSummary two = runBatchInParallel(request, 2, b.scratch.path("workers"), {});
    EXPECT_EQ(two.convertedCount(), 2);
    const Bytes rgba = b.output("opaque.dds");
    EXPECT_EQ(int64_t(rgba.size()), 128 + chainPixelsOf(64) * 4);
    request.ddsFormat = DdsFormat::Auto;
    runBatchInParallel(request, 2, b.scratch.path("workers"), {});
    EXPECT_EQ(b.output("opaque.dds"), opaque);
    EXPECT_EQ(b.output("clear.dds"), clearDds);

    // BC1 forced on the picture with alpha: whichever way the save reaches
    // the disk, the file's line says the alpha was cut to one bit.
    request.ddsFormat = DdsFormat::blocks(quor::blocks::Format::Bc1);
    for (const int jobs : {0, 1, 2}) {
        const BatchSummary forced = jobs == 0 ? runBatch(request, b.scratch.workspace, b.library, b.palette, {})
                                              : runBatchInParallel(request, jobs, b.scratch.path("workers"), {});
        ASSERT_EQ(forced.files.size(), 2u);
        EXPECT_TRUE(forced.files[0].note().isEmpty()) << jobs;
        EXPECT_TRUE(forced.files[1].converted()) << jobs;
        EXPECT_TRUE(forced.files[1].note().contains("one bit of alpha")) << jobs << forced.text().toStdString();
    }
}

namespace {

// A 24-bit BMP every byte of which a 5-6-5 set holds exactly.
Bytes onGridBmp(int edge) {
    Bytes b = plainBmp(edge, edge, 24, 7);
    for (size_t i = 54; i < b.size(); i += 3) {
        const auto widen = [](unsigned code, int bits) { return uint8_t(code << (8 - bits) | code >> (2 * bits - 8)); };
        b[i] = widen(b[i] & 31, 5), b[i + 1] = widen(b[i + 1] & 63, 6), b[i + 2] = widen(b[i + 2] & 31, 5);
    }
    return b;
}

// A smooth picture in another format, through ImageMagick.
Bytes pngPicture(int width, int height, bool alpha) {
    static const bool magickReady = (Magick::InitializeMagick(nullptr), true);
    (void)magickReady;
    Magick::Image picture;
    if (alpha) {
        picture = Magick::Image(Magick::Geometry(size_t(width), size_t(height)), Magick::Color("rgba(200,50,20,0.5)"));
    } else {
        picture.size(Magick::Geometry(size_t(width), size_t(height)));
        picture.read("gradient:#1040c0-#f0d020");
    }
    Magick::Blob blob;
    picture.magick("PNG");
    picture.write(&blob);
    const auto* data = static_cast<const uint8_t*>(blob.data());
    return Bytes(data, data + blob.length());
}

// A smooth painting of width x height, RGBA top row first; with `alpha`, a
// ramp with a hole in it.
Bytes painting(int width, int height, bool alpha, int seed) {
    Bytes rgba;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double u = (x + 0.5) / width, v = (y + 0.5) / height;
            const int grain = ((x * 7919 + y * 104729 + seed * 31) >> 3) % 9 - 4;
            const auto c = [&](double value) { return uint8_t(std::clamp(int(value) + grain, 0, 255)); };
            const uint8_t a = !alpha ? 255 : std::hypot(u - 0.3, v - 0.6) < 0.15 ? 0 : uint8_t(40 + 215 * u);
            rgba.insert(rgba.end(), {c(130 + 100 * std::sin(5.0 * u + 2.0 * v + seed)), c(110 + 80 * std::cos(3.0 * v)),
                                     c(60 + 140 * u * v), a});
        }
    return rgba;
}

// A DDS file as Save As DDS writes one, of a painted chain from `edge` down.
Bytes ddsOfPainting(int edge, bool alpha, DdsFormat format) {
    DdsChain chain{edge, {}};
    for (int e = edge; e >= 1; e /= 2) chain.levels.push_back(painting(e, e, alpha, e));
    return encodeDds(chain, format);
}

// Every 16-bit texel of a chain from `edge` down, pseudo-random.
Bytes randomTexels(int edge, uint32_t seed) {
    Bytes b;
    for (int e = edge; e >= 1; e /= 2)
        for (int i = 0; i < 2 * e * e; ++i) b.push_back(uint8_t((seed = seed * 1664525u + 1013904223u) >> 24));
    return b;
}

}  // namespace

// A set is written under the name of a BMP, and a texture under that of a
// DDS, whatever the source's format: in the source's own folder no picture
// of another format is replaced by a file of a format it is not.  Names that
// would meet in one output refuse the run before anything is written.
TEST(Batch, OutputsAreNamedForWhatTheyHoldAndNeverReplaceAnotherFormat) {
    Batch b;
    b.add("plain.bmp", plainBmp(16, 16, 24, 1));
    b.add("Upper.BMP", plainBmp(16, 16, 8, 2));
    b.add("photo.png", pngPicture(16, 16, false));
    b.add("noext", plainBmp(16, 16, 24, 3));
    b.add("two.dots.png", pngPicture(16, 16, true));
    const QStringList names{"plain.bmp", "Upper.BMP", "photo.png", "noext", "two.dots.png"};
    std::map<QString, Bytes> before;
    for (const QString& name : names) before[name] = readBytes(QDir(b.source).filePath(name));
    struct Run {
        bool dds;
        std::set<QString> outputs;
    };
    for (const Run& run : {Run{false, {"plain.bmp", "Upper.BMP", "photo.bmp", "noext.bmp", "two.dots.bmp"}},
                           Run{true, {"plain.dds", "Upper.dds", "photo.dds", "noext.dds", "two.dots.dds"}}}) {
        for (const bool inPlace : {false, true}) {
            SCOPED_TRACE(std::string(run.dds ? "dds" : "sets") + (inPlace ? ", in place" : ""));
            QDir(b.destination).removeRecursively();
            QDir().mkpath(b.destination);
            BatchRequest request = b.request(names, inPlace ? b.source : QString());
            request.writeDds = run.dds;
            const BatchSummary summary = runBatchInParallel(request, 2, b.scratch.path("workers"), {});
            EXPECT_EQ(summary.convertedCount(), int(names.size())) << summary.text().toStdString();
            const QString folder = inPlace ? b.source : b.destination;
            for (const QString& output : run.outputs) {
                const Bytes file = readBytes(QDir(folder).filePath(output));
                ASSERT_GE(file.size(), 4u) << output.toStdString();
                EXPECT_EQ(std::string(file.begin(), file.begin() + (run.dds ? 4 : 2)), run.dds ? "DDS " : "BM")
                    << output.toStdString();
            }
            if (!inPlace) {
                EXPECT_EQ(everythingIn(b.destination), run.outputs);
            }
            // Only a BMP may be replaced by its own set.
            for (const QString& name : names) {
                if (!name.endsWith(".bmp", Qt::CaseInsensitive)) {
                    EXPECT_EQ(readBytes(QDir(b.source).filePath(name)), before[name]) << name.toStdString();
                }
            }
        }
    }
    b.add("photo.bmp", plainBmp(16, 16, 24, 4));
    QDir(b.destination).removeRecursively();
    QDir().mkpath(b.destination);
    const BatchSummary clash = b.runParallel({"photo.png", "photo.bmp"}, 2);
    EXPECT_TRUE(clash.refusal.contains("photo.png and photo.bmp would both become photo.bmp"))
        << clash.text().toStdString();
    EXPECT_TRUE(everythingIn(b.destination).empty());

    QString why;
    EXPECT_TRUE(bitmapsIn(b.scratch.path("no such folder"), &why).isEmpty());
    EXPECT_FALSE(why.isEmpty());
}

// A BMP cut short converts, its missing rows black, and its line says how
// many rows it had; whole files, and sets short only of smaller levels, say
// nothing.  Both ways a run goes: through the slots and kept in memory.
TEST(Batch, ABmpCutShortSaysHowManyRowsItHad) {
    Batch b;
    const Bytes whole = plainBmp(16, 16, 24, 4);
    const size_t row = 16 * 3, pixelsAt = layout::read32(whole, 10);
    b.add("whole.bmp", whole);
    b.add("five.bmp", Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(pixelsAt + 5 * row + 7)));
    b.add("none.bmp", Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(pixelsAt)));
    const Bytes set = makeSet(Form::Rgb565, 16);
    b.add("set.bmp", Bytes(set.begin(), set.end() - 20));  // smaller levels cut, the largest whole
    for (const int jobs : {0, 2}) {
        SCOPED_TRACE(jobs);
        const QStringList names{"whole.bmp", "five.bmp", "none.bmp", "set.bmp"};
        const BatchSummary summary = jobs == 0 ? b.run(names) : b.runParallel(names, jobs);
        ASSERT_EQ(summary.files.size(), 4u);
        const std::map<QString, QString> expected = {
            {"whole.bmp", ""},
            {"five.bmp", "the file ends after 5 of its 16 rows; the rest were made black"},
            {"none.bmp", "the file ends after 0 of its 16 rows; the rest were made black"},
            {"set.bmp", ""}};
        for (const BatchFileResult& file : summary.files) {
            if (!file.converted()) continue;  // a file with no pixels at all may be refused instead
            EXPECT_EQ(file.note(), expected.at(file.name)) << file.name.toStdString();
        }
        EXPECT_TRUE(summary.files[1].converted());
    }
}

// A new output takes the permissions any new file of the user's takes, as the
// kernel gives them under the umask of the moment.
TEST(Batch, NewOutputsTakeTheModeTheUmaskGives) {
    Batch b;
    b.add("a.bmp", plainBmp(16, 16, 24, 1));
    const mode_t was = ::umask(022);
    for (const mode_t mask : {mode_t(022), mode_t(077), mode_t(002), mode_t(0)}) {
        ::umask(mask);
        const QString plain = b.scratch.path("plain");
        QFile::remove(plain);
        const int fd = ::open(QFile::encodeName(plain).constData(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        ASSERT_GE(fd, 0);
        ::close(fd);
        QDir(b.destination).removeRecursively();
        QDir().mkpath(b.destination);
        ASSERT_EQ(b.runParallel({"a.bmp"}, 1).convertedCount(), 1);
        EXPECT_EQ(modeOf(QDir(b.destination).filePath("a.bmp")) & 07777, modeOf(plain) & 07777) << std::oct << mask;
    }
    ::umask(was);
}

// The workers make a plain picture's set in memory, never in the slots; what
// they write must be what the window's run through the slots writes, for
// every kind of source (the ones kept in memory and the ones that are not),
// both outputs and every setting that reaches the chain.
TEST(Batch, WorkersWriteWhatTheSlotsWrite) {
    const std::vector<std::pair<QString, Bytes>> sources = {
        {"square.bmp", plainBmp(64, 64, 24, 3)},
        {"oblong.bmp", plainBmp(100, 60, 24, 5)},
        {"large.bmp", plainBmp(300, 300, 24, 11)},
        {"grid.bmp", onGridBmp(32)},
        {"one.bmp", plainBmp(1, 1, 24, 2)},
        {"palette.bmp", plainBmp(32, 32, 8, 9)},
        {"photo.png", pngPicture(96, 80, false)},
        {"cutout.png", pngPicture(64, 64, true)},
        // DDS files our own reader reads, behind either header.
        {"bc7.dds", ddsOfPainting(64, false, DdsFormat::blocks(quor::blocks::Format::Bc7))},
        {"565.dds", laidOutDds({.bits = 16, .masks = {0xf800, 0x07e0, 0x001f, 0}}, 32, 6, randomTexels(32, 9))},
    };
    struct Case {
        bool dds;
        DdsFormat format;
        bool keepCoverage;
        int maxImport;
    };
    const Case cases[] = {{false, DdsFormat::Auto, false, 256},
                          {false, DdsFormat::Auto, true, 128},
                          {true, DdsFormat::Auto, false, 256},
                          {true, DdsFormat::Rgba, true, 64}};
    for (const Case& c : cases) {
        Batch b;
        QStringList names;
        for (const auto& [name, bytes] : sources) {
            b.add(name, bytes);
            names << name;
        }
        BatchRequest request = b.request(names);
        request.writeDds = c.dds;
        request.ddsFormat = c.format;
        request.options.keepCoverage = c.keepCoverage;
        request.maxImport = c.maxImport;
        const std::string label = std::string(c.dds ? "dds" : "set") + (c.keepCoverage ? " coverage" : "") + " " +
                                  std::to_string(c.maxImport);
        const BatchSummary inSlots = runBatch(request, b.scratch.workspace, b.library, b.palette, {});
        ASSERT_TRUE(inSlots.complete()) << label << ": " << inSlots.text().toStdString();
        std::map<QString, Bytes> expected;
        for (const QString& name : names) expected[name] = b.output(destinationName(name, request));
        QDir(b.destination).removeRecursively();
        QDir().mkpath(b.destination);
        for (int jobs : {1, 2}) {
            const BatchSummary workers = runBatchInParallel(request, jobs, b.scratch.path("workers"), {});
            EXPECT_EQ(workers.text(), inSlots.text()) << label;
            for (const QString& name : names)
                EXPECT_EQ(b.output(destinationName(name, request)), expected[name])
                    << label << " jobs " << jobs << " " << name.toStdString();
        }
    }
}

// DDS files, behind either header, come into Load Any Image and the batch
// as a picture of the texels an outside reader decodes from their largest
// level would: a PNG of Pillow's decoding, brought in beside each, makes a
// set of the same depth and size whose largest level, and the texture the
// batch writes of it, are the same within one step of rounding.
TEST(Batch, DdsSourcesComeInAsAnOutsideReaderDecodesThem) {
    if (pillowPython().isEmpty()) GTEST_SKIP() << "Pillow (python3-pil) is not installed";
    const DdsFormat bc7 = DdsFormat::blocks(quor::blocks::Format::Bc7);
    // The uncompressed file Save As DDS writes, and its texels as R8G8B8A8
    // behind the DX10 header.
    const Bytes plain = ddsOfPainting(64, true, DdsFormat::Rgba);
    Bytes rgba8(plain.begin() + 128, plain.end());
    for (size_t i = 0; i < rgba8.size(); i += 4) std::swap(rgba8[i], rgba8[i + 2]);
    // A texture of no set's shape, which only the DX10 header can hold in BC7.
    const Bytes oblong = painting(96, 40, true, 5);
    Bytes oblongBlocks(size_t(_bcsize(96, 40, QUOR_BC7)));
    ASSERT_TRUE(_bcencode(oblong.data(), 96, 40, QUOR_BC7, oblongBlocks.data(), int32_t(oblongBlocks.size())));
    struct Case {
        QString name;
        Bytes file;
    };
    const Case cases[] = {
        {"bc7 alpha.dds", ddsOfPainting(64, true, bc7)},
        {"bc7 opaque.dds", ddsOfPainting(64, false, bc7)},
        {"uncompressed.dds", plain},
        {"rgba8.dds", laidOutDds({.dxgi = 28}, 64, 7, rgba8)},
        {"bc7 oblong.dds", laidOutDds({.dxgi = 98}, 96, 1, oblongBlocks, 40)},
    };
    static const bool magickReady = (Magick::InitializeMagick(nullptr), true);
    (void)magickReady;
    Batch b;
    QStringList names;
    for (const Case& c : cases) {
        b.add(c.name, c.file);
        Bytes decoded = pillowRgba(QDir(b.source).filePath(c.name));
        ASSERT_FALSE(decoded.empty()) << c.name.toStdString();
        const int width = int(layout::read32(c.file, 16)), height = int(layout::read32(c.file, 12));
        Magick::Image picture(size_t(width), size_t(height), "RGBA", Magick::CharPixel, decoded.data());
        picture.magick("PNG");
        picture.write(QDir(b.source).filePath(c.name + ".png").toStdString());
        names << c.name << c.name + ".png";
    }

    Workspace& ws = b.scratch.workspace;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        std::array<SetState, 2> states;
        std::array<Bytes, 2> largest;
        for (int i = 0; i < 2; ++i) {
            const QString file = QDir(b.source).filePath(i == 0 ? c.name : c.name + ".png");
            const CommandOutcome loaded = loadAnyImage(file, ws, b.library, {}, 512);
            ASSERT_TRUE(loaded.ok) << loaded.error.toStdString();
            states[size_t(i)] = ws.state();
            int w = 0, h = 0, bits = 0;
            ASSERT_TRUE(readPictureRgba(ws.levelPath(ws.state().largest), w, h, bits, largest[size_t(i)]));
        }
        EXPECT_EQ(states[0].depth, states[1].depth);
        EXPECT_EQ(states[0].largest, states[1].largest);
        EXPECT_LE(worstDifference(largest[0], largest[1]), 1);
    }

    BatchRequest request = b.request(names);
    request.writeDds = true;
    request.ddsFormat = DdsFormat::Rgba;
    const BatchSummary run = runBatchInParallel(request, 1, b.scratch.path("workers"), {});
    EXPECT_TRUE(run.complete()) << run.text().toStdString();
    for (const Case& c : cases) {
        const QString out = QDir(b.destination).filePath(destinationName(c.name, request));
        const QString reference = QDir(b.destination).filePath(destinationName(c.name + ".png", request));
        const Bytes theirs = pillowRgba(reference);
        ASSERT_FALSE(theirs.empty()) << c.name.toStdString();
        EXPECT_LE(worstDifference(pillowRgba(out), theirs), 1) << c.name.toStdString();
    }
}

// Outputs are told apart as the destination tells names apart.  Whether a
// folder folds case is seen by making a file there and looking it up by
// the same name in other case; two sources clash on a folding destination
// when their outputs differ in case alone, and never on another.
TEST(Batch, OutputsAreToldApartAsTheDestinationTellsNames) {
    Batch b;
    SmallDisk memory(b.scratch.path("memory"));
    QStringList folders = {b.scratch.dir.path(), QDir::tempPath(), "/dev/shm"};
    if (memory.mounted) folders << memory.path;
    for (const QString& folder : folders) {
        const QByteArray lower = QFile::encodeName(QDir(folder).filePath("corvane-fold-probe"));
        const QByteArray upper = QFile::encodeName(QDir(folder).filePath("CORVANE-FOLD-PROBE"));
        const int fd = ::open(lower.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) continue;  // no file is made here
        ::close(fd);
        struct stat one {
        }, other{};
        const bool folds = ::stat(upper.constData(), &other) == 0 && ::stat(lower.constData(), &one) == 0 &&
                           one.st_ino == other.st_ino && one.st_dev == other.st_dev;
        ::unlink(lower.constData());
        EXPECT_EQ(folderFoldsCase(folder), folds) << folder.toStdString();
    }

    const struct {
        QStringList names;
        bool dds;
        bool clashWhenFolded, clashOtherwise;
    } rows[] = {
        {{"a.bmp", "A.bmp"}, false, true, false},  {{"a.bmp", "A.BMP"}, false, true, false},
        {{"a.bmp", "b.bmp"}, false, false, false}, {{"x.bmp", "x.BMP"}, true, true, true},  // both x.dds
        {{"x.bmp", "X.png"}, true, true, false},   {{"\u00e9t\u00e9.bmp", "\u00c9T\u00c9.bmp"}, false, true, false},
    };
    for (const auto& row : rows) {
        for (const bool fold : {true, false}) {
            BatchRequest request = b.request(row.names);
            request.writeDds = row.dds;
            const QString refusal = settleBatchNames(request, fold);
            const bool clash = fold ? row.clashWhenFolded : row.clashOtherwise;
            EXPECT_EQ(refusal.startsWith("Two sources would become one file"), clash)
                << row.names.join(' ').toStdString() << (fold ? " folded: " : ": ") << refusal.toStdString();
        }
    }
    // A run onto this destination tells them apart as its file system does.
    b.add("a.bmp", plainBmp(16, 16, 24, 1));
    b.add("A.bmp", plainBmp(16, 16, 24, 2));
    const BatchSummary both = b.run({"a.bmp", "A.bmp"});
    EXPECT_EQ(both.refusal.isEmpty(), !folderFoldsCase(b.destination)) << both.text().toStdString();
}

// A destination folder swapped for a link to another folder part way through
// a save, at any step of it, is not written through: the file goes into the
// folder the run began with, or nowhere, and nothing is left half made.
TEST(Batch, ADestinationSwappedForALinkIsNotWrittenThrough) {
    for (const WriteStage stage : {WriteStage::Create, WriteStage::Write, WriteStage::Flush, WriteStage::Rename}) {
        for (const int jobs : {0, 2}) {
            SCOPED_TRACE(::testing::Message() << "stage " << int(stage) << ", jobs " << jobs);
            Batch b;
            b.add("a.bmp", plainBmp(16, 16, 24, 3));
            const QString held = b.scratch.path("held"), outside = b.scratch.path("outside");
            QDir().mkpath(outside);
            std::atomic<bool> swapped{false};
            setWriteFaultForTesting([&](WriteStage at) {
                if (at == stage && !swapped.exchange(true)) {
                    EXPECT_EQ(
                        ::rename(QFile::encodeName(b.destination).constData(), QFile::encodeName(held).constData()), 0);
                    EXPECT_TRUE(QFile::link(outside, b.destination));
                }
                return false;
            });
            const BatchSummary summary = jobs == 0 ? b.run({"a.bmp"}) : b.runParallel({"a.bmp"}, jobs);
            setWriteFaultForTesting({});
            ASSERT_TRUE(swapped);
            EXPECT_TRUE(everythingIn(outside).empty()) << summary.text().toStdString();
            const std::set<QString> left = everythingIn(held);
            EXPECT_TRUE(left.empty() || left == std::set<QString>{"a.bmp"}) << summary.text().toStdString();
            if (!left.empty()) expectWholeSet(readBytes(QDir(held).filePath("a.bmp")), "a.bmp");
        }
    }
}
