// Where a line's outputs land: only regular files are replaced, a batch
// writes nowhere but its destination and never two sources to one file,
// names are taken as the file system holds them, and a stopped run fails.
#include "commandline.h"
#include "linerun.h"
#include "testsets.h"
#include "windowtest.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QProcess>
#include <QTextStream>
#include <QThread>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace corvane;
using namespace corvane::testing;
namespace fs = std::filesystem;

namespace {

// The program itself under `sh -c`, so that names may carry any bytes
// (printf makes them): "$0" is the program.  Its temporary folder is `temp`.
LineRun runScript(const QString& script, const QString& temp) {
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) environment.insert(name, temp);
    shell.setProcessEnvironment(environment);
    shell.start("/bin/sh", {"-c", script, QStringLiteral(CORVANE_PROGRAM)});
    LineRun run;
    if (shell.waitForFinished(120000) && shell.exitStatus() == QProcess::NormalExit) run.code = shell.exitCode();
    run.out = QString::fromUtf8(shell.readAllStandardOutput());
    run.err = QString::fromUtf8(shell.readAllStandardError());
    return run;
}

// Every entry under `root`, by its bytes, with its type, mode, inode and
// contents: what a run must leave as it was.  (Not its count of names: a
// file's other name is left as it was when this one is replaced.)
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        std::ostringstream state;
        state << st.st_mode << ' ' << st.st_ino << ' ' << st.st_rdev << ' ';
        if (S_ISREG(st.st_mode)) state << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        entries[entry.path().lexically_relative(root).string()] = state.str();
    }
    return entries;
}

// The names of what differs between two snapshots.
std::set<std::string> changed(const std::map<std::string, std::string>& before,
                              const std::map<std::string, std::string>& after) {
    std::set<std::string> names;
    for (const auto& [name, state] : before)
        if (!after.count(name) || after.at(name) != state) names.insert(name);
    for (const auto& [name, state] : after)
        if (!before.count(name)) names.insert(name);
    return names;
}

bool isWholeSet(const Bytes& file) {
    if (file.size() < 54) return false;
    int64_t pixels = 0;
    for (int64_t e = layout::read32(file, layout::kWidthAt); e >= 1; e /= 2) pixels += e * e;
    return int64_t(file.size()) == layout::read32(file, layout::kPixelOffsetAt) + pixels * (file[28] / 8);
}

}  // namespace

// A batch's names are files of its source folder: the shell's "src/*.bmp"
// converts them into the destination, any other path is refused before
// anything is written, and the source folder is the destination only when
// the line says --in-place.  Whatever the line, nothing outside what it may
// write changes: a checksum of the whole tree says so.
TEST(Outputs, ABatchWritesNothingOutsideItsDestination) {
    Scratch s;
    const fs::path root = s.dir.path().toStdString();
    for (const char* folder : {"src", "dest", "other", "temp"}) fs::create_directories(root / folder);
    for (const char* name : {"a.bmp", "b.bmp"}) writeBytes(s.path(QString("src/") + name), plainBmp(64, 64, 24, 3));
    writeBytes(s.path("victim.bmp"), plainBmp(32, 32, 24, 5));
    writeBytes(s.path("other/c.bmp"), plainBmp(32, 32, 8, 5));
    QImage photo(16, 16, QImage::Format_RGB32);
    photo.fill(qRgb(30, 140, 200));
    ASSERT_TRUE(photo.save(s.path("src/p.png")));
    fs::create_directory_symlink(root / "other", root / "src/sub");
    const QString src = s.path("src"), dest = s.path("dest");

    const struct {
        QStringList line;
        int code;
        std::set<std::string> written;  // all that may change, and must
    } cases[] = {
        {{"--batch", src, dest, src + "/a.bmp", src + "/b.bmp"}, 0, {"dest/a.bmp", "dest/b.bmp"}},
        {{"--batch", src, dest, "a.bmp", s.path("dest/../src/b.bmp")}, 0, {"dest/a.bmp", "dest/b.bmp"}},
        {{"--batch", src, dest, "../victim.bmp"}, 1, {}},
        {{"--batch", src, dest, "a.bmp", s.path("victim.bmp")}, 1, {}},
        {{"--batch", src, dest, "sub/c.bmp"}, 1, {}},
        {{"--batch", src, dest, ".."}, 1, {}},
        {{"--batch", src, dest, "--dds", "a.bmp", "a.bmp"}, 0, {"dest/a.dds"}},
        {{"--batch", src, src + "/"}, 1, {}},
        {{"--batch", src, src, "--in-place", "--jobs", "2"}, 0, {"src/a.bmp", "src/b.bmp"}},
        // No result takes its source's place: no --in-place is needed.
        {{"--batch", src, src, "--dds"}, 0, {"src/a.dds", "src/b.dds"}},
        {{"--batch", src, src, "--in-place", "p.png"}, 0, {"src/p.bmp"}},
        {{"--batch", src, s.path("victim.bmp")}, 1, {}},
    };
    for (const auto& c : cases) {
        fs::remove_all(root / "dest");
        fs::create_directory(root / "dest");
        const auto before = snapshot(root);
        const LineRun run = runCorvane(c.line);
        const std::string line = c.line.join(' ').toStdString();
        EXPECT_EQ(run.code, c.code) << line << "\n" << run.err.toStdString();
        EXPECT_EQ(changed(before, snapshot(root)), c.written) << line;
        for (const std::string& name : c.written)
            if (name.ends_with(".bmp")) {
                EXPECT_TRUE(isWholeSet(readBytes(s.path(QString::fromStdString(name))))) << name;
            }
        if (c.code != 0) {
            EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
        }
    }
}

