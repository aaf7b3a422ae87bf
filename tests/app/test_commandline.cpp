// Corvane without a window: each command runs the window's own code.
#include "commandline.h"
#include "testsets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QImage>
#include <QTextStream>

#ifndef _WIN32
#include <csignal>
#include <sys/types.h>
#endif

using namespace corvane;
using namespace corvane::testing;

namespace {

struct LineRun {
    int code = -1;
    QString out, err;
};

LineRun runCorvane(const QStringList& args) {
    LineRun run;
    QTextStream out(&run.out), err(&run.err);
    run.code = runCommandLine(args, out, err);
    return run;
}

}  // namespace

TEST(CommandLine, LoadThenSaveGivesBackTheSameFileForEveryForm) {
    Scratch s;
    for (Form form : {Form::Eight, Form::EightRecord, Form::Rgb565, Form::Argb4444, Form::Argb4444Short, Form::Argb32}) {
        for (int edge : {256, 2}) {
            const Bytes original = makeSet(form, edge);
            writeBytes(s.path("in.bmp"), original);
            const LineRun run = runCorvane({"--load-extended", s.path("in.bmp"), "--save", s.path("out.bmp")});
            ASSERT_EQ(run.code, 0) << run.err.toStdString();
            EXPECT_TRUE(readBytes(s.path("out.bmp")) == original) << int(form) << " " << edge;
        }
    }
}

TEST(CommandLine, TexturesNewSetsAndConversions) {
    Scratch s;
    Bytes raw(65536);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 7);
    writeBytes(s.path("raw.af"), raw);
    LineRun run = runCorvane({"--load-texture", s.path("raw.af"), "--create-image-set", "--save", s.path("chain.bmp")});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    EXPECT_EQ(readBytes(s.path("chain.bmp")).size(), size_t(layout::fileLength(256, 1, 1078)));

    run = runCorvane({"--new16", "--save", s.path("new.bmp")});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    const Bytes blank = readBytes(s.path("new.bmp"));
    ASSERT_EQ(blank.size(), 174848u);
    EXPECT_TRUE(std::all_of(blank.begin() + 86, blank.end(), [](uint8_t b) { return b == 0; }));

    QImage photo(300, 200, QImage::Format_RGB32);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) photo.setPixel(x, y, qRgb(x % 256, y, (x + y) % 256));
    ASSERT_TRUE(photo.save(s.path("photo.png")));
    run = runCorvane({"--load-any", s.path("photo.png"), "--create-image-set", "--convert-to", "565", "--save",
                   s.path("out.bmp"), "--info"});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    const Bytes converted = readBytes(s.path("out.bmp"));
    ASSERT_EQ(converted.size(), size_t(layout::fileLength(256, 2, 86)));
    EXPECT_EQ(layout::read32(converted, 54), 0xF800u);
    EXPECT_TRUE(run.out.contains("Depth: 16-bit 5-6-5"));
    EXPECT_TRUE(run.out.contains("Bitmap - photo.png"));
}

TEST(CommandLine, ColourZeroTransparentChangesOnlyTheLevelBytes) {
    Scratch s;
    const Bytes original = makeSet(Form::EightRecord, 64);
    writeBytes(s.path("set.bmp"), original);
    const LineRun run = runCorvane({"--load-extended", s.path("set.bmp"), "--colour0-transparent", "--save-palette", "--save",
                             s.path("out.bmp")});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    const Bytes saved = readBytes(s.path("out.bmp"));
    ASSERT_EQ(saved.size(), original.size());
    for (size_t i = 0; i < saved.size(); ++i) {
        if (i >= 54 && i < 1078 && (i - 54) % 4 == 3)
            ASSERT_EQ(saved[i], i == 57 ? 0 : 255) << i;
        else
            ASSERT_EQ(saved[i], original[i]) << i;
    }
}

