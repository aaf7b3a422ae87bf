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
#include <optional>

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

#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
// Whether the X display DISPLAY names takes a connection, asked the way
// Qt's own X11 platform will ask (through libxcb, loaded only for this).
bool xDisplayAnswers() {
    QLibrary xcb(QStringLiteral("xcb"), 1);
    using Connect = void* (*)(const char* display, int* screen);
    using HasError = int (*)(void* connection);
    using Disconnect = void (*)(void* connection);
    const auto connect = reinterpret_cast<Connect>(xcb.resolve("xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(xcb.resolve("xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(xcb.resolve("xcb_disconnect"));
    if (!connect || !hasError || !disconnect) return false;  // then Qt could not reach it either
    void* connection = connect(nullptr, nullptr);
    const bool answers = connection && hasError(connection) == 0;
    if (connection) disconnect(connection);
    return answers;
}
#endif

// Why the window cannot be shown, or nothing when it can.  Without a display
// Qt would abort the program with lines of its own; the command line needs
// none (it runs offscreen).
std::optional<QString> noDisplay() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith(QLatin1String("xcb"))) return std::nullopt;
    if (platform.isEmpty() && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return std::nullopt;
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty()) return QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set");
    if (!xDisplayAnswers()) return QStringLiteral("the display %1 does not answer").arg(display);
#endif
    return std::nullopt;
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
    } else if (const std::optional<QString> why = noDisplay()) {
        std::fprintf(stderr, "corvane: the window needs a display (%s); for the command line see corvane --help\n",
                     why->toLocal8Bit().constData());
        return corvane::ExitUsage;
    }
    return runWindow(argc, argv);
}
