// The window and the commands that drive it.  Built as a library of its own
// that the program loads only for a line that needs it, so that batches start
// without the widget libraries.
#include "application.h"
#include "commandline.h"
#include "forms.h"
#include "mainwindow.h"
#include "prompts.h"
#include "settings.h"
#include "transparencyeditor.h"
#include "workspace.h"

#include <QTextStream>

#include <exception>

extern "C" __attribute__((visibility("default"))) int corvane_window_main(int argc, char** argv) {
    if (argc > 1) {
        // Commands run without showing a window.
        QStringList args;
        for (int i = 1; i < argc; ++i) args.append(QString::fromLocal8Bit(argv[i]));
        QTextStream out(stdout);
        QTextStream err(stderr);
        return corvane::runCommandLine(args, out, err);
    }

    corvane::Application app(argc, argv);
    try {
        corvane::SettingsStore store;
        corvane::QtPrompts prompts;
        TForm1 Form1(store, prompts, corvane::Workspace(), corvane::SettingsDefaults::forThisSystem());
        TForm2 Form2;
        TForm3 Form3;
        corvane::TForm4 Form4;
        TAboutForm AboutForm;
        Form1.setSecondaryWindows(&Form2, &Form3, &Form4, &AboutForm);
        // Closing the main window ends the program, whatever else is open.
        QObject::connect(&Form1, &TForm1::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
        Form1.show();
        return app.exec();
    } catch (const std::exception& e) {
        app.reportError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        app.reportError(QStringLiteral("Corvane could not start."));
    }
    return 1;
}
