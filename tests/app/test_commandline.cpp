// Corvane without a window: each command runs the window's own code.
#include "commandline.h"
#include "linerun.h"
#include "testsets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QImage>
#include <QTextStream>

#ifndef _WIN32
#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

using namespace corvane;
using namespace corvane::testing;

namespace {

// The program itself, with its temporary folder in `temp`.  A run that has
// not ended after `patience` is killed and reported as code -1.
LineRun runProgram(const QStringList& args, const QString& temp, int patience = 20000) {
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) environment.insert(name, temp);
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(CORVANE_PROGRAM), args);
    LineRun run;
    if (!program.waitForFinished(patience)) {
        program.kill();
        program.waitForFinished(5000);
    } else if (program.exitStatus() == QProcess::NormalExit) {
        run.code = program.exitCode();
    }
    run.out = QString::fromLocal8Bit(program.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(program.readAllStandardError());
    return run;
}

// What a folder holds, hidden entries included.
QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

}  // namespace

TEST(CommandLine, LoadThenSaveGivesBackTheSameFileForEveryForm) {
    Scratch s;
    for (Form form :
         {Form::Eight, Form::EightRecord, Form::Rgb565, Form::Argb4444, Form::Argb4444Short, Form::Argb32}) {
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

    // A new set keeps its name through a conversion, whose exchange file is no name of the user's.
    run = runCorvane({"--new16", "--convert-to", "4444", "--info"});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.startsWith("New Bitmap\n")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("Depth: 16-bit 4-4-4-4"));
}

// A failing command is told in one line naming it and what really went
// wrong: a file that is not there or not a file is not "not a picture".
TEST(CommandLine, AFailureIsToldOnceWithItsRealCause) {
    Scratch s;
    const QString set = s.path("set.bmp"), junk = s.path("junk.png"), folder = s.path("folder"),
                  missing = s.path("missing.png");
    ASSERT_TRUE(writeBytes(set, makeSet(Form::Eight, 256)));
    ASSERT_TRUE(writeBytes(junk, Bytes(500, 0x41)));
    ASSERT_TRUE(QDir().mkpath(folder));
    struct Case {
        QStringList line;
        QString told;
    };
    std::vector<Case> cases = {
        {{"--load-any", missing}, "--load-any failed: Cannot read " + missing + ": no such file or folder."},
        {{"--load-any", folder}, "--load-any failed: " + folder + " is not a regular file."},
        {{"--load-any", junk}, "--load-any failed: Cannot read junk.png: it is not a picture Corvane can open."},
        {{"--load-extended", set, "--merge", missing},
         "--merge failed: Cannot read " + missing + ": no such file or folder."},
        {{"--load-extended", set, "--import-std", folder},
         "--import-std failed: " + folder + " is not a regular file."},
        {{"--load-extended", set, "--import-std", junk},
         "--import-std failed: Cannot read junk.png: it is not a picture Corvane can open."},
    };
#ifndef _WIN32
    if (::geteuid() != 0) {  // permissions do not hold for the superuser
        const QString closed = s.path("closed.bmp");
        ASSERT_TRUE(writeBytes(closed, makeSet(Form::Eight, 4)));
        ASSERT_TRUE(QFile::setPermissions(closed, QFileDevice::WriteOwner));
        cases.push_back({{"--load-any", closed}, "--load-any failed: Cannot read " + closed + ": permission denied."});
    }
#endif
    for (const Case& c : cases) {
        const LineRun run = runCorvane(c.line);
        EXPECT_EQ(run.code, 1) << c.line.join(' ').toStdString();
        EXPECT_EQ(run.err.toStdString(), ("corvane: " + c.told + "\n").toStdString());
    }
}

// Settings hold for the whole line wherever they stand: before, between and
// after the commands, and after a batch's folders and names.
TEST(CommandLine, SettingsMayStandAnywhereOnTheLine) {
    Scratch s;
    QDir(s.dir.path()).mkpath("src");
    const QString picture = s.path("src/a.bmp");
    ASSERT_TRUE(writeBytes(picture, plainBmp(200, 90, 24, 3)));
    const QStringList limit = {"--set", "MaxImport=64"};
    for (const QStringList& line : {limit + QStringList{"--load-any", picture, "--info"},
                                    QStringList{"--load-any", picture} + limit + QStringList{"--info"},
                                    QStringList{"--load-any", picture, "--info"} + limit}) {
        const LineRun run = runCorvane(line);
        ASSERT_EQ(run.code, 0) << run.err.toStdString();
        EXPECT_TRUE(run.out.contains("Largest level: 64\n")) << line.join(' ').toStdString();
    }
    // Alone and followed by another command, a batch runs two different ways.
    for (const QStringList& line :
         {QStringList{"--batch", s.path("src"), s.path("dest")} + limit,
          QStringList{"--batch", s.path("src"), s.path("dest"), "a.bmp"} + limit + QStringList{"--info"}}) {
        QDir(s.path("dest")).removeRecursively();
        QDir().mkpath(s.path("dest"));
        const LineRun run = runCorvane(line);
        ASSERT_EQ(run.code, 0) << run.err.toStdString();
        const Bytes converted = readBytes(s.path("dest/a.bmp"));
        EXPECT_EQ(layout::read32(converted, layout::kWidthAt), 64u) << line.join(' ').toStdString();
    }
}

