// Batch runs over a folder the test makes.
#include "testsets.h"

#include "batch.h"
#include "palettelevels.h"
#include "splitjoin.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <map>

using namespace corvane;
using namespace corvane::testing;

namespace {

struct Batch {
    Scratch scratch;
    QuorContext context{};
    QuorLibrary library{context};
    PaletteLevels palette;
    QString source, destination;
    Batch() {
        QDir(scratch.dir.path()).mkpath("src");
        QDir(scratch.dir.path()).mkpath("dest");
        source = scratch.path("src");
        destination = scratch.path("dest");
    }
    void add(const QString& name, const Bytes& bytes) { writeBytes(QDir(source).filePath(name), bytes); }
    BatchSummary run(const QStringList& names, bool colour0 = false, std::vector<QString>* order = nullptr,
                     const QString& dest = {}) {
        BatchRequest request;
        request.sourceFolder = source;
        request.destinationFolder = dest.isEmpty() ? destination : dest;
        request.names = names;
        request.colour0Transparent = colour0;
        request.options.smooth8 = false;
        BatchObserver observer;
        observer.starting = [order](int, int, const QString& name) {
            if (order) order->push_back(name);
        };
        return runBatch(request, scratch.workspace, library, palette, {}, observer);
    }
    Bytes output(const QString& name) const { return readBytes(QDir(destination).filePath(name)); }
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
    for (const QString& name : names) writeBytes(QDir(b.destination).filePath(name), previous);
    QDir(b.scratch.dir.path()).mkpath("workers");
    BatchRequest request;
    request.sourceFolder = b.source;
    request.destinationFolder = b.destination;
    request.names = names;
    request.options.smooth8 = false;
    for (WriteStage failing : {WriteStage::Flush, WriteStage::Rename}) {
        std::atomic<int> seen{0};
        // The third save to reach the failing stage fails there.
        setWriteFaultForTesting([&](WriteStage stage) { return stage == failing && ++seen == 3; });
        std::vector<int> order;
        BatchObserver observer;
        observer.finished = [&](int index, int, const BatchFileResult&) { order.push_back(index); };
        const BatchSummary summary = runBatchInParallel(request, 2, b.scratch.path("workers"), {}, observer);
        setWriteFaultForTesting({});
        EXPECT_EQ(summary.convertedCount(), 5) << int(failing);
        ASSERT_EQ(summary.failedCount(), 1) << int(failing);
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
        for (const BatchFileResult& file : summary.files) {
            const Bytes now = b.output(file.name);
            if (file.converted) {
                EXPECT_NE(now, previous) << file.name.toStdString();
            } else {
                EXPECT_TRUE(file.problem.startsWith("Cannot save " + file.name)) << file.problem.toStdString();
                EXPECT_EQ(now, previous) << file.name.toStdString();
            }
        }
        EXPECT_EQ(QDir(b.destination).entryList(QDir::Files | QDir::Hidden).size(), names.size());
        for (const QString& name : names) writeBytes(QDir(b.destination).filePath(name), previous);
    }
}
