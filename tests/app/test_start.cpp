// The program started the way a user starts it, with no display at all.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct ProgramRun {
    int exitCode = -1;
    bool crashed = true;
    QString out, err;
};

ProgramRun runProgram(const QStringList& args, const QTemporaryDir& scratch) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    // The program must not see the user's own settings or work folders.
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TEMP", "TMP", "TMPDIR"})
        env.insert(name, scratch.path());
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(CORVANE_PROGRAM), args);
    ProgramRun run;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return run;
    }
    run.crashed = p.exitStatus() != QProcess::NormalExit;
    run.exitCode = p.exitCode();
    run.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(p.readAllStandardError());
    return run;
}

TEST(StartWithoutDisplay, WindowRefusesWithOneLineAndCommandsStillRun) {
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());

    const ProgramRun window = runProgram({}, scratch);
    EXPECT_FALSE(window.crashed);
    EXPECT_EQ(window.exitCode, 2);
    EXPECT_TRUE(window.out.isEmpty());
    EXPECT_EQ(window.err.count('\n'), 1) << window.err.toStdString();
    EXPECT_TRUE(window.err.contains(QStringLiteral("display"))) << window.err.toStdString();
    EXPECT_TRUE(window.err.contains(QStringLiteral("corvane --help"))) << window.err.toStdString();

    // "corvane FILE", as a file manager starts it, is the window too.
    const ProgramRun file = runProgram({QStringLiteral("set.bmp")}, scratch);
    EXPECT_FALSE(file.crashed);
    EXPECT_EQ(file.exitCode, 2);
    EXPECT_EQ(file.err.count('\n'), 1) << file.err.toStdString();
    EXPECT_TRUE(file.err.contains(QStringLiteral("display"))) << file.err.toStdString();

    const ProgramRun help = runProgram({QStringLiteral("--help")}, scratch);
    EXPECT_FALSE(help.crashed);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("Usage:")));

    // A command that drives the hidden window needs no display either.
    const ProgramRun info = runProgram({QStringLiteral("--info")}, scratch);
    EXPECT_FALSE(info.crashed);
    EXPECT_EQ(info.exitCode, 0) << info.err.toStdString();
}

}  // namespace
