#include "commandcore.h"

#include "fileaccess.h"
#include "import.h"
#include "settings.h"
#include "workspace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QThread>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace corvane {

namespace {

// Commands that work on a set drive a hidden main window with scripted
// answers, so they run the same code as the window's handlers; batches call
// the batch runner itself.  A new command is a row here and its operation.
using Ops = LineOperations;
constexpr bool kOnLevels = true;
constexpr CommandInfo kCommands[] = {
    {"--help", "", "print this text and exit"},
    {"--set", "NAME=VALUE", "a setting for this run, by its store name (Smooth8bit=0, MaxImport=512 ...)"},
    {"--info", "", "print the status lines, the depth and the largest level of the set", &Ops::info},
    {"--load-extended", "FILE", "load an Extended Bitmap", &Ops::loadExtended},
    {"--load-texture", "FILE", "load a texture file (raw 65536-byte texture or BMP)", &Ops::loadTexture},
    {"--load-any", "FILE", "import a picture of any supported format", &Ops::loadAny},
    {"--create-image-set", "", "rebuild every level below the largest", &Ops::createImageSet},
    {"--save", "FILE", "save the set as one Extended Bitmap", &Ops::save},
    {"--save-dds", "FILE", "save the set's levels as a DDS texture, its mips largest first:", &Ops::saveDds},
    {"", "", "  {dds-auto}; --dds-format {dds-formats} after FILE forces one"},
    {"--save-texture", "", "save the set over the texture file it was loaded from", &Ops::saveTexture},
    {"--merge", "FILE", "put a picture in place of the 256 level, on the set's palette", &Ops::merge},
    {"--import-std", "FILE", "put an 8-bit picture and its palette in place of the 256 level", &Ops::importStd},
    {"--import-cfs", "FILE", "take levels 256..1 and the palette of an 8-bit Extended Bitmap", &Ops::importCfs},
    {"--new16", "", "a new black 16-bit 256 set", &Ops::newSixteenBitSet},
    {"--convert-to", "256|565|4444|32", "convert the set through the texture tool", &Ops::convertTo},
    {"--load-map", "FILE", "load a transparency map (.mpt)", &Ops::loadMap, kOnLevels},
    {"--save-map", "FILE", "save the transparency levels as a map", &Ops::saveMap, kOnLevels},
    {"--set-all-opaque", "", "every colour opaque", &Ops::setAllOpaque, kOnLevels},
    {"--colour0-transparent", "", "colour 0 transparent, the rest opaque", &Ops::makeColour0Transparent, kOnLevels},
    {"--set-level", "COLOUR=LEVEL", "one colour's transparency level (0..255)", &Ops::setLevel, kOnLevels},
    {"--all-to", "LEVEL", "every colour at one level", &Ops::allTo, kOnLevels},
    {"--gradient-to", "COLOUR", "levels rising from colour 0 to COLOUR", &Ops::gradientTo, kOnLevels},
    {"--save-palette", "", "write the levels into the set's palette", &Ops::savePalette, kOnLevels},
    {"--view-transparency", "OUT.bmp", "write the transparency view (with --current COLOUR: that colour red)",
     &Ops::viewTransparency, kOnLevels},
    {"--batch", "SRC DEST [NAME...]", "convert the BMP files of SRC into DEST (all of them without names);",
     &Ops::batch},
    {"", "", "  --colour0-transparent for 8-bit results, --jobs N for parallel workers,"},
    {"", "", "  --dds to write NAME.dds textures instead (and --dds-format as for --save-dds),"},
    {"", "", "  --in-place when DEST is SRC, to let the results replace their sources"},
    {"", "", "  Ctrl+C stops a line of batches after the files under way"},
};

}  // namespace

const CommandInfo* findCommand(const QString& name) {
    for (const CommandInfo& c : kCommands)
        if (*c.name && name == QLatin1String(c.name)) return &c;
    return nullptr;
}

