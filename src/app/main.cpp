#include "application.h"
#include "commandline.h"
#include "forms.h"
#include "mainwindow.h"
#include "prompts.h"
#include "settings.h"
#include "transparencyeditor.h"
#include "workspace.h"

#include <QTextStream>

#include <cstdio>
#include <exception>

#if defined(__GLIBC__)
#  include <malloc.h>
#endif

int main(int argc, char** argv) {
#if defined(__GLIBC__)
    // Every picture the program handles is a few megabytes, allocated and
    // freed again for each level it touches.  Kept in the heap rather than
    // mapped afresh each time, that memory costs no page faults and no
    // clearing by the kernel on every reuse.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
    if (argc > 1) {
        // Commands run without a window.
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
