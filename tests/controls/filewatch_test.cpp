// A watched file saved the two ways paint programs save: written in place,
// and written anew beside it and renamed over it.
#include "filewatch.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>

namespace corvane {
namespace {

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Replaces `path` the way many programs save: a new file renamed over it.
bool renameOver(const QString& path, const QByteArray& bytes) {
    const QString fresh = path + ".saving";
    return writeFile(fresh, bytes) &&
           std::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(path).constData()) == 0;
}

constexpr int kGenerous = 10000;  // ms; the signal comes well within a second

TEST(FileWatch, SeesWritesInPlaceAndRenamesOverOnceABurst) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString level = dir.filePath("Bmp256.bmp"), other = dir.filePath("Bmp128.bmp");
    ASSERT_TRUE(writeFile(level, "one"));
    ASSERT_TRUE(writeFile(other, "one"));
    FileWatch watch;
    watch.setFiles({level, other});
    QSignalSpy changed(&watch, &FileWatch::changed);

    ASSERT_TRUE(writeFile(level, "two, in place"));
    ASSERT_TRUE(changed.wait(kGenerous));
    EXPECT_EQ(changed.takeFirst().at(0).toString(), level);

    // Renamed over twice: the second shows the watch survived the first.
    for (const char* content : {"three, renamed over", "four, renamed over again"}) {
        ASSERT_TRUE(renameOver(other, content));
        ASSERT_TRUE(changed.wait(kGenerous)) << content;
        EXPECT_EQ(changed.takeFirst().at(0).toString(), other);
    }

    // A burst of writes is one change.  (The system may tell of a rename in
    // more than one event; those are let through first.)
    QTest::qWait(4 * FileWatch::kSettleMs);
    changed.clear();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(writeFile(level, QByteArray(100 + i, 'x')));
    ASSERT_TRUE(changed.wait(kGenerous));
    QTest::qWait(4 * FileWatch::kSettleMs);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.takeFirst().at(0).toString(), level);

    // Files nobody asked about are not told of.
    ASSERT_TRUE(writeFile(dir.filePath("notes.txt"), "unrelated"));
    QTest::qWait(4 * FileWatch::kSettleMs);
    EXPECT_EQ(changed.count(), 0);

    // A file deleted and made again is told of when it is back.
    ASSERT_TRUE(QFile::remove(level));
    QTest::qWait(2 * FileWatch::kSettleMs);
    ASSERT_TRUE(writeFile(level, "five, made again"));
    ASSERT_TRUE(changed.wait(kGenerous));
    EXPECT_EQ(changed.takeLast().at(0).toString(), level);
}

}  // namespace
}  // namespace corvane