// Maps and the view file go through a temporary file beside them; when one
// cannot be written or read the command fails naming the cause, and nothing
// that stood there is lost.
TEST(CommandLine, MapsAndTheViewFileFailWithTheirCause) {
    Scratch s;
    const QString set = s.path("set.bmp"), folder = s.path("folder");
    ASSERT_TRUE(writeBytes(set, makeSet(Form::Eight, 32)));
    ASSERT_TRUE(QDir().mkpath(folder));
    const struct {
        QStringList commands;
        QString told;
    } cases[] = {
        {{"--save-map", s.path("gone/fleet.mpt")},
         "--save-map failed: Cannot write " + s.path("gone/fleet.mpt") + ": no such file or folder."},
        {{"--save-map", folder}, "--save-map failed: Cannot write " + folder + ": is a folder."},
        {{"--load-map", s.path("missing.mpt")},
         "--load-map failed: Cannot read " + s.path("missing.mpt") + ": no such file or folder."},
        {{"--view-transparency", s.path("gone/view.bmp")},
         "--view-transparency failed: Cannot write " + s.path("gone/view.bmp") + ": no such file or folder."},
        {{"--view-transparency", folder}, "--view-transparency failed: Cannot write " + folder + ": is a folder."},
    };
    for (const auto& c : cases) {
        const LineRun run = runCorvane(QStringList{"--load-extended", set} + c.commands);
        EXPECT_EQ(run.code, 1) << c.commands.join(' ').toStdString();
        EXPECT_EQ(run.err.toStdString(), ("corvane: " + c.told + "\n").toStdString());
    }
    EXPECT_TRUE(entries(folder).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(s.path("gone")));

    // An existing view file is replaced by the view: the 32 level's pixels on
    // a palette of greys, each at its colour's level (colour 0 transparent).
    const QString view = s.path("view.bmp");
    ASSERT_TRUE(writeBytes(view, Bytes(99, 7)));
    const LineRun run = runCorvane({"--load-extended", set, "--colour0-transparent", "--view-transparency", view});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    const Bytes written = readBytes(view), original = makeSet(Form::Eight, 32);
    ASSERT_EQ(written.size(), size_t(1078 + 32 * 32));
    for (size_t i = 0; i < 256; ++i) {
        const uint8_t grey = i == 0 ? 0 : 255;
        ASSERT_EQ((Bytes{written[54 + 4 * i], written[55 + 4 * i], written[56 + 4 * i]}), (Bytes{grey, grey, grey}))
            << i;
    }
    EXPECT_TRUE(std::equal(written.begin() + 1078, written.end(), original.begin() + 1078));
    EXPECT_EQ(entries(s.dir.path()).join(' ').toStdString(), "folder set.bmp view.bmp work");
}

TEST(CommandLine, ColourZeroTransparentChangesOnlyTheLevelBytes) {
    Scratch s;
    const Bytes original = makeSet(Form::EightRecord, 64);
    writeBytes(s.path("set.bmp"), original);
    const LineRun run = runCorvane(
        {"--load-extended", s.path("set.bmp"), "--colour0-transparent", "--save-palette", "--save", s.path("out.bmp")});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    const Bytes saved = readBytes(s.path("out.bmp"));
    ASSERT_EQ(saved.size(), original.size());
    for (size_t i = 0; i < saved.size(); ++i) {
        if (i >= 54 && i < 1078 && (i - 54) % 4 == 3) ASSERT_EQ(saved[i], i == 57 ? 0 : 255) << i;
        else ASSERT_EQ(saved[i], original[i]) << i;
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
    EXPECT_FALSE(run.out.contains("larger than")) << "nothing is made smaller than 512";

    writeBytes(QDir(src).filePath("zz-corrupt.bmp"), Bytes(700, 0x41));
    run = runCorvane({"--set", "MaxImport=512", "--batch", src, dest});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.out.contains("50 converted, 1 failed")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("zz-corrupt.bmp"));
    EXPECT_TRUE(run.err.contains("--batch"));
}