std::optional<std::vector<CommandStep>> parseCommandLine(const QStringList& args, QTextStream& err,
                                                         QStringList& settings) {
    std::vector<CommandStep> steps;
    const auto usage = [&](const QString& why) {
        err << "corvane: " << why << " (see corvane --help)\n";
        err.flush();
        return std::nullopt;
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString& name = args[i];
        const CommandInfo* info = findCommand(name);
        if (!info) return usage(QStringLiteral("unknown command '%1'").arg(name));
        CommandStep step{name, {}};
        const QString wants = QString::fromLatin1(info->arguments);
        if (name == "--batch") {
            // SRC DEST, then options and names up to the next command that is not a batch option.
            while (i + 1 < args.size()) {
                const QString& next = args[i + 1];
                if (next == "--colour0-transparent" || next == "--jobs" || next == "--dds" || next == "--dds-format" ||
                    next == "--in-place") {
                    step.arguments << next;
                    ++i;
                    if (next == "--jobs" || next == "--dds-format") {
                        if (i + 1 >= args.size()) return usage(QStringLiteral("%1 needs a value").arg(next));
                        step.arguments << args[++i];
                        // A value the option cannot take is a slip of the line, told as one.
                        int jobs = 0;
                        DdsFormat format = DdsFormat::Auto;
                        if (next == "--jobs" && !parseNumber(args[i], 1, 64, jobs)) return usage("--jobs takes 1..64");
                        if (next == "--dds-format" && !parseDdsFormat(args[i], format)) return usage(kDdsFormatWanted);
                    }
                } else if (next.startsWith("--")) {
                    break;
                } else {
                    step.arguments << args[++i];
                }
            }
            const int paths = int(std::count_if(step.arguments.begin(), step.arguments.end(),
                                                [](const QString& a) { return !a.startsWith("--"); }));
            if (paths < 2) return usage("--batch needs a source and a destination folder");
        } else if (name == "--view-transparency") {
            if (i + 1 >= args.size()) return usage("--view-transparency needs a file");
            step.arguments << args[++i];
            if (i + 1 < args.size() && args[i + 1] == "--current") {
                if (i + 2 >= args.size()) return usage("--current needs a colour");
                step.arguments << args[i + 2];
                i += 2;
            }
        } else if (name == "--save-dds") {
            if (i + 1 >= args.size()) return usage("--save-dds needs a file");
            step.arguments << args[++i];
            if (i + 1 < args.size() && args[i + 1] == "--dds-format") {
                if (i + 2 >= args.size())
                    return usage(QStringLiteral("--dds-format needs %1").arg(ddsFormatNames(", ", " or ")));
                step.arguments << args[i + 2];
                i += 2;
            }
        } else if (!wants.isEmpty()) {
            if (i + 1 >= args.size()) return usage(QStringLiteral("%1 needs %2").arg(name, wants));
            step.arguments << args[++i];
        }
        if (name == "--set") {
            const qsizetype eq = step.arguments[0].indexOf('=');
            if (eq <= 0) return usage("--set takes NAME=VALUE");
            if (const QString refusal = settingRefusal(step.arguments[0].left(eq), step.arguments[0].mid(eq + 1));
                !refusal.isEmpty())
                return usage(refusal);
            settings << step.arguments[0];
            continue;
        }
        steps.push_back(step);
    }
    return steps;
}

bool parseDdsFormat(const QString& text, DdsFormat& format) {
    const std::optional<DdsFormat> named = ddsFormatNamed(text);
    if (named) format = *named;
    return named.has_value();
}

bool parseNumber(const QString& text, int lowest, int highest, int& value) {
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= lowest && value <= highest;
}

QString oneLine(QString text) {
    text.replace('\n', ' ');
    return readableName(text.simplified());
}

QString usageText() {
    QString text = QStringLiteral(
        "Usage: corvane [COMMAND]...\n"
        "Without commands, opens the Corvane window. Commands run in the order given,\n"
        "without a window, in a work folder of their own.\n\n");
    for (const CommandInfo& c : kCommands) {
        QString left = QString::fromLatin1(c.name);
        if (*c.arguments) left += ' ' + QString::fromLatin1(c.arguments);
        // The DDS formats as the table of block formats has them.
        const QString help = QString::fromLatin1(c.help)
                                 .replace(QLatin1String("{dds-auto}"), ddsAutoChoice())
                                 .replace(QLatin1String("{dds-formats}"), ddsFormatNames("|", "|"));
        text += "  " + left.leftJustified(26) + ' ' + help + '\n';
    }
    text += QStringLiteral("\nExit status: 0 done, 1 a command failed, 2 usage error.\n");
    return text;
}

