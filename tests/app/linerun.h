// A line of commands run in this process, with what it wrote.
#pragma once

#include "commandline.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

namespace corvane::testing {

struct LineRun {
    int code = -1;
    QString out, err;
};

inline LineRun runCorvane(const QStringList& args) {
    LineRun run;
    QTextStream out(&run.out), err(&run.err);
    run.code = runCommandLine(args, out, err);
    return run;
}

}  // namespace corvane::testing