// A line of batches runs without the window; each file must come out as the
// window's own commands make it, under the same stored settings.  The run
// says once how many sources were made smaller than their pictures by the
// maximum import size, counted here from the pictures' own sizes.
TEST(CommandLine, BatchAloneWritesWhatTheWindowsCommandsWrite) {
    Scratch s;
    QDir(s.dir.path()).mkpath("src");
    QDir(s.dir.path()).mkpath("dest");
    const QString src = s.path("src"), dest = s.path("dest");
    const struct {
        const char* name;
        int width, height, bits, seed;
    } pictures[] = {{"a.bmp", 200, 90, 8, 3}, {"a0.bmp", 300, 260, 24, 5}, {"b.bmp", 64, 64, 24, 4}};
    constexpr int kMaxImport = 128;
    int larger = 0;
    for (const auto& p : pictures) {
        writeBytes(QDir(src).filePath(p.name), plainBmp(p.width, p.height, p.bits, p.seed));
        larger += std::max(p.width, p.height) > kMaxImport ? 1 : 0;
    }
    const QString told = QString(
                             "%1 sources larger than %2x%2 were made %2x%2 (MaxImport=%2); "
                             "with --set MaxImport=512 they are made up to 512x512.\n")
                             .arg(larger)
                             .arg(kMaxImport);
    const QStringList settings = {"--set", "Lightening=-20", "--set", QString("MaxImport=%1").arg(kMaxImport),
                                  "--set", "Smooth8bit=1"};
    for (const char* jobs : {"1", "2"}) {
        const LineRun batch = runCorvane(settings + QStringList{"--batch", src, dest, "--jobs", jobs});
        ASSERT_EQ(batch.code, 0) << batch.err.toStdString();
        EXPECT_EQ(batch.out.count(told), 1) << batch.out.toStdString();
        for (const auto& p : pictures) {
            const char* name = p.name;
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
    for (const QFileInfo& file : written)
        EXPECT_EQ(file.size(), written.first().size()) << file.fileName().toStdString();
}
#endif

#ifndef _WIN32
// A FIFO would hold an open for reading until someone writes to it, a device
// or a folder would be read for ever or fail late: each is refused at once.
TEST(CommandLine, NamesThatAreNotRegularFilesAreRefusedAtOnce) {
    Scratch s;
    QDir().mkpath(s.path("temp"));
    const QString set = s.path("set.bmp"), fifo = s.path("fifo"), folder = s.path("folder");
    ASSERT_TRUE(writeBytes(set, makeSet(Form::Eight, 256)));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QDir().mkpath(folder));
    for (const char* command : {"--load-extended", "--load-texture", "--load-map", "--import-cfs"}) {
        for (const QString& name : {fifo, folder, QStringLiteral("/dev/zero")}) {
            // Import CFS takes its levels into an 8-bit set of 256.
            const QStringList line = QString(command) == "--import-cfs"
                                         ? QStringList{"--load-extended", set, command, name}
                                         : QStringList{command, name};
            const LineRun run = runProgram(line, s.path("temp"));
            EXPECT_EQ(run.code, 1) << line.join(' ').toStdString();
            EXPECT_EQ(
                run.err.toStdString(),
                QStringLiteral("corvane: %1 failed: %2 is not a regular file.\n").arg(command, name).toStdString());
        }
    }
    EXPECT_TRUE(entries(s.path("temp")).isEmpty());
}

// A termination request in the middle of a line ends it at the next command:
// the line fails, says where it stopped and leaves no work folder behind.
TEST(CommandLine, ATerminatedLineStopsAtTheNextCommandAndCleansUp) {
    Scratch s;
    QDir().mkpath(s.path("temp"));
    QStringList line = {"--new16", "--info"};
    constexpr int kRounds = 400;
    for (int i = 0; i < kRounds; ++i)
        line << "--create-image-set"
             << "--info";
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) environment.insert(name, s.path("temp"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(CORVANE_PROGRAM), line);
    ASSERT_TRUE(program.waitForStarted(30000));
    QByteArray out;
    while (!out.contains("Largest level") && program.waitForReadyRead(30000)) out += program.readAllStandardOutput();
    ASSERT_TRUE(out.contains("Largest level")) << out.constData();
    ::kill(pid_t(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(60000));
    out += program.readAllStandardOutput();
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());

    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_TRUE(err.startsWith("corvane: stopped before --")) << err.toStdString();
    EXPECT_LT(out.count("Largest level"), kRounds + 1);
    EXPECT_TRUE(entries(s.path("temp")).isEmpty()) << entries(s.path("temp")).join(' ').toStdString();
}

// A run that is killed outright cannot remove its work folder; the next
// start removes it, and only folders like it: its owner's process gone, this
// user's, never by following a link.
TEST(CommandLine, AWorkFolderLeftByAKilledRunGoesAtTheNextStart) {
    Scratch s;
    const QString temp = s.path("temp");
    QDir().mkpath(temp);
    QDir().mkpath(s.path("outside"));
    ASSERT_TRUE(writeBytes(s.path("outside/keep.bmp"), Bytes(10, 1)));

    // A line that would run for long, killed once it is under way.
    QStringList line = {"--new16", "--info"};
    for (int i = 0; i < 400; ++i)
        line << "--create-image-set"
             << "--info";
    QProcess killed;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) environment.insert(name, temp);
    killed.setProcessEnvironment(environment);
    killed.start(QStringLiteral(CORVANE_PROGRAM), line);
    ASSERT_TRUE(killed.waitForStarted(30000));
    const qint64 gone = killed.processId();
    while (!killed.readAllStandardOutput().contains("Largest level") && killed.waitForReadyRead(30000)) {}
    killed.kill();
    ASSERT_TRUE(killed.waitForFinished(30000));
    const QStringList left = entries(temp);
    ASSERT_EQ(left.size(), 1);
    ASSERT_TRUE(left[0].startsWith(QStringLiteral("corvane-run-%1-").arg(gone))) << left[0].toStdString();
    // A link inside it must not lead the removal outside.
    ASSERT_TRUE(QFile::link(s.path("outside"), temp + "/" + left[0] + "/outside"));

    // Folders the start must leave: a live process's (this one's), a link
    // named like a run's, and, where this test may make one, another user's.
    const QString live = temp + QStringLiteral("/corvane-run-%1-Abc123").arg(::getpid());
    ASSERT_TRUE(QDir().mkpath(live));
    const QString link = temp + QStringLiteral("/corvane-run-%1-Lnk456").arg(gone);
    ASSERT_TRUE(QFile::link(s.path("outside"), link));
    const QString others = temp + QStringLiteral("/corvane-run-%1-Oth789").arg(gone);
    const bool canChown = ::geteuid() == 0;
    if (canChown) {
        ASSERT_TRUE(QDir().mkpath(others));
        ASSERT_EQ(::chown(QFile::encodeName(others).constData(), 65534, 65534), 0);
    }

    const LineRun help = runProgram({"--help"}, temp);
    EXPECT_EQ(help.code, 0);
    QStringList expected = {QFileInfo(live).fileName(), QFileInfo(link).fileName()};
    if (canChown) expected << QFileInfo(others).fileName();
    expected.sort();
    EXPECT_EQ(entries(temp).join(' ').toStdString(), expected.join(' ').toStdString());
    EXPECT_TRUE(QFileInfo::exists(s.path("outside/keep.bmp")));
}
#endif

