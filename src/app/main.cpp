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

#include <cstdint>
#include <cstdlib>

#if defined(__GLIBC__)
#  include <malloc.h>
#  include <sys/mman.h>
#endif

namespace {

// Every picture the program handles is a few megabytes, allocated and freed
// again for each level it touches.  Kept in the heap rather than mapped
// afresh each time, that memory costs no page faults and no clearing by the
// kernel on every reuse.  The heap is grown once, ahead, and marked for large
// pages, so that even its first use faults once per two megabytes instead of
// once per page; and every thread shares it, so a batch worker's pictures
// land there too rather than in a fresh arena of its own.
void keepPicturesInTheHeap() {
#if defined(__GLIBC__)
    constexpr size_t kMapped = size_t(64) << 20;  // below this, pictures come from the heap
    mallopt(M_MMAP_THRESHOLD, int(kMapped));
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_ARENA_MAX, 1);
#  if defined(MADV_HUGEPAGE)
    constexpr size_t kAhead = size_t(48) << 20;
    constexpr uintptr_t kLarge = uintptr_t(2) << 20;
    if (char* block = static_cast<char*>(std::malloc(kAhead))) {
        const uintptr_t from = (uintptr_t(block) + kLarge - 1) & ~(kLarge - 1);
        const uintptr_t to = (uintptr_t(block) + kAhead) & ~(kLarge - 1);
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
        std::free(block);  // stays in the heap, below the trim threshold
    }
#  endif
#endif
}

}  // namespace

int main(int argc, char** argv) {
    keepPicturesInTheHeap();
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
