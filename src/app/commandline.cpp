#include "commandline.h"

#include "commandcore.h"

#include "batch.h"
#include "anyimage.h"
#include "fileaccess.h"
#include "import.h"
#include "library.h"
#include "mainwindow.h"
#include "numedit.h"
#include "prompts.h"
#include "settings.h"
#include "splitjoin.h"
#include "transparency.h"
#include "transparencyeditor.h"
#include "workspace.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <utility>

namespace corvane {

namespace {

// Questions are answered as scripted (OK unless told), file dialogs with the
// file given on the line (and its entry of the dialog's list, when the line
// says which), messages go to stderr.  A warning marks the
// command as failed; the run tells it once, in the line naming the command.
// The line never asks about unsaved work: what it was told to save, it saved.
class LinePrompts : public Prompts {
public:
    explicit LinePrompts(QTextStream& err) : err_(err) {}
    std::optional<QString> file;
    int filterIndex = 0;  // 0: the entry the dialog stands on
    bool answer = true;
    QString failure;

    void information(const QString&, const QString& text) override { say(text); }
    void warning(const QString&, const QString& text) override {
        if (failure.isEmpty()) failure = oneLine(text);
        else say(text);
    }
    bool question(const QString&, const QString&) override { return answer; }
    SaveChoice saveQuestion(const QString&, const QString&) override { return SaveChoice::Discard; }
    // Tells a warning that came outside any command, such as the window's own
    // at its start.
    void tellPending() {
        if (failure.isEmpty()) return;
        say(failure);
        failure.clear();
    }
    FileChoice chooseFile(const FileDialog& dialog) override {
        FileChoice choice;
        if (!file) return choice;
        choice.chosen = true;
        choice.path = *file;
        choice.filterIndex = filterIndex > 0 ? filterIndex : dialog.filterIndex;
        return choice;
    }

private:
    void say(const QString& text) {
        err_ << "corvane: " << oneLine(text) << '\n';
        err_.flush();
    }
    QTextStream& err_;
};

class Runner : public LineOperations {
public:
    Runner(MainWindow& window, LinePrompts& prompts, QTextStream& out, QTextStream& err, const QString& workRoot,
           const std::atomic<bool>* stop)
        : window_(window), prompts_(prompts), out_(out), err_(err), workRoot_(workRoot), stop_(stop) {}

    // Returns the failure, or an empty text.
    QString run(const CommandStep& step) {
        prompts_.failure.clear();
        prompts_.file.reset();
        prompts_.filterIndex = 0;
        prompts_.answer = true;
        const CommandInfo* command = findCommand(step.command);
        if (!command || !command->operation) return {};  // the parser has seen to these
        if (command->onLevels) {
            if (window_.workspace().state().depth.highColour()) return QStringLiteral("the set is not an 8-bit set");
            if (!editor().isOpen()) window_.editTransparency();
        } else if (editor().isOpen()) {
            editor().exit();
        }
        return (this->*command->operation)(step.arguments);
    }

    QString info(const QStringList&) override {
        const StatusLines& status = window_.statusLines();
        out_ << readableName(status.bitmap) << '\n'
             << status.maximum << '\n'
             << status.loadedAs << '\n'
             << status.depth << '\n'
             << "Depth: " << window_.workspace().state().depth.text() << '\n'
             << "Largest level: " << window_.workspace().state().largest << '\n';
        out_.flush();
        return prompts_.failure;
    }

    QString loadExtended(const QStringList& arguments) override { return load(arguments.value(0), 1); }
    QString loadTexture(const QStringList& arguments) override { return load(arguments.value(0), 2); }

    QString loadAny(const QStringList& arguments) override {
        prompts_.file = arguments.value(0);
        window_.loadAnyImage();
        return prompts_.failure;
    }

    QString createImageSet(const QStringList&) override {
        window_.createImageSet();
        return prompts_.failure;
    }

    // The line never asks: a set with levels missing or cut short is not saved.
    QString missingLevelsBefore(const char* command) {
        const std::vector<int> notWhole = levelsNotWhole(window_.workspace());
        if (notWhole.empty()) return {};
        const std::vector<int> missing = missingLevels(window_.workspace());
        if (missing.size() == notWhole.size())
            return QStringLiteral("the set lacks its %1 levels; run --create-image-set before %2")
                .arg(levelNames(missing), QLatin1String(command));
        return QStringLiteral("the set has levels missing or cut short (%1); run --create-image-set before %2")
            .arg(levelNames(notWhole), QLatin1String(command));
    }