// --save, --save-dds and a batch replace a regular file, or make one, and
// nothing else: a FIFO, a device, a folder or a link to a device stays what
// it was, and the line fails in one line.  A file with another
// name is replaced under this one alone: the other keeps its bytes and mode.
TEST(Outputs, OnlyRegularFilesAreReplaced) {
    Scratch s;
    const fs::path root = s.dir.path().toStdString();
    for (const char* folder : {"src", "dest", "keep"}) fs::create_directories(root / folder);
    writeBytes(s.path("src/x.bmp"), plainBmp(32, 32, 24, 7));
    const QString picture = s.path("src/x.bmp");

    // What stands at the target, made afresh for each line; false when it cannot be made here.
    using Make = std::function<bool(const fs::path&)>;
    const std::map<std::string, Make> kinds = {
        {"fifo", [](const fs::path& p) { return ::mkfifo(p.c_str(), 0644) == 0; }},
        {"device", [](const fs::path& p) { return ::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; }},
        {"folder", [](const fs::path& p) { return fs::create_directory(p); }},
        {"link to device",
         [](const fs::path& p) {
             std::error_code error;
             fs::create_symlink("/dev/null", p, error);
             return !error;
         }},
        {"hard link to a read-only file",
         [&root](const fs::path& p) {
             std::ofstream(root / "keep/theirs", std::ios::binary) << "their bytes";
             fs::permissions(root / "keep/theirs", fs::perms::owner_read | fs::perms::group_read);
             std::error_code error;
             fs::create_hard_link(root / "keep/theirs", p, error);
             return !error;
         }},
    };
    const auto load = QStringList{"--load-any", picture, "--create-image-set"};
    const std::map<std::string, std::function<QStringList(const QString&)>> lines = {
        {"--save",
         [&](const QString& t) {
             return load + QStringList{"--save", t};
         }},
        {"--save-dds",
         [&](const QString& t) {
             return load + QStringList{"--save-dds", t};
         }},
        {"--batch",
         [&](const QString&) {
             return QStringList{"--batch", s.path("src"), s.path("dest")};
         }},
        {"--batch --dds",
         [&](const QString&) { return QStringList{"--batch", s.path("src"), s.path("dest"), "--dds", "--jobs", "1"}; }},
    };
    std::vector<std::string> notMade;
    for (const auto& [command, lineFor] : lines) {
        const fs::path target = root / "dest" / (command.ends_with("--dds") ? "x.dds" : "x.bmp");
        for (const auto& [kind, make] : kinds) {
            fs::remove_all(root / "dest");
            fs::remove_all(root / "keep");
            fs::create_directories(root / "dest");
            fs::create_directories(root / "keep");
            if (!make(target)) {
                notMade.push_back(kind);
                continue;
            }
            const auto before = snapshot(root);
            const LineRun run = runCorvane(lineFor(QString::fromStdString(target.string())));
            const std::string what = command + " onto a " + kind;
            const bool replaceable = kind.starts_with("hard link");
            // A save refuses a read-only file; a batch replaces it, as told.
            const bool replaced = replaceable && command.starts_with("--batch");
            EXPECT_EQ(run.code, replaced ? 0 : 1) << what << ": " << run.err.toStdString();
            EXPECT_EQ(run.err.count('\n'), replaced ? 0 : 1) << what << ": " << run.err.toStdString();
            EXPECT_EQ(run.out.count('\n'), command.starts_with("--batch") ? 2 : 0)
                << what << ": " << run.out.toStdString();
            const std::set<std::string> expected =
                replaced ? std::set<std::string>{target.lexically_relative(root).string()} : std::set<std::string>{};
            EXPECT_EQ(changed(before, snapshot(root)), expected) << what;
            if (replaceable) {
                EXPECT_EQ(before.at("keep/theirs"), snapshot(root).at("keep/theirs")) << what;
            }
        }
    }
    if (!notMade.empty()) GTEST_SKIP() << "could not make here: " << notMade.front() << " (mknod needs privileges)";
}