TEST(CommandLine, BatchOfMixedFilesReportsTheCorruptOne) {
    Scratch s;
    QDir(s.dir.path()).mkpath("src");
    QDir(s.dir.path()).mkpath("dest");
    const QString src = s.path("src"), dest = s.path("dest");
    const int sizes[] = {16, 32, 64, 128, 256, 512};
    for (int i = 0; i < 50; ++i)
        writeBytes(QDir(src).filePath(QString("f%1.bmp").arg(i, 2, 10, QChar('0'))),
                   plainBmp(sizes[i % 6] - (i % 3), sizes[i % 6] - (i % 3), i % 2 ? 8 : 24, i + 1));
    LineRun run = runCorvane({"--set", "MaxImport=512", "--batch", src, dest});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    EXPECT_EQ(QDir(dest).entryList(QDir::Files).size(), 50);
    EXPECT_TRUE(run.out.contains("50 converted, 0 failed"));

    writeBytes(QDir(src).filePath("zz-corrupt.bmp"), Bytes(700, 0x41));
    run = runCorvane({"--set", "MaxImport=512", "--batch", src, dest});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.out.contains("50 converted, 1 failed")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("zz-corrupt.bmp"));
    EXPECT_TRUE(run.err.contains("--batch"));
}

// A line of batches runs without the window; each file must come out as the
// window's own commands make it, under the same stored settings.
TEST(CommandLine, BatchAloneWritesWhatTheWindowsCommandsWrite) {
    Scratch s;
    QDir(s.dir.path()).mkpath("src");
    QDir(s.dir.path()).mkpath("dest");
    const QString src = s.path("src"), dest = s.path("dest");
    writeBytes(QDir(src).filePath("a.bmp"), plainBmp(200, 90, 8, 3));
    writeBytes(QDir(src).filePath("b.bmp"), plainBmp(64, 64, 24, 4));
    const QStringList settings = {"--set", "Lightening=-20", "--set", "MaxImport=128", "--set", "Smooth8bit=1"};
    for (const char* jobs : {"1", "2"}) {
        const LineRun batch = runCorvane(settings + QStringList{"--batch", src, dest, "--jobs", jobs});
        ASSERT_EQ(batch.code, 0) << batch.err.toStdString();
        for (const char* name : {"a.bmp", "b.bmp"}) {
            const LineRun window = runCorvane(settings + QStringList{"--load-any", QDir(src).filePath(name),
                                                                    "--create-image-set", "--save", s.path(name)});
            ASSERT_EQ(window.code, 0) << window.err.toStdString();
            EXPECT_TRUE(readBytes(QDir(dest).filePath(name)) == readBytes(s.path(name))) << name << " jobs " << jobs;
        }
    }
    // Followed by another command, the last set converted is the current one.
    const LineRun then = runCorvane(settings + QStringList{"--batch", src, dest, "--info"});
    ASSERT_EQ(then.code, 0) << then.err.toStdString();
    EXPECT_TRUE(then.out.contains("Largest level: 64")) << then.out.toStdString();
}

// The run's work folder goes where the window's does: TEMP comes first.
TEST(CommandLine, WorkFolderFollowsTheTemporaryFolderRule) {
    Scratch s;
    const QByteArray before = qgetenv("TEMP");
    const bool had = qEnvironmentVariableIsSet("TEMP");
    const QString missing = s.path("no-such-folder");
    qputenv("TEMP", QFile::encodeName(missing));
    const LineRun refused = runCorvane({"--new16"});
    const LineRun batch = runCorvane({"--batch", s.dir.path(), s.dir.path()});
    if (had) qputenv("TEMP", before);
    else qunsetenv("TEMP");
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.err.contains(missing)) << refused.err.toStdString();
    EXPECT_EQ(batch.code, 1);
    EXPECT_EQ(runCorvane({"--new16"}).code, 0);
}