    QString save(const QStringList& arguments) override {
        if (QString missing = missingLevelsBefore("--save"); !missing.isEmpty()) return missing;
        prompts_.file = arguments.value(0);
        prompts_.answer = false;  // a texture's set is saved where asked, not over the texture
        window_.saveExtended();
        return prompts_.failure;
    }

    QString saveDds(const QStringList& arguments) override {
        if (QString missing = missingLevelsBefore("--save-dds"); !missing.isEmpty()) return missing;
        DdsFormat format = DdsFormat::Auto;
        if (arguments.size() > 1 && !parseDdsFormat(arguments[1], format)) return kDdsFormatWanted;
        prompts_.file = arguments.value(0);
        window_.saveAsDds(format);
        return prompts_.failure;
    }

    QString saveTexture(const QStringList&) override {
        if (!window_.workspace().state().textureOrigin)
            return QStringLiteral("the set did not come from a texture file");
        window_.saveExtended();
        return prompts_.failure;
    }

    QString merge(const QStringList& arguments) override { return replace(arguments, &MainWindow::mergeImage); }
    QString importStd(const QStringList& arguments) override { return replace(arguments, &MainWindow::importStd); }
    QString importCfs(const QStringList& arguments) override { return replace(arguments, &MainWindow::importCfs); }

    QString newSixteenBitSet(const QStringList&) override {
        window_.newSixteenBitSet();
        return prompts_.failure;
    }

    QString convertTo(const QStringList& arguments) override {
        if (window_.workspace().state().largest == 0) return QStringLiteral("no set is loaded");
        const QString word = arguments.value(0);
        const auto found = std::find_if(kToolConversions.begin(), kToolConversions.end(),
                                        [&](SetDepth d) { return word == QLatin1String(d.commandWord()); });
        if (found == kToolConversions.end()) return QStringLiteral("the depth must be 256, 565, 4444 or 32");
        window_.convertTo(*found);
        return prompts_.failure;
    }

    QString loadMap(const QStringList& arguments) override {
        prompts_.file = arguments.value(0);
        editor().loadMap();
        return prompts_.failure;
    }

    QString saveMap(const QStringList& arguments) override {
        prompts_.file = arguments.value(0);
        editor().saveMap();
        return prompts_.failure;
    }

    QString setAllOpaque(const QStringList&) override {
        editor().setAllOpaque();
        return prompts_.failure;
    }

    QString makeColour0Transparent(const QStringList&) override {
        editor().makeColour0Transparent();
        return prompts_.failure;
    }

    QString setLevel(const QStringList& arguments) override {
        int colour = 0, level = 0;
        const QStringList parts = arguments.value(0).split('=');
        if (parts.size() != 2 || !parseNumber(parts[0], 0, 255, colour) || !parseNumber(parts[1], 0, 255, level))
            return QStringLiteral("--set-level takes COLOUR=LEVEL, both 0..255");
        editor().selectColour(colour);
        editor().levelEdit->setText(QString::number(level));
        return prompts_.failure;
    }

    QString allTo(const QStringList& arguments) override {
        int level = 0;
        if (!parseNumber(arguments.value(0), 0, 255, level)) return QStringLiteral("the level must be 0..255");
        editor().levelEdit->setText(QString::number(level));
        editor().allToCurrent();
        return prompts_.failure;
    }

    QString gradientTo(const QStringList& arguments) override {
        int colour = 0;
        if (!parseNumber(arguments.value(0), 0, 255, colour)) return QStringLiteral("the colour must be 0..255");
        editor().selectColour(colour);
        editor().gradientToCurrent();
        return prompts_.failure;
    }

    QString savePalette(const QStringList&) override {
        editor().savePalette();
        if (window_.paletteLevels().paletteChanged) return QStringLiteral("the palette could not be written");
        return prompts_.failure;
    }

    QString viewTransparency(const QStringList& arguments) override {
        if (transparencyViewSourceSlot(window_.workspace().state().largest) < 0)
            return QStringLiteral("a set of 1x1 has no transparency view");
        bool current = arguments.size() > 1;
        if (current) {
            int colour = 0;
            if (!parseNumber(arguments[1], 0, 255, colour)) return QStringLiteral("the colour must be 0..255");
            editor().selectColour(colour);
        }
        if (!editor().showTransparencyView(current))
            return prompts_.failure.isEmpty() ? QStringLiteral("the transparency view could not be made")
                                              : prompts_.failure;
        if (const CommandOutcome saved = saveTransparencyView(window_.workspace(), arguments[0]); !saved.ok)
            return oneLine(saved.error);
        return {};
    }