// Two sources that would become one output fail the batch, naming both,
// before any file is written: the same whichever worker would take which.
TEST(Outputs, TwoSourcesNeverBecomeOneFile) {
    Scratch s;
    QDir(s.dir.path()).mkpath("src");
    QDir(s.dir.path()).mkpath("dest");
    for (const char* name : {"x.bmp", "x.BMP", "y.bmp"})
        writeBytes(s.path(QString("src/") + name), plainBmp(16, 16, 24, 3));
    writeBytes(s.path("src/y.dds"), Bytes(128, 0));
    const struct {
        QStringList names;
        QString output;
    } pairs[] = {{{"x.bmp", "x.BMP"}, "x.dds"}, {{"y.bmp", "y.dds"}, "y.dds"}, {{}, "x.dds"}};
    for (const auto& pair : pairs) {
        for (const char* jobs : {"1", "4"}) {
            // With another command after it the batch runs through the window, one file after another.
            for (const QStringList& after : {QStringList{}, QStringList{"--info"}}) {
                const LineRun run =
                    runCorvane(QStringList{"--batch", s.path("src"), s.path("dest"), "--dds", "--jobs", jobs} +
                               pair.names + after);
                const std::string what = pair.names.join(' ').toStdString() + " jobs " + jobs;
                EXPECT_EQ(run.code, 1) << what;
                EXPECT_TRUE(QDir(s.path("dest")).isEmpty()) << what;
                EXPECT_EQ(run.err.count('\n'), 1) << what;
                const QStringList both = pair.names.isEmpty() ? QStringList{"x.bmp", "x.BMP"} : pair.names;
                for (const QString& name : both)
                    EXPECT_TRUE(run.err.contains(name + " ") || run.err.contains(name + ","))
                        << what << ": " << run.err.toStdString();
                EXPECT_TRUE(run.err.contains(pair.output)) << what;
            }
        }
    }
}

