#include "toolrunner.h"

#include "workspace.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <mutex>

#include <csignal>
#include <unistd.h>

namespace corvane {

QString toolOptionText(ToolMode mode) {
    switch (mode) {
        case ToolMode::Rgb565:
            return QStringLiteral("-565 ");
        case ToolMode::Argb4444:
            return QStringLiteral("-4444 ");
        case ToolMode::Argb32:
            return QStringLiteral("-now -32 ");
        case ToolMode::Palette8Levels:
            return QStringLiteral(" -8 -alpha -verify ");
        case ToolMode::Palette8:
            return QStringLiteral(" -8 ");
    }
    return {};
}

QString toolWindowOption(bool showTool) { return showTool ? QString() : QStringLiteral("-b "); }

QString toolCommandLine(const QString& program, ToolMode mode, bool showTool, const QString& file) {
    return QStringLiteral("%1  %2 %3 -e bmp  %4").arg(program, toolOptionText(mode), toolWindowOption(showTool), file);
}

QStringList toolArguments(ToolMode mode, bool showTool, const QString& file) {
    QStringList arguments = toolOptionText(mode).split(' ', Qt::SkipEmptyParts);
    arguments += toolWindowOption(showTool).split(' ', Qt::SkipEmptyParts);
    arguments << QStringLiteral("-e") << QStringLiteral("bmp") << file;
    return arguments;
}

namespace {
// A program cannot be started while any process holds it open for writing
// ("text file busy"), and a process started from one thread inherits, until
// it has started its own program, whatever another thread has open at that
// moment: a copy of the tool being written, say.  So tools are copied and
// started one at a time; they run side by side.
std::mutex startingTool;

std::atomic<const std::atomic<bool>*> endWhen{nullptr};

bool stopAsked() {
    const std::atomic<bool>* stop = endWhen.load();
    return stop && stop->load();
}

// A tool asked to end has this long to do so before it is killed.
constexpr int kGraceMs = 2000;
// How often a wait for the tool looks for a stop.
constexpr int kLookMs = 50;

// The groups of the tools running now, for endToolGroupsNow: a slot each
// while it runs, 0 where none.  More tools than slots at once go unlisted.
constexpr int kGroupSlots = 256;
std::atomic<pid_t> runningGroups[kGroupSlots];
static_assert(std::atomic<pid_t>::is_always_lock_free);

class ListedGroup {
public:
    explicit ListedGroup(pid_t group) {
        for (int i = 0; i < kGroupSlots && slot_ < 0; ++i) {
            pid_t none = 0;
            if (runningGroups[i].compare_exchange_strong(none, group)) slot_ = i;
        }
    }
    ~ListedGroup() {
        if (slot_ >= 0) runningGroups[slot_].store(0);
    }
    ListedGroup(const ListedGroup&) = delete;
    ListedGroup& operator=(const ListedGroup&) = delete;

private:
    int slot_ = -1;
};

// Ends a stopped tool and whatever it started: the tool leads a process
// group of its own (see runTextureTool), so one signal reaches all of it.
// Asked first; what is still there after the grace, the tool's own children
// too, is killed.  The tool's number names its group for as long as anything
// in the group lives, so the last signal cannot reach anything else.
void endToolGroup(QProcess& process) {
    const pid_t group = pid_t(process.processId());
    if (group > 0) ::kill(-group, SIGTERM);
    process.waitForFinished(kGraceMs);
    if (group > 0) ::kill(-group, SIGKILL);
    process.kill();
    process.waitForFinished(-1);
}
}  // namespace

void endToolRunsWhen(const std::atomic<bool>* stop) { endWhen.store(stop); }

void endToolGroupsNow() {
    for (std::atomic<pid_t>& group : runningGroups)
        if (const pid_t running = group.load(); running > 0) ::kill(-running, SIGKILL);
}

ToolRun runTextureTool(const Workspace& workspace, const ToolSettings& settings, const QString& file, ToolMode mode) {
    ToolRun run;
    const QString copy = workspace.toolCopyPath();
    Workspace::removeFile(copy);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    // A group of its own: a stop then reaches the tool's children as well
    // (see endToolGroup), and a terminal's Ctrl+C reaches this program alone,
    // which ends the tool with the run.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    std::unique_lock starting(startingTool);
    // QFile::copy keeps the permissions, the run permission among them.
    if (!QFileInfo(settings.toolPath).isFile() || !QFile::copy(settings.toolPath, copy)) {
        run.outcome.fail(QStringLiteral("The texture tool %1 cannot be found. Choose it with Locate ImageTool.")
                             .arg(settings.toolPath));
        return run;
    }
    if (stopAsked()) {
        starting.unlock();
        Workspace::removeFile(copy);
        run.outcome.fail(QStringLiteral("The run was stopped before the texture tool started."));
        return run;
    }
    process.start(copy, toolArguments(mode, settings.showTool, file));
    const bool started = process.waitForStarted(-1);
    starting.unlock();
    if (!started) {
        run.outcome.fail(QStringLiteral("The texture tool %1 could not be started: %2")
                             .arg(QFileInfo(settings.toolPath).fileName(), process.errorString()));
    } else {
        run.started = true;
        const ListedGroup listed(pid_t(process.processId()));
        bool ended = false;
        while (process.state() != QProcess::NotRunning && !process.waitForFinished(kLookMs)) {
            if (!stopAsked()) continue;
            endToolGroup(process);
            ended = true;
            break;
        }
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        // A signal sent to every process of the session (a hang-up) can
        // reach the tool and this program alike; the tool may be seen to die
        // of it a moment before the stop is noted.
        if (!ended && process.exitStatus() == QProcess::CrashExit && endWhen.load())
            for (int waited = 0; waited < kGraceMs && !(ended = stopAsked()); waited += kLookMs)
                QThread::msleep(kLookMs);
        if (ended) {
            run.outcome.fail(QStringLiteral("The texture tool %1 was ended: the run was stopped.")
                                 .arg(QFileInfo(settings.toolPath).fileName()));
        } else if (run.exitCode != 0) {
            const QString said = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
            run.outcome.fail(QStringLiteral("The texture tool %1 failed%2")
                                 .arg(QFileInfo(settings.toolPath).fileName(),
                                      said.isEmpty() ? QStringLiteral(" (exit code %1).").arg(run.exitCode)
                                                     : QStringLiteral(": ") + said));
        }
    }
    Workspace::removeFile(copy);
    return run;
}

}  // namespace corvane