namespace {

const char* const kRunFolderPrefix = "corvane-run-";

qint64 processId() {
#ifndef _WIN32
    return qint64(::getpid());
#else
    return QCoreApplication::applicationPid();
#endif
}

}  // namespace

RunFolder::RunFolder(const QStringList& overrides, Copy copy)
    : temporary_(temporaryFolder()),
      dir_(temporary_ + QLatin1String(kRunFolderPrefix) + QString::number(processId()) + "-XXXXXX") {
    if (!dir_.isValid()) return;
    // The user's settings, copied so that the run reads them and never writes them.
    QHash<QString, QString> values;
    {
        const QSettings user(QStringLiteral("Quor"), QStringLiteral("Corvane"));
        for (const QString& key : user.allKeys()) values.insert(key, user.value(key).toString());
    }
    for (const QString& pair : overrides) {
        const int eq = int(pair.indexOf('='));
        values.insert(pair.left(eq), pair.mid(eq + 1));
    }
    if (copy == Copy::Memory) {
        store_ = SettingsStore::inMemory(std::move(values));
        return;
    }
    const QString path = QDir(dir_.path()).filePath("settings.ini");
    {
        QSettings file(path, QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it) file.setValue(it.key(), it.value());
    }
    store_ = SettingsStore::atIniFile(path);
}

RunFolder::~RunFolder() = default;

QString RunFolder::failure() const {
    return QStringLiteral("cannot make a work folder in %1").arg(QDir::toNativeSeparators(temporary_));
}

void removeAbandonedRunFolders(const QString& temporary) {
#ifndef _WIN32
    // As QTemporaryDir names them: the owner's process number, then six letters or digits.
    static const QRegularExpression runFolder(
        QStringLiteral("^%1([1-9][0-9]{0,9})-[A-Za-z0-9]{6}$").arg(QLatin1String(kRunFolderPrefix)));
    const QDir folder(temporary);
    const QStringList names = folder.entryList({QLatin1String(kRunFolderPrefix) + '*'},
                                               QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = runFolder.match(name);
        if (!match.hasMatch()) continue;
        const qint64 owner = match.captured(1).toLongLong();
        if (owner == processId() || owner > std::numeric_limits<pid_t>::max()) continue;
        const QByteArray path = QFile::encodeName(folder.filePath(name));
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) continue;
        // Any answer but "no such process" (EPERM: another user's) means it lives.
        if (::kill(pid_t(owner), 0) == 0 || errno != ESRCH) continue;
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(path.toStdString()), ignored);
    }
#else
    Q_UNUSED(temporary);
#endif
}

// The arguments of one --batch (the parser has seen to the two folders).
// Returns what is wrong with them, or an empty text.
QString parseBatch(const QStringList& arguments, BatchCall& call) {
    call.jobs = std::max(1, QThread::idealThreadCount());
    QStringList paths;
    bool inPlace = false;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--colour0-transparent") call.request.colour0Transparent = true;
        else if (arguments[i] == "--in-place") inPlace = true;
        else if (arguments[i] == "--jobs") {
            if (!parseNumber(arguments.value(++i), 1, 64, call.jobs)) return QStringLiteral("--jobs takes 1..64");
        } else if (arguments[i] == "--dds") call.request.writeDds = true;
        else if (arguments[i] == "--dds-format") {
            if (!parseDdsFormat(arguments.value(++i), call.request.ddsFormat)) return kDdsFormatWanted;
            call.request.writeDds = true;
        } else paths << arguments[i];
    }
    call.request.sourceFolder = paths[0];
    call.request.destinationFolder = paths[1];
    for (const QString& folder : {call.request.sourceFolder, call.request.destinationFolder})
        if (const EntryKind kind = entryKind(folder); kind != EntryKind::Folder)
            return (kind == EntryKind::Missing ? QStringLiteral("no such folder: %1")
                                               : QStringLiteral("not a folder: %1"))
                .arg(readableName(folder));
    call.request.names = paths.mid(2);
    if (call.request.names.isEmpty()) {
        QString unlisted;
        call.request.names = bitmapsIn(call.request.sourceFolder, &unlisted);
        if (!unlisted.isEmpty()) return unlisted;
    }
    // The window asks first; the line is told, when a result would take the
    // place of its own source (a texture beside its BMP would not).
    const bool replacesASource =
        std::any_of(call.request.names.begin(), call.request.names.end(), [&](const QString& given) {
            const QString name = QFileInfo(given).fileName();
            return destinationName(name, call.request) == name;
        });
    if (!inPlace && replacesASource && sameFolder(call.request.sourceFolder, call.request.destinationFolder))
        return QStringLiteral(
            "the source and destination are the same folder, so the results would replace their sources; "
            "add --in-place to do so");
    return {};
}