    QString batch(const QStringList& arguments) override {
        BatchCall call;
        if (const QString wrong = parseBatch(arguments, call); !wrong.isEmpty()) return wrong;
        call.request.maxImport = window_.maxImportSize();
        call.request.options = window_.setOptions();
        BatchSummary summary;
        if (call.jobs == 1) {
            summary = window_.convertBatchUnattended(call.request, batchReporter(out_, err_), stop_);
        } else {
            summary = runBatchInWorkers(call, window_.toolSettings(), workRoot_, out_, err_, stop_);
            // The last converted set becomes the current one, as after a run in the window.
            for (auto it = summary.files.rbegin(); it != summary.files.rend(); ++it) {
                if (!it->converted()) continue;
                QuorLibrary library(window_.context());
                const QString converted =
                    QDir(call.request.destinationFolder).filePath(destinationName(it->name, call.request));
                if (call.request.writeDds) loadDds(converted, window_.workspace(), library, window_.setOptions());
                else corvane::loadExtended(converted, BitmapFilter, window_.workspace(), library, window_.setOptions());
                break;
            }
        }
        window_.reloadViews();
        window_.showStatus();
        return batchOutcome(summary, out_);
    }

private:
    TransparencyEditor& editor() { return window_.transparencyEditor(); }

    // Load Extended with the dialog's filter at `filterIndex`: 1 for an
    // Extended Bitmap, 2 for a texture.
    QString load(const QString& path, int filterIndex) {
        if (entryKind(path) == EntryKind::Missing) return QStringLiteral("no such file: %1").arg(path);
        prompts_.file = path;
        prompts_.filterIndex = filterIndex;
        window_.loadExtended();
        return prompts_.failure;
    }

    // Merge Image, Import Std and Import CFS, which replace the 256 level.
    QString replace(const QStringList& arguments, void (MainWindow::*command)()) {
        if (!replaceCommandsAvailable(window_.workspace())) return QStringLiteral("needs an 8-bit set of 256");
        prompts_.file = arguments.value(0);
        (window_.*command)();
        return prompts_.failure;
    }

    MainWindow& window_;
    LinePrompts& prompts_;
    QTextStream& out_;
    QTextStream& err_;
    QString workRoot_;
    const std::atomic<bool>* stop_;
};

}  // namespace

namespace {

// The line's commands on a hidden main window, in a work folder of the run's
// own, removed before it returns.
int runOnTheWindow(const std::vector<CommandStep>& steps, const QStringList& overrides,
                   const StopOnInterrupt& interrupt, QTextStream& out, QTextStream& err) {
    RunFolder folder(overrides);
    if (!folder.isValid()) {
        err << "corvane: " << folder.failure() << '\n';
        return ExitFailed;
    }
    QDir(folder.path()).mkpath("slots");

    // These commands need the widgets but no display.
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder.path()));
        app = applicationForRun<QApplication>();
    }
    LinePrompts prompts(err);
    // A view that cannot show its picture says so on stderr, never in a box.
    AnyImage::setDefaultMessageHook(
        [&prompts](const QString& title, const QString& text) { prompts.information(title, text); });
    int code = ExitOk;
    MainWindow window(folder.settings(), prompts, Workspace::inFolder(QDir(folder.path()).filePath("slots")),
                      SettingsDefaults::forThisSystem());
    prompts.tellPending();
    Runner runner(window, prompts, out, err, folder.path(), interrupt.flag());
    for (const CommandStep& step : steps) {
        if (interrupt.requested()) {
            err << "corvane: stopped before " << step.command << '\n';
            err.flush();
            code = ExitFailed;
            break;
        }
        const QString failure = runner.run(step);
        if (!failure.isEmpty()) {
            // What failed because the run was stopped (a texture tool ended
            // with it, say) was stopped, not at fault.
            err << "corvane: " << step.command
                << " failed: " << (interrupt.requested() ? QStringLiteral("stopped before the end") : failure) << '\n';
            err.flush();
            code = ExitFailed;
            break;
        }
    }
    window.close();
    return code;
}

}  // namespace

int runCommandLine(const QStringList& args, QTextStream& out, QTextStream& err) {
    if (const std::optional<int> done = runWithoutWindow(args, out, err)) return *done;
    QStringList overrides;
    const auto steps = parseCommandLine(args, err, overrides);
    // From before the work folder is made until it is gone, so that no
    // interrupt can leave it behind, nor go unnoticed while it goes.
    const StopOnInterrupt interrupt;
    int code = runOnTheWindow(*steps, overrides, interrupt, out, err);
    if (code == ExitOk && interruptedAtTheEnd(interrupt, err)) code = ExitFailed;
    return code;
}

}  // namespace corvane
