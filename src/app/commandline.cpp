#include "commandline.h"

#include "batch.h"
#include "anyimage.h"
#include "batchpanel.h"
#include "import.h"
#include "library.h"
#include "mainwindow.h"
#include "numedit.h"
#include "prompts.h"
#include "settings.h"
#include "transparency.h"
#include "transparencyeditor.h"
#include "workspace.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTextStream>

#include <cstdio>
#include <memory>
#include <optional>

#ifndef _WIN32
#include <unistd.h>
#endif

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
    {"--set", "NAME=VALUE", "a setting for this run, by its store name (Smooth8bit=0, MaxImport=512 ...)"},
    {"--info", "", "print the status lines, the depth and the largest level of the set"},
    {"--load-extended", "FILE", "load an Extended Bitmap"},
    {"--load-texture", "FILE", "load a texture file (raw 65536-byte texture or BMP)"},
    {"--load-any", "FILE", "import a picture of any supported format"},
    {"--create-image-set", "", "rebuild every level below the largest"},
    {"--save", "FILE", "save the set as one Extended Bitmap"},
    {"--save-texture", "", "save the set over the texture file it was loaded from"},
    {"--merge", "FILE", "put a picture in place of the 256 level, on the set's palette"},
    {"--import-std", "FILE", "put an 8-bit picture and its palette in place of the 256 level"},
    {"--import-cfs", "FILE", "take levels 256..1 and the palette of an 8-bit Extended Bitmap"},
    {"--new16", "", "a new black 16-bit 256 set"},
    {"--convert-to", "256|565|4444|32", "convert the set through the texture tool"},
    {"--load-map", "FILE", "load a transparency map (.mpt)"},
    {"--save-map", "FILE", "save the transparency levels as a map"},
    {"--set-all-opaque", "", "every colour opaque"},
    {"--colour0-transparent", "", "colour 0 transparent, the rest opaque"},
    {"--set-level", "COLOUR=LEVEL", "one colour's transparency level (0..255)"},
    {"--all-to", "LEVEL", "every colour at one level"},
    {"--gradient-to", "COLOUR", "levels rising from colour 0 to COLOUR"},
    {"--save-palette", "", "write the levels into the set's palette"},
    {"--view-transparency", "OUT.bmp", "write the transparency view (with --current COLOUR: that colour red)"},
    {"--batch", "SRC DEST [NAME...]", "convert the BMP files of SRC into DEST (all of them without names);"},
    {"", "", "  --colour0-transparent for 8-bit results, --jobs N for parallel workers"},
};

const CommandInfo* findCommand(const QString& name) {
    for (const CommandInfo& c : kCommands)
        if (*c.name && name == QLatin1String(c.name)) return &c;
    return nullptr;
}

// Questions are answered as scripted (OK unless told), file dialogs with the
// file given on the line, messages go to stderr.  A warning marks the
// command as failed.
class LinePrompts : public Prompts {
public:
    explicit LinePrompts(QTextStream& err) : err_(err) {}
    std::optional<QString> file;
    bool answer = true;
    QString failure;

    void information(const QString&, const QString& text) override { say(text); }
    void warning(const QString&, const QString& text) override {
        say(text);
        if (failure.isEmpty()) failure = oneLine(text);
    }
    bool question(const QString&, const QString&) override { return answer; }
    FileChoice chooseFile(const FileDialog& dialog) override {
        FileChoice choice;
        if (!file) return choice;
        choice.chosen = true;
        choice.path = *file;
        choice.filterIndex = dialog.filterIndex;
        return choice;
    }
    static QString oneLine(QString text) {
        text.replace('\n', ' ');
        return text.simplified();
    }

private:
    void say(const QString& text) {
        err_ << "corvane: " << oneLine(text) << '\n';
        err_.flush();
    }
    QTextStream& err_;
};

struct Step {
    QString command;
    QStringList arguments;
};