// A name that is not UTF-8 (here Latin-1) is found in a batch's folder,
// taken as a batch's name, loaded by the load commands, and shown readably.
TEST(Outputs, EveryNameTheFileSystemHoldsIsFound) {
    Scratch s;
    const fs::path root = s.dir.path().toStdString();
    const std::string cafe = "caf\xe9";
    for (const char* folder : {"src", "temp"}) fs::create_directories(root / folder);
    const auto writeRaw = [](const fs::path& path, const Bytes& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    };
    writeRaw(root / "src" / (cafe + ".bmp"), plainBmp(40, 40, 24, 3));
    writeRaw(root / "src/plain.bmp", plainBmp(40, 40, 8, 3));
    writeRaw(root / (cafe + "-set.bmp"), makeSet(Form::Rgb565, 64));

    const QString e = "$(printf 'caf\\351')";
    const struct {
        QString script;
        QString told;  // on stdout
        std::string written;
    } cases[] = {
        {"cd " + s.dir.path() + " && \"$0\" --batch src dest-" + e, "2 converted, 0 failed",
         "dest-" + cafe + "/" + cafe + ".bmp"},
        {"cd " + s.dir.path() + " && \"$0\" --batch src dest-" + e + " src/" + e + ".bmp --dds --jobs 1",
         "converted caf\\xE9.bmp", "dest-" + cafe + "/" + cafe + ".dds"},
        {"cd " + s.dir.path() + " && \"$0\" --load-any src/" + e + ".bmp --info", "Bitmap - caf\\xE9.bmp", {}},
        {"cd " + s.dir.path() + " && \"$0\" --load-extended " + e + "-set.bmp --save " + e + "-out.bmp --info",
         "Bitmap - caf\\xE9-set.bmp", cafe + "-out.bmp"},
    };
    for (const auto& c : cases) {
        fs::remove_all(root / ("dest-" + cafe));
        fs::create_directories(root / ("dest-" + cafe));
        const LineRun run = runScript(c.script, s.path("temp"));
        EXPECT_EQ(run.code, 0) << c.script.toStdString() << "\n" << run.err.toStdString();
        EXPECT_TRUE(run.out.contains(c.told)) << run.out.toStdString();
        if (!c.written.empty()) {
            EXPECT_TRUE(fs::is_regular_file(root / c.written)) << c.script.toStdString();
        }
    }
    EXPECT_TRUE(QDir(s.path("temp")).isEmpty());
    fs::remove_all(root);  // Qt's own removal would pass over those names
}

// A set whose file ends inside a level (the 1x1 level here, the last
// bytes of every form) loads with a note, but is saved only once Create
// Image Set has made its levels again; the file at the target stays as it was.
TEST(Outputs, ASetCutShortIsNotSavedUntilItsLevelsAreMade) {
    Scratch s;
    for (Form form : {Form::Eight, Form::EightRecord, Form::Rgb565, Form::Argb4444, Form::Argb32}) {
        Bytes cut = makeSet(form, 64);
        cut.resize(cut.size() - 1);  // the 1x1 level lacks its last byte
        writeBytes(s.path("cut.bmp"), cut);
        for (const char* save : {"--save", "--save-dds"}) {
            const Bytes previous = {1, 2, 3};
            writeBytes(s.path("out"), previous);
            const LineRun refused = runCorvane({"--load-extended", s.path("cut.bmp"), save, s.path("out")});
            EXPECT_EQ(refused.code, 1) << int(form) << save;
            EXPECT_TRUE(refused.err.contains(QStringLiteral("1x1")) &&
                        refused.err.contains(QStringLiteral("run --create-image-set before ") + save))
                << refused.err.toStdString();
            EXPECT_EQ(readBytes(s.path("out")), previous) << int(form) << save;
        }
        const LineRun made =
            runCorvane({"--load-extended", s.path("cut.bmp"), "--create-image-set", "--save", s.path("out")});
        EXPECT_EQ(made.code, 0) << int(form) << made.err.toStdString();
        EXPECT_TRUE(isWholeSet(readBytes(s.path("out")))) << int(form);
    }
}

