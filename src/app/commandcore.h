// The command line's own part: the commands and their parsing, the run's
// work folder, and batches, which need no window.  Qt Core only, so that the
// program can run a batch without loading the widget libraries at all.
#pragma once

#include "batch.h"
#include "toolrunner.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#ifndef _WIN32
#include <csignal>
#endif
#include <memory>
#include <optional>
#include <vector>

class QTextStream;

namespace corvane {

class SettingsStore;

enum ExitCode : int { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

// An application object of type App for a run that has none yet (the program
// name as its only argument); empty when one exists already, as in tests.
template <typename App>
std::unique_ptr<App> applicationForRun() {
    if (App::instance()) return nullptr;
    static int argc = 1;
    static char name[] = "corvane";
    static char* argv[] = {name, nullptr};
    return std::make_unique<App>(argc, argv);
}

struct CommandStep {
    QString command;
    QStringList arguments;
};

// The operations of the commands that work on a set.  The window library
// carries them out on a hidden main window, through the window's own
// handlers; each gets the command's arguments and returns its failure, or an
// empty text.
class LineOperations {
public:
    virtual ~LineOperations() = default;
    virtual QString info(const QStringList& arguments) = 0;
    virtual QString loadExtended(const QStringList& arguments) = 0;
    virtual QString loadTexture(const QStringList& arguments) = 0;
    virtual QString loadAny(const QStringList& arguments) = 0;
    virtual QString createImageSet(const QStringList& arguments) = 0;
    virtual QString save(const QStringList& arguments) = 0;
    virtual QString saveDds(const QStringList& arguments) = 0;
    virtual QString saveTexture(const QStringList& arguments) = 0;
    virtual QString merge(const QStringList& arguments) = 0;
    virtual QString importStd(const QStringList& arguments) = 0;
    virtual QString importCfs(const QStringList& arguments) = 0;
    virtual QString newSixteenBitSet(const QStringList& arguments) = 0;
    virtual QString convertTo(const QStringList& arguments) = 0;
    virtual QString loadMap(const QStringList& arguments) = 0;
    virtual QString saveMap(const QStringList& arguments) = 0;
    virtual QString setAllOpaque(const QStringList& arguments) = 0;
    virtual QString makeColour0Transparent(const QStringList& arguments) = 0;
    virtual QString setLevel(const QStringList& arguments) = 0;
    virtual QString allTo(const QStringList& arguments) = 0;
    virtual QString gradientTo(const QStringList& arguments) = 0;
    virtual QString savePalette(const QStringList& arguments) = 0;
    virtual QString viewTransparency(const QStringList& arguments) = 0;
    virtual QString batch(const QStringList& arguments) = 0;
};

// One command of the line: its name, the form of its arguments and its line
// of help, as --help lists them, and the operation it runs.
struct CommandInfo {
    const char* name;  // empty for a further line of the help of the command above
    const char* arguments;
    const char* help;
    // Null for --help and --set, which act while the line is read.
    QString (LineOperations::*operation)(const QStringList& arguments) = nullptr;
    // Works on the transparency levels of an 8-bit set, in the transparency editor.
    bool onLevels = false;
};
// The command of that name, or null.
const CommandInfo* findCommand(const QString& name);

// Splits the line into commands and their arguments; the NAME=VALUE of each
// --set goes to `settings`.  Empty on a usage error (told on err).
std::optional<std::vector<CommandStep>> parseCommandLine(const QStringList& args, QTextStream& err,
                                                         QStringList& settings);
// The text printed by --help.
QString usageText();
// A whole number within lowest..highest.
bool parseNumber(const QString& text, int lowest, int highest, int& value);
// A message as one line, for stderr and the batch report.
QString oneLine(QString text);

// A run's private folder in the temporary folder (TEMP, TMP, TMPDIR, the
// system's), "corvane-run-<pid>-XXXXXX", removed with this object (or, should
// the run be killed, by the next start: see removeAbandonedRunFolders), and a
// copy of the user's settings with the run's own on top, so the run reads
// them and never writes the user's store.  The copy is a file in the folder,
// or, for a run that only reads its settings, held in memory.
class RunFolder {
public:
    enum class Copy { File, Memory };
    explicit RunFolder(const QStringList& overrides, Copy copy = Copy::File);
    ~RunFolder();
    bool isValid() const { return store_ != nullptr; }
    QString path() const { return dir_.path(); }
    QString failure() const;  // why it is not valid
    SettingsStore& settings() { return *store_; }

private:
    QString temporary_;
    QTemporaryDir dir_;
    std::unique_ptr<SettingsStore> store_;
};

// Removes from `temporary` the work folders of runs whose process has gone
// (killed, or crashed) with everything in them.  Only this user's folders
// are touched, only folders named as a run names them, and links are removed,
// never followed.
void removeAbandonedRunFolders(const QString& temporary);

// One --batch: what to convert and with how many workers.
struct BatchCall {
    BatchRequest request;
    int jobs = 1;
};
// The arguments of one --batch (the parser has seen to the two folders).
// Returns what is wrong with them, or an empty text.
QString parseBatch(const QStringList& arguments, BatchCall& call);
// A name ddsFormatNamed takes: bc1 (or dxt1), bc3 (or dxt5), rgba or auto, in any case.
bool parseDdsFormat(const QString& text, DdsFormat& format);
inline const QString kDdsFormatWanted = QStringLiteral("--dds-format takes ") + ddsFormatNames(", ", " or ");
// A line per file on out, in list order, and a bar on err when it is a terminal.
BatchObserver batchReporter(QTextStream& out, QTextStream& err);
// `stop`, when given, is checked between files.
BatchSummary runBatchInWorkers(const BatchCall& call, const ToolSettings& tool, const QString& workRoot,
                               QTextStream& out, QTextStream& err, const std::atomic<bool>* stop = nullptr);
// Prints the summary line; returns the failure of the command when any file
// failed or the run was stopped before its end.
QString batchOutcome(const BatchSummary& summary, QTextStream& out);

// While it lives, a first interrupt (Ctrl+C), termination request, hang-up or
// write to a reader that has gone is only noted, for the run to stop at the
// next file or command; a second one ends the program at once.
class StopOnInterrupt {
public:
    StopOnInterrupt();
    ~StopOnInterrupt();
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;
    const std::atomic<bool>* flag() const;
    bool requested() const;

private:
#ifndef _WIN32
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
    struct sigaction previousHangUp_ {};
    struct sigaction previousPipe_ {};
#endif
};

// When an interrupt came during the last command, says so on err and answers
// true: the run then fails although every command did its work.  The run's
// outcome is then decided: an interrupt after this ends the program at once,
// with the failing exit code.
bool interruptedAtTheEnd(const StopOnInterrupt& interrupt, QTextStream& err);

// True when the line holds nothing but batches.
bool onlyBatches(const std::vector<CommandStep>& steps);
// Runs such a line with the options read from the run's settings the way
// the window reads them.  An interrupt (Ctrl+C) or a termination request,
// noted by `interrupt`, stops it between files: the saves under way finish,
// a texture tool at work is ended, the work folder is removed and the line
// fails; a second one ends the program at once.  One that comes after the
// last batch is the caller's to tell (interruptedAtTheEnd).
int runBatchesAlone(const std::vector<CommandStep>& steps, RunFolder& folder, const StopOnInterrupt& interrupt,
                    QTextStream& out, QTextStream& err);

// The file a line of one argument that is not a command names ("corvane
// FILE", as a file manager starts the program): the window opens with it
// loaded.  Empty for any other line.
QString fileToOpen(const QStringList& args);

// What the program does before any window code is loaded: --help, usage
// errors and lines of batches.  Empty when the line needs the window.
std::optional<int> runWithoutWindow(const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace corvane
