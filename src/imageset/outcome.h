// What a core operation tells its caller, the window or the command line
// alike: done, or refused with the reason to show, and what to refresh.
#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

struct CommandOutcome {
    bool ok = true;             // the command did its work
    QStringList information;    // messages to show in order, title "Corvane"
    QString error;              // a warning to show; set when the command failed
    bool refreshViews = false;  // the views must re-read the slots
    bool readPalette = false;   // an 8-bit set was loaded: read its palette levels

    void fail(const QString& why) {
        ok = false;
        error = why;
    }
    static CommandOutcome refused(const QString& why) {
        CommandOutcome outcome;
        outcome.fail(why);
        return outcome;
    }
};

}  // namespace corvane