// A save or a batch into a folder that takes no file says why, and only
// calls the folder missing when it is: the system's own folders (/proc,
// /sys), one that is not there, and (where permissions hold) a read-only one.
// The oracle is the file system itself: the folder is looked up, and a file
// is made there as a save would make it.
TEST(Outputs, AFolderThatTakesNoFileIsNotCalledMissing) {
    Scratch s;
    QDir(s.dir.path()).mkpath("src");
    writeBytes(s.path("src/a.bmp"), plainBmp(16, 16, 24, 3));
    QStringList folders = {"/proc", "/sys", s.path("missing")};
    if (::geteuid() != 0) {  // permissions do not hold for the superuser
        QDir(s.dir.path()).mkpath("closed");
        ::chmod(QFile::encodeName(s.path("closed")).constData(), 0555);
        folders << s.path("closed");
    }
    for (const QString& folder : folders) {
        const QByteArray native = QFile::encodeName(folder);
        struct stat st {};
        const bool there = ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode);
        const QByteArray probe = native + "/corvane-probe.bmp";
        const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const int made = fd >= 0 ? 0 : errno;
        if (fd >= 0) {
            ::close(fd);
            ::unlink(probe.constData());
            continue;  // this folder takes files here
        }
        for (const QStringList& line :
             {QStringList{"--new16", "--save", folder + "/x.bmp"}, QStringList{"--batch", s.path("src"), folder}}) {
            const LineRun run = runCorvane(line);
            const QString told = run.out + run.err;
            const std::string what = line.join(' ').toStdString() + ": " + told.toStdString();
            EXPECT_EQ(run.code, 1) << what;
            const bool calledMissing = told.contains("does not exist") || told.contains("no such");
            EXPECT_EQ(calledMissing, !there) << what;
            if (!there) continue;
            EXPECT_TRUE(told.contains("no file can be made in " + folder + ": ")) << what;
            if (made == ENOENT) {
                EXPECT_TRUE(told.contains("its file system takes no new files")) << what;
            }
        }
    }
}

namespace {

// The program, started so that signals can be sent to it alone or to its
// whole process group (as a terminal's Ctrl+C is).
struct Started {
    QProcess program;
    explicit Started(const QStringList& args, const QProcessEnvironment& environment) {
        program.setProcessEnvironment(environment);
        program.setChildProcessModifier([] { ::setpgid(0, 0); });
        program.start(QStringLiteral(CORVANE_PROGRAM), args);
        program.waitForStarted(30000);
    }
    pid_t pid() const { return pid_t(program.processId()); }
    // Holds the program where it is.  True once it stands still; false when
    // it is already ending (or has ended), where no signal reaches it.
    bool hold() const {
        ::kill(pid(), SIGSTOP);
        for (;;) {
            std::ifstream file("/proc/" + std::to_string(pid()) + "/stat");
            std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            const size_t name = stat.rfind(')');
            if (name == std::string::npos) return false;
            std::istringstream fields(stat.substr(name + 1));
            std::string state;
            unsigned long flags = 0;
            fields >> state;
            for (int i = 0; i < 6; ++i) fields >> flags;  // the ninth field: the kernel's flags
            constexpr unsigned long kExiting = 0x4;
            if (state == "Z" || state == "X" || (flags & kExiting)) return false;
            if (state == "T" || state == "t") return true;
            QThread::usleep(100);
        }
    }
};

QProcessEnvironment environmentWithTemp(const QString& temp) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) environment.insert(name, temp);
    return environment;
}

}  // namespace

// True while a process of that number lives (a zombie has ended).
bool lives(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t name = stat.rfind(')');
    if (name == std::string::npos) return false;
    std::istringstream fields(stat.substr(name + 1));
    std::string state;
    fields >> state;
    return state != "Z" && state != "X";
}