TEST(CommandLine, UsageErrorsAndFailuresAreTold) {
    EXPECT_EQ(runCorvane({"--bogus"}).code, 2);
    EXPECT_EQ(runCorvane({"--save"}).code, 2);
    EXPECT_EQ(runCorvane({"--set", "novalue"}).code, 2);
    // A setting the program does not keep, or a value it would not take, is
    // no setting in force: the line is refused, naming it.  What it keeps runs.
    const std::pair<const char*, bool> settings[] = {
        {"Nothing=1", false},         {"maximport=64", false},  {"MaxImport=100", false},  {"MaxImport=abc", false},
        {"Smooth8bit=banana", false}, {"Smooth8bit=2", false},  {"Lightening=x", false},   {"=1", false},
        {"MaxImport=512", true},      {"Lightening=-20", true}, {"Lightening=0x10", true}, {"Editor=", true},
        {"Smooth8bit=0", true},       {"24bit=1", true},
    };
    for (const auto& [setting, taken] : settings) {
        const LineRun run = runCorvane({"--set", setting, "--help"});
        EXPECT_EQ(run.code, taken ? 0 : 2) << setting << ": " << run.err.toStdString();
        if (!taken) {
            EXPECT_TRUE(run.err.startsWith("corvane: --set")) << run.err.toStdString();
        }
    }
    EXPECT_EQ(runCorvane({"--batch", "onlyone"}).code, 2);
    for (const QStringList& option :
         {QStringList{"--jobs", "0"}, QStringList{"--jobs", "many"}, QStringList{"--dds-format", "bc9"}})
        EXPECT_EQ(runCorvane(QStringList{"--batch", "src", "dest"} + option).code, 2) << option.join(' ').toStdString();
    const LineRun help = runCorvane({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("--view-transparency"));

    // A set's header over too few pixels, which nothing reads.  (An oblong
    // bitmap would load, as Load Any Image loads it.)
    Scratch s;
    Bytes cut = makeSet(Form::Eight, 4);
    cut.resize(60);
    writeBytes(s.path("cut.bmp"), cut);
    const LineRun refused = runCorvane({"--load-extended", s.path("cut.bmp"), "--save", s.path("never.bmp")});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.err.contains("--load-extended failed"));
    EXPECT_FALSE(QFileInfo::exists(s.path("never.bmp")));
}