// Splits the line into commands and their arguments; empty on a usage error
// (told on err).
std::optional<std::vector<Step>> parse(const QStringList& args, QTextStream& err, QStringList& settings) {
    std::vector<Step> steps;
    const auto usage = [&](const QString& why) {
        err << "corvane: " << why << " (see corvane --help)\n";
        err.flush();
        return std::nullopt;
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString& name = args[i];
        const CommandInfo* info = findCommand(name);
        if (!info) return usage(QStringLiteral("unknown command '%1'").arg(name));
        Step step{name, {}};
        const QString wants = QString::fromLatin1(info->arguments);
        if (name == "--batch") {
            // SRC DEST, then options and names up to the next command that is not a batch option.
            while (i + 1 < args.size()) {
                const QString& next = args[i + 1];
                if (next == "--colour0-transparent" || next == "--jobs") {
                    step.arguments << next;
                    ++i;
                    if (next == "--jobs") {
                        if (i + 1 >= args.size()) return usage("--jobs needs a number");
                        step.arguments << args[++i];
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
        } else if (!wants.isEmpty()) {
            if (i + 1 >= args.size()) return usage(QStringLiteral("%1 needs %2").arg(name, wants));
            step.arguments << args[++i];
        }
        if (name == "--set") {
            if (!step.arguments[0].contains('=')) return usage("--set takes NAME=VALUE");
            settings << step.arguments[0];
            continue;
        }
        steps.push_back(step);
    }
    return steps;
}

bool toNumber(const QString& text, int lowest, int highest, int& value) {
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value >= lowest && value <= highest;
}

QString depthText(const SetState& state) {
    if (!state.highColour) return QStringLiteral("8-bit");
    if (state.is32) return QStringLiteral("32-bit");
    return state.is4444 ? QStringLiteral("16-bit 4-4-4-4") : QStringLiteral("16-bit 5-6-5");
}

struct BatchCall {
    BatchRequest request;
    int jobs = 1;
};

// The arguments of one --batch (the parser has seen to the two folders).
// Returns what is wrong with them, or an empty text.
QString parseBatch(const QStringList& arguments, BatchCall& call) {
    call.jobs = std::max(1, QThread::idealThreadCount());
    QStringList paths;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--colour0-transparent") call.request.colour0Transparent = true;
        else if (arguments[i] == "--jobs") {
            if (!toNumber(arguments.value(++i), 1, 64, call.jobs)) return QStringLiteral("--jobs takes 1..64");
        } else paths << arguments[i];
    }
    call.request.sourceFolder = paths[0];
    call.request.destinationFolder = paths[1];
    if (!QFileInfo(call.request.sourceFolder).isDir()) return QStringLiteral("no such folder: %1").arg(paths[0]);
    if (!QFileInfo(call.request.destinationFolder).isDir()) return QStringLiteral("no such folder: %1").arg(paths[1]);
    call.request.names = paths.mid(2);
    if (call.request.names.isEmpty())
        call.request.names =
            QDir(call.request.sourceFolder).entryList({"*.bmp"}, QDir::Files, QDir::Name | QDir::IgnoreCase);
    return {};
}

// A line per file on out, in list order, and a bar on err when it is a terminal.
BatchObserver batchReporter(QTextStream& out, QTextStream& err) {
    BatchObserver observer;
    observer.finished = [&out, &err, bar = bool(isatty(fileno(stderr)))](int index, int count,
                                                                          const BatchFileResult& result) {
        out << (result.converted ? "converted " : "failed    ") << result.name;
        if (!result.converted) out << ": " << LinePrompts::oneLine(result.problem);
        out << '\n';
        out.flush();
        if (bar) {
            const int width = 30, done = (index + 1) * width / count;
            err << '\r' << '[' << QString(done, '#') << QString(width - done, '.') << "] " << index + 1 << '/'
                << count;
            if (index + 1 == count) err << '\n';
            err.flush();
        }
    };
    return observer;
}

BatchSummary runBatchInWorkers(const BatchCall& call, const ToolSettings& tool, const QString& workRoot,
                               QTextStream& out, QTextStream& err) {
    return runBatchInParallel(
        call.request, call.jobs, workRoot,
        [tool](const Workspace& workspace) { return corvane::textureTool(workspace, tool); },
        batchReporter(out, err));
}

// The summary line; the failure of the command when any file failed.
QString batchOutcome(const BatchSummary& summary, QTextStream& out) {
    out << summary.text() << '\n';
    out.flush();
    if (summary.failedCount() > 0)
        return QStringLiteral("%1 of %2 files failed").arg(summary.failedCount()).arg(summary.files.size());
    return {};
}

class Runner {
public:
    Runner(TForm1& form, LinePrompts& prompts, QTextStream& out, QTextStream& err, const QString& workRoot)
        : form_(form), prompts_(prompts), out_(out), err_(err), workRoot_(workRoot) {}

    // Returns the failure, or an empty text.
    QString run(const Step& step) {
        prompts_.failure.clear();
        prompts_.file.reset();
        prompts_.answer = true;
        const QString& c = step.command;
        const QString arg = step.arguments.value(0);
        const bool paletteCommand = c == "--load-map" || c == "--save-map" || c == "--set-all-opaque" ||
                                    c == "--colour0-transparent" || c == "--set-level" || c == "--all-to" ||
                                    c == "--gradient-to" || c == "--save-palette" || c == "--view-transparency";
        if (paletteCommand) {
            if (form_.workspace().state().highColour) return QStringLiteral("the set is not an 8-bit set");
            if (!form_.Panel1->isOpen()) form_.getpalClick();
        } else if (form_.Panel1->isOpen()) {
            form_.Panel1->exit();
        }
        TransparencyEditor& editor = *form_.Panel1;

        if (c == "--load-extended" || c == "--load-texture") {
            if (!QFileInfo::exists(arg)) return QStringLiteral("no such file: %1").arg(arg);
            form_.opencfs.filterIndex = c == "--load-extended" ? 1 : 2;
            prompts_.file = arg;
            form_.loadcfsClick();
        } else if (c == "--load-any") {
            prompts_.file = arg;
            form_.loadanyClick();
        } else if (c == "--create-image-set") {
            form_.Button2Click();
        } else if (c == "--save") {
            prompts_.file = arg;
            prompts_.answer = false;  // a texture's set is saved where asked, not over the texture
            form_.saveClick();
        } else if (c == "--save-texture") {
            if (!form_.workspace().state().textureOrigin) return QStringLiteral("the set did not come from a texture file");
            form_.saveClick();
        } else if (c == "--merge" || c == "--import-std" || c == "--import-cfs") {
            if (!replaceCommandsAvailable(form_.workspace())) return QStringLiteral("needs an 8-bit set of 256");
            prompts_.file = arg;
            if (c == "--merge") form_.Button13Click();
            else if (c == "--import-std") form_.Button15Click();
            else form_.Button20Click();
        } else if (c == "--new16") {
            form_.new16Click();
        } else if (c == "--convert-to") {
            if (form_.workspace().state().largest == 0) return QStringLiteral("no set is loaded");
            if (arg == "256") form_.ConvertCurrentImageto256Colours1Click();
            else if (arg == "565") form_.N16bit5651Click();
            else if (arg == "4444") form_.N16bit4441Click();
            else if (arg == "32") form_.N32bit1Click();
            else return QStringLiteral("the depth must be 256, 565, 4444 or 32");
        } else if (c == "--load-map") {
            prompts_.file = arg;
            editor.Button11Click();
        } else if (c == "--save-map") {
            prompts_.file = arg;
            editor.Button12Click();
        } else if (c == "--set-all-opaque") {
            editor.Button7Click();
        } else if (c == "--colour0-transparent") {
            editor.Button14Click();
        } else if (c == "--set-level") {
            int colour = 0, level = 0;
            const QStringList parts = arg.split('=');
            if (parts.size() != 2 || !toNumber(parts[0], 0, 255, colour) || !toNumber(parts[1], 0, 255, level))
                return QStringLiteral("--set-level takes COLOUR=LEVEL, both 0..255");
            editor.boxClick(colour);
            editor.NumEdit2->setText(QString::number(level));
        } else if (c == "--all-to") {
            int level = 0;
            if (!toNumber(arg, 0, 255, level)) return QStringLiteral("the level must be 0..255");
            editor.NumEdit2->setText(QString::number(level));
            editor.Button17Click();
        } else if (c == "--gradient-to") {
            int colour = 0;
            if (!toNumber(arg, 0, 255, colour)) return QStringLiteral("the colour must be 0..255");
            editor.boxClick(colour);
            editor.Button16Click();
        } else if (c == "--save-palette") {
            editor.Button8Click();
            if (form_.palette.paletteChanged) return QStringLiteral("the palette could not be written");
        } else if (c == "--view-transparency") {
            return viewTransparency(step.arguments);
        } else if (c == "--info") {
            info();
        } else if (c == "--batch") {
            return batch(step.arguments);
        }
        return prompts_.failure;
    }

    bool anyFailed = false;

private:
    QString viewTransparency(const QStringList& arguments) {
        TransparencyEditor& editor = *form_.Panel1;
        if (transparencyViewSourceSlot(form_.workspace().state().largest) < 0) return QStringLiteral("a set of 1x1 has no transparency view");
        bool current = arguments.size() > 1;
        if (current) {
            int colour = 0;
            if (!toNumber(arguments[1], 0, 255, colour)) return QStringLiteral("the colour must be 0..255");
            editor.boxClick(colour);
        }
        editor.viewtranClick(current);
        const QString view = form_.workspace().slotPath(ScratchSlot);
        QFile::remove(arguments[0]);
        if (!QFile::copy(view, arguments[0])) return QStringLiteral("cannot write %1").arg(arguments[0]);
        return {};
    }

    void info() {
        out_ << form_.Label10->text() << '\n'
             << form_.Label11->text() << '\n'
             << form_.Label16->text() << '\n'
             << form_.Label17->text() << '\n'
             << "Depth: " << depthText(form_.workspace().state()) << '\n'
             << "Largest level: " << form_.workspace().state().largest << '\n';
        out_.flush();
    }

    QString batch(const QStringList& arguments) {
        BatchCall call;
        if (const QString wrong = parseBatch(arguments, call); !wrong.isEmpty()) return wrong;
        call.request.maxImport = form_.maxImportSize;
        call.request.options = form_.setOptions();
        BatchSummary summary;
        if (call.jobs == 1) {
            QuorLibrary library(form_.context());
            summary = runBatch(call.request, form_.workspace(), library, form_.palette, form_.textureTool(),
                               batchReporter(out_, err_));
        } else {
            summary = runBatchInWorkers(call, ToolSettings{form_.itool.fileName, form_.showitool->isChecked()},
                                        workRoot_, out_, err_);
            // The last converted set becomes the current one, as after a run in the window.
            for (auto it = summary.files.rbegin(); it != summary.files.rend(); ++it) {
                if (!it->converted) continue;
                QuorLibrary library(form_.context());
                loadExtended(QDir(call.request.destinationFolder).filePath(it->name), BitmapFilter, form_.workspace(),
                             library, form_.setOptions());
                break;
            }
        }
        form_.refresh();
        form_.showStatus();
        return batchOutcome(summary, out_);
    }

    TForm1& form_;
    LinePrompts& prompts_;
    QTextStream& out_;
    QTextStream& err_;
    QString workRoot_;
};

// The user's settings, copied so that the run reads them and never writes them.
std::unique_ptr<SettingsStore> settingsForRun(const QString& folder, const QStringList& overrides) {
    const QString path = QDir(folder).filePath("settings.ini");
    {
        QSettings user(QStringLiteral("Quor"), QStringLiteral("Corvane"));
        QSettings copy(path, QSettings::IniFormat);
        for (const QString& key : user.allKeys()) copy.setValue(key, user.value(key).toString());
        for (const QString& pair : overrides) {
            const int eq = int(pair.indexOf('='));
            copy.setValue(pair.left(eq), pair.mid(eq + 1));
        }
    }
    return SettingsStore::atIniFile(path);
}

// A line of nothing but batches runs without the window: the batch runner is
// core code, and the settings it needs come from the store, read as the
// window reads them.  That spares the widgets' start-up, which is most of a
// short run.
bool onlyBatches(const std::vector<Step>& steps) {
    return !steps.empty() &&
           std::all_of(steps.begin(), steps.end(), [](const Step& s) { return s.command == "--batch"; });
}

int runBatchesAlone(const std::vector<Step>& steps, SettingsStore& store, const QString& workRoot, QTextStream& out,
                    QTextStream& err) {
    std::unique_ptr<QCoreApplication> app;  // it knows the program's folder, where the texture tool is
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "corvane";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    const Settings settings = readSettings(store, SettingsDefaults::forThisSystem());
    for (const Step& step : steps) {
        BatchCall call;
        QString failure = parseBatch(step.arguments, call);
        if (failure.isEmpty()) {
            call.request.maxImport = settings.maxImport;
            call.request.options = setOptionsFrom(settings);
            const ToolSettings tool{settings.imageTool, settings.showImageTool};
            failure = batchOutcome(runBatchInWorkers(call, tool, workRoot, out, err), out);
        }
        if (!failure.isEmpty()) {
            err << "corvane: " << step.command << " failed: " << failure << '\n';
            err.flush();
            return ExitFailed;
        }
    }
    return ExitOk;
}

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
    QStringList overrides;
    const auto steps = parse(args, err, overrides);
    if (!steps) return ExitUsage;
    if (std::any_of(steps->begin(), steps->end(), [](const Step& s) { return s.command == "--help"; })) {
        out << usageText();
        out.flush();
        return ExitOk;
    }

    // In the temporary folder the window uses too (TEMP, TMP, TMPDIR, the system's).
    const QString temporary = temporaryFolder();
    QTemporaryDir work(temporary + "corvane-run-XXXXXX");
    if (!work.isValid()) {
        err << "corvane: cannot make a work folder in " << QDir::toNativeSeparators(temporary) << '\n';
        return ExitFailed;
    }
    QDir(work.path()).mkpath("slots");
    auto store = settingsForRun(work.path(), overrides);
    if (onlyBatches(*steps)) return runBatchesAlone(*steps, *store, work.path(), out, err);

    // The other commands need the widgets but no display.
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) qputenv("XDG_RUNTIME_DIR", QFile::encodeName(work.path()));
        static int argc = 1;
        static char name[] = "corvane";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    LinePrompts prompts(err);
    // A view that cannot show its picture says so on stderr, never in a box.
    TAnyImage::setDefaultMessageHook([&prompts](const QString& title, const QString& text) {
        prompts.information(title, text);
    });
    int code = ExitOk;
    {
        TForm1 form(*store, prompts, Workspace::inFolder(QDir(work.path()).filePath("slots")),
                    SettingsDefaults::forThisSystem());
        Runner runner(form, prompts, out, err, work.path());
        for (const Step& step : *steps) {
            const QString failure = runner.run(step);
            if (!failure.isEmpty()) {
                err << "corvane: " << step.command << " failed: " << failure << '\n';
                err.flush();
                code = ExitFailed;
                break;
            }
        }
        form.close();
    }
    return code;
}

}  // namespace corvane