// The program itself: a line of batches runs on Qt Core alone, and any other
// line loads the window's library from beside the program.
TEST(CommandLine, TheProgramRunsBatchesAloneAndLoadsTheWindowForTheRest) {
    Scratch s;
    QDir(s.dir.path()).mkpath("src");
    QDir(s.dir.path()).mkpath("dest");
    writeBytes(s.path("src/a.bmp"), plainBmp(40, 30, 24, 5));
    const auto run = [](const QStringList& args) {
        QProcess program;
        program.start(QStringLiteral(CORVANE_PROGRAM), args);
        program.waitForFinished(60000);
        return std::make_pair(program.exitCode(), QString::fromLocal8Bit(program.readAllStandardOutput()));
    };
    const auto batch = run({"--batch", s.path("src"), s.path("dest"), "--jobs", "1"});
    EXPECT_EQ(batch.first, 0);
    EXPECT_TRUE(batch.second.contains("1 converted, 0 failed")) << batch.second.toStdString();
    const auto window = run({"--load-any", s.path("src/a.bmp"), "--create-image-set", "--save", s.path("b.bmp")});
    EXPECT_EQ(window.first, 0);
    EXPECT_TRUE(readBytes(s.path("b.bmp")) == readBytes(s.path("dest/a.bmp")));
    EXPECT_EQ(run({"--help"}).first, 0);
    EXPECT_EQ(run({"--bogus"}).first, 2);
}

#ifndef _WIN32
// Ctrl+C in a line of batches stops it between files: what was converted is
// whole, the line fails, and no work folder is left behind.
TEST(CommandLine, AnInterruptedBatchStopsBetweenFilesAndCleansUp) {
    Scratch s;
    QDir(s.dir.path()).mkpath("src");
    QDir(s.dir.path()).mkpath("dest");
    QDir(s.dir.path()).mkpath("temp");
    constexpr int kFiles = 120;
    for (int i = 0; i < kFiles; ++i)
        writeBytes(s.path(QStringLiteral("src/p%1.bmp").arg(i, 3, 10, QChar('0'))), plainBmp(256, 256, 24, i));
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) environment.insert(name, s.path("temp"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(CORVANE_PROGRAM), {"--batch", s.path("src"), s.path("dest"), "--jobs", "2"});
    ASSERT_TRUE(program.waitForStarted(30000));
    QByteArray out;
    while (!out.contains("converted ") && program.waitForReadyRead(30000)) out += program.readAllStandardOutput();
    ASSERT_TRUE(out.contains("converted ")) << out.constData();
    ::kill(pid_t(program.processId()), SIGINT);
    ASSERT_TRUE(program.waitForFinished(60000));
    out += program.readAllStandardOutput();

    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_TRUE(out.contains("stopped before the end")) << out.constData();
    EXPECT_TRUE(QString::fromLocal8Bit(program.readAllStandardError()).contains("stopped before the end"));
    EXPECT_TRUE(QDir(s.path("temp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    const QFileInfoList written = QDir(s.path("dest")).entryInfoList(QDir::Files | QDir::Hidden);
    EXPECT_GT(written.size(), 0);
    EXPECT_LT(written.size(), kFiles);
    EXPECT_EQ(written.size(), out.count("\nconverted ") + (out.startsWith("converted ") ? 1 : 0));
    for (const QFileInfo& file : written) EXPECT_EQ(file.size(), written.first().size()) << file.fileName().toStdString();
}
#endif

TEST(CommandLine, UsageErrorsAndFailuresAreTold) {
    EXPECT_EQ(runCorvane({"--bogus"}).code, 2);
    EXPECT_EQ(runCorvane({"--save"}).code, 2);
    EXPECT_EQ(runCorvane({"--set", "novalue"}).code, 2);
    EXPECT_EQ(runCorvane({"--batch", "onlyone"}).code, 2);
    const LineRun help = runCorvane({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("--view-transparency"));

    Scratch s;
    writeBytes(s.path("oblong.bmp"), makeSet(Form::Eight, 4));
    Bytes oblong = makeSet(Form::Eight, 4);
    layout::write32(oblong, 22, 2);
    writeBytes(s.path("oblong.bmp"), oblong);
    const LineRun refused = runCorvane({"--load-extended", s.path("oblong.bmp"), "--save", s.path("never.bmp")});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.err.contains("--load-extended failed"));
    EXPECT_FALSE(QFileInfo::exists(s.path("never.bmp")));
}
