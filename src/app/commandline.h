// Running Corvane without a window: commands given on the command line.
#pragma once

#include "commandcore.h"

#include <QStringList>

class QTextStream;

namespace corvane {

// Runs the commands in args (the program name left out) and returns the exit
// code: 0 when every command did its work, 1 when one failed (one line on
// err naming it), 2 on a usage error.  Lines of batches run without the
// window; any other command drives a hidden main window.
int runCommandLine(const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace corvane