// A line per file on out, in list order, and a bar on err when it is a terminal.
BatchObserver batchReporter(QTextStream& out, QTextStream& err) {
    BatchObserver observer;
    observer.finished = [&out, &err, bar = bool(isatty(fileno(stderr)))](int index, int count,
                                                                         const BatchFileResult& result) {
        constexpr int width = 30;
        if (bar && index > 0) {
            // The bar is wiped before the line, which would otherwise go on
            // where the bar ends when both reach one terminal.
            err << '\r' << QString(width + 16, ' ') << '\r';
            err.flush();
        }
        out << (result.converted() ? "converted " : "failed    ") << readableName(result.name);
        if (!result.converted()) out << ": " << oneLine(result.problem());
        else if (!result.note().isEmpty()) out << ": " << oneLine(result.note());
        out << '\n';
        out.flush();
        if (bar) {
            const int done = (index + 1) * width / count;
            err << '\r' << '[' << QString(done, '#') << QString(width - done, '.') << "] " << index + 1 << '/' << count;
            if (index + 1 == count) err << '\n';
            err.flush();
        }
    };
    return observer;
}

BatchSummary runBatchInWorkers(const BatchCall& call, const ToolSettings& tool, const QString& workRoot,
                               QTextStream& out, QTextStream& err, const std::atomic<bool>* stop) {
    return runBatchInParallel(
        call.request, call.jobs, workRoot,
        [tool](const Workspace& workspace) { return corvane::textureTool(workspace, tool); }, batchReporter(out, err),
        stop);
}

// The summary line; the failure of the command when any file failed.
QString batchOutcome(const BatchSummary& summary, QTextStream& out) {
    // A batch refused before it began has no summary: its refusal is the failure.
    if (!summary.refusal.isEmpty()) return summary.text();
    out << summary.text() << '\n';
    // Once a run: how many sets are smaller than their pictures would have
    // made them, and how to keep them larger.
    if (const int smaller = summary.madeSmallerCount(); smaller > 0)
        out << QStringLiteral(
                   "%1 %2 larger than %3x%3 %4 made %3x%3 (MaxImport=%3); with --set MaxImport=512 %5 "
                   "made up to 512x512.\n")
                   .arg(smaller)
                   .arg(smaller == 1 ? QStringLiteral("source") : QStringLiteral("sources"))
                   .arg(summary.maxImport)
                   .arg(smaller == 1 ? QStringLiteral("was") : QStringLiteral("were"),
                        smaller == 1 ? QStringLiteral("it is") : QStringLiteral("they are"));
    out.flush();
    if (summary.failedCount() > 0)
        return QStringLiteral("%1 of %2 files failed").arg(summary.failedCount()).arg(summary.files.size());
    if (summary.stopped) return QStringLiteral("stopped before the end");
    return {};
}

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Set once the run's outcome is decided: a stop that comes later can no
// longer be told in the outcome, so it ends the program there and then.
std::atomic<bool> outcomeDecided{false};

#ifndef _WIN32
// The interrupts already caught once, by their numbers.
std::atomic<bool> caughtOnce[NSIG];
#endif

extern "C" void noteInterrupt(int number) {
#ifndef _WIN32
    // The second of a kind is not waited for: it ends the program as though
    // it had not been caught, and with it every texture tool still running
    // (they are in groups of their own, out of a terminal's reach).  A gone
    // reader's signal comes again at every write, and stays a stop.
    if (number != SIGPIPE && number > 0 && number < NSIG && caughtOnce[number].exchange(true)) {
        endToolGroupsNow();
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        sigaction(number, &standard, nullptr);
        ::raise(number);
        return;
    }
#endif
    interrupted = true;
    if (!outcomeDecided) return;
#ifndef _WIN32
    static const char text[] = "corvane: interrupted after the last command\n";
    (void)!::write(STDERR_FILENO, text, sizeof text - 1);
#endif
    std::_Exit(ExitFailed);
}

}  // namespace

