// The window and the commands that drive it.  Built as a library of its own
// that the program loads only for a line that needs it, so that batches start
// without the widget libraries.
#include "application.h"
#include "commandcore.h"
#include "fileaccess.h"
#include "commandline.h"
#include "mainwindow.h"
#include "prompts.h"
#include "secondarywindows.h"
#include "settings.h"
#include "transparencyeditor.h"
#include "workspace.h"

#include <QTextStream>
#include <QTimer>

#include <exception>

extern "C" __attribute__((visibility("default"))) int corvane_window_main(int argc, char** argv) {
    QStringList args;
    // Names exactly as the system holds them, UTF-8 or not.
    for (int i = 1; i < argc; ++i) args.append(corvane::nameFromNative(QByteArray(argv[i])));
    const QString file = corvane::fileToOpen(args);
    if (!args.isEmpty() && file.isEmpty()) {
        // Commands run without showing a window.
        QTextStream out(stdout);
        QTextStream err(stderr);
        return corvane::runCommandLine(args, out, err);
    }

    corvane::Application app(argc, argv);
    try {
        using namespace corvane;
        SettingsStore store;
        QtPrompts prompts;
        MainWindow mainWindow(store, prompts, Workspace(), SettingsDefaults::forThisSystem());
        TextWindow textWindow;
        LargeLevelWindow largeLevelWindow;
        TransparencyViewWindow transparencyViewWindow;
        AboutBox aboutBox;
        mainWindow.setSecondaryWindows(&textWindow, &largeLevelWindow, &transparencyViewWindow, &aboutBox);
        // Closing the main window ends the program, whatever else is open.
        QObject::connect(&mainWindow, &MainWindow::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
        mainWindow.show();
        // The file of "corvane FILE" loads once the window is up, so that its
        // questions and messages have a window to stand over.
        if (!file.isEmpty()) QTimer::singleShot(0, &mainWindow, [&mainWindow, file] { mainWindow.openFile(file); });
        return app.exec();
    } catch (const std::exception& e) {
        app.reportError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        app.reportError(QStringLiteral("Corvane could not start."));
    }
    return 1;
}
