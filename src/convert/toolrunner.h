// Runs the texture tool on one file: a fresh copy of the tool for each run,
// the command line for the mode, waiting for it to end.
#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

class Workspace;

// The option text of a mode, blanks included; empty for an unknown mode.
QString toolOptionText(int mode);
// The window option: "-b " when the tool is not to be shown.
QString toolWindowOption(bool showTool);
// The whole command line as text, "%s  %s %s -e bmp  %s".
QString toolCommandLine(const QString& program, int mode, bool showTool, const QString& file);
// The same as the argument list handed to the process (never through a shell,
// so a file name with blanks stays one argument).
QStringList toolArguments(int mode, bool showTool, const QString& file);

struct ToolSettings {
    QString toolPath;      // "ImageTool"
    bool showTool = true;  // "Display ImageTool when Processing"
};

struct ToolRun {
    bool started = false;
    int exitCode = -1;
    QString problem;  // empty when the tool ran and reported success

    bool ok() const { return problem.isEmpty(); }
};

ToolRun runTextureTool(const Workspace& workspace, const ToolSettings& settings, const QString& file, int mode);

}  // namespace corvane
