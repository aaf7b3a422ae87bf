#include "commandline.h"

#include <QTextStream>

namespace corvane {

namespace {

// Each command with its arguments and a line of help.  Commands that work on
// a set drive a hidden main window with scripted answers, so they run the
// same code as the window's handlers.
struct CommandInfo {
    const char* name;
    const char* arguments;
    const char* help;
};

constexpr CommandInfo kCommands[] = {
    {"--help", "", "print this text and exit"},
};

}  // namespace

QString usageText() {
    QString text = QStringLiteral(
        "Usage: corvane [COMMAND]...\n"
        "Without commands, opens the Corvane window. Commands run in the order given,\n"
        "without a window, in a work folder of their own.\n\n");
    for (const CommandInfo& c : kCommands) {
        QString left = QString::fromLatin1(c.name);
        if (*c.arguments) left += ' ' + QString::fromLatin1(c.arguments);
        text += "  " + left.leftJustified(26) + ' ' + QString::fromLatin1(c.help) + '\n';
    }
    text += QStringLiteral("\nExit status: 0 done, 1 a command failed, 2 usage error.\n");
    return text;
}

int runCommandLine(const QStringList& args, QTextStream& out, QTextStream& err) {
    for (const QString& arg : args) {
        if (arg == QLatin1String("--help")) {
            out << usageText();
            out.flush();
            return ExitOk;
        }
        err << "corvane: unknown command '" << arg << "' (see corvane --help)\n";
        err.flush();
        return ExitUsage;
    }
    return ExitOk;
}

}  // namespace corvane