// Ctrl+C, a termination request, a hang-up or a gone reader while the
// texture tool hangs ends the tool with the run, and whatever the tool has
// started, even what ignores a termination request: the run ends soon,
// fails, says it was stopped (not that the tool failed), and leaves neither
// the tool, nor its children, nor its work folder behind.  A second Ctrl+C
// while a stopped tool is being waited for ends the program at once, as
// though it were not caught, and the tools with it.
TEST(Outputs, AStoppedRunEndsItsHangingTextureTool) {
    Scratch s;
    for (const char* folder : {"src", "dest", "temp", "started"}) QDir(s.dir.path()).mkpath(folder);
    for (int i = 0; i < 4; ++i) writeBytes(s.path(QString("src/p%1.bmp").arg(i)), plainBmp(32, 32, 24, i + 1));
    // Stand-in tools that never end by themselves.  Each process of one
    // leaves a file named by its number in STARTED_DIR once it runs.
    const char* const hanging = "#!/bin/sh\ntouch \"$STARTED_DIR/$$\"\nexec sleep 300\n";
    // The tool ends on a termination request; the child it started does not.
    const char* const withChild =
        "#!/bin/sh\n(trap '' TERM HUP; exec sleep 300) &\ntouch \"$STARTED_DIR/$!\"\n"
        "touch \"$STARTED_DIR/$$\"\nwait\n";
    // Neither ends on one; the tool notes that the request came.
    const char* const deaf =
        "#!/bin/sh\ntrap 'touch \"$STARTED_DIR/asked\"' TERM\n(trap '' TERM HUP; exec sleep 300) &\n"
        "touch \"$STARTED_DIR/$!\"\ntouch \"$STARTED_DIR/$$\"\nwhile :; do wait; done\n";
    const struct {
        const char* name;
        const char* tool;
        int signal;
        bool twice;  // Ctrl+C again once the tool has been asked to end
    } rows[] = {{"hanging", hanging, SIGTERM, false},
                {"hanging", hanging, SIGINT, false},
                {"hanging", hanging, SIGHUP, false},
                {"hanging", hanging, SIGPIPE, false},
                {"with a child", withChild, SIGINT, false},
                {"with a child", withChild, SIGTERM, false},
                {"deaf", deaf, SIGHUP, false},
                {"deaf", deaf, SIGINT, true}};
    const QString tool = s.path("hanging-tool");
    QProcessEnvironment environment = environmentWithTemp(s.path("temp"));
    environment.insert("STARTED_DIR", s.path("started"));

    for (const auto& row : rows) {
        const std::string what = std::string(row.name) + " " + std::to_string(row.signal) + (row.twice ? " twice" : "");
        QFile::remove(tool);
        {
            QFile script(tool);
            ASSERT_TRUE(script.open(QIODevice::WriteOnly));
            script.write(row.tool);
        }
        QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QDir(s.path("started")).removeRecursively();
        QDir().mkpath(s.path("started"));
        Started run({"--set", "UseImageTool=1", "--set", "ImageTool=" + tool, "--batch", s.path("src"), s.path("dest"),
                     "--jobs", "2"},
                    environment);
        // Once a tool has started: the state, not a time, says when.
        for (int waited = 0; QDir(s.path("started")).isEmpty() && waited < 60000; waited += 20) QThread::msleep(20);
        ASSERT_FALSE(QDir(s.path("started")).isEmpty()) << "no tool started";
        // SIGINT to the group, as a terminal sends it; the others to the program alone.
        ::kill(row.signal == SIGINT ? -run.pid() : run.pid(), row.signal);
        if (row.twice) {
            for (int waited = 0; !QFileInfo::exists(s.path("started/asked")) && waited < 60000; waited += 20)
                QThread::msleep(20);
            ASSERT_TRUE(QFileInfo::exists(s.path("started/asked"))) << what;
            ::kill(-run.pid(), row.signal);
        }
        ASSERT_TRUE(run.program.waitForFinished(60000)) << "the run waits for its tool";
        const QString out = QString::fromUtf8(run.program.readAllStandardOutput());
        const QString err = QString::fromUtf8(run.program.readAllStandardError());
        if (row.twice) {
            EXPECT_EQ(run.program.exitStatus(), QProcess::CrashExit) << what;
        } else {
            EXPECT_EQ(run.program.exitStatus(), QProcess::NormalExit) << what;
            EXPECT_EQ(run.program.exitCode(), 1) << what;
            EXPECT_TRUE(out.contains("0 converted, 0 failed, stopped before the end")) << out.toStdString();
            EXPECT_FALSE(out.contains("failed ")) << out.toStdString();
            EXPECT_EQ(err.toStdString(), "corvane: --batch failed: stopped before the end\n");
            EXPECT_TRUE(QDir(s.path("temp")).isEmpty()) << what;
        }
        // A killed process may take a moment to be gone; one left running is not.
        for (const QString& started : QDir(s.path("started")).entryList(QDir::Files)) {
            bool number = false;
            const pid_t pid = pid_t(started.toInt(&number));
            if (!number) continue;
            for (int waited = 0; lives(pid) && waited < 20000; waited += 20) QThread::msleep(20);
            EXPECT_FALSE(lives(pid)) << what << ": process " << started.toStdString();
            if (lives(pid)) ::kill(pid, SIGKILL);
        }
        EXPECT_TRUE(QDir(s.path("dest")).isEmpty()) << what;
    }
}

