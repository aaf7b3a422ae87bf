// Running Corvane without a window: commands given on the command line.
#pragma once

#include <QStringList>

class QTextStream;

namespace corvane {

enum ExitCode : int { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

// Runs the commands in args (the program name left out) and returns the exit
// code: 0 when every command did its work, 1 when one failed (one line on
// err naming it), 2 on a usage error.
int runCommandLine(const QStringList& args, QTextStream& out, QTextStream& err);

// The text printed by --help.
QString usageText();

}  // namespace corvane
