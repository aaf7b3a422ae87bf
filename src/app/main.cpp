// The program: lines of batches (and --help) run here on Qt Core alone; the
// window, and every command that drives it, live in a library loaded only
// when the line needs them.
#include "commandcore.h"
#include "fileaccess.h"
#include "pictureheap.h"
#include "workspace.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QTextStream>

#include <cstdio>

namespace {

// The folder the program runs from, where its libraries are.
QString programFolder(const char* argv0) {
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    if (self.exists()) return QFileInfo(self.symLinkTarget()).absolutePath();
    return QFileInfo(QFile::decodeName(argv0)).absolutePath();
}

int runWindow(int argc, char** argv) {
    QLibrary module(QDir(programFolder(argv[0])).filePath(QStringLiteral("corvane_window")));
    if (!module.load()) {
        // Then the system's search order.
        module.setFileName(QStringLiteral("corvane_window"));
        module.load();
    }
    using Entry = int (*)(int, char**);
    const auto entry = reinterpret_cast<Entry>(module.resolve("corvane_window_main"));
    if (!entry) {
        std::fprintf(stderr, "corvane: cannot load the window library: %s\n",
                     module.errorString().toLocal8Bit().constData());
        return corvane::ExitFailed;
    }
    return entry(argc, argv);  // the library stays loaded until the program ends
}

// The window needs a display; without one Qt would abort the program.  The
// command line needs none (it runs offscreen).
bool windowCanShow() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    corvane::pictureheap::setUp();
    // Whatever this start is for, work folders of runs that were killed go.
    corvane::removeAbandonedRunFolders(corvane::temporaryFolder());
    QStringList args;
    // Names exactly as the system holds them, UTF-8 or not.
    for (int i = 1; i < argc; ++i) args.append(corvane::nameFromNative(QByteArray(argv[i])));
    const bool showsWindow = args.isEmpty() || !corvane::fileToOpen(args).isEmpty();
    if (!showsWindow) {
        QTextStream out(stdout);
        QTextStream err(stderr);
        if (const std::optional<int> done = corvane::runWithoutWindow(args, out, err)) return *done;
    } else if (!windowCanShow()) {
        std::fprintf(stderr,
                     "corvane: the window needs a display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                     "for the command line see corvane --help\n");
        return corvane::ExitUsage;
    }
    return runWindow(argc, argv);
}