// A termination request at any point of a run, from its start to its very
// end, fails it: the run either reports the stop or is ended by it.  The
// requests fall at points spread over a run's length.
TEST(Outputs, ASignalAtAnyPointFailsTheRun) {
    Scratch s;
    for (const char* folder : {"src", "dest", "temp"}) QDir(s.dir.path()).mkpath(folder);
    writeBytes(s.path("src/a.bmp"), plainBmp(16, 16, 24, 3));
    const QProcessEnvironment environment = environmentWithTemp(s.path("temp"));
    const QStringList lines[] = {{"--batch", s.path("src"), s.path("dest"), "--jobs", "1"},
                                 {"--new16", "--save", s.path("out.bmp")}};
    for (const QStringList& line : lines) {
        QElapsedTimer clock;
        clock.start();
        {
            Started whole(line, environment);
            ASSERT_TRUE(whole.program.waitForFinished(60000));
            ASSERT_EQ(whole.program.exitCode(), 0);
        }
        const qint64 length = std::max<qint64>(clock.elapsed(), 1);
        int signalled = 0;
        constexpr int kPoints = 16;
        for (int point = 0; point <= kPoints; ++point) {
            Started run(line, environment);
            QThread::usleep(unsigned(length * 1000 * point / kPoints));
            // Held still, the signal waits for it at exactly this point.
            const bool held = run.hold();
            if (held) ::kill(run.pid(), SIGTERM);
            ::kill(run.pid(), SIGCONT);
            ASSERT_TRUE(run.program.waitForFinished(60000));
            if (!held) continue;  // it was over before the signal could reach it
            ++signalled;
            EXPECT_FALSE(run.program.exitStatus() == QProcess::NormalExit && run.program.exitCode() == 0)
                << line.first().toStdString() << " signalled at " << point << "/" << kPoints;
        }
        EXPECT_GT(signalled, 0);
        EXPECT_TRUE(QDir(s.path("temp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size() <= 1);
    }
}

namespace {
class WindowSaves : public WindowTest {};
}  // namespace

// The window's saves take the core's word: Save of a set cut short asks to
// make its levels first (and writes nothing when told no), and Save or Save
// As DDS onto a FIFO shows the refusal and leaves the FIFO as it was.
TEST_F(WindowSaves, RefuseWhatTheyMustNotWrite) {
    openWindow();
    Bytes cut = makeSet(Form::Rgb565, 32);
    cut.resize(cut.size() - 1);
    const QString set = dir.filePath("cut.bmp"), out = dir.filePath("out.bmp"), fifo = dir.filePath("fifo");
    ASSERT_TRUE(writeBytes(set, cut));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    prompts.choose(set, BitmapFilter);
    loadExtendedItem()->trigger();

    for (const bool makeThem : {false, true}) {
        prompts.calls.clear();
        prompts.answer(makeThem);
        if (makeThem) prompts.choose(out);
        saveItem()->trigger();
        ASSERT_FALSE(prompts.calls.empty());
        EXPECT_EQ(prompts.calls.front().kind, ScriptedPrompts::Kind::Question);
        EXPECT_TRUE(prompts.calls.front().text.contains("1x1")) << prompts.calls.front().text.toStdString();
        EXPECT_EQ(QFileInfo::exists(out), makeThem);
    }
    EXPECT_TRUE(isWholeSet(readBytes(out)));

    for (QAction* save : {saveItem(), saveDdsItem()}) {
        prompts.calls.clear();
        prompts.choose(fifo);
        save->trigger();
        ASSERT_FALSE(prompts.calls.empty());
        EXPECT_EQ(prompts.calls.back().kind, ScriptedPrompts::Kind::Warning) << save->text().toStdString();
        EXPECT_TRUE(prompts.calls.back().text.contains("FIFO")) << prompts.calls.back().text.toStdString();
        struct stat st {};
        EXPECT_TRUE(::lstat(QFile::encodeName(fifo).constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    }
}
