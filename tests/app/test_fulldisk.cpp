// A full disk under the work folder or the saved file: every command either
// does its work or fails saying so, and the user's file stays as it was.
#include "testsets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>

#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>
#endif

using namespace corvane::testing;

namespace {

// A small file system of its own, when this account may mount one.
class SmallDisk {
public:
    explicit SmallDisk(const QString& where, const char* size) : path_(where) {
#ifndef _WIN32
        QDir().mkpath(where);
        const std::string options = std::string("size=") + size;
        mounted_ = ::mount("tmpfs", QFile::encodeName(where).constData(), "tmpfs", 0, options.c_str()) == 0;
#endif
    }
    ~SmallDisk() {
#ifndef _WIN32
        if (mounted_) ::umount2(QFile::encodeName(path_).constData(), MNT_DETACH);
#endif
    }
    bool mounted() const { return mounted_; }
    // Fills the disk up to `free` bytes of room, in a file of its own.
    void leaveFree(qint64 free) {
        QFile::remove(path_ + "/filler");
        QFile filler(path_ + "/filler");
        filler.open(QIODevice::WriteOnly);
        const QByteArray block(4096, 'x');
        while (QStorageInfo(path_).bytesAvailable() > free + 4096 && filler.write(block) == block.size()) {}
        filler.close();
    }
    QStringList leftovers() const {
        QStringList found;
        QDirIterator it(path_, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            if (!p.endsWith("/filler") && !p.endsWith("/out.bmp")) found << p;
        }
        return found;
    }

private:
    QString path_;
    bool mounted_ = false;
};

struct Result {
    int code = -1;
    QString err;
};

Result runProgram(const QStringList& args, const QString& temp) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("TEMP");
    env.remove("TMP");
    env.insert("TMPDIR", temp);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(CORVANE_PROGRAM, args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardError())};
}

}  // namespace

TEST(FullDisk, CommandsSucceedOrSaySoAndKeepTheOldFile) {
    QTemporaryDir dir;
    SmallDisk disk(dir.filePath("small"), "3m");
    if (!disk.mounted()) GTEST_SKIP() << "no small file system can be mounted here";

    QImage photo(256, 256, QImage::Format_RGB32);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) photo.setPixel(x, y, qRgb(x, (x * y) % 256, (3 * y) % 256));
    const QString picture = dir.filePath("photo.png");
    ASSERT_TRUE(photo.save(picture));
    const QStringList make = {"--load-any", picture, "--create-image-set", "--save"};
    const QString set = dir.filePath("set.bmp");
    ASSERT_TRUE(writeBytes(set, makeSet(Form::Eight, 256)));
    const QStringList view = {"--load-extended", set, "--view-transparency"};
    const Bytes old = makeSet(Form::Rgb565, 64);

    for (const QStringList& line : {make, view}) {
        // What a run with room to spare writes.
        const Result reference = runProgram(line + QStringList{dir.filePath("reference.bmp")}, dir.path());
        ASSERT_EQ(reference.code, 0) << reference.err.toStdString();
        const Bytes expected = readBytes(dir.filePath("reference.bmp"));

        // The work folder on the full disk, the written file elsewhere.
        const QString saved = dir.filePath("saved.bmp");
        for (qint64 free : {0, 8 << 10, 64 << 10, 200 << 10, 400 << 10, 700 << 10, 1 << 20}) {
            writeBytes(saved, old);
            disk.leaveFree(free);
            const Result r = runProgram(line + QStringList{saved}, dir.filePath("small"));
            if (r.code == 0) {
                EXPECT_EQ(readBytes(saved), expected) << free << " bytes free";
            } else {
                EXPECT_EQ(r.code, 1) << free;
                EXPECT_TRUE(r.err.contains("no space", Qt::CaseInsensitive)) << free << ": " << r.err.toStdString();
                EXPECT_EQ(r.err.count('\n'), 1) << "one line: " << r.err.toStdString();
                EXPECT_EQ(readBytes(saved), old) << free << " bytes free";
            }
            EXPECT_TRUE(disk.leftovers().isEmpty()) << disk.leftovers().join(' ').toStdString();
        }
    }

    // The saved file on the full disk.
    const QString onDisk = dir.filePath("small/out.bmp");
    disk.leaveFree(1 << 20);
    writeBytes(onDisk, old);
    disk.leaveFree(0);
    const Result r = runProgram(make + QStringList{onDisk}, dir.path());
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("no space", Qt::CaseInsensitive)) << r.err.toStdString();
    EXPECT_EQ(readBytes(onDisk), old);
    EXPECT_TRUE(disk.leftovers().isEmpty()) << disk.leftovers().join(' ').toStdString();
}