StopOnInterrupt::StopOnInterrupt() {
    interrupted = false;
    outcomeDecided = false;
#ifndef _WIN32
    for (std::atomic<bool>& caught : caughtOnce) caught = false;
#endif
    // A texture tool running when the stop comes is ended with the run.
    endToolRunsWhen(&interrupted);
#ifndef _WIN32
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
    // A closed terminal stops the run as Ctrl+C does, and so does a reader
    // of its lines that has gone: at the next file, every output whole and
    // no temporary file left behind.  Every write to a gone reader raises
    // the pipe's signal again, so that one stays caught.
    sigaction(SIGHUP, &action, &previousHangUp_);
    sigaction(SIGPIPE, &action, &previousPipe_);
#endif
}

StopOnInterrupt::~StopOnInterrupt() {
    endToolRunsWhen(nullptr);
#ifndef _WIN32
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
    sigaction(SIGHUP, &previousHangUp_, nullptr);
    sigaction(SIGPIPE, &previousPipe_, nullptr);
#endif
}

const std::atomic<bool>* StopOnInterrupt::flag() const { return &interrupted; }

bool StopOnInterrupt::requested() const { return interrupted.load(); }

bool interruptedAtTheEnd(const StopOnInterrupt& interrupt, QTextStream& err) {
    // Either this sees a stop that came before, or the stop sees this and
    // ends the program itself (both flags are sequentially consistent).
    outcomeDecided = true;
    if (!interrupt.requested()) return false;
    // Everything was done, but whoever asked the run to stop must not read that as success.
    err << "corvane: interrupted after the last command\n";
    err.flush();
    return true;
}

bool onlyBatches(const std::vector<CommandStep>& steps) {
    return !steps.empty() &&
           std::all_of(steps.begin(), steps.end(), [](const CommandStep& s) { return s.command == "--batch"; });
}

int runBatchesAlone(const std::vector<CommandStep>& steps, RunFolder& folder, const StopOnInterrupt& interrupt,
                    QTextStream& out, QTextStream& err) {
    // It knows the program's folder, where the texture tool is.
    const auto app = applicationForRun<QCoreApplication>();
    const Settings settings = readSettings(folder.settings(), SettingsDefaults::forBatches());
    for (const CommandStep& step : steps) {
        if (interrupt.requested()) {
            err << "corvane: stopped before " << step.command << '\n';
            err.flush();
            return ExitFailed;
        }
        BatchCall call;
        QString failure = parseBatch(step.arguments, call);
        if (failure.isEmpty()) {
            call.request.maxImport = settings.maxImport;
            call.request.options = setOptionsFrom(settings);
            const ToolSettings tool{settings.imageTool, settings.showImageTool};
            failure = batchOutcome(runBatchInWorkers(call, tool, folder.path(), out, err, interrupt.flag()), out);
        }
        if (!failure.isEmpty()) {
            err << "corvane: " << step.command << " failed: " << failure << '\n';
            err.flush();
            return ExitFailed;
        }
    }
    return ExitOk;
}

QString fileToOpen(const QStringList& args) {
    if (args.size() != 1 || args[0].isEmpty() || args[0].startsWith(u'-')) return {};
    return args[0];
}

std::optional<int> runWithoutWindow(const QStringList& args, QTextStream& out, QTextStream& err) {
    if (!fileToOpen(args).isEmpty()) return std::nullopt;
    QStringList overrides;
    const auto steps = parseCommandLine(args, err, overrides);
    if (!steps) return ExitUsage;
    if (std::any_of(steps->begin(), steps->end(), [](const CommandStep& s) { return s.command == "--help"; })) {
        out << usageText();
        out.flush();
        return ExitOk;
    }
    if (!onlyBatches(*steps)) return std::nullopt;
    // From before the work folder is made until it is gone.
    const StopOnInterrupt interrupt;
    int code = ExitOk;
    {
        RunFolder folder(overrides, RunFolder::Copy::Memory);  // batches only read the settings
        if (!folder.isValid()) {
            err << "corvane: " << folder.failure() << '\n';
            code = ExitFailed;
        } else {
            code = runBatchesAlone(*steps, folder, interrupt, out, err);
        }
    }
    // Also a stop asked for while the work folder was being removed.
    if (code == ExitOk && interruptedAtTheEnd(interrupt, err)) code = ExitFailed;
    return code;
}

}  // namespace corvane
