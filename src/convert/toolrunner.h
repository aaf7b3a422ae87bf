// Runs the texture tool on one file: a fresh copy of the tool for each run,
// the command line for the mode, waiting for it to end.
#pragma once

#include <QString>
#include <QStringList>

#include "outcome.h"
#include "setdepth.h"

#include <atomic>

namespace corvane {

class Workspace;

// The option text of a mode, blanks included; empty for an unknown mode.
QString toolOptionText(ToolMode mode);
// The window option: "-b " when the tool is not to be shown.
QString toolWindowOption(bool showTool);
// The whole command line as text, "%s  %s %s -e bmp  %s".
QString toolCommandLine(const QString& program, ToolMode mode, bool showTool, const QString& file);
// The same as the argument list handed to the process (never through a shell,
// so a file name with blanks stays one argument).
QStringList toolArguments(ToolMode mode, bool showTool, const QString& file);

struct ToolSettings {
    QString toolPath;      // "ImageTool"
    bool showTool = true;  // "Display ImageTool when Processing"
};

struct ToolRun {
    bool started = false;
    int exitCode = -1;
    CommandOutcome outcome;  // done when the tool ran and reported success
};

// Waits for the tool without a time limit, unless the run it serves is
// stopped (see endToolRunsWhen): the tool is then ended too, and the run
// says so.
ToolRun runTextureTool(const Workspace& workspace, const ToolSettings& settings, const QString& file, ToolMode mode);

// From now on every run of the tool ends, and ends the tool, once `stop` is
// set; null for never.  The command line points it at its interrupt flag,
// so that a tool that hangs cannot keep a stopped run waiting.
void endToolRunsWhen(const std::atomic<bool>* stop);

// Kills every tool running now and all that each has started, at once: for
// a program about to end without waiting for its runs to stop.  Safe in a
// signal handler.
void endToolGroupsNow();

}  // namespace corvane
