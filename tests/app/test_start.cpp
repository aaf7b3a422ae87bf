// The program started the way a user starts it, with no display at all.
#include <QFileInfo>
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

ProgramRun runProgram(const QStringList& args, const QTemporaryDir& scratch, const QString& display = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    if (!display.isEmpty()) env.insert("DISPLAY", display);
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

// A display number with no X server behind it on this machine.
QString silentDisplay() {
    for (int n = 97; n < 400; ++n)
        if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) &&
            !QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
            return QStringLiteral(":%1").arg(n);
    return {};
}

TEST(StartWithoutDisplay, WindowRefusesWithOneLineAndCommandsStillRun) {
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());

    // No display at all, or one that nothing answers on: the same one line.
    const QString silent = silentDisplay();
    ASSERT_FALSE(silent.isEmpty());
    for (const QString& display : {QString(), silent}) {
        SCOPED_TRACE(display.toStdString());
        const ProgramRun window = runProgram({}, scratch, display);
        EXPECT_FALSE(window.crashed);
        EXPECT_EQ(window.exitCode, 2);
        EXPECT_TRUE(window.out.isEmpty());
        EXPECT_EQ(window.err.count('\n'), 1) << window.err.toStdString();
        EXPECT_TRUE(window.err.startsWith(QStringLiteral("corvane: the window needs a display")))
            << window.err.toStdString();
        EXPECT_TRUE(window.err.contains(QStringLiteral("corvane --help"))) << window.err.toStdString();
    }

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
