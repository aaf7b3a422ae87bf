// Widget tests run under an offscreen display in a scratch home, config and
// temp folder, so nothing touches the user's own settings or files.
#include "application.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    QTemporaryDir scratch(QDir::tempPath() + "/corvane-app-tests-XXXXXX");
    if (!scratch.isValid()) return 1;
    for (const char* sub : {"home", "config", "temp", "runtime"}) QDir(scratch.path()).mkpath(sub);
    QFile::setPermissions(scratch.filePath("runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(scratch.filePath("runtime")));
    qputenv("HOME", QFile::encodeName(scratch.filePath("home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath("config")));
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) qputenv(name, QFile::encodeName(scratch.filePath("temp")));
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

    corvane::Application app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    // An error box would block the run; an error that reaches it is a failure.
    app.setErrorReporter([](const QString& m) { ADD_FAILURE() << "error box: " << m.toStdString(); });
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
